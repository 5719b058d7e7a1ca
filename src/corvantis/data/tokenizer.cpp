// Character tokenizer: four special tokens, then one id per character.
#include <pybind11/pybind11.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "binding/bind.h"
#include "binding/class_builder.h"
#include "binding/pyutil.h"

namespace py = pybind11;
using common::arg;
using common::Param;

namespace {

constexpr const char* kDefaultCharacters = " 'ABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr const char* kSpecials[] = {"<pad>", "<sos>", "<eos>", "<unk>"};
constexpr long kPad = 0, kSos = 1, kEos = 2, kUnk = 3;

// Code point -> id for the single-character entries of a vocabulary.
class CharTable {
 public:
  explicit CharTable(const py::list& vocab) {
    const Py_ssize_t n = PyList_GET_SIZE(vocab.ptr());
    for (Py_ssize_t id = 4; id < n; ++id) {
      PyObject* tok = PyList_GET_ITEM(vocab.ptr(), id);
      if (!PyUnicode_Check(tok) || PyUnicode_GET_LENGTH(tok) != 1) continue;
      ids_.emplace(PyUnicode_READ_CHAR(tok, 0), id);
    }
  }

  // Unknown characters fall back to their capital, then to the unknown id.
  long lookup(Py_UCS4 c) const {
    auto it = ids_.find(c);
    if (it != ids_.end()) return it->second;
    it = ids_.find(Py_UNICODE_TOUPPER(c));
    return it != ids_.end() ? it->second : kUnk;
  }

 private:
  std::unordered_map<Py_UCS4, long> ids_;
};

py::list build_vocab(const py::str& characters) {
  py::list vocab;
  for (const char* s : kSpecials) vocab.append(py::str(s));
  py::set seen;
  for (auto ch : characters) {
    if (seen.contains(ch))
      common::raise(PyExc_ValueError, "characters must not repeat a character: " +
                                          std::string(py::str(py::repr(ch))));
    seen.add(ch);
    vocab.append(ch);
  }
  return vocab;
}

std::vector<Param> init_params() {
  return {arg("self"), arg("characters", py::none()).annotated("Optional[str]")};
}
py::object init(py::handle self, py::handle characters_arg) {
  py::object chars = common::optional_str(characters_arg, "characters");
  py::str characters = chars.is_none() ? py::str(kDefaultCharacters) : py::str(chars);
  py::list vocab = build_vocab(characters);
  self.attr("vocab") = vocab;
  self.attr("pad_id") = kPad;
  self.attr("sos_id") = kSos;
  self.attr("eos_id") = kEos;
  self.attr("unk_id") = kUnk;
  self.attr("num_classes") = py::len(vocab);
  return py::none();
}

// A str subclass is read as its text.
std::vector<Param> encode_params() {
  return {arg("self"), arg("text").annotated("str"), common::returns("List[int]")};
}
py::object encode(py::handle self, py::handle text) {
  if (!PyUnicode_Check(text.ptr())) common::raise_arg_type("text", "str", text);
  const CharTable table(self.attr("vocab"));
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text.ptr());
  const int kind = PyUnicode_KIND(text.ptr());
  const void* data = PyUnicode_DATA(text.ptr());
  PyObject* out = PyList_New(n);
  if (!out) common::rethrow();
  py::list ids = py::reinterpret_steal<py::list>(out);
  for (Py_ssize_t i = 0; i < n; ++i)
    PyList_SET_ITEM(out, i, PyLong_FromLong(table.lookup(PyUnicode_READ(kind, data, i))));
  return ids;
}

long id_of(PyObject* item) { return static_cast<long>(common::index_of(item)); }

std::vector<Param> decode_params() {
  return {arg("self"), arg("ids"), arg("skip_special_tokens", py::bool_(false)).annotated("bool"),
          common::returns("str")};
}
py::object decode(py::handle self, py::handle ids, py::handle skip_special_tokens) {
  const py::list vocab = self.attr("vocab");
  const bool skip = PyObject_IsTrue(skip_special_tokens.ptr()) == 1;
  const long skipped[] = {py::int_(self.attr("pad_id")), py::int_(self.attr("sos_id")),
                          py::int_(self.attr("eos_id"))};
  const long size = static_cast<long>(PyList_GET_SIZE(vocab.ptr()));
  py::list pieces;
  for (py::handle item : py::iter(ids)) {
    const long id = id_of(item.ptr());
    if (id < 0 || id >= size)
      common::raise(PyExc_ValueError, "token id " + std::to_string(id) +
                                          " is outside the vocabulary (0 to " +
                                          std::to_string(size - 1) + ")");
    if (skip && (id == skipped[0] || id == skipped[1] || id == skipped[2])) continue;
    pieces.append(vocab[id]);
  }
  return py::str("").attr("join")(pieces);
}

}  // namespace

PYBIND11_MODULE(tokenizer, m) {
  m.doc() = "Character tokenizer shared by the datasets, trainers and generators.";
  common::ClassBuilder(m, "ZelTokenizer")
      .doc(
          "Character tokenizer.\n\n"
          "Ids 0 to 3 are <pad>, <sos>, <eos> and <unk>; then one id per character of\n"
          "`characters` (default: space, apostrophe, A to Z). Characters outside the\n"
          "vocabulary map to their capital when that is known, else to <unk>.")
      .method("__init__", init_params(), init,
              "characters: the vocabulary after the four special tokens, one id each in this\n"
              "order (None: space, apostrophe, A to Z); a repeated character is refused.")
      .method("encode", encode_params(), encode,
              "The ids of the characters of text, without start or end ids.")
      .method("decode", decode_params(), decode,
              "The text of the ids (any iterable of ints); skip_special_tokens drops <pad>, <sos>\n"
              "and <eos>. An id outside the vocabulary raises ValueError.")
      .finish();
}
