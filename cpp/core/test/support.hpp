// Known-answer building blocks shared by the core's tests.
#pragma once

#include <cstdint>
#include <vector>

#include "../error.hpp"
#include "runner.hpp"

namespace vtest {

// A deterministic sequence in [-1, 1) (a linear congruential generator).
std::vector<double> sequence(std::int64_t count, std::uint32_t seed);

// The n x n orthogonal matrix (row-major) H1 H2 of two Householder reflections built from
// deterministic vectors: a known, dense orthogonal basis.
std::vector<double> orthogonal(std::int64_t n, std::uint32_t seed);

// Row-major m x n = P[:, :r] diag(s) Q[:, :r]^T with orthogonal P (m x m) and Q (n x n):
// a matrix whose singular values are exactly s (r of them).
std::vector<double> with_singular_values(std::int64_t m, std::int64_t n,
                                         const std::vector<double>& s);

// Row-major product (a x k) @ (k x c), naive.
std::vector<double> matmul(const std::vector<double>& a, const std::vector<double>& b,
                           std::int64_t rows, std::int64_t inner, std::int64_t cols);

// The largest absolute difference of two equally long sequences.
template <class A, class B>
double max_diff(const A& a, const B& b) {
  double m = a.size() == b.size() ? 0.0 : 1e300;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    m = d < 0 ? (-d > m ? -d : m) : (d > m ? d : m);
  }
  return m;
}

template <class T>
std::vector<T> cast(const std::vector<double>& v) {
  return std::vector<T>(v.begin(), v.end());
}

}  // namespace vtest

// expr raises velmora::core::Error of the given kind with exactly the given message.
#define CHECK_ERROR(error_kind, message, expr)                                      \
  do {                                                                              \
    try {                                                                           \
      expr;                                                                         \
      vtest::fail(__FILE__, __LINE__, "no error from " #expr);                      \
    } catch (const velmora::core::Error& vtest_e) {                                 \
      CHECK(vtest_e.kind() == velmora::core::ErrorKind::error_kind);                \
      if (std::string(vtest_e.what()) != (message)) {                               \
        vtest::fail(__FILE__, __LINE__, std::string("message: ") + vtest_e.what()); \
      }                                                                             \
    }                                                                               \
  } while (0)
