// libFuzzer harness for the native .npy reader: each input is a whole file.
// Every path the datasets take is exercised; any failure other than
// npy::Error (a crash, a sanitizer report, another exception) is a bug.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "domain/npy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  npy::MemorySource src(data, size);
  try {
    const npy::Header h = src.header();
    if (h.dtype.numeric() && h.shape.size() == 2) {
      std::vector<unsigned char> scratch;
      for (uint64_t rows : {h.shape[0], h.shape[0] / 2}) {
        std::vector<unsigned char> out(static_cast<size_t>(rows * h.shape[1] * h.dtype.itemsize));
        npy::read_rows(src, h, rows, out.data(), scratch);
      }
      return 0;
    }
    const std::vector<unsigned char> raw = npy::read_data(src, h);
    if (h.dtype.kind == npy::Kind::Unicode && h.shape.size() <= 1) npy::join_unicode(h, raw.data());
  } catch (const npy::Error&) {
  }
  return 0;
}
