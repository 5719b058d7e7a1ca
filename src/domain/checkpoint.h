// Reading a checkpoint file without running any code it may hold.
//
// Every file passes the same bounds first (pickle_bounds.h: nesting depth,
// memory and expansion in proportion to the pickle, every storage and tensor
// inside the records the file holds), on every PyTorch version; only then is
// it read: by PyTorch's weights-only torch.load where that reads floats (2.x),
// else (1.13) by the restricted reader of unpickle.h, which admits what the
// weights-only mode admits plus floats. torch.load is not handed a restricted
// pickle_module instead: 1.13 silently swaps it for pickle. Only PyTorch's zip
// format is read: the bounds cannot be measured on the legacy one.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "binding/compat.h"
#include "binding/pyutil.h"
#include "binding/text.h"
#include "domain/pickle_bounds.h"
#include "domain/unpickle.h"

namespace common {
namespace checkpoint {
namespace py = pybind11;

namespace detail {

[[noreturn]] inline void refuse_checkpoint(const std::string& why) {
  common::raise(py::module_::import("pickle").attr("UnpicklingError"), why);
}

// The zip archive of a checkpoint: its pickle as PyTorch's own reader sees
// it, and the size of every record as the central directory states it (a
// name listed twice is refused, so both readers agree on which entry is
// meant).
struct Archive {
  py::object reader;  // torch._C.PyTorchFileReader
  py::bytes pickle;
  std::unordered_map<std::string, uint64_t> sizes;  // by name inside the archive folder
};

// `file` is the checkpoint opened once for reading: every reader reads the
// same file, even if its name is replaced meanwhile.
inline Archive open_archive(py::handle file) {
  py::bytes head = file.attr("read")(4);
  if (std::string(head) != std::string("PK\x03\x04", 4))
    refuse_checkpoint("not a checkpoint in PyTorch's zip format");
  file.attr("seek")(0);
  Archive out;
  py::object zip = py::module_::import("zipfile").attr("ZipFile")(file);  // leaves `file` open
  py::list infos;
  try {
    infos = zip.attr("infolist")();
  } catch (...) {
    zip.attr("close")();
    throw;
  }
  zip.attr("close")();
  std::string folder;
  std::set<std::string> seen;
  for (py::handle info : infos) {
    const std::string name = py::str(info.attr("filename"));
    if (!seen.insert(name).second) refuse_checkpoint("the archive lists " + name + " twice");
    if (folder.empty()) folder = name.substr(0, name.find('/') + 1);
    if (name.compare(0, folder.size(), folder) == 0)
      out.sizes[name.substr(folder.size())] = info.attr("file_size").cast<uint64_t>();
  }
  file.attr("seek")(0);
  out.reader = py::module_::import("torch").attr("_C").attr("PyTorchFileReader")(file);
  out.pickle = out.reader.attr("get_record")("data.pkl");
  return out;
}

inline void check_bounds(const Archive& archive) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(archive.pickle.ptr(), &data, &size) < 0) common::rethrow();
  pickle_bounds::PickleBounds bounds(reinterpret_cast<const uint8_t*>(data),
                                     static_cast<size_t>(size),
                                     [&](const std::string& key) -> std::optional<uint64_t> {
                                       auto it = archive.sizes.find("data/" + key);
                                       if (it == archive.sizes.end()) return std::nullopt;
                                       return it->second;
                                     });
  try {
    bounds.check();
  } catch (const pickle_bounds::PickleBoundsError& e) {
    refuse_checkpoint(e.what());
  }
}

// The pickle of a zip checkpoint interpreted by the restricted reader.
// Storages are read from data/<key>, each refused when its record holds fewer
// bytes than it claims, and placed by `map_location` as torch.load places them.
class ZipCheckpoint {
 public:
  ZipCheckpoint(const Archive& archive, py::handle map_location)
      : torch_(py::module_::import("torch")),
        serialization_(torch_.attr("serialization")),
        restore_(serialization_.attr("_get_restore_location")(map_location)),
        reader_(archive.reader),
        sizes_(archive.sizes) {}

