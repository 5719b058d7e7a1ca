// Speech corpus: filterbank features and character transcripts of one
// partition, read whole into memory by native reader threads, with global or
// per-utterance normalisation and padded, SpecAugment-masked batches.
#include <pybind11/numpy.h>
#include <torch/extension.h>

#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/pyutil.h"
#include "binding/settings.h"
#include "domain/corpus.h"
#include "domain/npy.h"
#include "domain/rawtensor.h"
#include "domain/workers.h"

namespace py = pybind11;
using common::arg;
using common::Param;
using corpus::Failure;

namespace {

constexpr const char* kModule = "corvantis.data.pimbrook";

constexpr common::Globals global{kModule};

// ---- loading features -----------------------------------------------------

// One feature file: its header (first pass), then its rows read into the
// NumPy array made for them and their per-bin statistics (second pass).
struct FeatureSlot {
  Failure fail;
  npy::Header header;
  uint64_t rows = 0;
  void* data = nullptr;
  std::vector<double> mean, m2;  // per bin over this file's frames
  bool non_finite = false;       // some value is NaN or infinite
};

// Rows kept by feat[:num_feats, :] of an array with `n` rows.
uint64_t kept_rows(uint64_t n, Py_ssize_t stop) {
  if (stop < 0)
    return static_cast<uint64_t>(std::max<long long>(0, static_cast<long long>(n) + stop));
  return std::min<uint64_t>(n, static_cast<uint64_t>(stop));
}

void check_feature_header(FeatureSlot& s, Py_ssize_t stop) {
  const auto& h = s.header;
  if (h.shape.size() < 2) {
    s.fail.kind = Failure::kIndex;
    s.fail.what = "too many indices for array: array is " + std::to_string(h.shape.size()) +
                  "-dimensional, but 2 were indexed";
  } else if (h.shape.size() > 2) {
    s.fail.kind = Failure::kValue;
    s.fail.what = "features must be a 2-D array (bins, frames), this one has " +
                  std::to_string(h.shape.size()) + " dimensions";
  } else if (!h.dtype.numeric()) {
    s.fail.kind = Failure::kValue;
    s.fail.what = "features must be numbers, this array has dtype " + h.dtype.descr;
  } else {
    s.rows = kept_rows(h.shape[0], stop);
  }
}

bool same_layout(const npy::Header& a, const npy::Header& b) {
  return a.shape == b.shape && a.fortran == b.fortran && a.data_offset == b.data_offset &&
         a.dtype.descr == b.dtype.descr;
}

// Per-bin mean and sum of squared deviations of one (rows, frames) matrix,
// in float64 over its values as float32 (the precision items are served in).
template <class T, class Conv>
void file_stats(const T* x, uint64_t rows, uint64_t cols, Conv conv, FeatureSlot& s) {
  s.mean.assign(rows, 0.0);
  s.m2.assign(rows, 0.0);
  if (cols == 0) return;
  for (uint64_t r = 0; r < rows; ++r) {
    const T* row = x + r * cols;
    double sum = 0.0;
    for (uint64_t t = 0; t < cols; ++t) sum += static_cast<double>(conv(row[t]));
    if (!std::isfinite(sum)) {  // float32 values summed in float64 never overflow
      s.non_finite = true;
      return;
    }
    const double mean = sum / static_cast<double>(cols);
    double m2 = 0.0;
    for (uint64_t t = 0; t < cols; ++t) {
      const double d = static_cast<double>(conv(row[t])) - mean;
      m2 += d * d;
    }
    s.mean[r] = mean;
    s.m2[r] = m2;
  }
}

template <class T>
void typed_stats(const void* x, uint64_t rows, uint64_t cols, FeatureSlot& s) {
  file_stats(
      static_cast<const T*>(x), rows, cols, [](T v) { return static_cast<float>(v); }, s);
}

void compute_stats(FeatureSlot& s) {
  const uint64_t rows = s.rows, cols = s.header.shape[1];
  const size_t size = s.header.dtype.itemsize;
  switch (s.header.dtype.kind) {
    case npy::Kind::Float:
      if (size == 2)
        file_stats(static_cast<const uint16_t*>(s.data), rows, cols, npy::half_to_float, s);
      else if (size == 4)
        typed_stats<float>(s.data, rows, cols, s);
      else
        typed_stats<double>(s.data, rows, cols, s);
      return;
    case npy::Kind::Bool:
      file_stats(
          static_cast<const uint8_t*>(s.data), rows, cols,
          [](uint8_t v) { return v ? 1.0f : 0.0f; }, s);
      return;
    case npy::Kind::Int:
      if (size == 1)
        typed_stats<int8_t>(s.data, rows, cols, s);
      else if (size == 2)
        typed_stats<int16_t>(s.data, rows, cols, s);
      else if (size == 4)
        typed_stats<int32_t>(s.data, rows, cols, s);
      else
        typed_stats<int64_t>(s.data, rows, cols, s);
      return;
    default:
      if (size == 1)
        typed_stats<uint8_t>(s.data, rows, cols, s);
      else if (size == 2)
        typed_stats<uint16_t>(s.data, rows, cols, s);
      else if (size == 4)
        typed_stats<uint32_t>(s.data, rows, cols, s);
      else
        typed_stats<uint64_t>(s.data, rows, cols, s);
  }
}

// Running per-bin mean and M2 over all frames seen, one file at a time
// (the parallel form of Welford's update).
struct GlobalStats {
  explicit GlobalStats(size_t bins) : mean(bins, 0.0), m2(bins, 0.0) {}

