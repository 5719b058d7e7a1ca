// Loops split over OpenMP threads. setup.py builds and links every source that
// includes this header with -fopenmp. Only the torch-free lumbrix modules use
// it: they share OpenMP's runtime with OpenBLAS's OpenMP build, which runs a
// product single-threaded when it is called inside one of our parallel regions.
#pragma once

#include <omp.h>
#include <pthread.h>

#include <cstddef>
#include <mutex>

#include "domain/workers.h"

namespace common {
namespace omp {

// Below this many element operations a loop is not worth waking threads for.
constexpr std::ptrdiff_t kParallelWork = 1 << 15;

inline int max_threads() { return omp_get_max_threads(); }

// GNU OpenMP's thread pool does not survive fork: a child that starts a
// parallel region with more than one thread waits forever on threads that
// were not copied. A forked child therefore runs OpenMP (ours and OpenBLAS's)
// on one thread, as PyTorch's workers do; it may raise the count itself.
inline void one_thread_after_fork() {
  static std::once_flag registered;
  std::call_once(registered,
                 [] { pthread_atfork(nullptr, nullptr, [] { omp_set_num_threads(1); }); });
}

// f(i) for i in [0, n), split statically over the threads when n * cost
// (element operations per item) is worth it. An exception must not leave an
// OpenMP region: the first one thrown is rethrown after it, and the items
// not yet begun are skipped.
template <class F>
void parallel_for(std::ptrdiff_t n, std::ptrdiff_t cost, F&& f) {
  workers::FirstError error;
#pragma omp parallel for schedule(static) if (n > 1 && n * cost >= kParallelWork)
  for (std::ptrdiff_t i = 0; i < n; ++i)
    if (!error.failed()) error.guard([&] { f(i); });
  error.rethrow();
}

}  // namespace omp
}  // namespace common

namespace omp = common::omp;
