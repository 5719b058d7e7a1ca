// Word error rate, character error rate and edit distance on text, with the
// calling conventions of torchmetrics' text metrics: metric(preds, target)
// returns that call's value as a tensor and also accumulates; update, compute
// and reset work on the accumulated state, kept in instance attributes.
//
// The strings are copied into code-point buffers with the GIL held; the
// distances then run in C++ without it, split over a few threads when there
// is enough work.
#include <pybind11/pybind11.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/pyutil.h"
#include "binding/text.h"
#include "domain/levenshtein.h"
#include "domain/workers.h"

namespace py = pybind11;
using common::arg;
using common::Param;
using levenshtein::Seq;

namespace {

constexpr const char* kModule = "corvantis.utils.textmetrics";

constexpr common::Globals global{kModule};

// ---- the texts -------------------------------------------------------------

// Where a string's code points are, taken with the GIL. Strings never
// change, and the batch's own lists keep them alive, so threads without the
// GIL may read them; each copies a pair's code points before working on it.
struct TextView {
  const void* data;
  size_t n;
  int kind;

  explicit TextView(PyObject* s)
      : data(PyUnicode_DATA(s)),
        n(static_cast<size_t>(PyUnicode_GET_LENGTH(s))),
        kind(PyUnicode_KIND(s)) {}

  template <class Char>
  void copy(std::vector<uint32_t>& out) const {
    const Char* p = static_cast<const Char*>(data);
    out.resize(n);
    uint32_t* o = out.data();
    size_t i = 0;
    for (; i + 16 <= n; i += 16)  // a fixed count, so -O2 widens it in vector registers
      for (size_t k = 0; k < 16; ++k) o[i + k] = p[i + k];
    for (; i < n; ++i) o[i] = p[i];
  }

  Seq copy_to(std::vector<uint32_t>& out) const {
    switch (kind) {
      case PyUnicode_1BYTE_KIND: copy<Py_UCS1>(out); break;
      case PyUnicode_2BYTE_KIND: copy<Py_UCS2>(out); break;
      default: copy<Py_UCS4>(out); break;
    }
    return {out.data(), out.size()};
  }
};

// `preds` or `target` as a new list of strings: one string is one utterance.
py::list utterances(py::handle value, const char* name) {
  if (PyUnicode_Check(value.ptr())) {
    py::list one;
    one.append(value);
    return one;
  }
  if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr()))
    common::raise_text(PyExc_TypeError, "Expected argument `", name,
                       "` to be a string or a list of strings, but got ", common::type_name(value),
                       ".");
  PyObject* copied = PySequence_List(value.ptr());
  if (!copied) common::rethrow();
  py::list items = py::reinterpret_steal<py::list>(copied);
  for (size_t i = 0; i < items.size(); ++i) {
    if (!PyUnicode_Check(items[i].ptr()))
      common::raise_text(PyExc_TypeError, "Expected argument `", name,
                         "` to hold only strings, but item ", py::int_(i), " is ",
                         common::type_name(items[i]), ".");
#if PY_VERSION_HEX < 0x030C0000
    // strings made through the old wide-character API get their compact
    // form here, before anything reads it
    if (PyUnicode_READY(items[i].ptr()) < 0) common::rethrow();
#endif
  }
  return items;
}

class Batch {
 public:
  Batch(py::list preds, py::list target) : preds_(std::move(preds)), target_(std::move(target)) {
    for (py::handle v : preds_) pred_views_.emplace_back(v.ptr());
    for (py::handle v : target_) target_views_.emplace_back(v.ptr());
  }
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  size_t size() const { return target_views_.size(); }
  const TextView& pred(size_t i) const { return pred_views_[i]; }
  const TextView& target(size_t i) const { return target_views_[i]; }

 private:
  py::list preds_, target_;  // keep the strings alive
  std::vector<TextView> pred_views_, target_views_;
};

// Both sides checked before anything is read, so a refused call changes nothing.
std::unique_ptr<Batch> read_batch(py::handle preds, py::handle target) {
  py::list p = utterances(preds, "preds");
  py::list t = utterances(target, "target");
  if (p.size() != t.size())
    common::raise_text(PyExc_ValueError,
                       "Arguments `preds` and `target` must have the same number of "
                       "utterances, but got ",
                       py::int_(p.size()), " and ", py::int_(t.size()), ".");
  return std::make_unique<Batch>(std::move(p), std::move(t));
}

// ---- running the pairs -------------------------------------------------------

