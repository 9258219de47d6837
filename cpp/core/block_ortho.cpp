#include "block_ortho.hpp"

#include <cstring>
#include <limits>

#include "interrupt.hpp"

namespace velmora::core {

template <class T>
void BlockOrthonormalizer<T>::householder_q(T* w, std::int64_t d, T* q) {
  const auto& L = lapack<T>();
  int di = static_cast<int>(d), bi = static_cast<int>(b_), info = 0, lwork = -1;
  tau_.resize(static_cast<std::size_t>(b_));
  T query{};
  L.geqrf(&di, &bi, w, &di, tau_.data(), &query, &lwork, &info);
  check_info<T>(info, "geqrf");
  lwork = std::max(lwork_from(query), bi * 64);
  work_.resize(static_cast<std::size_t>(lwork));
  L.geqrf(&di, &bi, w, &di, tau_.data(), work_.data(), &lwork, &info);
  check_info<T>(info, "geqrf");
  std::memset(q, 0, sizeof(T) * static_cast<std::size_t>(d * b_));
  for (std::int64_t j = 0; j < b_; ++j) q[j * d + j] = T(1);
  char side = 'L', trans = 'N';
  L.ormqr(&side, &trans, &di, &bi, &bi, w, &di, tau_.data(), q, &di, work_.data(), &lwork, &info);
  check_info<T>(info, "ormqr");
}

namespace {

// Column-major element (i, j) of a b x b matrix.
inline double& at(std::vector<double>& x, std::int64_t b, std::int64_t i, std::int64_t j) {
  return x[static_cast<std::size_t>(j * b + i)];
}

// The upper Cholesky factor R of the b x b Gram matrix g (G = R^T R), in place. False when
// G is not positive definite to working accuracy: a pivot at most 1e-12 of the largest
// diagonal entry `peak`.
bool cholesky_upper(std::vector<double>& g, std::int64_t b, double peak) {
  for (std::int64_t j = 0; j < b; ++j) {
    double diag = at(g, b, j, j);
    for (std::int64_t t = 0; t < j; ++t) diag -= at(g, b, t, j) * at(g, b, t, j);
    if (!(diag > 1e-12 * peak)) return false;
    diag = std::sqrt(diag);
    at(g, b, j, j) = diag;
    for (std::int64_t c = j + 1; c < b; ++c) {
      double v = at(g, b, j, c);
      for (std::int64_t t = 0; t < j; ++t) v -= at(g, b, t, j) * at(g, b, t, c);
      at(g, b, j, c) = v / diag;
    }
  }
  return true;
}

// ri = R^{-1} of the upper triangular R in g; returns ||R^{-1}||_F^2 * ||R||_F^2, the
// squared condition bound of one Cholesky pass, and sets inv2 = ||R^{-1}||_F^2.
double invert_upper(std::vector<double>& g, std::int64_t b, std::vector<double>& ri, double& inv2) {
  ri.assign(static_cast<std::size_t>(b * b), 0.0);
  double fwd2 = 0;
  inv2 = 0;
  for (std::int64_t j = 0; j < b; ++j) {
    at(ri, b, j, j) = 1.0 / at(g, b, j, j);
    for (std::int64_t row = j; row > 0; --row) {  // back substitution, upward
      const std::int64_t i = row - 1;
      double v = 0;
      for (std::int64_t t = i + 1; t <= j; ++t) v += at(g, b, i, t) * at(ri, b, t, j);
      at(ri, b, i, j) = -v / at(g, b, i, i);
    }
    for (std::int64_t i = 0; i <= j; ++i) {
      inv2 += at(ri, b, i, j) * at(ri, b, i, j);
      fwd2 += at(g, b, i, j) * at(g, b, i, j);
    }
  }
  return inv2 * fwd2;
}

// total = R total, both upper triangular b x b.
void chain_upper(std::vector<double>& g, std::int64_t b, std::vector<double>& total) {
  std::vector<double> out(static_cast<std::size_t>(b * b), 0.0);
  for (std::int64_t j = 0; j < b; ++j) {
    for (std::int64_t i = 0; i <= j; ++i) {
      double v = 0;
      for (std::int64_t t = i; t <= j; ++t) v += at(g, b, i, t) * at(total, b, t, j);
      at(out, b, i, j) = v;
    }
  }
  total.swap(out);
}

}  // namespace

// Q with orthonormal columns and upper triangular R with w = Q R, for the d x b block w, by
// Cholesky QR in double precision (all matrix-matrix products), repeated when one pass
// leaves Q short of orthonormal in T. `amplify` receives a bound on ||R^{-1}||, by which
// any basis component w still carries grows in Q. False when w is too ill-conditioned
// (Householder QR then serves).
template <class T>
bool BlockOrthonormalizer<T>::cholesky_q(const T* w, std::int64_t d, T* q, std::vector<T>& r,
                                         double& amplify) {
  const std::int64_t b = b_;
  qd_.assign(w, w + d * b);
  std::vector<double> rt(static_cast<std::size_t>(b * b), 0.0);  // accumulated R
  for (std::int64_t i = 0; i < b; ++i) at(rt, b, i, i) = 1.0;
  amplify = 0;
  for (int pass = 0; pass < 2; ++pass) {
    gd_.resize(static_cast<std::size_t>(b * b));
    gemm<double>('T', 'N', b, b, d, 1, qd_.data(), d, qd_.data(), d, 0, gd_.data(), b);
    double peak = 0;
    for (std::int64_t i = 0; i < b; ++i) peak = std::max(peak, at(gd_, b, i, i));
    if (!(peak > 0) || !std::isfinite(peak) || !cholesky_upper(gd_, b, peak)) return false;
    double inv2 = 0;
    const double cond2 = invert_upper(gd_, b, ri_, inv2);
    if (pass == 0) amplify = std::sqrt(inv2);
    chain_upper(gd_, b, rt);
    q2_.resize(qd_.size());
    gemm<double>('N', 'N', d, b, b, 1, qd_.data(), d, ri_.data(), b, 0, q2_.data(), d);
    qd_.swap(q2_);
    // One pass leaves Q orthonormal to about eps(double) * cond(w)^2.
    if (cond2 * 1e-16 < 0.01 * static_cast<double>(std::numeric_limits<T>::epsilon())) break;
  }
  for (std::int64_t i = 0; i < d * b; ++i) q[i] = static_cast<T>(qd_[static_cast<std::size_t>(i)]);
  r.resize(static_cast<std::size_t>(b * b));
  for (std::size_t i = 0; i < r.size(); ++i) r[i] = static_cast<T>(rt[i]);
  return true;
}

// Orthonormalizes the d x b block w against the first l columns of the orthonormal basis x
// (column-major, leading dimension d) and within itself, writing the new columns to
// x[:, l:l+b]: w = X coef + Q r. Classical Gram-Schmidt twice against the basis, then a
// Householder QR of what is left; when that remainder is (nearly) rank deficient the
// Householder columns outside its range are projected off the basis again and, if they
// lie in it, replaced by fresh directions. False when the block cannot be represented to
// rounding (the caller declines).
template <class T>
bool BlockOrthonormalizer<T>::expand(std::vector<T>& x, std::int64_t d, std::int64_t l,
                                     std::vector<T>& w, std::vector<T>& coef, std::vector<T>& r) {
  const std::int64_t b = b_;
  const T eps = std::numeric_limits<T>::epsilon();
  const double scale = frobenius(w.data(), d * b);
  x.resize(static_cast<std::size_t>((l + b) * d));
  coef.assign(static_cast<std::size_t>(l * b), T(0));
  auto project = [&] {
    gemm<T>('T', 'N', l, b, d, 1, x.data(), d, w.data(), d, 0, p_.data(), l);
    gemm<T>('N', 'N', d, b, l, -1, x.data(), d, p_.data(), l, 1, w.data(), d);
    for (std::size_t i = 0; i < coef.size(); ++i) coef[i] += p_[i];
  };
  if (l > 0) {
    p_.resize(static_cast<std::size_t>(l * b));
    project();
  }
  T* q = x.data() + l * d;
  double amplify = 0;
  // What Gram-Schmidt left of the basis in w (about eps times the norm before its last
  // pass) grows by at most ||R^{-1}|| in Q: when that stays within the orthogonality
  // tolerance, Q is orthogonal to the basis as it is. Otherwise project again.
  const double limit = 8 * std::sqrt(static_cast<double>(d));
  if (cholesky_q(w.data(), d, q, r, amplify) && (l == 0 || scale * amplify <= limit)) return true;
  if (l > 0) {
    const double first = frobenius(w.data(), d * b);
    project();
    if (cholesky_q(w.data(), d, q, r, amplify) && first * amplify <= limit) return true;
  }
  wcopy_ = w;
  householder_q(w.data(), d, q);
  if (l > 0) {
    // Columns of Q outside the range of the remainder need not be orthogonal to the basis.
    gemm<T>('T', 'N', l, b, d, 1, x.data(), d, q, d, 0, p_.data(), l);
    T worst = 0;
    for (const T& v : p_) worst = std::max(worst, std::abs(v));
    if (worst > 8 * eps * std::sqrt(static_cast<T>(d))) {
      for (int attempt = 0; attempt < 3 && worst > 8 * eps * std::sqrt(static_cast<T>(d));
           ++attempt) {
        w.assign(q, q + d * b);
        for (int pass = 0; pass < 2; ++pass) {
          gemm<T>('T', 'N', l, b, d, 1, x.data(), d, w.data(), d, 0, p_.data(), l);
          gemm<T>('N', 'N', d, b, l, -1, x.data(), d, p_.data(), l, 1, w.data(), d);
        }
        for (std::int64_t j = 0; j < b; ++j) {
          T* col = w.data() + j * d;
          if (frobenius(col, d) < 0.5) {
            fill_random(col, d);
            for (int pass = 0; pass < 2; ++pass) {
              gemm<T>('T', 'N', l, 1, d, 1, x.data(), d, col, d, 0, p_.data(), l);
              gemm<T>('N', 'N', d, 1, l, -1, x.data(), d, p_.data(), l, 1, col, d);
            }
          }
        }
        householder_q(w.data(), d, q);
        gemm<T>('T', 'N', l, b, d, 1, x.data(), d, q, d, 0, p_.data(), l);
        worst = 0;
        for (const T& v : p_) worst = std::max(worst, std::abs(v));
      }
      if (worst > 8 * eps * std::sqrt(static_cast<T>(d))) return false;
    }
  }
  // r = Q^T w exactly as the basis represents it; what Q misses must be rounding.
  r.resize(static_cast<std::size_t>(b * b));
  gemm<T>('T', 'N', b, b, d, 1, q, d, wcopy_.data(), d, 0, r.data(), b);
  gemm<T>('N', 'N', d, b, b, -1, q, d, r.data(), b, 1, wcopy_.data(), d);
  const double missed = frobenius(wcopy_.data(), d * b);
  return missed <= 16.0 * static_cast<double>(eps) * std::sqrt(static_cast<double>(b)) * scale +
                       std::numeric_limits<double>::min();
}

void wide_products(const float* a, std::int64_t m, std::int64_t n, std::int64_t k, const double* v,
                   const double* u, double* w, double* z) {
  if (k <= 0 || m <= 0 || n <= 0) return;
  // Panels of about 8 MiB in float64, each product complete on its panel (no partial sums
  // of the result carried across panels).
  constexpr std::int64_t kPanel = std::int64_t{1} << 20;
  std::vector<double> panel;
  // W = A V by panels of rows: the panel is the column-major n x r matrix A[i0:i0+r, :]^T.
  const std::int64_t rows = std::clamp<std::int64_t>(kPanel / n, 1, m);
  panel.resize(static_cast<std::size_t>(rows * n));
  for (std::int64_t i0 = 0; i0 < m; i0 += rows) {
    const std::int64_t r = std::min(rows, m - i0);
    const float* src = a + i0 * n;
    for (std::int64_t i = 0; i < r * n; ++i) panel[static_cast<std::size_t>(i)] = src[i];
    gemm<double>('T', 'N', r, k, n, 1, panel.data(), n, v, n, 0, w + i0, m);
    core::check_interrupt();
  }
  // Z = A^T U by panels of columns: the panel is the column-major c x m matrix A[:, j0:j0+c]^T.
  const std::int64_t cols = std::clamp<std::int64_t>(kPanel / m, 1, n);
  panel.resize(static_cast<std::size_t>(cols * m));
  for (std::int64_t j0 = 0; j0 < n; j0 += cols) {
    const std::int64_t c = std::min(cols, n - j0);
    for (std::int64_t i = 0; i < m; ++i) {
      const float* src = a + i * n + j0;
      double* dst = panel.data() + i * c;
      for (std::int64_t j = 0; j < c; ++j) dst[j] = src[j];
    }
    gemm<double>('N', 'N', c, k, m, 1, panel.data(), c, u, m, 0, z + j0, n);
    core::check_interrupt();
  }
}

template class BlockOrthonormalizer<float>;
template class BlockOrthonormalizer<double>;

}  // namespace velmora::core
