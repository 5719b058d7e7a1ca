// Text corpus: the transcripts of one partition, read by native reader
// threads and tokenised, served as shifted/golden id pairs, padded batches
// and seeded prompt draws.
#include <torch/extension.h>

#include <string>
#include <vector>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/pyutil.h"
#include "domain/corpus.h"

namespace py = pybind11;
using common::arg;
using common::Param;

namespace {

constexpr const char* kModule = "corvantis.data.dunskell";

constexpr common::Globals global{kModule};

corpus::Transcripts load_transcripts(const py::list& files, const py::object& tokenizer,
                                     const py::object& sos, const py::object& eos) {
  const size_t n = files.size();
  const auto paths = corpus::fs_paths(files);
  std::vector<corpus::TranscriptSlot> slots(n);
  corpus::Transcripts out;
  py::object encode = tokenizer.attr("encode");
  corpus::Progress bar(global("tqdm"), n);
  corpus::run_ordered(
      n, corpus::loader_threads(n), [&](size_t i) { slots[i].read(paths[i]); },
      [&](size_t i) {
        out.add(encode, sos, eos, corpus::transcript_text(slots[i], files[i]));
        bar.step();
      });
  bar.close();
  return out;
}

std::vector<Param> init_params() {
  return {arg("self"), arg("partition").annotated("str"), arg("config").annotated("dict"),
          arg("tokenizer").annotated("ZelTokenizer")};
}
py::object init(py::handle self, py::str partition, py::dict config, py::object tokenizer) {
  const py::object data_config = config.attr("get")("dataset", config);

  self.attr("config") = config;
  self.attr("partition") = partition;
  self.attr("tokenizer") = tokenizer;
  const py::object eos = tokenizer.attr("eos_id"), sos = tokenizer.attr("sos_id");
  self.attr("eos_token") = eos;
  self.attr("sos_token") = sos;
  self.attr("pad_token") = tokenizer.attr("pad_id");

  py::object text_dir = py::module_::import("os").attr("path").attr("join")(
      corpus::item(data_config, "root"), partition);
  self.attr("text_dir") = text_dir;
  py::list files = corpus::list_npy(text_dir);
  const corpus::Subset subset(data_config);
  if (subset.active()) files = corpus::Subset::first(files, subset.count(files.size()));
  self.attr("text_files") = files;

  for (const char* name : {"transcripts_shifted", "transcripts_golden"})
    self.attr(name) = py::list();
  for (const char* name : {"total_chars", "total_tokens", "text_max_len"})
    self.attr(name) = py::int_(0);

  common::print(py::str("Loading transcripts for ") + partition + py::str(" partition..."));
  corpus::Transcripts t = load_transcripts(files, tokenizer, sos, eos);
  self.attr("transcripts_shifted") = t.shifted;
  self.attr("transcripts_golden") = t.golden;
  self.attr("total_chars") = py::int_(t.total_chars);
  self.attr("total_tokens") = py::int_(t.total_tokens);
  self.attr("text_max_len") = py::int_(t.text_max_len);
  self.attr("avg_chars_per_token") = corpus::chars_per_token(t);
  if (t.shifted.size() != t.golden.size())
    common::raise(PyExc_ValueError, "Shifted and golden transcripts are misaligned");
  self.attr("length") = py::int_(t.shifted.size());
  return py::none();
}

std::vector<Param> get_item_params() {
  return {arg("self"), arg("idx").annotated("int"),
          common::returns("Tuple[torch.Tensor, torch.Tensor]")};
}
py::object get_item(py::handle self, py::int_ idx) {
  return py::make_tuple(corpus::long_tensor(self.attr("transcripts_shifted")[idx]),
                        corpus::long_tensor(self.attr("transcripts_golden")[idx]));
}

std::vector<py::object> members(const py::handle& group) {
  std::vector<py::object> out;
  for (py::handle s : group) out.push_back(py::reinterpret_borrow<py::object>(s));
  return out;
}

py::object padded(const std::vector<py::object>& seqs, const py::handle& group,
                  const py::object& pad) {
  if (auto t = corpus::pad_ids(seqs, pad)) return py::cast(*t);
  return global("pad_sequence")(group, py::arg("batch_first") = true,
                                py::arg("padding_value") = pad);
}

// shifted, golden = zip(*batch), then both padded with pad_token.
std::vector<Param> collate_params() {
  return {arg("self"), arg("batch").annotated("list"),
          common::returns("Tuple[torch.Tensor, torch.Tensor, torch.Tensor]")};
}
py::object collate(py::handle self, py::list batch) {
  const py::list groups = py::list(common::builtins_attr("zip")(*batch));
  if (groups.size() != 2) corpus::raise_unpack(static_cast<Py_ssize_t>(groups.size()), 2);
  const std::vector<py::object> shifted = members(groups[0]), golden = members(groups[1]);
  const py::object lengths = py::cast(corpus::lengths_of(shifted));
  const py::object pad = self.attr("pad_token");
  py::object ps = padded(shifted, groups[0], pad);
  py::object pg = padded(golden, groups[1], pad);
  return py::make_tuple(ps, pg, lengths);
}

// random.seed(seed), then random.sample over the transcripts longer than the
// prompt; each prompt is the first prompt_length ids of its sequence.
std::vector<Param> sample_prompts_params() {
  return {arg("self"), arg("num_samples").annotated("int"), arg("prompt_length").annotated("int"),
          arg("seed", py::int_(52917)).annotated("int"),
          common::returns("Tuple[torch.Tensor, List[torch.Tensor]]")};
}
py::object sample_prompts(py::handle self, py::int_ num_samples, py::int_ prompt_length,
                          py::int_ seed) {
  py::module_ random = py::module_::import("random");
  random.attr("seed")(seed);

  const py::list sequences = self.attr("transcripts_shifted");
  py::list valid;
  for (size_t i = 0; i < sequences.size(); ++i)
    if (common::compare(py::int_(py::len(sequences[i])), prompt_length, Py_GT))
      valid.append(py::int_(i));
  const py::int_ available(valid.size());
  const py::object count = common::compare(num_samples, available, Py_LE) ? num_samples : available;
  const py::list selected = random.attr("sample")(valid, count);

  py::list prompts, originals;
  const py::object cut =
      py::reinterpret_steal<py::object>(PySlice_New(nullptr, prompt_length.ptr(), nullptr));
  if (!cut) common::rethrow();
  for (py::handle idx : selected) {
    py::object full = corpus::long_tensor(sequences[idx]);
    prompts.append(full[cut]);
    originals.append(full);
  }
  // the stacking step would fail on the empty list without saying why
  if (prompts.empty())
    common::raise(PyExc_RuntimeError,
                  "stack expects a non-empty TensorList: no prompt to draw (num_samples " +
                      std::string(py::str(py::object(num_samples))) + "; " +
                      std::string(py::str(py::object(available))) + " of " +
                      std::to_string(sequences.size()) +
                      " transcripts are longer than prompt_length " +
                      std::string(py::str(py::object(prompt_length))) + ")");
  return py::make_tuple(py::module_::import("torch").attr("stack")(prompts), originals);
}

void import_dependencies(py::module_& m) {
  m.attr("os") = py::module_::import("os");
  m.attr("random") = py::module_::import("random");
  common::import_into(m, "typing", {"List", "Tuple"});
  m.attr("np") = py::module_::import("numpy");
  m.attr("tqdm") = py::module_::import("tqdm").attr("tqdm");
  m.attr("torch") = py::module_::import("torch");
  m.attr("Dataset") = py::module_::import("torch.utils.data").attr("Dataset");
  m.attr("pad_sequence") = py::module_::import("torch.nn.utils.rnn").attr("pad_sequence");
  m.attr("ZelTokenizer") = py::module_::import("corvantis.data.tokenizer").attr("ZelTokenizer");
}

}  // namespace

