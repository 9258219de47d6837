#include "algebra.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "interrupt.hpp"
#include "lapack_call.hpp"
#include "view.hpp"

namespace velmora::core {

template <class T>
void gemm_rm(const T* A, const T* B, std::int64_t a, std::int64_t k, std::int64_t c, T* out) {
  if (a == 0 || c == 0) return;
  if (k == 0) {
    std::fill_n(out, elements(a, c), T(0));
    return;
  }
  require_blas_size(a, k);
  require_blas_size(k, c);
  require_blas_size(a, c);
  const auto& L = lapack<T>();
  require_routine(reinterpret_cast<const void*>(L.gemm), "gemm");
  // Row-major out = A @ B is column-major out^T = B^T A^T.
  char nt = 'N';
  int mi = static_cast<int>(c), ni = static_cast<int>(a), ki = static_cast<int>(k);
  T alpha = 1, beta = 0;
  L.gemm(&nt, &nt, /* m = */ &mi, /* n = */ &ni, /* k = */ &ki, &alpha, const_cast<T*>(B),
         /* lda = */ &mi, const_cast<T*>(A), /* ldb = */ &ki, &beta, out, /* ldc = */ &mi);
  core::check_interrupt();
}

template <class S, class T>
void unfold_copy(const S* t, std::int64_t p, std::int64_t n, std::int64_t q, T* out);

namespace {

// Column-major gemm with every size checked for 32-bit BLAS.
template <class T>
void gemm_cm(char ta, char tb, std::int64_t m, std::int64_t n, std::int64_t k, const T* a,
             std::int64_t lda, const T* b, std::int64_t ldb, T* c, std::int64_t ldc) {
  require_blas_size(m, k);
  require_blas_size(k, n);
  require_blas_size(m, n);
  const auto& L = lapack<T>();
  require_routine(reinterpret_cast<const void*>(L.gemm), "gemm");
  int mi = static_cast<int>(m), ni = static_cast<int>(n), ki = static_cast<int>(k);
  int la = static_cast<int>(lda), lb = static_cast<int>(ldb), lc = static_cast<int>(ldc);
  T alpha = 1, beta = 0;
  L.gemm(&ta, &tb, /* m = */ &mi, /* n = */ &ni, /* k = */ &ki, &alpha, const_cast<T*>(a),
         /* lda = */ &la, const_cast<T*>(b), /* ldb = */ &lb, &beta, c, /* ldc = */ &lc);
  core::check_interrupt();
}

// Row-major out (a x c) = A (a x k) @ B^T with B row-major (c x k). BLAS kernels run along
// the first column-major dimension, so a narrow result is formed transposed and copied.
template <class T>
void gemm_nt(const T* A, const T* B, std::int64_t a, std::int64_t k, std::int64_t c, T* out) {
  if (c >= 16) {
    // Column-major out^T (c x a) = B (c x k) A^T.
    gemm_cm('T', 'N', c, a, k, B, k, A, k, out, c);
    return;
  }
  std::vector<T> tmp(elements(a, c));
  // Column-major tmp (a x c) = A (a x k) B^T.
  gemm_cm('T', 'N', a, c, k, A, k, B, k, tmp.data(), a);
  transpose_into(RowMajor{out, c}, RowMajor{tmp.data(), a}, a, c);
}

}  // namespace

template <class T>
void mode_dot(const T* t, std::int64_t p, std::int64_t n, std::int64_t q, const T* m,
              std::int64_t j, T* out) {
  if (p == 0 || q == 0 || j == 0) return;
  if (n == 0) {
    std::fill_n(out, elements(p, j, q), T(0));
    return;
  }
  if (p == 1) {
    gemm_rm(m, t, j, n, q, out);  // (j x n) @ (n x q)
    return;
  }
  if (q == 1 && j >= 16) {
    gemm_nt(t, m, p, n, j, out);  // (p x n) @ m^T
    return;
  }
  // One product over the unfolding (a single large BLAS call rather than one per block,
  // which threaded BLAS handles badly), then every block put back in place.
  std::vector<T> unfolded(elements(n, p, q));
  unfold_copy(t, p, n, q, unfolded.data());
  std::vector<T> product(elements(j, p, q));
  gemm_rm(m, unfolded.data(), j, n, p * q, product.data());
  unfolded = std::vector<T>();
  const std::int64_t cols = p * q;
  for (std::int64_t x = 0; x < p; ++x) {
    T* dst = out + x * j * q;
    for (std::int64_t y = 0; y < j; ++y) {
      const T* src = product.data() + y * cols + x * q;
      if (q >= 16) {
        std::copy_n(src, q, dst + y * q);
      } else {
        for (std::int64_t z = 0; z < q; ++z) dst[y * q + z] = src[z];
      }
    }
  }
}

template <class S, class T>
void unfold_copy(const S* t, std::int64_t p, std::int64_t n, std::int64_t q, T* out) {
  const std::int64_t cols = p * q;
  if (q == 1) {
    // A transpose: walk the source in order, write with a stride.
    for (std::int64_t x = 0; x < p; ++x) {
      const S* src = t + x * n;
      for (std::int64_t i = 0; i < n; ++i) out[i * cols + x] = static_cast<T>(src[i]);
    }
    return;
  }
  for (std::int64_t x = 0; x < p; ++x) {
    for (std::int64_t i = 0; i < n; ++i) {
      const S* src = t + (x * n + i) * q;
      T* dst = out + i * cols + x * q;
      if (std::is_same_v<S, T> && q >= 16) {
        std::copy_n(src, q, dst);
      } else {
        for (std::int64_t z = 0; z < q; ++z) dst[z] = static_cast<T>(src[z]);
      }
    }
  }
}

namespace {

template <class T, class F>
T rounded_norm(std::int64_t count, F&& value) noexcept {
  // Four independent partial sums keep the loop pipelined; float products are exact in
  // double, so a float32 sum of squares is nearly exact before its rounding to float.
  double acc[4] = {0.0, 0.0, 0.0, 0.0};
  std::int64_t i = 0;
  for (; i + 4 <= count; i += 4) {
    for (int l = 0; l < 4; ++l) {
      const double v = value(i + l);
      acc[l] += v * v;
    }
  }
  for (; i < count; ++i) {
    const double v = value(i);
    acc[0] += v * v;
  }
  const T sq = static_cast<T>((acc[0] + acc[1]) + (acc[2] + acc[3]));
  return std::sqrt(sq);
}

}  // namespace

template <class T>
T euclidean_norm(const T* a, std::int64_t count) noexcept {
  return rounded_norm<T>(count, [a](std::int64_t i) { return static_cast<double>(a[i]); });
}

template <class T>
T euclidean_norm_of_difference(const T* a, const T* b, std::int64_t count) noexcept {
  // numpy forms the difference in T before squaring it.
  return rounded_norm<T>(count,
                         [a, b](std::int64_t i) { return static_cast<double>(a[i] - b[i]); });
}

SquareSums low_rank_square_sums(const float* left, const float* right, const float* y,
                                std::int64_t m, std::int64_t k, std::int64_t n) {
  SquareSums total;
  if (m <= 0 || n <= 0) return total;
  // Blocks of about a million elements: small next to the delta, large enough for gemm.
  const std::int64_t rows = std::max<std::int64_t>(1, (std::int64_t{1} << 20) / n);
  std::vector<float> block(static_cast<std::size_t>(std::min(rows, m) * n));
  for (std::int64_t r = 0; r < m; r += rows) {
    const std::int64_t h = std::min(rows, m - r);
    if (k > 0) {
      gemm_rm(left + r * k, right, h, k, n, block.data());
    } else {
      std::fill(block.begin(), block.end(), 0.0f);
    }
    const SquareSums part = difference_square_sums(block.data(), y + r * n, h * n);
    total.diff += part.diff;
    total.ref += part.ref;
  }
  return total;
}

template void gemm_rm<float>(const float*, const float*, std::int64_t, std::int64_t, std::int64_t,
                             float*);
template void gemm_rm<double>(const double*, const double*, std::int64_t, std::int64_t,
                              std::int64_t, double*);
template void mode_dot<float>(const float*, std::int64_t, std::int64_t, std::int64_t, const float*,
                              std::int64_t, float*);
template void mode_dot<double>(const double*, std::int64_t, std::int64_t, std::int64_t,
                               const double*, std::int64_t, double*);
template void unfold_copy<float, float>(const float*, std::int64_t, std::int64_t, std::int64_t,
                                        float*);
template void unfold_copy<double, double>(const double*, std::int64_t, std::int64_t, std::int64_t,
                                          double*);
template void unfold_copy<float, double>(const float*, std::int64_t, std::int64_t, std::int64_t,
                                         double*);
template float euclidean_norm<float>(const float*, std::int64_t) noexcept;
template double euclidean_norm<double>(const double*, std::int64_t) noexcept;
template float euclidean_norm_of_difference<float>(const float*, const float*,
                                                   std::int64_t) noexcept;
template double euclidean_norm_of_difference<double>(const double*, const double*,
                                                     std::int64_t) noexcept;

}  // namespace velmora::core
