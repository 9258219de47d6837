#include "tensor_train.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "algebra.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "lapack_call.hpp"
#include "svd.hpp"
#include "view.hpp"

namespace velmora::core {

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
  const auto& L = lapack<double>();
  char jobz = 'V', range = 'I', uplo = 'U';
  double vl = 0, vu = 0, abstol = 2 * std::numeric_limits<double>::min();
  int il = n - k + 1, iu = n, found = 0;
  w.assign(elements(n), 0.0);
  z.assign(elements(n, k), 0.0);
  std::vector<int> iwork(elements(5, n)), ifail(elements(n));
  const int info = run_with_workspace<double>([&](double* work, int* lwork, int* inf) {
    L.syevx(&jobz, &range, &uplo, &n, g.data(), /* lda = */ &n, &vl, &vu, &il, &iu, &abstol, &found,
            w.data(), z.data(), /* ldz = */ &n, work, lwork, iwork.data(), ifail.data(), inf);
  });
  core::check_interrupt();
  return info == 0 && found == k && w[0] >= 1e-6 * w[elements(k - 1)] && w[0] > 0;
}

// The Gram matrix route (a Gram matrix of the given order) declines matrices whose squares
// leave double precision's range, and those that 32-bit BLAS cannot address.
bool gram_applies(const double* m, std::int64_t rows, std::int64_t cols, std::int64_t order) {
  const auto& L = lapack<double>();
  if (L.syrk == nullptr || L.syevx == nullptr || L.gemm == nullptr) return false;
  if (!fits_blas(order, order) || !fits_blas(rows, cols)) return false;
  double peak = 0;
  for (std::int64_t i = 0; i < rows * cols; ++i) peak = std::max(peak, std::fabs(m[i]));
  return peak < 1e100 && peak > 1e-100;
}

// G = m^T m (trans 'N') or m m^T (trans 'T') for the row-major rows x cols m, whose buffer
// is the column-major cols x rows matrix m^T; n is the order of G. The sum over the inner
// dimension runs in slices, with a Ctrl-C check after each, so that a long product answers
// promptly.
std::vector<double> gram(const double* m, int rows, int cols, char trans) {
  const auto& L = lapack<double>();
  int n = trans == 'N' ? cols : rows, lda = cols;
  const int inner = trans == 'N' ? rows : cols;
  constexpr int kSlice = 4096;
  std::vector<double> g(elements(n, n));
  char uplo = 'U';
  double alpha = 1, beta = 0;
  for (int first = 0; first < inner; first += kSlice) {
    int count = std::min(kSlice, inner - first);
    // A slice of m^T: rows first.. of it ('T'), or columns first.. ('N').
    const double* a = m + (trans == 'N' ? std::int64_t{first} * cols : first);
    L.syrk(&uplo, &trans, &n, &count, &alpha, const_cast<double*>(a), &lda, &beta, g.data(), &n);
    beta = 1;
    core::check_interrupt();
  }
  return g;
}

// The k leading eigenpairs (ascending) of the Gram matrix of m on its short side: m m^T for
// a wide m, m^T m for a tall one. False when the Gram route declines (see gram_applies) or
// the eigensolver does not converge.
bool gram_eigenvectors(const double* m, std::int64_t rows64, std::int64_t cols64, std::int64_t k64,
                       bool tall, std::vector<double>& w, std::vector<double>& z) {
  const std::int64_t order = tall ? cols64 : rows64;
  if (!gram_applies(m, rows64, cols64, order)) return false;
  std::vector<double> g =
      gram(m, static_cast<int>(rows64), static_cast<int>(cols64), tall ? 'N' : 'T');
  return leading_eigenvectors(g, static_cast<int>(order), static_cast<int>(k64), w, z);
}

// One sweep step through the Gram matrix of a wide working matrix m (rows x cols,
// row-major, rows <= cols): its k leading eigenvectors are the k leading left singular
// vectors, and U^T m is diag(s) V^T without forming V. Squaring the matrix costs accuracy
// in proportion to (s_1 / s_k)^2, so the step declines (returns false, nothing written)
// unless the k-th singular value is at least 1e-3 of the first, and when the eigensolver
// does not converge; the caller then takes the bidiagonal route.
bool gram_step(const double* m, std::int64_t rows64, std::int64_t cols64, std::int64_t k64,
               double* u, double* next) {
  std::vector<double> w, z;
  if (!gram_eigenvectors(m, rows64, cols64, k64, false, w, z)) return false;
  int rows = static_cast<int>(rows64), cols = static_cast<int>(cols64), k = static_cast<int>(k64);
  // Leading vector first: column c of U is eigenvector k - 1 - c.
  std::vector<double> ucm(elements(rows, k));
  const ColMajor uc{ucm.data(), rows}, zv{z.data(), rows};
  for (int c = 0; c < k; ++c) std::copy_n(zv.col(k - 1 - c), rows, uc.col(c));
  transpose_into(RowMajor{u, k64}, RowMajor{ucm.data(), rows}, rows, k);
  // next (k x cols, row-major) = U^T m: column-major next^T (cols x k) = m^T U.
  const auto& L = lapack<double>();
  char nt = 'N';
  double alpha = 1, beta = 0;
  L.gemm(&nt, &nt, /* m = */ &cols, /* n = */ &k, /* k = */ &rows, &alpha, const_cast<double*>(m),
         /* lda = */ &cols, ucm.data(), /* ldb = */ &rows, &beta, next, /* ldc = */ &cols);
  core::check_interrupt();
  return true;
}

