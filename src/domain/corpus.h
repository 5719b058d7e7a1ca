// What the speech and text datasets share: listing a partition's .npy files,
// the subset rule, a pool of reader threads whose results the calling thread
// takes in file order, transcripts read natively, tokenising, and padding
// of token-id sequences.
#pragma once

#include <sched.h>
#include <torch/extension.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "binding/bind.h"
#include "binding/nnmodule.h"
#include "binding/pyutil.h"
#include "domain/npy.h"
#include "domain/rawtensor.h"
#include "domain/workers.h"

namespace common {
namespace corpus {
namespace py = pybind11;

// ---- listing and the subset rule -----------------------------------------

// The names in `dir` that end with ".npy", sorted as strings, joined to it.
inline py::list list_npy(const py::object& dir) {
  py::module_ os = py::module_::import("os");
  py::list names = os.attr("listdir")(dir);
  py::list kept;
  for (py::handle name : names)
    if (py::bool_(name.attr("endswith")(".npy"))) kept.append(name);
  if (PyList_Sort(kept.ptr()) < 0) common::rethrow();
  py::object join = os.attr("path").attr("join");
  py::list out;
  for (py::handle name : kept) out.append(join(dir, name));
  return out;
}

// The datasets call these as corpus::item and corpus::truthy.
using common::item;
using common::truthy;

// subset_size, else subset, else -1. A positive value up to 1.0 is a
// fraction of the files (1 keeps all of them), a larger one a count.
class Subset {
 public:
  explicit Subset(const py::object& cfg)
      : size_(cfg.attr("get")("subset_size", cfg.attr("get")("subset", -1))) {}

  bool active() const { return compare(size_, py::int_(0), Py_GT); }

  // Only meaningful when active().
  py::object count(size_t n_files) const {
    py::object n = py::int_(n_files);
    py::object scaled = compare(size_, py::float_(1.0), Py_LE) ? n * size_ : size_;
    PyObject* out = PyNumber_Long(scaled.ptr());
    if (!out) common::rethrow();
    return py::reinterpret_steal<py::object>(out);
  }

  static py::list first(const py::list& files, const py::object& count) {
    const Py_ssize_t k = PyNumber_AsSsize_t(count.ptr(), nullptr);  // clipped, never fails
    PyObject* out = PyList_GetSlice(files.ptr(), 0, k);
    if (!out) common::rethrow();
    return py::reinterpret_steal<py::list>(out);
  }

 private:
  py::object size_;
};

// ---- reader threads -----------------------------------------------------

// CORVANTIS_LOADER_THREADS, else the CPUs this process may run on; never
// more than there are files.
inline unsigned loader_threads(size_t n_items) {
  unsigned n = 0;
  if (const char* env = std::getenv("CORVANTIS_LOADER_THREADS")) {
    const long v = std::strtol(env, nullptr, 10);
    if (v > 0) n = static_cast<unsigned>(std::min(v, 256L));
  }
  if (n == 0) {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) n = static_cast<unsigned>(CPU_COUNT(&set));
    if (n == 0) n = std::max(1u, std::thread::hardware_concurrency());
    n = std::min(n, 16u);
  }
  return static_cast<unsigned>(std::max<size_t>(1, std::min<size_t>(n, n_items)));
}

// Runs work(i) for every i in [0, n) on `threads` threads, without the GIL
// (work must not touch Python), and consume(i) on the calling thread with the
// GIL, in order of i, as soon as item i is done. An exception from work(i) is
// raised when item i's turn comes; Ctrl-C and exceptions from consume stop
// the workers, which are joined before this returns or throws.
template <class Work, class Consume>
void run_ordered(size_t n, unsigned threads, Work&& work, Consume&& consume) {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<char> done(n, 0);
  std::vector<std::exception_ptr> failed(n);
  std::atomic<size_t> next{0};
  auto one = [&](size_t i) {
    std::exception_ptr err;
    try {
      work(i);
    } catch (...) {
      err = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      failed[i] = err;
      done[i] = 1;
    }
    cv.notify_all();
  };
  workers::Workers pool(n > 0 ? threads : 0, [&](const std::atomic<bool>& stop) {
    for (size_t i; !stop && (i = next++) < n;) one(i);
  });

  for (size_t i = 0; i < n; ++i) {
    if (pool.started() == 0) {  // no thread could be started: the items run here
      py::gil_scoped_release nogil;
      one(i);
    }
    for (;;) {
      bool ready;
      {
        std::unique_lock<std::mutex> lock(mu);
        ready = done[i] != 0;
      }
      if (!ready) {
        py::gil_scoped_release nogil;
        std::unique_lock<std::mutex> lock(mu);
        ready = cv.wait_for(lock, workers::kSignalPoll, [&] { return done[i] != 0; });
      }
      if (ready) break;
      if (pool.failed()) pool.join();  // a worker died outside work(i)
      if (PyErr_CheckSignals() != 0) common::rethrow();
    }
    if (failed[i]) std::rethrow_exception(failed[i]);
    consume(i);
  }
  pool.join();
}

// ---- per-file failures -----------------------------------------------------

// A failure met by a reader thread, turned into a Python exception later on
// the calling thread, where the file's name is at hand.
struct Failure {
  enum Kind { kNone, kOs, kNpy, kIndex, kValue } kind = kNone;
  int err = 0;
  npy::Error::Code code = npy::Error::kMalformed;
  std::string what;

