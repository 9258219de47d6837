// Reductions that reproduce numpy's summation order bit for bit, so that ranks chosen
// from cumulative energy agree exactly with what numpy computes.
#pragma once

#include <cstdint>

namespace velmora::core {

// numpy's pairwise summation (8 accumulators, blocks of 128, halving above that).
inline double pairwise_sum(const double* a, std::int64_t n) {
  if (n < 8) {
    double res = -0.0;
    for (std::int64_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (int j = 0; j < 8; ++j) r[j] = a[j];
    std::int64_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (int j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  std::int64_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// numpy.sum of a contiguous float64 vector: the identity 0.0 plus the pairwise sum.
inline double numpy_sum(const double* a, std::int64_t n) { return 0.0 + pairwise_sum(a, n); }

}  // namespace velmora::core
