#include "tensor_train.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "algebra.hpp"
#include "lapack_call.hpp"
#include "svd.hpp"

namespace velmora {

namespace {

std::int64_t product_from(const std::vector<std::int64_t>& v, std::size_t first) {
  std::int64_t r = 1;
  for (std::size_t i = first; i < v.size(); ++i) r *= v[i];
  return r;
}

}  // namespace

std::vector<std::int64_t> tt_ranks(const std::vector<std::int64_t>& shape, std::int64_t cap) {
  std::vector<std::int64_t> ranks;
  std::int64_t r_prev = 1;
  for (std::size_t k = 0; k + 1 < shape.size(); ++k) {
    const std::int64_t rows = r_prev * shape[k];
    const std::int64_t rest = product_from(shape, k + 1);
    const std::int64_t r = std::min({cap, rows, rest});
    ranks.push_back(r);
    r_prev = r;
  }
  return ranks;
}

namespace {

// The k leading eigenpairs of the symmetric n x n Gram matrix g (upper triangle): w holds
// them ascending (w[0] the k-th largest), z the vectors as columns. False when the solver
// fails or the k-th value is below 1e-6 of the first: squaring the matrix then loses too
// much of the smaller singular values, and the caller takes the bidiagonal route.
bool leading_eigenvectors(std::vector<double>& g, int n, int k, std::vector<double>& w,
                          std::vector<double>& z) {
  const auto& L = lapack::routines<double>();
  char jobz = 'V', range = 'I', uplo = 'U';
  double vl = 0, vu = 0, abstol = 2 * std::numeric_limits<double>::min(), query = 0;
  int il = n - k + 1, iu = n, found = 0, info = 0, lwork = -1;
  w.assign(static_cast<std::size_t>(n), 0.0);
  z.assign(static_cast<std::size_t>(n) * k, 0.0);
  std::vector<int> iwork(static_cast<std::size_t>(5) * n), ifail(static_cast<std::size_t>(n));
  L.syevx(&jobz, &range, &uplo, &n, g.data(), /* lda = */ &n, &vl, &vu, &il, &iu, &abstol, &found,
          w.data(), z.data(), /* ldz = */ &n, &query, &lwork, iwork.data(), ifail.data(), &info);
  if (info != 0) return false;
  lwork = lapack::lwork_from(query);
  std::vector<double> work(static_cast<std::size_t>(lwork));
  L.syevx(&jobz, &range, &uplo, &n, g.data(), /* lda = */ &n, &vl, &vu, &il, &iu, &abstol, &found,
          w.data(), z.data(), /* ldz = */ &n, work.data(), &lwork, iwork.data(), ifail.data(),
          &info);
  return info == 0 && found == k && w[0] >= 1e-6 * w[static_cast<std::size_t>(k - 1)] && w[0] > 0;
}

// One sweep step through the Gram matrix of a wide working matrix m (rows x cols,
// row-major, rows <= cols): its k leading eigenvectors are the k leading left singular
// vectors, and U^T m is diag(s) V^T without forming V. Squaring the matrix costs accuracy
// in proportion to (s_1 / s_k)^2, so the step declines (returns false, nothing written)
// unless the k-th singular value is at least 1e-3 of the first, and when the eigensolver
// does not converge; the caller then takes the bidiagonal route.
bool gram_step(const double* m, std::int64_t rows64, std::int64_t cols64, std::int64_t k64,
               double* u, double* next) {
  const auto& L = lapack::routines<double>();
  if (L.syrk == nullptr || L.syevx == nullptr || L.gemm == nullptr) return false;
  if (!fits_blas(rows64, rows64) || !fits_blas(rows64, cols64)) return false;
  double peak = 0;
  for (std::int64_t i = 0; i < rows64 * cols64; ++i) peak = std::max(peak, std::fabs(m[i]));
  // Squares of such values leave double precision's range.
  if (!(peak < 1e100 && peak > 1e-100)) return false;
  int rows = static_cast<int>(rows64), cols = static_cast<int>(cols64), k = static_cast<int>(k64);
  // The row-major buffer is the column-major cols x rows matrix m^T: G = (m^T)^T m^T.
  std::vector<double> g(static_cast<std::size_t>(rows) * rows);
  {
    char uplo = 'U', trans = 'T';
    double alpha = 1, beta = 0;
    L.syrk(&uplo, &trans, /* n = */ &rows, /* k = */ &cols, &alpha, const_cast<double*>(m),
           /* lda = */ &cols, &beta, g.data(), /* ldc = */ &rows);
  }
  std::vector<double> w, z;
  if (!leading_eigenvectors(g, rows, k, w, z)) return false;
  // Leading vector first: column c of U is eigenvector k - 1 - c.
  std::vector<double> ucm(static_cast<std::size_t>(rows) * k);
  for (int c = 0; c < k; ++c) {
    std::copy_n(z.data() + static_cast<std::size_t>(k - 1 - c) * rows, rows,
                ucm.data() + static_cast<std::size_t>(c) * rows);
  }
  for (int i = 0; i < rows; ++i) {
    for (int c = 0; c < k; ++c) {
      u[static_cast<std::size_t>(i) * k + c] = ucm[static_cast<std::size_t>(c) * rows + i];
    }
  }
  // next (k x cols, row-major) = U^T m: column-major next^T (cols x k) = m^T U.
  char nt = 'N';
  double alpha = 1, beta = 0;
  L.gemm(&nt, &nt, /* m = */ &cols, /* n = */ &k, /* k = */ &rows, &alpha, const_cast<double*>(m),
         /* lda = */ &cols, ucm.data(), /* ldb = */ &rows, &beta, next, /* ldc = */ &cols);
  return true;
}

// The same step for a tall working matrix (rows > cols): the k leading eigenvectors of
// m^T m are the k leading right singular vectors V, so the next working matrix is
// diag(s) V^T and U = m V diag(1/s). Declines under the same conditions as gram_step.
bool gram_step_tall(const double* m, std::int64_t rows64, std::int64_t cols64, std::int64_t k64,
                    double* u, double* next) {
  const auto& L = lapack::routines<double>();
  if (L.syrk == nullptr || L.syevx == nullptr || L.gemm == nullptr) return false;
  if (!fits_blas(cols64, cols64) || !fits_blas(rows64, cols64)) return false;
  double peak = 0;
  for (std::int64_t i = 0; i < rows64 * cols64; ++i) peak = std::max(peak, std::fabs(m[i]));
  if (!(peak < 1e100 && peak > 1e-100)) return false;
  int rows = static_cast<int>(rows64), cols = static_cast<int>(cols64), k = static_cast<int>(k64);
  // The row-major buffer is the column-major cols x rows matrix m^T: G = m^T (m^T)^T.
  std::vector<double> g(static_cast<std::size_t>(cols) * cols);
  {
    char uplo = 'U', trans = 'N';
    double alpha = 1, beta = 0;
    L.syrk(&uplo, &trans, /* n = */ &cols, /* k = */ &rows, &alpha, const_cast<double*>(m),
           /* lda = */ &cols, &beta, g.data(), /* ldc = */ &cols);
  }
  std::vector<double> w, z;
  if (!leading_eigenvectors(g, cols, k, w, z)) return false;
  // V column-major (cols x k), leading vector first; next = diag(s) V^T, row-major k x cols.
  std::vector<double> vcm(static_cast<std::size_t>(cols) * k), sv(static_cast<std::size_t>(k));
  for (int c = 0; c < k; ++c) {
    sv[static_cast<std::size_t>(c)] = std::sqrt(w[static_cast<std::size_t>(k - 1 - c)]);
    const double* zc = z.data() + static_cast<std::size_t>(k - 1 - c) * cols;
    std::copy_n(zc, cols, vcm.data() + static_cast<std::size_t>(c) * cols);
    for (int j = 0; j < cols; ++j) {
      next[static_cast<std::size_t>(c) * cols + j] = sv[static_cast<std::size_t>(c)] * zc[j];
    }
  }
  // Column-major u^T (k x rows) = V^T m^T, that is row-major u = m V; then divide by s.
  char tn = 'T', nn = 'N';
  double alpha = 1, beta = 0;
  L.gemm(&tn, &nn, /* m = */ &k, /* n = */ &rows, /* k = */ &cols, &alpha, vcm.data(),
         /* lda = */ &cols, const_cast<double*>(m), /* ldb = */ &cols, &beta, u, /* ldc = */ &k);
  for (int i = 0; i < rows; ++i) {
    for (int c = 0; c < k; ++c)
      u[static_cast<std::size_t>(i) * k + c] /= sv[static_cast<std::size_t>(c)];
  }
  return true;
}

}  // namespace

template <class S, class T>
void tt_sweep(const S* x, const std::vector<std::int64_t>& shape,
              const std::vector<std::int64_t>& ranks, const std::vector<T*>& cores) {
  const std::size_t d = shape.size();
  std::int64_t rest = product_from(shape, 1);
  auto svd = std::make_unique<TruncatedSvd<double>>(shape[0], rest);
  {
    double* in = svd->input();
    const std::int64_t count = shape[0] * rest;
    for (std::int64_t i = 0; i < count; ++i) in[i] = static_cast<double>(x[i]);
  }
  std::int64_t r_prev = 1;
  std::vector<double> s, u;
  for (std::size_t k = 0; k + 1 < d; ++k) {
    const std::int64_t r = ranks[k];
    const std::int64_t rows = svd->rows();
    // The kept right vectors, scaled by the singular values, are the next working
    // matrix: written straight into the next decomposition's input.
    const std::int64_t next_cols = product_from(shape, k + 2);
    auto next = std::make_unique<TruncatedSvd<double>>(r * shape[k + 1], next_cols);
    u.resize(static_cast<std::size_t>(rows * r));
    // Few vectors of a large wide matrix: the Gram route is several times cheaper than
    // bidiagonalizing it. Squaring the matrix costs digits, so it is taken only for cores
    // stored in float32, where that loss stays far below the storage rounding.
    const bool gram = sizeof(T) == 4 && r > 0 &&
                      ((rows >= 256 && rows <= rest && r * 8 <= rows &&
                        gram_step(svd->input(), rows, rest, r, u.data(), next->input())) ||
                       (rest >= 128 && rows > rest && r * 8 <= rest &&
                        gram_step_tall(svd->input(), rows, rest, r, u.data(), next->input())));
    if (!gram) {
      svd->reduce();
      s.resize(static_cast<std::size_t>(r));
      svd->vectors(r, s.data(), u.data(), next->input());
      double* m = next->input();
      for (std::int64_t i = 0; i < r; ++i) {
        for (std::int64_t j = 0; j < rest; ++j) m[i * rest + j] *= s[static_cast<std::size_t>(i)];
      }
    }
    T* core = cores[k];
    for (std::int64_t i = 0; i < rows * r; ++i)
      core[i] = static_cast<T>(u[static_cast<std::size_t>(i)]);
    svd = std::move(next);
    rest = next_cols;
    r_prev = r;
  }
  // The last core carries the norm: the final working matrix as (r, n_d, 1).
  const double* m = svd->input();
  T* last = cores[d - 1];
  const std::int64_t count = r_prev * shape[d - 1];
  for (std::int64_t i = 0; i < count; ++i) last[i] = static_cast<T>(m[i]);
}

template void tt_sweep<float, float>(const float*, const std::vector<std::int64_t>&,
                                     const std::vector<std::int64_t>&, const std::vector<float*>&);
template void tt_sweep<double, double>(const double*, const std::vector<std::int64_t>&,
                                       const std::vector<std::int64_t>&,
                                       const std::vector<double*>&);
}  // namespace velmora