  void merge(const FeatureSlot& s) {
    const uint64_t n = s.header.shape[1];
    if (n == 0) return;
    const double before = static_cast<double>(count), added = static_cast<double>(n);
    count += n;
    const double total = static_cast<double>(count);
    for (size_t f = 0; f < mean.size(); ++f) {
      const double delta = s.mean[f] - mean[f];
      mean[f] += delta * added / total;
      m2[f] += s.m2[f] + delta * delta * before * added / total;
    }
  }

  uint64_t count = 0;
  std::vector<double> mean, m2;
};

// What the reader threads need to know, fixed before they start.
struct LoadPlan {
  bool labelled = true;
  std::optional<GlobalStats> stats;  // when global statistics are computed
  Py_ssize_t rows_stop = PY_SSIZE_T_MAX;
};

py::dtype native_dtype(const npy::DType& dt) {
  static const char* kinds = "?iuf";
  const char k = kinds[static_cast<int>(dt.kind)];
  return py::dtype(k == '?' ? std::string("?") : std::string(1, k) + std::to_string(dt.itemsize));
}

// The feature arrays, each a fresh NumPy array (rows, frames) owning its
// memory, for the readers to fill.
std::vector<py::array> make_arrays(std::vector<FeatureSlot>& slots) {
  std::vector<py::array> arrays(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) {
    FeatureSlot& s = slots[i];
    if (s.fail) continue;
    const std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(s.rows),
                                         static_cast<py::ssize_t>(s.header.shape[1])};
    arrays[i] = py::array(native_dtype(s.header.dtype), shape);
    s.data = arrays[i].mutable_data();
  }
  return arrays;
}

void read_features(FeatureSlot& s, const std::string& path, const LoadPlan& plan,
                   std::vector<unsigned char>& scratch) {
  if (s.fail) return;
  s.fail.capture([&] {
    npy::FileSource src(path.c_str());
    const npy::Header h = src.header();
    if (!same_layout(h, s.header)) npy::malformed("the file changed while it was read");
    npy::read_rows(src, h, s.rows, s.data, scratch);
  });
  if (s.fail || !plan.stats) return;
  if (s.rows != plan.stats->mean.size()) {
    s.fail.kind = Failure::kValue;
    s.fail.what = "global_mvn needs num_feats = " + std::to_string(plan.stats->mean.size()) +
                  " feature rows in every file, this one has " + std::to_string(s.rows);
    return;
  }
  compute_stats(s);
}

// One NaN or infinity would make every global statistic NaN.
[[noreturn]] void raise_non_finite(py::handle path) {
  common::raise(PyExc_ValueError,
                "global_mvn: the features in '" + std::string(py::str(path)) +
                    "' hold non-finite values (NaN or infinity); the global mean and std "
                    "cannot be computed from them");
}

// What the loop over the files leaves behind.
struct Loaded {
  py::list feats;
  corpus::Transcripts text;
  long long feat_max_len = 0;
};