  py::object load(py::bytes pickle) {
    py::dict allowed =
        py::module_::import("torch._weights_only_unpickler").attr("_get_allowed_globals")();
    unpickle::RestrictedUnpickler unpickler(std::move(pickle), allowed,
                                            torch_.attr("nn").attr("Parameter"),
                                            [this](py::handle pid) { return storage(pid); });
    py::object out = unpickler.load();
    torch_.attr("_utils").attr("_validate_loaded_sparse_tensors")();
    return out;
  }

 private:
  // pid: ("storage", storage type, key, location, element count)
  py::object storage(py::handle pid) {
    py::tuple id = py::reinterpret_borrow<py::tuple>(pid);
    if (id.size() != 5) common::raise(PyExc_RuntimeError, "malformed storage id");
    py::object type = id[1], key = id[2], numel = id[4];
    py::object location = serialization_.attr("_maybe_decode_ascii")(id[3]);
    if (!PyUnicode_CheckExact(key.ptr()) || !PyLong_CheckExact(numel.ptr()))
      common::raise(PyExc_RuntimeError, "malformed storage id");
    if (loaded_.contains(key)) return loaded_[key];
    py::object untyped = torch_.attr("UntypedStorage");
    py::object dtype = type.is(untyped) ? torch_.attr("uint8") : type.attr("dtype");
    py::object nbytes = numel * torch_.attr("_utils").attr("_element_size")(dtype);
    const std::string name = "data/" + key.cast<std::string>();
    auto record = sizes_.find(name);
    if (record == sizes_.end())
      refuse_checkpoint(common::text("storage ", key, " has no record").cast<std::string>());
    if (PyObject_RichCompareBool(nbytes.ptr(), py::int_(record->second).ptr(), Py_GT) != 0)
      refuse_checkpoint(common::text("storage ", key, " claims ", nbytes,
                                     " bytes, but its record holds ", py::int_(record->second))
                            .cast<std::string>());
    // the claim fits its record, so the reader's storage over the record is
    // read whole, straight into the storage (no copy through bytes)
    py::object raw = reader_.attr("get_storage_from_record")(py::str(name), nbytes, untyped)
                         .attr("storage")()
                         .attr("untyped")();
    py::object typed = torch_.attr("storage").attr("TypedStorage")(
        py::arg("wrap_storage") = restore_(raw, location), py::arg("dtype") = dtype);
    loaded_[key] = typed;
    return typed;
  }

  py::module_ torch_;
  py::object serialization_;
  py::object restore_;
  py::object reader_;
  std::unordered_map<std::string, uint64_t> sizes_;  // by name inside the archive folder
  py::dict loaded_;
};

// What a failed load may leave in torch's module state, put back as it was.
class SparseStateGuard {
 public:
  SparseStateGuard()
      : pending_(py::module_::import("torch._utils").attr("_sparse_tensors_to_validate")),
        before_(common::steal(PySequence_List(pending_.ptr()))) {}  // a copy
  void restore() {
    try {
      pending_[py::slice(py::none(), py::none(), py::none())] = before_;
    } catch (py::error_already_set&) {
      // the load's own error is the one to report
    }
  }

 private:
  py::object pending_;
  py::object before_;
};

}  // namespace detail

// A checkpoint read without running any code it may hold, every tensor
// placed by `map_location`; a refused file raises and leaves torch's module
// state as it found it.
inline py::object load_checkpoint(py::handle path, py::handle map_location) {
  detail::SparseStateGuard guard;
  py::object file =
      common::builtins_attr("open")(py::module_::import("os").attr("fspath")(path), "rb");
  try {
    detail::Archive archive = detail::open_archive(file);
    detail::check_bounds(archive);
    py::object out;
    if (compat::weights_only_reads_floats()) {
      archive.reader = py::none();
      file.attr("seek")(0);
      out = py::module_::import("torch").attr("load")(file, py::arg("map_location") = map_location,
                                                      py::arg("weights_only") = true);
    } else {
      out = detail::ZipCheckpoint(archive, map_location).load(archive.pickle);
    }
    file.attr("close")();
    return out;
  } catch (...) {
    guard.restore();
    try {
      file.attr("close")();
    } catch (py::error_already_set&) {
      // the load's own error is the one to report
    }
    throw;
  }
}

}  // namespace checkpoint
}  // namespace common

namespace checkpoint = common::checkpoint;
