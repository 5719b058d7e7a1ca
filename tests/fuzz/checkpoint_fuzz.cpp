// libFuzzer harness for src/domain/pickle_bounds.h, the bounds every
// checkpoint's pickle passes before a loader reads it. Each input is a
// data.pkl; the archive beside it holds records "data/0" to "data/9" of
// 64 bytes each ("data/big" of 1 MiB). Anything but a clean PickleBoundsError
// or success is a bug.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "domain/pickle_bounds.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pickle_bounds::PickleBounds bounds(data, size,
                                     [](const std::string& key) -> std::optional<uint64_t> {
                                       if (key == "big") return uint64_t(1) << 20;
                                       if (key.size() == 1 && key[0] >= '0' && key[0] <= '9')
                                         return 64;
                                       return std::nullopt;
                                     });
  try {
    bounds.check();
  } catch (const pickle_bounds::PickleBoundsError&) {
  }
  return 0;
}
