// The truncated SVD against matrices built with known singular values.
#include <algorithm>
#include <cmath>
#include <limits>

#include "../svd.hpp"
#include "../view.hpp"
#include "support.hpp"

namespace {

using velmora::core::elements;
using velmora::core::RowMajor;
using velmora::core::SvdReduction;
using velmora::core::TruncatedSvd;

struct SvdCase {
  std::int64_t m, n, k;  // k: the triplets asked for
};

// Shapes that take every reduction (none, QR of the transpose, LQ) and both bidiagonal
// solvers (inverse iteration for few vectors, divide and conquer for many).
constexpr SvdCase kCases[] = {{12, 12, 12}, {40, 10, 4},  {10, 40, 10}, {1, 50, 1},
                              {96, 96, 3},  {96, 96, 20}, {150, 80, 5}, {80, 150, 9}};

std::vector<double> spectrum(std::int64_t r) {
  std::vector<double> s;
  for (std::int64_t i = 0; i < r; ++i) s.push_back(10.0 / static_cast<double>(i + 1));
  return s;
}

template <class T>
void check_case(const SvdCase& c) {
  const double tol = std::is_same_v<T, float> ? 2e-4 : 1e-10;
  const std::int64_t r = std::min(c.m, c.n);
  const std::vector<double> s = spectrum(r);
  const std::vector<double> a = vtest::with_singular_values(c.m, c.n, s);
  TruncatedSvd<T> svd(c.m, c.n);
  std::copy(a.begin(), a.end(), svd.input());
  svd.reduce();
  CHECK(svd.full_rank() == r);
  CHECK(vtest::max_diff(svd.values(), s) <= tol * s[0]);
  std::vector<T> sk(elements(c.k)), u(elements(c.m, c.k)), vt(elements(c.k, c.n)), out(a.size());
  svd.vectors(c.k, sk.data(), u.data(), vt.data());
  const std::vector<double> top(s.begin(), s.begin() + c.k);
  CHECK(vtest::max_diff(sk, top) <= tol * s[0]);
  // U has orthonormal columns; U diag(s) Vt is the best rank-k approximation.
  std::vector<double> ud(u.begin(), u.end()), ut(ud.size());
  transpose_into(RowMajor{ut.data(), c.m}, RowMajor{ud.data(), c.k}, c.k, c.m);
  const std::vector<double> gram = vtest::matmul(ut, ud, c.k, c.m, c.k);
  for (std::int64_t i = 0; i < c.k; ++i) CHECK_NEAR(gram.data()[i * c.k + i], 1.0, 10 * tol);
  velmora::core::svd_reconstruct(u.data(), sk.data(), vt.data(), c.m, c.k, c.n, out.data());
  CHECK(vtest::max_diff(out, vtest::with_singular_values(c.m, c.n, top)) <= 10 * tol * s[0]);
}

TEST(svd_known_spectra) {
  for (const SvdCase& c : kCases) {
    check_case<float>(c);
    check_case<double>(c);
  }
}

TEST(svd_zero_and_empty_matrices) {
  TruncatedSvd<double> zero(5, 4);
  std::fill_n(zero.input(), 20, 0.0);
  zero.reduce();
  CHECK(vtest::max_diff(zero.values(), std::vector<double>(4, 0.0)) == 0.0);
  std::vector<double> s(2), u(10), vt(8), out(20, 1.0);
  zero.vectors(2, s.data(), u.data(), vt.data());
  velmora::core::svd_reconstruct(u.data(), s.data(), vt.data(), 5, 2, 4, out.data());
  CHECK(vtest::max_diff(out, std::vector<double>(20, 0.0)) == 0.0);
  TruncatedSvd<float> empty(0, 7);
  empty.reduce();
  CHECK(empty.values().empty());
}

TEST(svd_refuses_non_finite_input) {
  for (const double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
    TruncatedSvd<double> svd(3, 3);
    std::fill_n(svd.input(), 9, 1.0);
    svd.input()[4] = bad;
    CHECK_ERROR(LinAlg, "SVD did not converge", svd.reduce());
  }
}

TEST(blas_size_limits) {
  CHECK(velmora::core::fits_blas(1, 2147483647));
  CHECK(velmora::core::fits_blas(46340, 46340));
  CHECK(!velmora::core::fits_blas(46341, 46341));
  CHECK(!velmora::core::fits_blas(2, 1073741824));
  CHECK(!velmora::core::fits_blas(-1, 4));
  CHECK_ERROR(Value,
              "matrix of 46341 x 46341 elements is too large: LAPACK with 32-bit indexing "
              "handles at most 2**31 - 1 elements",
              TruncatedSvd<float>(46341, 46341));
}

TEST(svd_reduction_choice_is_64_bit) {
  // 214748365 * 10 overflows 32-bit integers.
  CHECK(velmora::core::svd_reduction(1, 214748365) == SvdReduction::QR);
  CHECK(velmora::core::svd_reduction(214748365, 1) == SvdReduction::LQ);
  CHECK(velmora::core::svd_reduction(2147483647, 1) == SvdReduction::LQ);
  CHECK(velmora::core::svd_reduction(10, 15) == SvdReduction::None);
  CHECK(velmora::core::svd_reduction(10, 16) == SvdReduction::QR);
  CHECK(velmora::core::svd_reduction(16, 10) == SvdReduction::LQ);
}

TEST(energy_count_known_answers) {
  // Squares 9, 4, 1 of 14: cumulative shares 9/14, 13/14, 1.
  const double s[] = {3.0, 2.0, 1.0};
  CHECK(velmora::core::energy_count(s, 3, 0.5) == 1);
  CHECK(velmora::core::energy_count(s, 3, 0.9) == 2);
  CHECK(velmora::core::energy_count(s, 3, 0.95) == 3);
  CHECK(velmora::core::energy_count(s, 3, 1.0) == 3);
  const float zeros[] = {0.0f, 0.0f};
  CHECK(velmora::core::energy_count(zeros, 2, 0.5) == -1);
}

}  // namespace