Loaded load_partition(const py::list& fbank_files, const py::list& text_files,
                      const py::object& tokenizer, const py::object& sos, const py::object& eos,
                      LoadPlan& plan) {
  const size_t n = fbank_files.size();
  const auto fbank_paths = corpus::fs_paths(fbank_files);
  const auto text_paths = plan.labelled ? corpus::fs_paths(text_files) : std::vector<std::string>();
  std::vector<FeatureSlot> feats(n);
  std::vector<corpus::TranscriptSlot> texts(plan.labelled ? n : 0);
  const unsigned threads = corpus::loader_threads(n);
  const Py_ssize_t stop = plan.rows_stop;

  corpus::Progress bar(global("tqdm"), n);
  corpus::run_ordered(
      n, threads,
      [&](size_t i) {
        FeatureSlot& s = feats[i];
        if (s.fail.capture([&] { s.header = npy::FileSource(fbank_paths[i].c_str()).header(); }))
          check_feature_header(s, stop);
      },
      [](size_t) {});
  std::vector<py::array> arrays = make_arrays(feats);

  Loaded out;
  py::object encode = tokenizer.attr("encode");
  corpus::run_ordered(
      n, threads,
      [&](size_t i) {
        thread_local std::vector<unsigned char> scratch;
        read_features(feats[i], fbank_paths[i], plan, scratch);
        if (plan.labelled) texts[i].read(text_paths[i]);
      },
      [&](size_t i) {
        FeatureSlot& s = feats[i];
        if (s.fail) corpus::raise_failure(s.fail, fbank_files[i]);
        if (s.non_finite) raise_non_finite(fbank_files[i]);
        out.feats.append(std::move(arrays[i]));
        out.feat_max_len = std::max<long long>(out.feat_max_len, s.header.shape[1]);
        if (plan.stats) plan.stats->merge(s);
        s.mean = {};
        s.m2 = {};
        if (plan.labelled)
          out.text.add(encode, sos, eos, corpus::transcript_text(texts[i], text_files[i]));
        bar.step();
      });
  bar.close();
  return out;
}

// ---- construction ---------------------------------------------------------

py::object float_tensor(const std::vector<double>& values) {
  at::Tensor t = at::empty({static_cast<int64_t>(values.size())}, at::kFloat);
  float* p = t.data_ptr<float>();
  for (size_t i = 0; i < values.size(); ++i) p[i] = static_cast<float>(values[i]);
  return py::cast(t);
}

// global_std then global_mean: sqrt(M2 / (count - 1) + 1e-8) and the mean.
void set_global_stats(const py::object& self, const GlobalStats& g) {
  if (g.count == 1)
    common::raise(PyExc_ValueError,
                  "global_mvn needs at least two feature frames in the training partition to "
                  "estimate the standard deviation; this partition has one");
  std::vector<double> std_(g.m2.size());
  const double dof = static_cast<double>(g.count) - 1.0;
  for (size_t f = 0; f < std_.size(); ++f) std_[f] = std::sqrt(g.m2[f] / dof + 1e-8);
  self.attr("global_std") = float_tensor(std_);
  self.attr("global_mean") = float_tensor(g.mean);
}

void set_masks(const py::object& self, const py::dict& c) {
  py::object tat = global("tat");
  py::object conf = corpus::item(c, "specaug_conf");
  self.attr("time_mask") = tat.attr("TimeMasking")(
      py::arg("time_mask_param") = corpus::item(conf, "time_mask_width_range"),
      py::arg("iid_masks") = true);
  conf = corpus::item(c, "specaug_conf");
  self.attr("freq_mask") = tat.attr("FrequencyMasking")(
      py::arg("freq_mask_param") = corpus::item(conf, "freq_mask_width_range"),
      py::arg("iid_masks") = true);
}

// num_feats, an integer (80.0 from a YAML file is refused, not truncated).
py::object num_feats(const py::dict& c) {
  py::object n = corpus::item(c, "num_feats");
  common::settings::integer(n, "num_feats", "an integer number of feature bins");
  return n;
}

// norm: any other text is a typo that would silently skip normalisation.
void check_norm(const py::dict& c) {
  py::object norm = corpus::item(c, "norm");
  for (const char* known : {"global_mvn", "cepstral", "none"})
    if (common::compare(norm, py::str(known), Py_EQ)) return;
  common::settings::refuse(PyExc_ValueError, "norm", "'global_mvn', 'cepstral' or 'none'", norm);
}

// The stop of feat[:num_feats, :], read from the configuration.
Py_ssize_t rows_stop(const py::dict& c) {
  py::object sl =
      py::reinterpret_steal<py::object>(PySlice_New(nullptr, num_feats(c).ptr(), nullptr));
  if (!sl) common::rethrow();
  Py_ssize_t start, stop, step;
  if (PySlice_Unpack(sl.ptr(), &start, &stop, &step) < 0) common::rethrow();
  return stop;
}