  explicit operator bool() const { return kind != kNone; }

  // Runs fn, recording what it throws.
  template <class Fn>
  bool capture(Fn&& fn) {
    try {
      fn();
      return true;
    } catch (const npy::Error& e) {
      kind = kNpy;
      code = e.code;
      what = e.what();
    } catch (const npy::OsError& e) {
      kind = kOs;
      err = e.err;
    }
    return false;
  }
};

[[noreturn]] inline void raise_failure(const Failure& f, const py::handle& path) {
  const std::string name = py::str(path);
  switch (f.kind) {
    case Failure::kOs:
      errno = f.err;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
      common::rethrow();
    case Failure::kIndex: common::raise(PyExc_IndexError, f.what);
    case Failure::kValue: common::raise(PyExc_ValueError, "Cannot load '" + name + "': " + f.what);
    default: break;
  }
  if (f.code == npy::Error::kObject)
    common::raise(PyExc_ValueError,
                  "Refusing to load '" + name + "': " + f.what +
                      "; such files are never unpickled (save the array with a string or "
                      "numeric dtype instead)");
  if (f.code == npy::Error::kUnsupported)
    common::raise(PyExc_ValueError, "Cannot load '" + name + "': " + f.what);
  common::raise(PyExc_ValueError, "Malformed .npy file '" + name + "': " + f.what);
}

// The paths as the operating system takes them (os.fsencode).
inline std::vector<std::string> fs_paths(const py::list& files) {
  std::vector<std::string> out;
  out.reserve(files.size());
  py::object fsencode = py::module_::import("os").attr("fsencode");
  for (py::handle f : files) out.push_back(py::bytes(fsencode(f)));
  return out;
}

// ---- transcripts ----------------------------------------------------------

// One transcript file. A 0-d or 1-d unicode array is joined natively; any
// other array keeps its raw data, and the calling thread joins its tolist()
// as Python would (failing the same way on non-strings).
struct TranscriptSlot {
  Failure fail;
  npy::Header header;
  bool joined = false;
  std::u32string text;
  std::vector<unsigned char> raw;

  // Rows that hold nothing, as in shape (n, 0): tolist() would build n empty
  // lists (however many the header declares) only for the join to refuse the
  // first one.
  bool empty_rows() const {
    return header.count == 0 && header.shape.size() >= 2 && header.shape[0] > 0;
  }

