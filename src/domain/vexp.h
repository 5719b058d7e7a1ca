// exp(x) for float and double written as plain arithmetic, so that loops
// around it vectorize (the C library's exp is a call per element), and a
// marker that compiles a function once per x86-64 vector level, chosen when
// the module loads.
//
// exp(x) = 2^n * e^r with n = round(x / ln 2) and |r| <= ln 2 / 2; e^r from
// its Taylor series, long enough for about one unit in the last place. 2^n
// is applied in two halves so that results in the subnormal range round once
// and large n overflows to inf as it should.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define COMMON_VECTOR_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define COMMON_VECTOR_CLONES
#endif

namespace common {
namespace vexp {

template <class T>
struct Traits;

template <>
struct Traits<float> {
  using Bits = uint32_t;
  static constexpr float lo = -105.0f, hi = 89.0f;  // beyond: 0 and inf
  static constexpr float ln2_hi = 0.693359375f, ln2_lo = -2.12194440e-4f;
  static constexpr float magic = 12582912.0f;  // 1.5 * 2^23: adding it rounds to an integer
  static constexpr int mantissa = 23, bias = 127, terms = 7;
};

template <>
struct Traits<double> {
  using Bits = uint64_t;
  static constexpr double lo = -746.0, hi = 710.0;
  static constexpr double ln2_hi = 6.93145751953125e-1, ln2_lo = 1.42860682030941723212e-6;
  static constexpr double magic = 6755399441055744.0;  // 1.5 * 2^52
  static constexpr int mantissa = 52, bias = 1023, terms = 13;
};

template <class T>
__attribute__((always_inline)) inline typename Traits<T>::Bits bits_of(T x) {
  typename Traits<T>::Bits b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

template <class T>
__attribute__((always_inline)) inline T from_bits(typename Traits<T>::Bits b) {
  T x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// 2^k for a whole-number k within the normal exponents.
template <class T>
__attribute__((always_inline)) inline T power_of_two(T k) {
  using C = Traits<T>;
  using Bits = typename C::Bits;
  const Bits k_bits = bits_of(k + C::magic) - bits_of(C::magic);  // k, two's complement
  return from_bits<T>((k_bits + Bits(C::bias)) << C::mantissa);
}

template <class T>
__attribute__((always_inline)) inline T exp(T x) {
  using C = Traits<T>;
  constexpr T log2e = T(1.4426950408889634073599);
  x = x < C::lo ? C::lo : x;  // NaN passes both tests
  x = x > C::hi ? C::hi : x;
  const T n = (x * log2e + C::magic) - C::magic;
  const T r = (x - n * C::ln2_hi) - n * C::ln2_lo;
  T p = T(1);
#pragma GCC unroll 16
  for (int k = C::terms; k >= 1; --k) p = T(1) + p * (r * (T(1) / T(k)));
  const T half = (n * T(0.5) + C::magic) - C::magic;
  return p * power_of_two(half) * power_of_two(n - half);
}

}  // namespace vexp
}  // namespace common

namespace vexp = common::vexp;
