// Fused elementwise passes over contiguous buffers, for the places where numpy would build
// full-size temporaries: a fine-tune's float32 delta and the sums of squares of a
// reconstruction error.
#pragma once

#include <bit>
#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::core {

// True when no element is infinite or NaN (an all-ones exponent); the integer test
// vectorises.
template <class T>
bool all_finite(const T* v, std::int64_t n) {
  static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>);
  using Bits = std::conditional_t<std::is_same_v<T, float>, std::uint32_t, std::uint64_t>;
  constexpr Bits kExponent =  // all ones: infinite or NaN
      static_cast<Bits>(sizeof(T) == 4 ? 0x7f800000ull : 0x7ff0000000000000ull);
  Bits special = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    const Bits u = std::bit_cast<Bits>(v[i]);
    special |= (u & kExponent) == kExponent;
  }
  return special == 0;
}

// The sum of squares of n elements, each square exact in float64 (a float32 one is) and
// summed in eight lanes folded in a fixed order: deterministic, and the lanes vectorise
// where one running sum would wait on every addition.
template <class T>
double square_sum(const T* v, std::int64_t n) {
  double lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (int j = 0; j < 8; ++j) {
      const double x = static_cast<double>(v[i + j]);
      lane[j] += x * x;
    }
  }
  double s =
      ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
  for (; i < n; ++i) s += static_cast<double>(v[i]) * static_cast<double>(v[i]);
  return s;
}

// out[i] = float32(a[i] - b[i]), the difference taken in the promoted type of A and B
// (float when both are float, double otherwise): numpy's subtract followed by an
// astype(float32), without the intermediate array. Returns false when any result is not
// finite, where numpy would also report overflow or invalid values through its error
// state; the caller then lets numpy do the work.
template <class A, class B>
bool float32_difference(const A* a, const B* b, float* out, std::int64_t n) {
  using T = std::conditional_t<std::is_same_v<A, float> && std::is_same_v<B, float>, float, double>;
  constexpr std::int64_t kBlock = 1 << 11;  // checked while still in the first-level cache
  bool finite = true;
  for (std::int64_t start = 0; start < n; start += kBlock) {
    const std::int64_t end = start + kBlock < n ? start + kBlock : n;
    for (std::int64_t i = start; i < end; ++i) {
      out[i] = static_cast<float>(static_cast<T>(a[i]) - static_cast<T>(b[i]));
    }
    finite = all_finite(out + start, end - start) && finite;
  }
  return finite;
}

struct SquareSums {
  double diff = 0.0;  // sum of (x - y)^2
  double ref = 0.0;   // sum of y^2
};

// Both sums in one pass: each difference and square in float32 (as numpy's float32
// arithmetic rounds them), every square accumulated in float64. Eight lanes per sum, folded
// per block, keep the error of a long sum near that of numpy's pairwise summation.
inline SquareSums difference_square_sums(const float* x, const float* y, std::int64_t n) {
  constexpr std::int64_t kBlock = 1 << 12;
  SquareSums total;
  for (std::int64_t start = 0; start < n; start += kBlock) {
    const std::int64_t end = start + kBlock < n ? start + kBlock : n;
    std::int64_t i = start;
    double bn = 0.0, br = 0.0;
#if defined(__SSE2__)
    // The compiler does not vectorise the widening accumulation by itself.
    __m128d dn[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
    __m128d dr[4] = {_mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd(), _mm_setzero_pd()};
    for (; i + 8 <= end; i += 8) {
      for (int h = 0; h < 2; ++h) {
        const __m128 xv = _mm_loadu_ps(x + i + 4 * h);
        const __m128 yv = _mm_loadu_ps(y + i + 4 * h);
        const __m128 d = _mm_sub_ps(xv, yv);
        const __m128 dd = _mm_mul_ps(d, d);
        const __m128 yy = _mm_mul_ps(yv, yv);
        dn[2 * h] = _mm_add_pd(dn[2 * h], _mm_cvtps_pd(dd));
        dn[2 * h + 1] = _mm_add_pd(dn[2 * h + 1], _mm_cvtps_pd(_mm_movehl_ps(dd, dd)));
        dr[2 * h] = _mm_add_pd(dr[2 * h], _mm_cvtps_pd(yy));
        dr[2 * h + 1] = _mm_add_pd(dr[2 * h + 1], _mm_cvtps_pd(_mm_movehl_ps(yy, yy)));
      }
    }
    double ln[8], lr[8];
    for (int j = 0; j < 4; ++j) {
      _mm_storeu_pd(ln + 2 * j, dn[j]);
      _mm_storeu_pd(lr + 2 * j, dr[j]);
    }
    bn = ((ln[0] + ln[1]) + (ln[2] + ln[3])) + ((ln[4] + ln[5]) + (ln[6] + ln[7]));
    br = ((lr[0] + lr[1]) + (lr[2] + lr[3])) + ((lr[4] + lr[5]) + (lr[6] + lr[7]));
#endif
    for (; i < end; ++i) {
      const float d = x[i] - y[i];
      const float dd = d * d;
      const float yy = y[i] * y[i];
      bn += static_cast<double>(dd);
      br += static_cast<double>(yy);
    }
    total.diff += bn;
    total.ref += br;
  }
  return total;
}

}  // namespace velmora::core