PYBIND11_MODULE(dunskell, m) {
  m.doc() = "Text corpus of character transcripts for language models.";
  import_dependencies(m);
  common::ClassBuilder(m, "LMDataset", py::make_tuple(m.attr("Dataset")))
      .doc("Dataset for Language Model training/evaluation.")
      .method(
          "__init__", init_params(), init,
          "Reads every .npy transcript of <root>/<partition> into memory and tokenises it.\n"
          "config: the dataset dictionary (or a dictionary holding it under \"dataset\"): root,\n"
          "and subset_size (or subset): a fraction <= 1, a count > 1, <= 0 for all files.")
      .method(
          "get_avg_chars_per_token", {arg("self"), common::returns("float")},
          [](py::handle self) -> py::object { return self.attr("avg_chars_per_token"); },
          "Characters per token over the partition (the integer 0 without tokens).")
      .method(
          "__len__", {arg("self"), common::returns("int")},
          [](py::handle self) -> py::object { return self.attr("length"); },
          "The number of transcripts.")
      .method("__getitem__", get_item_params(), get_item,
              "(shifted, golden): int64 ids of transcript idx, [sos] + ids and ids + [eos].")
      .method("collate_fn", collate_params(), collate,
              "(padded_shifted, padded_golden, lengths): a list of items padded with the pad id\n"
              "to the longest of the batch, and the lengths (batch,) of the shifted sequences.")
      .method("sample_prompts", sample_prompts_params(), sample_prompts,
              "Reseeds `random` with seed and draws up to num_samples transcripts longer than\n"
              "prompt_length: (prompts (n, prompt_length) int64, the n full shifted sequences).")
      .finish();
}