  void read(const std::string& path) {
    fail.capture([&] {
      npy::FileSource src(path.c_str());
      header = src.header();
      if (empty_rows()) return;
      raw = npy::read_data(src, header);
      if (header.dtype.kind == npy::Kind::Unicode && header.shape.size() <= 1) {
        text = npy::join_unicode(header, raw.data());
        joined = true;
        raw = {};
      }
    });
  }
};

inline py::str transcript_text(TranscriptSlot& slot, const py::handle& path) {
  if (slot.fail) raise_failure(slot.fail, path);
  if (slot.empty_rows())
    common::raise(PyExc_TypeError, "sequence item 0: expected str instance, list found");
  if (slot.joined) {
    PyObject* s = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, slot.text.data(),
                                            static_cast<Py_ssize_t>(slot.text.size()));
    if (!s) common::rethrow();
    slot.text = {};
    return py::reinterpret_steal<py::str>(s);
  }
  const npy::Header& h = slot.header;
  py::module_ np = py::module_::import("numpy");
  std::string native = h.dtype.descr;
  if (h.dtype.swap) native[0] = '=';  // the data was swapped on reading
  py::tuple shape(h.shape.size());
  for (size_t d = 0; d < h.shape.size(); ++d) shape[d] = py::int_(h.shape[d]);
  py::bytes data(reinterpret_cast<const char*>(slot.raw.data()), slot.raw.size());
  py::object arr = np.attr("frombuffer")(data, np.attr("dtype")(native))
                       .attr("reshape")(shape, py::arg("order") = h.fortran ? "F" : "C");
  slot.raw = {};
  return py::str("").attr("join")(arr.attr("tolist")());
}

// transcripts_shifted / transcripts_golden and the running totals.
struct Transcripts {
  py::list shifted, golden;
  long long total_chars = 0, total_tokens = 0, text_max_len = 0;

  // [sos] + tokenized and tokenized + [eos]; a tokenizer that returns
  // something other than a list fails as the concatenation would.
  void add(const py::object& encode, const py::object& sos, const py::object& eos,
           const py::str& text) {
    total_chars += PyUnicode_GET_LENGTH(text.ptr());
    py::object ids = encode(text);
    const Py_ssize_t n = PyObject_Size(ids.ptr());
    if (n < 0) common::rethrow();
    total_tokens += n;
    text_max_len = std::max<long long>(text_max_len, n + 1);
    if (PyList_CheckExact(ids.ptr())) {
      shifted.append(framed(ids, n, sos, true));
      golden.append(framed(ids, n, eos, false));
      return;
    }
    shifted.append(concat(py::list(py::make_tuple(sos)), ids));
    golden.append(concat(ids, py::list(py::make_tuple(eos))));
  }

 private:
  static py::object concat(const py::object& a, const py::object& b) { return common::add(a, b); }

  static py::list framed(const py::object& ids, Py_ssize_t n, const py::object& mark, bool front) {
    PyObject* out = PyList_New(n + 1);
    if (!out) common::rethrow();
    const Py_ssize_t shift = front ? 1 : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* id = PyList_GET_ITEM(ids.ptr(), i);
      Py_INCREF(id);
      PyList_SET_ITEM(out, i + shift, id);
    }
    PyList_SET_ITEM(out, front ? 0 : n, mark.inc_ref().ptr());
    return py::reinterpret_steal<py::list>(out);
  }
};

// total_chars / total_tokens, or the integer 0 without tokens.
inline py::object chars_per_token(const Transcripts& t) {
  if (t.total_tokens > 0)
    return py::float_(static_cast<double>(t.total_chars) / static_cast<double>(t.total_tokens));
  return py::int_(0);
}

// ---- a progress bar over the files ---------------------------------------

// tqdm(total=n), closed when it goes out of scope, error or not.
class Progress {
 public:
  Progress(const py::object& tqdm, size_t n) : bar_(tqdm(py::arg("total") = n)) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void step() { bar_.attr("update")(1); }
  void close() {
    if (!bar_) return;
    py::object bar = std::move(bar_);
    bar.attr("close")();
  }
  ~Progress() {
    try {
      close();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("closing a progress bar");
    }
  }

 private:
  py::object bar_;
};

// ---- tensors of token ids -------------------------------------------------

