#include "algebra.hpp"

#include <cmath>
#include <cstring>
#include <vector>

#include "lapack_call.hpp"
#include "svd.hpp"

namespace velmora {

bool fits_blas(std::int64_t rows, std::int64_t cols) noexcept {
  constexpr std::int64_t limit = 2147483647;
  return rows >= 0 && cols >= 0 && rows <= limit && cols <= limit &&
         (rows == 0 || cols <= limit / rows);
}

template <class T>
void gemm_rm(const T* A, const T* B, std::int64_t a, std::int64_t k, std::int64_t c, T* out) {
  if (a == 0 || c == 0) return;
  if (k == 0) {
    std::memset(out, 0, sizeof(T) * static_cast<std::size_t>(a * c));
    return;
  }
  check_lapack_size(a, k);
  check_lapack_size(k, c);
  check_lapack_size(a, c);
  const auto& L = lapack::routines<T>();
  lapack::require(reinterpret_cast<const void*>(L.gemm), "gemm");
  // Row-major out = A @ B is column-major out^T = B^T A^T.
  char nt = 'N';
  int mi = static_cast<int>(c), ni = static_cast<int>(a), ki = static_cast<int>(k);
  T alpha = 1, beta = 0;
  L.gemm(&nt, &nt, /* m = */ &mi, /* n = */ &ni, /* k = */ &ki, &alpha, const_cast<T*>(B),
         /* lda = */ &mi, const_cast<T*>(A), /* ldb = */ &ki, &beta, out, /* ldc = */ &mi);
}

namespace {

// Small blocks cost more in BLAS call overhead than in arithmetic.
template <class T>
void mode_dot_small(const T* t, std::int64_t p, std::int64_t n, std::int64_t q, const T* m,
                    std::int64_t j, T* out) {
  for (std::int64_t x = 0; x < p; ++x) {
    const T* tb = t + x * n * q;
    T* ob = out + x * j * q;
    for (std::int64_t y = 0; y < j; ++y) {
      T* orow = ob + y * q;
      for (std::int64_t z = 0; z < q; ++z) orow[z] = T(0);
      for (std::int64_t i = 0; i < n; ++i) {
        const T w = m[y * n + i];
        const T* trow = tb + i * q;
        for (std::int64_t z = 0; z < q; ++z) orow[z] += w * trow[z];
      }
    }
  }
}

}  // namespace

template <class T>
void mode_dot(const T* t, std::int64_t p, std::int64_t n, std::int64_t q, const T* m,
              std::int64_t j, T* out) {
  if (p == 0 || q == 0 || j == 0) return;
  if (n == 0) {
    std::memset(out, 0, sizeof(T) * static_cast<std::size_t>(p * j * q));
    return;
  }
  if (p == 1) {
    gemm_rm(m, t, j, n, q, out);  // (j x n) @ (n x q)
    return;
  }
  if (q == 1) {
    // out (p x j) = t (p x n) @ m^T: column-major out^T (j x p) = m (j x n) t^T.
    check_lapack_size(p, n);
    check_lapack_size(j, n);
    check_lapack_size(p, j);
    const auto& L = lapack::routines<T>();
    lapack::require(reinterpret_cast<const void*>(L.gemm), "gemm");
    char tr = 'T', nt = 'N';
    int mi = static_cast<int>(j), ni = static_cast<int>(p), ki = static_cast<int>(n);
    T alpha = 1, beta = 0;
    L.gemm(&tr, &nt, /* m = */ &mi, /* n = */ &ni, /* k = */ &ki, &alpha, const_cast<T*>(m),
           /* lda = */ &ki, const_cast<T*>(t), /* ldb = */ &ki, &beta, out, /* ldc = */ &mi);
    return;
  }
  if (j * n * q <= 4096) {
    mode_dot_small(t, p, n, q, m, j, out);
    return;
  }
  for (std::int64_t x = 0; x < p; ++x) gemm_rm(m, t + x * n * q, j, n, q, out + x * j * q);
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
      if constexpr (std::is_same_v<S, T>) {
        std::memcpy(dst, src, sizeof(T) * static_cast<std::size_t>(q));
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

}  // namespace velmora