// The same step for a tall working matrix (rows > cols): the k leading eigenvectors of
// m^T m are the k leading right singular vectors V, so the next working matrix is
// diag(s) V^T and U = m V diag(1/s). Declines under the same conditions as gram_step.
bool gram_step_tall(const double* m, std::int64_t rows64, std::int64_t cols64, std::int64_t k64,
                    double* u, double* next) {
  std::vector<double> w, z;
  if (!gram_eigenvectors(m, rows64, cols64, k64, true, w, z)) return false;
  int rows = static_cast<int>(rows64), cols = static_cast<int>(cols64), k = static_cast<int>(k64);
  // V column-major (cols x k), leading vector first; next = diag(s) V^T, row-major k x cols.
  std::vector<double> vcm(elements(cols, k)), sv(elements(k));
  const ColMajor vc{vcm.data(), cols}, zv{z.data(), cols};
  const RowMajor nv{next, cols64};
  for (int c = 0; c < k; ++c) {
    sv.data()[c] = std::sqrt(w.data()[k - 1 - c]);
    std::copy_n(zv.col(k - 1 - c), cols, vc.col(c));
    for (int j = 0; j < cols; ++j) nv(c, j) = sv.data()[c] * vc(j, c);
  }
  // Column-major u^T (k x rows) = V^T m^T, that is row-major u = m V; then divide by s.
  const auto& L = lapack<double>();
  char tn = 'T', nn = 'N';
  double alpha = 1, beta = 0;
  L.gemm(&tn, &nn, /* m = */ &k, /* n = */ &rows, /* k = */ &cols, &alpha, vcm.data(),
         /* lda = */ &cols, const_cast<double*>(m), /* ldb = */ &cols, &beta, u, /* ldc = */ &k);
  core::check_interrupt();
  const RowMajor uv{u, k64};
  for (int i = 0; i < rows; ++i) {
    for (int c = 0; c < k; ++c) uv(i, c) /= sv.data()[c];
  }
  return true;
}

// Stores a factor in its element type. Finite input whose factors leave T's range (a
// float32 tensor near its largest values) fails as the SVD of the same data does.
template <class T>
void store_core(const double* src, std::int64_t count, T* dst) {
  bool finite = true;
  for (std::int64_t i = 0; i < count; ++i) {
    dst[i] = static_cast<T>(src[i]);
    finite = finite && std::isfinite(dst[i]);
  }
  if (!finite) raise_linalg("SVD did not converge");
}

// One step of the sweep: the r kept left vectors of the working matrix in svd go to u
// (rows x r); the kept right vectors, scaled by the singular values, become the next
// working matrix, written straight into next's input.
void sweep_step(TruncatedSvd<double>& svd, std::int64_t r, bool float_cores, std::vector<double>& u,
                TruncatedSvd<double>& next) {
  const std::int64_t rows = svd.rows(), rest = svd.cols();
  u.resize(elements(rows, r));
  // Few vectors of a large wide matrix: the Gram route is several times cheaper than
  // bidiagonalizing it. Squaring the matrix costs digits, so it is taken only for cores
  // stored in float32, where that loss stays far below the storage rounding.
  const bool by_gram = float_cores && r > 0 &&
                       ((rows >= 256 && rows <= rest && r * 8 <= rows &&
                         gram_step(svd.input(), rows, rest, r, u.data(), next.input())) ||
                        (rest >= 128 && rows > rest && r * 8 <= rest &&
                         gram_step_tall(svd.input(), rows, rest, r, u.data(), next.input())));
  if (by_gram) return;
  svd.reduce();
  std::vector<double> s(elements(r));
  svd.vectors(r, s.data(), u.data(), next.input());
  const RowMajor m{next.input(), rest};
  for (std::int64_t i = 0; i < r; ++i) {
    for (std::int64_t j = 0; j < rest; ++j) m(i, j) *= s.data()[i];
  }
}

}  // namespace

template <class S, class T>
void tt_sweep(const S* x, const std::vector<std::int64_t>& shape,
              const std::vector<std::int64_t>& ranks, const std::vector<T*>& cores) {
  const std::size_t d = shape.size();
  auto svd = std::make_unique<TruncatedSvd<double>>(shape[0], product_from(shape, 1));
  std::copy_n(x, shape[0] * svd->cols(), svd->input());
  std::int64_t r_prev = 1;
  std::vector<double> u;
  for (std::size_t k = 0; k + 1 < d; ++k) {
    core::check_interrupt();
    const std::int64_t r = ranks[k];
    auto next =
        std::make_unique<TruncatedSvd<double>>(r * shape[k + 1], product_from(shape, k + 2));
    sweep_step(*svd, r, sizeof(T) == 4, u, *next);
    store_core(u.data(), svd->rows() * r, cores[k]);
    svd = std::move(next);
    r_prev = r;
  }
  // The last core carries the norm: the final working matrix as (r, n_d, 1).
  store_core(svd->input(), r_prev * shape[d - 1], cores[d - 1]);
}

template void tt_sweep<float, float>(const float*, const std::vector<std::int64_t>&,
                                     const std::vector<std::int64_t>&, const std::vector<float*>&);
template void tt_sweep<double, double>(const double*, const std::vector<std::int64_t>&,
                                       const std::vector<std::int64_t>&,
                                       const std::vector<double*>&);
}  // namespace velmora::core