// torch.LongTensor(ids) for a list of ints, built directly when every element
// is a plain int in range; anything else goes through torch itself.
inline py::object long_tensor(py::handle ids) {
  if (PyList_CheckExact(ids.ptr())) {
    const Py_ssize_t n = PyList_GET_SIZE(ids.ptr());
    at::Tensor out = at::empty({n}, at::kLong);
    int64_t* p = out.data_ptr<int64_t>();
    bool plain = true;
    for (Py_ssize_t i = 0; i < n && plain; ++i) {
      PyObject* v = PyList_GET_ITEM(ids.ptr(), i);
      int overflow = 0;
      p[i] = PyLong_CheckExact(v) ? PyLong_AsLongLongAndOverflow(v, &overflow) : 0;
      plain = PyLong_CheckExact(v) && overflow == 0;
    }
    if (plain) return py::cast(out);
  }
  return py::module_::import("torch").attr("LongTensor")(ids);
}

// The pad value as pad_sequence stores it in an int64 tensor, for a plain
// int or float: converted to a float, then as ATen fills int64 tensors with
// one (values out of range, NaN and infinities raise "value cannot be
// converted to type int64_t without overflow"). Anything else, whose
// conversion may run Python code, is left to pad_sequence.
inline std::optional<int64_t> pad_value(py::handle pad) {
  if (!PyFloat_CheckExact(pad.ptr()) && !PyLong_CheckExact(pad.ptr())) return std::nullopt;
  return c10::Scalar(common::to_float(pad)).to<int64_t>();
}

// The sequences when every one is a 1-D int64 tensor that can be read natively.
inline std::optional<std::vector<at::Tensor>> plain_ids(const std::vector<py::object>& seqs) {
  std::vector<at::Tensor> ts;
  ts.reserve(seqs.size());
  for (const auto& s : seqs) {
    if (!common::nn::is_tensor(s)) return std::nullopt;
    at::Tensor t = THPVariable_Unpack(s.ptr());
    if (t.dim() != 1 || !common::raw::readable(t, at::kLong)) return std::nullopt;
    ts.push_back(std::move(t));
  }
  return ts;
}

// pad_sequence(seqs, batch_first=True, padding_value=pad) for 1-D int64 CPU
// tensors and a plain pad value; nullopt for anything else (or no sequences),
// so that the caller can leave the case to pad_sequence itself. No Python
// code runs between measuring the sequences and copying them.
inline std::optional<at::Tensor> pad_ids(const std::vector<py::object>& seqs, py::handle pad) {
  const auto ts = seqs.empty() ? std::nullopt : plain_ids(seqs);
  if (!ts) return std::nullopt;
  const std::optional<int64_t> fill = pad_value(pad);
  if (!fill) return std::nullopt;
  int64_t longest = 0;
  for (const auto& t : *ts) longest = std::max(longest, t.size(0));
  at::Tensor out = at::full({static_cast<int64_t>(ts->size()), longest}, *fill, at::kLong);
  int64_t* o = out.data_ptr<int64_t>();
  for (size_t b = 0; b < ts->size(); ++b) {
    const at::Tensor& t = (*ts)[b];
    const int64_t stride = t.stride(0), n = t.size(0);
    if (n == 0) continue;
    const int64_t* src = t.data_ptr<int64_t>();
    for (int64_t i = 0; i < n; ++i) o[static_cast<int64_t>(b) * longest + i] = src[i * stride];
  }
  return out;
}

// len() of each sequence, as an int64 tensor.
inline at::Tensor lengths_of(const std::vector<py::object>& seqs) {
  at::Tensor out = at::empty({static_cast<int64_t>(seqs.size())}, at::kLong);
  int64_t* p = out.data_ptr<int64_t>();
  for (size_t i = 0; i < seqs.size(); ++i) {
    const Py_ssize_t n = PyObject_Size(seqs[i].ptr());
    if (n < 0) common::rethrow();
    p[i] = n;
  }
  return out;
}

// The texts of a failed `a, b = values` in compiled extension modules.
[[noreturn]] inline void raise_unpack(Py_ssize_t found, Py_ssize_t expected) {
  if (found > expected)
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
  else
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
  common::rethrow();
}

}  // namespace corpus
}  // namespace common

namespace corpus = common::corpus;