// What one thread keeps between pairs.
struct Scratch {
  explicit Scratch(const std::atomic<bool>* stop) : calc(stop) {}
  levenshtein::Calculator calc;
  levenshtein::WordIds words;
  std::vector<uint32_t> pred, target;          // a pair's code points
  std::vector<uint32_t> pred_ids, target_ids;  // and its word ids

  std::pair<Seq, Seq> load(const Batch& b, size_t i) {
    return {b.pred(i).copy_to(pred), b.target(i).copy_to(target)};
  }
};

// Below this much work (mask-word steps, roughly nanoseconds) threads cost
// more than they save; above, one more thread per this much, up to kMaxThreads.
constexpr double kParallelCost = 1 << 18;
constexpr unsigned kMaxThreads = 4;
constexpr size_t kChunk = 16;

unsigned available_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

// 0: the calling thread alone, with the GIL. The module's `_threads`, when it
// is not None, forces that many worker threads (tests and benchmarks).
unsigned worker_threads(size_t pairs, double cost) {
  py::object forced = global("_threads");
  if (!forced.is_none()) {
    const int64_t k = common::to_int64(forced, "_threads");
    if (k < 1) common::raise(PyExc_ValueError, "_threads must be None or at least 1");
    return static_cast<unsigned>(std::min<int64_t>({k, static_cast<int64_t>(pairs), 64}));
  }
  if (cost < kParallelCost || pairs == 0) return 0;
  const double wanted = std::ceil(cost / kParallelCost);
  return static_cast<unsigned>(
      std::min<double>({wanted, double(kMaxThreads), double(available_cpus()), double(pairs)}));
}

template <class Work>
void run_here(size_t n, const Work& work) {
  Scratch scratch(nullptr);
  for (size_t i = 0; i < n; ++i) {
    if ((i & 255) == 255 && PyErr_CheckSignals() != 0) common::rethrow();
    work(scratch, i);
  }
}

// Pairs handed out in chunks to `threads` workers of the shared pool, which
// keeps Ctrl-C working and rethrows a worker's exception here.
template <class Work>
void run_threaded(size_t n, unsigned threads, const Work& work) {
  std::atomic<size_t> next{0};
  workers::Workers pool(threads, [&](const std::atomic<bool>& stop) {
    Scratch scratch(&stop);
    for (size_t begin; !stop && (begin = next.fetch_add(kChunk)) < n;)
      for (size_t i = begin; i < std::min(n, begin + kChunk); ++i) work(scratch, i);
  });
  if (pool.started() == 0) return run_here(n, work);
  pool.join();
}

// work(scratch, i) for every pair; work must not touch Python.
template <class Work>
void for_each_pair(size_t n, double cost, const Work& work) {
  const unsigned threads = worker_threads(n, cost);
  if (threads == 0) return run_here(n, work);
  run_threaded(n, threads, work);
}

// ---- the distances -----------------------------------------------------------

// Rough work of the bit-vector distances: columns times mask words.
double unit_cost(const Batch& b) {
  double cost = 0;
  for (size_t i = 0; i < b.size(); ++i) {
    const size_t n = b.pred(i).n, m = b.target(i).n;
    const size_t blocks = 1 + std::min(n, m) / 64;
    cost += double(n + m) * double(blocks);
  }
  return cost;
}

double table_cost(const Batch& b) {
  double cost = 0;
  for (size_t i = 0; i < b.size(); ++i) cost += double(b.pred(i).n + 1) * double(b.target(i).n + 1);
  return cost;
}

// Character edit distance of every pair.
std::vector<int64_t> char_distances(const Batch& b, int64_t substitution) {
  std::vector<int64_t> out(b.size());
  const double cost = substitution == 1 ? unit_cost(b) : table_cost(b);
  for_each_pair(b.size(), cost, [&](Scratch& s, size_t i) {
    const auto texts = s.load(b, i);
    out[i] = s.calc.distance(texts.first, texts.second, substitution);
  });
  return out;
}

struct Tally {
  int64_t edits = 0;
  int64_t units = 0;  // reference words or characters
};

Tally char_tally(const Batch& b) {
  Tally t;
  for (int64_t d : char_distances(b, 1)) t.edits += d;
  for (size_t i = 0; i < b.size(); ++i) t.units += static_cast<int64_t>(b.target(i).n);
  return t;
}