size_t stats_bins(const py::dict& c) {
  py::object n = num_feats(c);
  const Py_ssize_t bins = PyNumber_AsSsize_t(n.ptr(), PyExc_OverflowError);
  if (bins == -1 && PyErr_Occurred()) common::rethrow();
  if (bins < 0) common::raise(PyExc_ValueError, "num_feats must not be negative");
  return static_cast<size_t>(bins);
}

// The file lists (fbank, then text unless unlabelled), cut to the subset.
std::pair<py::list, py::list> list_files(const py::object& self, const py::dict& c,
                                         const py::object& partition, bool labelled) {
  py::object join = py::module_::import("os").attr("path").attr("join");
  py::object fbank_dir = join(corpus::item(c, "root"), partition, "fbank");
  self.attr("fbank_dir") = fbank_dir;
  py::list fbank = corpus::list_npy(fbank_dir);
  const corpus::Subset subset(c);
  py::object count;
  if (subset.active()) {
    count = subset.count(fbank.size());
    fbank = corpus::Subset::first(fbank, count);
  }
  self.attr("fbank_files") = fbank;
  self.attr("length") = py::int_(fbank.size());
  py::list text;
  if (!labelled) return {fbank, text};
  py::object text_dir = join(corpus::item(c, "root"), partition, "text");
  self.attr("text_dir") = text_dir;
  text = corpus::list_npy(text_dir);
  if (subset.active()) text = corpus::Subset::first(text, count);
  self.attr("text_files") = text;
  if (fbank.size() != text.size())
    common::raise(PyExc_ValueError, "Number of feature and transcript files must match");
  return {fbank, text};
}

std::vector<Param> init_params() {
  return {arg("self"),
          arg("partition").annotated("Literal['train-clean-100', 'dev-clean', 'test-clean']"),
          arg("config").annotated("dict"),
          arg("tokenizer").annotated("ZelTokenizer"),
          arg("isTrainPartition").annotated("bool"),
          arg("global_stats", py::none()).annotated("Optional[Tuple[torch.Tensor, torch.Tensor]]")};
}
// isTrainPartition is read before config is checked.
py::object init(py::object self, py::object partition, py::handle config, py::object tokenizer,
                py::handle isTrainPartition, py::handle global_stats_arg) {
  const bool train = corpus::truthy(isTrainPartition);
  const py::dict c = common::exact_dict(config, "config");
  const py::object global_stats = common::optional_tuple(global_stats_arg, "global_stats");

  self.attr("config") = c;
  self.attr("partition") = partition;
  self.attr("isTrainPartition") = py::bool_(train);
  self.attr("tokenizer") = tokenizer;
  const py::object eos = tokenizer.attr("eos_id"), sos = tokenizer.attr("sos_id");
  self.attr("eos_token") = eos;
  self.attr("sos_token") = sos;
  self.attr("pad_token") = tokenizer.attr("pad_id");

  LoadPlan plan;
  plan.labelled = !common::compare(partition, py::str("test-clean"), Py_EQ);
  auto [fbank, text] = list_files(self, c, partition, plan.labelled);

  for (const char* name : {"feats", "transcripts_shifted", "transcripts_golden"})
    self.attr(name) = py::list();
  for (const char* name : {"total_chars", "total_tokens", "feat_max_len", "text_max_len"})
    self.attr(name) = py::int_(0);

  check_norm(c);
  if (common::compare(corpus::item(c, "norm"), py::str("global_mvn"), Py_EQ) &&
      global_stats.is_none()) {
    if (!train)
      common::raise(PyExc_ValueError,
                    "global_stats must be provided for non-training partitions when using "
                    "global_mvn");
    plan.stats.emplace(stats_bins(c));
  }

  common::print(py::str("Loading data for {} partition...").format(partition));
  if (fbank.size() > 0) plan.rows_stop = rows_stop(c);
  Loaded data = load_partition(fbank, text, tokenizer, sos, eos, plan);

  self.attr("feats") = data.feats;
  self.attr("transcripts_shifted") = data.text.shifted;
  self.attr("transcripts_golden") = data.text.golden;
  self.attr("total_chars") = py::int_(data.text.total_chars);
  self.attr("total_tokens") = py::int_(data.text.total_tokens);
  self.attr("feat_max_len") = py::int_(data.feat_max_len);
  self.attr("text_max_len") = py::int_(data.text.text_max_len);
  self.attr("avg_chars_per_token") = corpus::chars_per_token(data.text);

  if (plan.labelled && (data.feats.size() != data.text.shifted.size() ||
                        data.feats.size() != data.text.golden.size()))
    common::raise(PyExc_ValueError, "Features and transcripts are misaligned");

  if (common::compare(corpus::item(c, "norm"), py::str("global_mvn"), Py_EQ)) {
    if (!global_stats.is_none()) {
      const py::tuple given = global_stats;
      if (given.size() != 2) corpus::raise_unpack(static_cast<Py_ssize_t>(given.size()), 2);
      self.attr("global_mean") = given[0];
      self.attr("global_std") = given[1];
    } else {
      set_global_stats(self, *plan.stats);
    }
  }
  set_masks(self, c);
  return py::none();
}

