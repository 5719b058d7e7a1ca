// Loops split over OpenMP threads. setup.py builds and links every source that
// includes this header with -fopenmp. Only the torch-free lumbrix modules use
// it: they share OpenMP's runtime with OpenBLAS's OpenMP build, which runs a
// product single-threaded when it is called inside one of our parallel regions.
#pragma once

#include <omp.h>

#include <cstddef>

namespace common {
namespace omp {

// Below this many element operations a loop is not worth waking threads for.
constexpr std::ptrdiff_t kParallelWork = 1 << 15;

inline int max_threads() { return omp_get_max_threads(); }

// f(i) for i in [0, n), split statically over the threads when n * cost
// (element operations per item) is worth it. f must not throw.
template <class F>
void parallel_for(std::ptrdiff_t n, std::ptrdiff_t cost, F&& f) {
#pragma omp parallel for schedule(static) if (n > 1 && n * cost >= kParallelWork)
  for (std::ptrdiff_t i = 0; i < n; ++i) f(i);
}

}  // namespace omp
}  // namespace common