Tally word_tally(const Batch& b) {
  std::vector<int64_t> edits(b.size()), words(b.size());
  for_each_pair(b.size(), unit_cost(b), [&](Scratch& s, size_t i) {
    const auto texts = s.load(b, i);
    s.words.map(texts.first, texts.second, s.pred_ids, s.target_ids);
    words[i] = static_cast<int64_t>(s.target_ids.size());
    edits[i] = s.calc.distance({s.pred_ids.data(), s.pred_ids.size()},
                               {s.target_ids.data(), s.target_ids.size()});
  });
  Tally t;
  for (size_t i = 0; i < b.size(); ++i) t.edits += edits[i], t.units += words[i];
  return t;
}

// ---- results as tensors --------------------------------------------------------

py::object tensor(py::handle value, const char* dtype) {
  py::object torch = global("torch");
  return common::call(torch.attr("tensor"), py::make_tuple(value), {{"dtype", torch.attr(dtype)}});
}

// Edits per reference unit. With no reference at all, no edits is a rate of
// 0 and any edit an infinite one, so such a result never looks best.
py::object rate(double edits, double units) {
  double r = edits / units;
  if (units == 0) r = edits == 0 ? 0.0 : std::numeric_limits<double>::infinity();
  return tensor(py::float_(r), "float32");
}

// ---- WordErrorRate, CharErrorRate ------------------------------------------------

using TallyFn = Tally (*)(const Batch&);

// self.<name> += amount, with the interpreter's addition.
void add_to(py::handle self, const char* name, int64_t amount) {
  py::object held = self.attr(name);
  self.attr(name) = common::add(held, py::int_(amount));
}

void add_tally(py::handle self, const Tally& t) {
  add_to(self, "errors", t.edits);
  add_to(self, "total", t.units);
}

py::object reset_rate(py::handle self) {
  self.attr("errors") = py::int_(0);
  self.attr("total") = py::int_(0);
  return py::none();
}

std::vector<Param> pair_params() { return {arg("self"), arg("preds"), arg("target")}; }

void define_rate(py::module_& m, const char* name, const char* doc, TallyFn tally) {
  common::ClassBuilder(m, name)
      .doc(doc)
      .method("__init__", {arg("self")}, reset_rate, "A metric with no edits counted yet.")
      .method(
          "__call__", pair_params(),
          [tally](py::handle self, py::handle preds, py::handle target) -> py::object {
            const Tally t = tally(*read_batch(preds, target));
            add_tally(self, t);
            return rate(double(t.edits), double(t.units));
          },
          "metric(preds, target) -> this call's rate; also accumulates it")
      .method(
          "update", pair_params(),
          [tally](py::handle self, py::handle preds, py::handle target) -> py::object {
            add_tally(self, tally(*read_batch(preds, target)));
            return py::none();
          },
          "update(preds, target): adds the pairs' edits and reference lengths")
      .method(
          "compute", {arg("self")},
          [](py::handle self) -> py::object {
            return rate(common::to_float(self.attr("errors")),
                        common::to_float(self.attr("total")));
          },
          "compute() -> the accumulated rate")
      .method("reset", {arg("self")}, reset_rate, "reset(): forgets every update")
      .finish();
}

// ---- EditDistance -----------------------------------------------------------------

enum class Reduction { kMean, kSum, kNone };

Reduction reduction_of(py::handle value) {
  if (value.is_none()) return Reduction::kNone;
  if (PyUnicode_Check(value.ptr())) {
    const std::string s = py::str(value);
    if (s == "mean") return Reduction::kMean;
    if (s == "sum") return Reduction::kSum;
    if (s == "none") return Reduction::kNone;
  }
  common::raise_text(PyExc_ValueError,
                     "Expected argument `reduction` to be 'mean', 'sum', 'none' or None, but got ",
                     py::repr(value), ".");
}

// 0, 1 or 2: past 2 every cost gives the same distances.
int64_t substitution_of(py::handle value) {
  py::int_ cost = common::to_int(value, "substitution_cost");
  if (PyObject_RichCompareBool(cost.ptr(), py::int_(0).ptr(), Py_LT) == 1)
    common::raise_text(PyExc_ValueError,
                       "Expected argument `substitution_cost` to be at least 0, but got ", cost,
                       ".");
  if (PyObject_RichCompareBool(cost.ptr(), py::int_(2).ptr(), Py_GT) == 1) return 2;
  return common::to_int64(cost, "substitution_cost");
}