// ---- items ----------------------------------------------------------------

// torch.FloatTensor(feat): float32 arrays are shared, others converted (big-
// endian and unsigned arrays too, which torch alone refuses).
at::Tensor feature_tensor(const py::object& feat) {
  py::module_ torch = py::module_::import("torch");
  py::object t;
  if (py::isinstance<py::array>(feat) &&
      std::string("biuf").find(py::cast<py::array>(feat).dtype().kind()) != std::string::npos) {
    py::module_ np = py::module_::import("numpy");
    t = torch.attr("from_numpy")(np.attr("asarray")(feat, py::arg("dtype") = np.attr("float32")));
  } else {
    t = torch.attr("FloatTensor")(feat);
  }
  return THPVariable_Unpack(t.ptr());
}

bool assertions_on() {
  return py::int_(py::module_::import("sys").attr("flags").attr("optimize")).cast<long>() == 0;
}

at::Tensor global_tensor(const py::object& v) {
  if (!common::nn::is_tensor(v))
    common::raise(PyExc_TypeError, "global_mean and global_std must be tensors, got " +
                                       std::string(common::type_name(v)));
  return THPVariable_Unpack(v.ptr());
}

at::Tensor normalise(const py::object& self, at::Tensor feat) {
  const py::object config = self.attr("config");
  if (common::compare(corpus::item(config, "norm"), py::str("global_mvn"), Py_EQ)) {
    const py::object mean = self.attr("global_mean");
    const py::object std_ = self.attr("global_std");
    if (assertions_on() && (mean.is_none() || std_.is_none()))
      common::raise(PyExc_AssertionError,
                    "Global mean and std must be computed before normalization");
    return (feat - global_tensor(mean).unsqueeze(1)) / (global_tensor(std_).unsqueeze(1) + 1e-8);
  }
  if (common::compare(corpus::item(config, "norm"), py::str("cepstral"), Py_EQ))
    return (feat - feat.mean({1}, true)) / (feat.std({1}, true, true) + 1e-8);
  return feat;
}

std::vector<Param> get_item_params() {
  return {arg("self"), arg("idx"),
          common::returns("Tuple[torch.Tensor, torch.Tensor, torch.Tensor]")};
}
py::object get_item(py::object self, py::handle idx) {
  const py::object feats = self.attr("feats");
  at::Tensor feat = normalise(self, feature_tensor(feats[idx]));
  py::object shifted = py::none(), golden = py::none();
  if (!common::compare(self.attr("partition"), py::str("test-clean"), Py_EQ)) {
    shifted = corpus::long_tensor(self.attr("transcripts_shifted")[idx]);
    golden = corpus::long_tensor(self.attr("transcripts_golden")[idx]);
  }
  return py::make_tuple(feat, shifted, golden);
}

// ---- batches --------------------------------------------------------------

// The feature tensors of a batch when all are 2-D float32 tensors that can
// be read natively, with the same number of bins and no gradient: the case
// padded natively. They are padded as soon as they are measured, before any
// Python code runs; only their frame counts are kept for masking later.
struct FeatureBatch {
  std::vector<at::Tensor> feats;
  std::vector<int64_t> frames;
  int64_t bins = 0, longest = 0;
};

std::optional<FeatureBatch> plain_features(const std::vector<py::object>& firsts) {
  if (firsts.empty()) return std::nullopt;
  FeatureBatch b;
  for (const auto& f : firsts) {
    if (!common::nn::is_tensor(f)) return std::nullopt;
    at::Tensor t = THPVariable_Unpack(f.ptr());
    if (t.dim() != 2 || !common::raw::readable(t, at::kFloat) || t.requires_grad())
      return std::nullopt;
    if (!b.feats.empty() && t.size(0) != b.bins) return std::nullopt;
    b.bins = t.size(0);
    b.longest = std::max(b.longest, t.size(1));
    b.frames.push_back(t.size(1));
    b.feats.push_back(std::move(t));
  }
  return b;
}

