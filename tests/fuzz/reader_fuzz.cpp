// libFuzzer harness for the whole checkpoint reader on PyTorch 1.13: the
// bounds of src/domain/pickle_bounds.h, then the restricted reader of
// src/domain/unpickle.h with the storages of src/domain/checkpoint.h, in an
// embedded interpreter with torch imported. Each input is a data.pkl; the
// archive beside it holds data/0 to data/9 (64 bytes each) and data/big
// (1 MiB). Anything but a Python exception, a PickleBoundsError or a value is
// a bug. Run with ASAN_OPTIONS=detect_leaks=0 (the interpreter keeps its
// objects alive) and PYTHONMALLOC=malloc.
#include <pybind11/embed.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "domain/checkpoint.h"

namespace py = pybind11;

namespace {

constexpr const char* kFakeReader = R"(
class FakeReader:
    def get_record(self, name):
        key = name[len("data/"):]
        if key == "big":
            return bytes(1 << 20)
        if len(key) == 1 and key.isdigit():
            return bytes(range(64))
        raise RuntimeError("no record " + name)

    def get_storage_from_record(self, name, nbytes, dtype):
        import os, torch
        data = self.get_record(name)
        if nbytes > len(data):
            os.abort()  # the real reader would read past its record here
        return torch.tensor(list(data[:nbytes]), dtype=torch.uint8)
)";

py::object* reader = nullptr;

std::optional<uint64_t> record_size(const std::string& key) {
  if (key == "data/big") return uint64_t(1) << 20;
  if (key.size() == 6 && key.compare(0, 5, "data/") == 0 && key[5] >= '0' && key[5] <= '9')
    return 64;
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // never finalized: libtorch's static registries are gone by then
  new py::scoped_interpreter();
  py::module_::import("torch");
  py::dict scope;
  py::exec(kFakeReader, scope);
  reader = new py::object(scope["FakeReader"]());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  checkpoint::detail::Archive archive;
  archive.reader = *reader;
  archive.pickle = py::bytes(reinterpret_cast<const char*>(data), size);
  for (const char* name : {"data/0", "data/1", "data/2", "data/3", "data/4", "data/5", "data/6",
                           "data/7", "data/8", "data/9", "data/big"})
    archive.sizes[name] = *record_size(name);
  checkpoint::detail::SparseStateGuard guard;
  try {
    checkpoint::detail::check_bounds(archive);
    py::object value =
        checkpoint::detail::ZipCheckpoint(archive, py::str("cpu")).load(archive.pickle);
    py::repr(value);  // what a caller may do with any value it is given
  } catch (py::error_already_set&) {
    guard.restore();
  }
  return 0;
}
