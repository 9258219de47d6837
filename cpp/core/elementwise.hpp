// Fused elementwise passes over contiguous buffers, for the places where numpy would build
// full-size temporaries: a fine-tune's float32 delta and the sums of squares of a
// reconstruction error.
#pragma once

#include <cstdint>
#include <type_traits>

namespace velmora {

// out[i] = float32(a[i] - b[i]), the difference taken in the promoted type of A and B
// (float when both are float, double otherwise): numpy's subtract followed by an
// astype(float32), without the intermediate array.
template <class A, class B>
void float32_difference(const A* a, const B* b, float* out, std::int64_t n) {
  using T = std::conditional_t<std::is_same_v<A, float> && std::is_same_v<B, float>, float, double>;
  for (std::int64_t i = 0; i < n; ++i) {
    out[i] = static_cast<float>(static_cast<T>(a[i]) - static_cast<T>(b[i]));
  }
}

struct SquareSums {
  double diff = 0.0;  // sum of (x - y)^2
  double ref = 0.0;   // sum of y^2
};

// Both sums in one pass: each difference and square in float32 (as numpy's float32
// arithmetic rounds them), every square accumulated in float64. Eight lanes per sum, folded
// per block, keep the error of a long sum near that of numpy's pairwise summation.
inline SquareSums difference_square_sums(const float* x, const float* y, std::int64_t n) {
  constexpr int kLanes = 8;
  constexpr std::int64_t kBlock = 1 << 12;
  SquareSums total;
  for (std::int64_t start = 0; start < n; start += kBlock) {
    const std::int64_t end = start + kBlock < n ? start + kBlock : n;
    double dn[kLanes] = {}, dr[kLanes] = {};
    std::int64_t i = start;
    for (; i + kLanes <= end; i += kLanes) {
      for (int j = 0; j < kLanes; ++j) {
        const float d = x[i + j] - y[i + j];
        const float dd = d * d;
        const float yy = y[i + j] * y[i + j];
        dn[j] += static_cast<double>(dd);
        dr[j] += static_cast<double>(yy);
      }
    }
    double bn = ((dn[0] + dn[1]) + (dn[2] + dn[3])) + ((dn[4] + dn[5]) + (dn[6] + dn[7]));
    double br = ((dr[0] + dr[1]) + (dr[2] + dr[3])) + ((dr[4] + dr[5]) + (dr[6] + dr[7]));
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

}  // namespace velmora