// Per utterance, 1 where a bin (or frame) is kept and 0 where it is masked.
struct Masks {
  at::Tensor freq, time;  // (B, bins), (B, frames); undefined: nothing masked
};

// (bins, frames) to (frames, bins), a tile of frames at a time: the reads
// run along the rows and the tile of output rows stays in cache.
template <bool kUnitStride>
void transpose(const float* src, int64_t bins, int64_t frames, int64_t sb, int64_t st, float* out) {
  constexpr int64_t kTile = 8;
  int64_t t0 = 0;
  for (; t0 + kTile <= frames; t0 += kTile)
    for (int64_t f = 0; f < bins; ++f) {
      const float* row = src + f * sb + t0 * st;
      for (int64_t j = 0; j < kTile; ++j) out[(t0 + j) * bins + f] = row[kUnitStride ? j : j * st];
    }
  for (; t0 < frames; ++t0)
    for (int64_t f = 0; f < bins; ++f) out[t0 * bins + f] = src[f * sb + t0 * st];
}

// Utterance x as (frames, bins) rows of `out`, zero past its length. Without
// bins there is nothing to write, however many frames a file declares.
void pad_one(const at::Tensor& x, float* out, int64_t longest) {
  const int64_t bins = x.size(0), frames = x.size(1);
  if (bins == 0) return;
  const float* src = frames > 0 ? x.data_ptr<float>() : nullptr;
  if (frames > 0 && x.stride(1) == 1)
    transpose<true>(src, bins, frames, x.stride(0), 1, out);
  else if (frames > 0)
    transpose<false>(src, bins, frames, x.stride(0), x.stride(1), out);
  std::fill(out + frames * bins, out + longest * bins, 0.0f);
}

// Zeros in one padded utterance (frames, bins) wherever a mask falls (fkeep,
// tkeep: 1 kept, 0 masked; null: no mask). Past its length it is zero anyway.
void mask_one(float* out, int64_t bins, int64_t frames, const float* fkeep, const float* tkeep) {
  if (tkeep)
    for (int64_t t = 0; t < frames; ++t)
      if (tkeep[t] == 0.0f) std::fill(out + t * bins, out + (t + 1) * bins, 0.0f);
  std::vector<int64_t> masked;
  for (int64_t f = 0; fkeep && f < bins; ++f)
    if (fkeep[f] == 0.0f) masked.push_back(f);
  if (!masked.empty())
    for (int64_t t = 0; t < frames; ++t)
      for (int64_t f : masked) out[t * bins + f] = 0.0f;
}

// Utterances side by side on as many threads as torch's intra-op setting.
// (ATen's parallel_for is an OpenMP pragma in its header, inert here.)
template <class Fn>
void for_each_utterance(const FeatureBatch& b, Fn&& fn) {
  workers::parallel_items(b.frames.size(), static_cast<unsigned>(at::get_num_threads()), fn);
}

// pad_sequence of the transposed features, with 0.0.
at::Tensor pad_features(const FeatureBatch& b) {
  const int64_t n = static_cast<int64_t>(b.feats.size());
  at::Tensor out = at::empty({n, b.longest, b.bins}, at::kFloat);
  float* o = out.data_ptr<float>();
  for_each_utterance(b, [&](size_t i) {
    pad_one(b.feats[i], o + static_cast<int64_t>(i) * b.longest * b.bins, b.longest);
  });
  return out;
}

// A mask as (batch, length) float32 values that can be read natively.
const float* mask_data(at::Tensor& mask, int64_t n, int64_t length) {
  if (!mask.defined()) return nullptr;
  mask = mask.to(at::kFloat).contiguous();
  if (!common::raw::readable(mask, at::kFloat) || mask.numel() != n * length)
    common::raise(PyExc_RuntimeError, "collate_fn: a SpecAugment mask has an unexpected shape");
  return mask.data_ptr<float>();
}

// The masks applied in place to the batch padded by pad_features, which no
// Python code has seen yet.
void mask_features(at::Tensor& padded, const FeatureBatch& b, Masks& m) {
  const int64_t n = static_cast<int64_t>(b.frames.size());
  float* o = padded.data_ptr<float>();
  const float* fm = mask_data(m.freq, n, b.bins);
  const float* tm = mask_data(m.time, n, b.longest);
  for_each_utterance(b, [&](size_t k) {
    const auto i = static_cast<int64_t>(k);
    mask_one(o + i * b.longest * b.bins, b.bins, b.frames[k], fm ? fm + i * b.bins : nullptr,
             tm ? tm + i * b.longest : nullptr);
  });
}

