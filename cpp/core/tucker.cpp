#include "tucker.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include "algebra.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "lapack_call.hpp"
#include "svd.hpp"
#include "view.hpp"

namespace velmora::core {

template <class T>
void leading_left_vectors(std::vector<T>& a, std::int64_t n, std::int64_t cols, std::int64_t k,
                          T* u) {
  if (k <= 0) return;
  require_blas_size(n, cols);
  if (cols * 10 < n * 16 || krylov_route(n, cols, k, sizeof(T), forced_svd_route())) {
    // Square or tall: the truncated SVD back-transforms only k vectors on each side, and
    // the right ones are no larger than the left ones here.
    // Shared, so that a long factorization runs on a worker thread (Ctrl-C answered).
    auto svd = std::make_shared<TruncatedSvd<T>>(n, cols);
    std::copy(a.begin(), a.end(), svd->input());
    svd->reduce();
    std::vector<T> s(elements(k)), vt(elements(k, cols));
    svd->vectors(k, s.data(), u, vt.data());
    return;
  }
  for (const T& v : a) {
    if (!std::isfinite(v)) raise_linalg("SVD did not converge");
  }
  // The row-major n x cols buffer is the column-major cols x n matrix A^T; its QR factors
  // give A = R^T Q^T, so the left singular vectors of A are those of the n x n R^T.
  const auto& L = lapack<T>();
  require_routine(reinterpret_cast<const void*>(L.geqrf), "geqrf");
  int m = static_cast<int>(cols), nn = static_cast<int>(n);
  std::vector<T> tau(elements(n));
  call_with_workspace<T>("geqrf", [&](T* work, int* lwork, int* info) {
    L.geqrf(&m, &nn, a.data(), /* lda = */ &m, tau.data(), work, lwork, info);
  });
  auto svd = std::make_shared<TruncatedSvd<T>>(n, n);
  // Row i of R^T is column i of R: R(j, i) for j <= i, the rest zero.
  const RowMajor rt{svd->input(), n};
  const ColMajor r{a.data(), cols};
  for (std::int64_t i = 0; i < n; ++i) {
    for (std::int64_t j = 0; j < n; ++j) rt(i, j) = j <= i ? r(j, i) : T(0);
  }
  svd->reduce();
  std::vector<T> s(elements(k)), vt(elements(k, n));
  svd->vectors(k, s.data(), u, vt.data());
}

namespace {

struct Split {
  std::int64_t p = 1, n = 1, q = 1;
};

Split split_at(const std::vector<std::int64_t>& shape, std::size_t mode) {
  Split s;
  for (std::size_t i = 0; i < mode; ++i) s.p *= shape[i];
  s.n = shape[mode];
  for (std::size_t i = mode + 1; i < shape.size(); ++i) s.q *= shape[i];
  return s;
}

std::int64_t product(const std::vector<std::int64_t>& v) {
  std::int64_t r = 1;
  for (std::int64_t x : v) r *= x;
  return r;
}

}  // namespace

template <class T>
void tucker_compress(const T* x, const std::vector<std::int64_t>& shape,
                     const std::vector<std::int64_t>& ranks, const std::vector<T*>& factors,
                     T* core) {
  const std::size_t d = shape.size();
  const std::int64_t size = product(shape);
  std::vector<T> work;
  for (std::size_t k = 0; k < d; ++k) {
    const Split s = split_at(shape, k);
    work.resize(elements(size));
    unfold_copy(x, s.p, s.n, s.q, work.data());
    core::check_interrupt();
    leading_left_vectors(work, s.n, s.p * s.q, ranks[k], factors[k]);
  }
  work.clear();
  work.shrink_to_fit();
  // Core: shrink one axis at a time, in ascending mode order, by the transposed factors.
  std::vector<std::int64_t> cur = shape;
  std::vector<T> a, b, ft;
  const T* src = x;
  for (std::size_t k = 0; k < d; ++k) {
    const Split s = split_at(cur, k);
    const std::int64_t r = ranks[k];
    ft.resize(elements(r, s.n));
    transpose_into(RowMajor{ft.data(), s.n}, RowMajor{factors[k], r}, r, s.n);
    cur[k] = r;
    T* dst = core;
    if (k + 1 < d) {
      std::vector<T>& next = src == a.data() ? b : a;
      next.resize(elements(product(cur)));
      dst = next.data();
    }
    mode_dot(src, s.p, s.n, s.q, ft.data(), r, dst);
    src = dst;
  }
}

template <class T>
void tucker_expand(const T* core, const std::vector<std::int64_t>& ranks,
                   const std::vector<std::int64_t>& shape, const std::vector<const T*>& factors,
                   T* out) {
  const std::size_t d = ranks.size();
  std::vector<std::int64_t> cur = ranks;
  std::vector<T> a, b;
  const T* src = core;
  for (std::size_t k = 0; k < d; ++k) {
    const Split s = split_at(cur, k);
    cur[k] = shape[k];
    T* dst = out;
    if (k + 1 < d) {
      std::vector<T>& next = src == a.data() ? b : a;
      next.resize(elements(product(cur)));
      dst = next.data();
    }
    mode_dot(src, s.p, s.n, s.q, factors[k], shape[k], dst);
    src = dst;
  }
}

template void leading_left_vectors<float>(std::vector<float>&, std::int64_t, std::int64_t,
                                          std::int64_t, float*);
template void leading_left_vectors<double>(std::vector<double>&, std::int64_t, std::int64_t,
                                           std::int64_t, double*);
template void tucker_compress<float>(const float*, const std::vector<std::int64_t>&,
                                     const std::vector<std::int64_t>&, const std::vector<float*>&,
                                     float*);
template void tucker_compress<double>(const double*, const std::vector<std::int64_t>&,
                                      const std::vector<std::int64_t>&, const std::vector<double*>&,
                                      double*);
template void tucker_expand<float>(const float*, const std::vector<std::int64_t>&,
                                   const std::vector<std::int64_t>&,
                                   const std::vector<const float*>&, float*);
template void tucker_expand<double>(const double*, const std::vector<std::int64_t>&,
                                    const std::vector<std::int64_t>&,
                                    const std::vector<const double*>&, double*);

}  // namespace velmora::core