std::vector<Param> init_edit_distance_params() {
  return {arg("self"), arg("substitution_cost", py::int_(1)), arg("reduction", py::str("mean"))};
}
py::object init_edit_distance(py::handle self, py::int_ cost, py::handle reduction) {
  substitution_of(cost);
  reduction_of(reduction);
  self.attr("substitution_cost") = cost;
  self.attr("reduction") = reduction;
  self.attr("edit_scores") = py::int_(0);
  self.attr("num_elements") = py::int_(0);
  self.attr("edit_scores_list") = py::list();
  return py::none();
}

py::object reset_edit_distance(py::handle self) {
  self.attr("edit_scores") = py::int_(0);
  self.attr("num_elements") = py::int_(0);
  self.attr("edit_scores_list") = py::list();
  return py::none();
}

py::object reduce(Reduction how, py::handle sum, py::handle count, py::handle scores) {
  switch (how) {
    case Reduction::kMean: {
      const double n = common::to_float(count);
      return tensor(py::float_(n == 0 ? 0.0 : common::to_float(sum) / n), "float32");
    }
    case Reduction::kSum: return tensor(sum, "int64");
    default: return tensor(scores, "int64");
  }
}

// The pairs' distances, added to the state; returns their own reduction.
py::object update_edit_distance(py::handle self, py::handle preds, py::handle target) {
  const Reduction how = reduction_of(self.attr("reduction"));
  const int64_t substitution = substitution_of(self.attr("substitution_cost"));
  const std::vector<int64_t> d = char_distances(*read_batch(preds, target), substitution);
  int64_t sum = 0;
  py::list scores;
  for (int64_t v : d) {
    sum += v;
    if (how == Reduction::kNone) scores.append(py::int_(v));
  }
  add_to(self, "edit_scores", sum);
  add_to(self, "num_elements", static_cast<int64_t>(d.size()));
  if (how == Reduction::kNone) self.attr("edit_scores_list").attr("extend")(scores);
  return reduce(how, py::int_(sum), py::int_(d.size()), scores);
}

py::object compute_edit_distance(py::handle self) {
  return reduce(reduction_of(self.attr("reduction")), self.attr("edit_scores"),
                self.attr("num_elements"), self.attr("edit_scores_list"));
}

void define_edit_distance(py::module_& m) {
  common::ClassBuilder(m, "EditDistance")
      .doc(
          "Character Levenshtein distance of every (prediction, target) pair.\n\n"
          "Insertions and deletions cost 1, substitutions `substitution_cost`.\n"
          "`reduction`: 'mean' over the pairs (a float32 tensor, 0 without pairs),\n"
          "'sum' (an int64 tensor), or 'none'/None (the int64 distance of every pair).")
      .method("__init__", init_edit_distance_params(), init_edit_distance,
              "A metric with no pairs seen yet; see the class for the arguments.")
      .method("__call__", pair_params(), update_edit_distance,
              "metric(preds, target) -> this call's distances, reduced; also accumulates them")
      .method(
          "update", pair_params(),
          [](py::handle self, py::handle preds, py::handle target) -> py::object {
            update_edit_distance(self, preds, target);
            return py::none();
          },
          "update(preds, target): adds the pairs' distances")
      .method("compute", {arg("self")}, compute_edit_distance,
              "compute() -> the accumulated distances, reduced")
      .method("reset", {arg("self")}, reset_edit_distance, "reset(): forgets every update")
      .finish();
}

}  // namespace

PYBIND11_MODULE(textmetrics, m) {
  m.doc() =
      "Word error rate, character error rate and edit distance on text.\n\n"
      "Each metric is called as metric(preds, target): hypotheses first, references\n"
      "second, each a list of strings or one string for one utterance. The rates\n"
      "divide the edits by the references' lengths; with no reference word or\n"
      "character at all they are 0 when there is no edit and infinite otherwise.\n\n"
      "_threads: None picks the worker threads by the amount of work; an integer\n"
      "forces that many.";
  m.attr("torch") = py::module_::import("torch");
  m.attr("_threads") = py::none();
  define_rate(m, "WordErrorRate",
              "Word error rate: word-level edits over the number of reference words.\n\n"
              "Words are split on whitespace as str.split() splits them. The state is\n"
              "`errors` (edits) and `total` (reference words) over every update.",
              word_tally);
  define_rate(m, "CharErrorRate",
              "Character error rate: character edits over the number of reference\n"
              "characters (code points, spaces included). The state is `errors` and\n"
              "`total` over every update.",
              char_tally);
  define_edit_distance(m);
}