std::vector<py::object> column(const std::vector<py::object>& items, int k) {
  std::vector<py::object> out;
  out.reserve(items.size());
  for (const auto& it : items) out.push_back(it[py::int_(k)]);
  return out;
}

py::list as_list(const std::vector<py::object>& v) {
  py::list out;
  for (const auto& o : v) out.append(o);
  return out;
}

py::object pad_sequence(const std::vector<py::object>& seqs, py::handle value) {
  return global("pad_sequence")(as_list(seqs), py::arg("batch_first") = true,
                                py::arg("padding_value") = value);
}

// x = transform(x), as many times as `range(times)` runs.
py::object apply_repeatedly(const py::object& transform, const py::object& times, py::object x) {
  for (py::handle _ : common::builtins_attr("range")(times)) {
    (void)_;
    x = transform(x);
  }
  return x;
}

// Draws the masks with the dataset's own transforms, applied to a probe of
// ones shaped (batch, 1, bins, 1) or (batch, 1, 1, frames): the transforms draw
// per utterance from the shape's first two sizes and the masked axis' length,
// so a probe takes exactly the draws the whole (batch, 1, bins, frames) batch
// would, and where it is 0 the batch is masked.
at::Tensor probe_masks(const py::object& transform, const py::object& times, int64_t n,
                       at::IntArrayRef probe_shape) {
  const py::object probe =
      apply_repeatedly(transform, times, py::cast(at::ones(probe_shape, at::kFloat)));
  return THPVariable_Unpack(probe.ptr()).reshape({n, probe_shape[2] * probe_shape[3]}).contiguous();
}

// Whether both transforms are torchaudio's own, whose draws probe_masks knows.
bool known_transforms(const py::object& self) {
  py::object tat = py::module_::import("torchaudio.transforms");
  return py::type::of(self.attr("freq_mask")).is(tat.attr("FrequencyMasking")) &&
         py::type::of(self.attr("time_mask")).is(tat.attr("TimeMasking"));
}

// SpecAugment on a padded (B, T, F) batch, through the transforms on the
// (B, 1, F, T) view, as with any replacement transforms.
py::object mask_batch(const py::object& self, const py::object& conf, const py::object& padded) {
  py::object x = padded.attr("permute")(0, 2, 1).attr("unsqueeze")(1);
  if (corpus::truthy(corpus::item(conf, "apply_freq_mask")))
    x = apply_repeatedly(self.attr("freq_mask"), corpus::item(conf, "num_freq_mask"), x);
  if (corpus::truthy(corpus::item(conf, "apply_time_mask")))
    x = apply_repeatedly(self.attr("time_mask"), corpus::item(conf, "num_time_mask"), x);
  return x.attr("squeeze")(1).attr("permute")(0, 2, 1);
}

Masks draw_masks(const py::object& self, const py::object& conf, const FeatureBatch& b) {
  Masks m;
  const int64_t n = static_cast<int64_t>(b.feats.size());
  if (corpus::truthy(corpus::item(conf, "apply_freq_mask")))
    m.freq = probe_masks(self.attr("freq_mask"), corpus::item(conf, "num_freq_mask"), n,
                         {n, 1, b.bins, 1});
  if (corpus::truthy(corpus::item(conf, "apply_time_mask")))
    m.time = probe_masks(self.attr("time_mask"), corpus::item(conf, "num_time_mask"), n,
                         {n, 1, 1, b.longest});
  return m;
}

// Frame counts and the padded batch: padded natively, or by pad_sequence.
std::pair<py::object, py::object> feature_lengths(const std::vector<py::object>& firsts,
                                                  const std::optional<FeatureBatch>& plain) {
  if (plain) {
    at::Tensor padded = pad_features(*plain);  // before any Python object is made
    return {py::cast(at::tensor(plain->frames, at::kLong)), py::cast(padded)};
  }
  std::vector<py::object> transposed;
  py::list frames;
  for (const auto& f : firsts) {
    transposed.push_back(f.attr("T"));
    frames.append(transposed.back().attr("shape")[py::int_(0)]);
  }
  return {py::module_::import("torch").attr("LongTensor")(frames),
          pad_sequence(transposed, py::float_(0.0))};
}

