// Which tensors a native loop may read or write through raw pointers: strided
// CPU tensors of the loop's dtype whose storage holds every element they
// address. Sparse, mkldnn, meta, quantized and nested tensors, tensors
// without storage and Python-dispatched ones are not; callers send those
// through ATen (which raises what PyTorch raises for them) or refuse them,
// before any loop or thread starts. A loop that writes also needs the
// elements to be distinct memory: an expanded (stride-0) tensor is not.
#pragma once

#include <torch/extension.h>

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace common {
namespace raw {

// Elements from the first to one past the last that sizes/strides address
// (0 when there are none).
inline int64_t extent(at::IntArrayRef sizes, at::IntArrayRef strides) {
  int64_t last = 0;
  for (size_t d = 0; d < sizes.size(); ++d) {
    if (sizes[d] == 0) return 0;
    last += (sizes[d] - 1) * strides[d];
  }
  return last + 1;
}

// The storage holds every element, from the offset on.
inline bool fits(const c10::Storage& storage, int64_t offset, int64_t elements, int64_t item) {
  if (elements == 0) return true;
  if (offset < 0 || storage.data() == nullptr) return false;
  return static_cast<uint64_t>(offset + elements) * static_cast<uint64_t>(item) <=
         static_cast<uint64_t>(storage.nbytes());
}

// t can be read through t.data_ptr<T>() with its strides.
inline bool readable(const at::Tensor& t, at::ScalarType dtype) {
  if (!t.defined() || t.layout() != at::kStrided || !t.device().is_cpu() ||
      t.scalar_type() != dtype || t.is_quantized() || t.is_nested())
    return false;
  const c10::TensorImpl* impl = t.unsafeGetTensorImpl();
  if (impl->is_python_dispatch()) return false;
  if (t.numel() == 0) return true;
  if (!t.has_storage()) return false;
  for (int64_t s : t.strides())
    if (s < 0) return false;
  return fits(impl->unsafe_storage(), t.storage_offset(), extent(t.sizes(), t.strides()),
              static_cast<int64_t>(t.element_size()));
}

// No two indices of t address the same element. Sufficient, not necessary:
// some interleaved layouts that do not overlap are not recognised.
inline bool distinct_elements(const at::Tensor& t) {
  std::vector<std::pair<int64_t, int64_t>> dims;  // (stride, size) of dimensions longer than 1
  for (int64_t d = 0; d < t.dim(); ++d)
    if (t.size(d) > 1) dims.emplace_back(t.stride(d), t.size(d));
  std::sort(dims.begin(), dims.end());
  int64_t reach = 0;  // the largest offset the shorter strides reach
  for (const auto& [stride, size] : dims) {
    if (stride <= reach) return false;
    reach += (size - 1) * stride;
  }
  return true;
}

// t can also be written through its data pointer, each element once.
inline bool writable(const at::Tensor& t, at::ScalarType dtype) {
  return readable(t, dtype) && distinct_elements(t);
}

}  // namespace raw
}  // namespace common

namespace raw = common::raw;
