#include "support.hpp"

#include <cmath>

#include "../view.hpp"

namespace vtest {

using velmora::core::elements;
using velmora::core::RowMajor;

std::vector<double> sequence(std::int64_t count, std::uint32_t seed) {
  std::vector<double> v;
  std::uint32_t x = seed * 2654435761u + 1u;
  for (std::int64_t i = 0; i < count; ++i) {
    x = x * 1664525u + 1013904223u;
    v.push_back(static_cast<double>(x >> 8) / 8388608.0 - 1.0);
  }
  return v;
}

std::vector<double> orthogonal(std::int64_t n, std::uint32_t seed) {
  std::vector<double> q(elements(n, n), 0.0);
  const RowMajor qv{q.data(), n};
  for (std::int64_t i = 0; i < n; ++i) qv(i, i) = 1.0;
  for (std::uint32_t r = 0; r < 2; ++r) {
    const std::vector<double> v = sequence(n, seed * 7 + r);
    double vv = 0;
    for (double x : v) vv += x * x;
    // q := q (I - 2 v v^T / v^T v)
    for (std::int64_t i = 0; i < n; ++i) {
      double dot = 0;
      for (std::int64_t j = 0; j < n; ++j) dot += qv(i, j) * v.data()[j];
      for (std::int64_t j = 0; j < n; ++j) qv(i, j) -= 2.0 * dot * v.data()[j] / vv;
    }
  }
  return q;
}

std::vector<double> with_singular_values(std::int64_t m, std::int64_t n,
                                         const std::vector<double>& s) {
  std::vector<double> p = orthogonal(m, 1), q = orthogonal(n, 2);
  const RowMajor pv{p.data(), m}, qv{q.data(), n};
  std::vector<double> a(elements(m, n), 0.0);
  const RowMajor av{a.data(), n};
  const std::int64_t r = static_cast<std::int64_t>(s.size());
  for (std::int64_t i = 0; i < m; ++i) {
    for (std::int64_t j = 0; j < n; ++j) {
      for (std::int64_t t = 0; t < r; ++t) av(i, j) += pv(i, t) * s.data()[t] * qv(j, t);
    }
  }
  return a;
}

std::vector<double> matmul(const std::vector<double>& a, const std::vector<double>& b,
                           std::int64_t rows, std::int64_t inner, std::int64_t cols) {
  std::vector<double> c(elements(rows, cols), 0.0);
  const RowMajor av{a.data(), inner}, bv{b.data(), cols};
  const RowMajor cv{c.data(), cols};
  for (std::int64_t i = 0; i < rows; ++i) {
    for (std::int64_t t = 0; t < inner; ++t) {
      for (std::int64_t j = 0; j < cols; ++j) cv(i, j) += av(i, t) * bv(t, j);
    }
  }
  return c;
}

}  // namespace vtest