// padded_shifted, padded_golden and transcript_lengths; None for test-clean.
std::array<py::object, 3> pad_targets(const py::object& self,
                                      const std::vector<py::object>& items) {
  if (common::compare(self.attr("partition"), py::str("test-clean"), Py_EQ))
    return {py::none(), py::none(), py::none()};
  const std::vector<py::object> s = column(items, 1), g = column(items, 2);
  py::object lengths = py::cast(corpus::lengths_of(s));
  const py::object pad = self.attr("pad_token");
  auto ps = corpus::pad_ids(s, pad);
  py::object shifted = ps ? py::cast(*ps) : pad_sequence(s, pad);
  auto pg = corpus::pad_ids(g, pad);
  py::object golden = pg ? py::cast(*pg) : pad_sequence(g, pad);
  return {shifted, golden, lengths};
}

std::vector<Param> collate_params() {
  return {arg("self"), arg("batch"),
          common::returns(
              "Tuple[torch.Tensor, torch.Tensor, torch.Tensor, torch.Tensor, torch.Tensor]")};
}
py::object collate(py::object self, py::handle batch) {
  std::vector<py::object> items;
  for (py::handle it : batch) items.push_back(py::reinterpret_borrow<py::object>(it));

  const std::vector<py::object> firsts = column(items, 0);
  const std::optional<FeatureBatch> plain = plain_features(firsts);
  auto [feat_lengths, padded] = feature_lengths(firsts, plain);
  const auto targets = pad_targets(self, items);

  const py::object config = self.attr("config");
  if (corpus::truthy(corpus::item(config, "specaug")) &&
      corpus::truthy(self.attr("isTrainPartition"))) {
    const py::object conf = corpus::item(config, "specaug_conf");
    if (plain && known_transforms(self)) {
      Masks masks = draw_masks(self, conf, *plain);
      at::Tensor batch = THPVariable_Unpack(padded.ptr());
      mask_features(batch, *plain, masks);
    } else {
      padded = mask_batch(self, conf, padded);
    }
  }
  return py::make_tuple(padded, targets[0], targets[1], feat_lengths, targets[2]);
}

// ---- the module -----------------------------------------------------------

void import_dependencies(py::module_& m) {
  common::import_into(m, "typing", {"Literal", "Tuple", "Optional"});
  m.attr("os") = py::module_::import("os");
  m.attr("np") = py::module_::import("numpy");
  m.attr("tqdm") = py::module_::import("tqdm").attr("tqdm");
  m.attr("torch") = py::module_::import("torch");
  m.attr("Dataset") = py::module_::import("torch.utils.data").attr("Dataset");
  m.attr("pad_sequence") = py::module_::import("torch.nn.utils.rnn").attr("pad_sequence");
  m.attr("tat") = py::module_::import("torchaudio.transforms");
  m.attr("ZelTokenizer") = py::module_::import("corvantis.data.tokenizer").attr("ZelTokenizer");
}

}  // namespace

PYBIND11_MODULE(pimbrook, m) {
  m.doc() = "Speech corpus of filterbank features and character transcripts.";
  import_dependencies(m);
  common::ClassBuilder(m, "ASRDataset", py::make_tuple(m.attr("Dataset")))
      .method("__init__", init_params(), init,
              "Reads the partition <root>/<partition>/fbank and /text (.npy files paired by\n"
              "sorted name; \"test-clean\" has no transcripts) into memory. config: the dataset\n"
              "dictionary (root, subset_size, num_feats, norm, specaug, specaug_conf).\n"
              "global_stats: (global_mean, global_std) of the training partition, needed by\n"
              "the other partitions under norm \"global_mvn\".")
      .method(
          "get_avg_chars_per_token", {arg("self")},
          [](py::handle self) -> py::object { return self.attr("avg_chars_per_token"); },
          "Characters per token over the transcripts (the integer 0 without tokens).")
      .method(
          "__len__", {arg("self"), common::returns("int")},
          [](py::handle self) -> py::object { return self.attr("length"); },
          "The number of utterances.")
      .method("__getitem__", get_item_params(), get_item,
              "(features (num_feats, frames) float32 normalised by `norm`, shifted ids, golden\n"
              "ids), the ids int64 [sos] + ids and ids + [eos], None for \"test-clean\".")
      .method("collate_fn", collate_params(), collate,
              "(features (batch, frames, num_feats) padded with 0.0, shifted ids, golden ids\n"
              "(batch, tokens) padded with the pad id, feature lengths, transcript lengths);\n"
              "SpecAugment masks applied when config[\"specaug\"] is on and the partition trains.\n"
              "The three transcript items are None for \"test-clean\".")
      .finish();
}
