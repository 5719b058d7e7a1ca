// Matrix products through the system BLAS (libblas.so.3, the library NumPy is
// built against), declared by the C interface every Debian BLAS exports.
// setup.py links sources that include this header against it, with OpenMP.
#pragma once

#include <dlfcn.h>

#include "domain/openmp.h"

extern "C" {
void cblas_sgemm(int order, int trans_a, int trans_b, int m, int n, int k, float alpha,
                 const float* a, int lda, const float* b, int ldb, float beta, float* c, int ldc);
void cblas_dgemm(int order, int trans_a, int trans_b, int m, int n, int k, double alpha,
                 const double* a, int lda, const double* b, int ldb, double beta, double* c,
                 int ldc);
}

namespace common {
namespace blas {

constexpr int kRowMajor = 101, kNoTrans = 111, kTrans = 112;

// A rows x cols matrix at `data`: element (i, j) lies at i * ld + j when row
// major, at i + j * ld when column major.
template <class T>
struct Matrix {
  const T* data;
  int rows, cols, ld;
  bool column_major;
};

inline void gemm(bool ta, bool tb, int m, int n, int k, float alpha, const float* a, int lda,
                 const float* b, int ldb, float* c, int ldc) {
  cblas_sgemm(kRowMajor, ta ? kTrans : kNoTrans, tb ? kTrans : kNoTrans, m, n, k, alpha, a, lda, b,
              ldb, 0.0f, c, ldc);
}

inline void gemm(bool ta, bool tb, int m, int n, int k, double alpha, const double* a, int lda,
                 const double* b, int ldb, double* c, int ldc) {
  cblas_dgemm(kRowMajor, ta ? kTrans : kNoTrans, tb ? kTrans : kNoTrans, m, n, k, alpha, a, lda, b,
              ldb, 0.0, c, ldc);
}

// c (row major, leading dimension ldc) = op(a) . op(b), op transposing where
// asked. A column-major matrix is the transpose of a row-major one, so its
// flag flips instead of copying.
template <class T>
void product(const Matrix<T>& a, bool ta, const Matrix<T>& b, bool tb, T* c, int ldc) {
  const int m = ta ? a.cols : a.rows, k = ta ? a.rows : a.cols, n = tb ? b.rows : b.cols;
  gemm(ta != a.column_major, tb != b.column_major, m, n, k, T(1), a.data, a.ld, b.data, b.ld, c,
       ldc);
}

// OpenBLAS's pthreads build keeps its own thread pool, and calls made from
// several of our threads at once queue on it; products then go one at a time
// and the library threads each one itself.
inline bool runs_own_thread_pool() {
  static const bool own = [] {
    using Query = int (*)();
    auto query = reinterpret_cast<Query>(dlsym(RTLD_DEFAULT, "openblas_get_parallel"));
    return query != nullptr && query() == 1;
  }();
  return own;
}

}  // namespace blas
}  // namespace common

namespace blas = common::blas;
