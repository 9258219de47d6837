// Block orthonormalization for the block Lanczos solver: a d x b block is made orthonormal
// against a growing orthonormal basis and within itself (Gram-Schmidt against the basis,
// Cholesky QR in double precision, Householder QR as the fallback), plus the small BLAS
// and random-number helpers the solver shares with it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "lapack_call.hpp"

namespace velmora::core {

template <class T>
inline void gemm(char ta, char tb, std::int64_t m, std::int64_t n, std::int64_t k, T alpha,
                 const T* a, std::int64_t lda, const T* b, std::int64_t ldb, T beta, T* c,
                 std::int64_t ldc) {
  if (m == 0 || n == 0) return;
  const auto& L = lapack<T>();
  int mi = static_cast<int>(m), ni = static_cast<int>(n), ki = static_cast<int>(k);
  int la = static_cast<int>(std::max<std::int64_t>(lda, 1));
  int lb = static_cast<int>(std::max<std::int64_t>(ldb, 1));
  int lc = static_cast<int>(std::max<std::int64_t>(ldc, 1));
  L.gemm(&ta, &tb, &mi, &ni, &ki, &alpha, const_cast<T*>(a), &la, const_cast<T*>(b), &lb, &beta, c,
         &lc);
}

// W = A V and Z = A^T U with float64 products for the row-major float32 m x n matrix a,
// without a float64 copy of it: its rows are widened a panel at a time, and both products
// take each panel while it is in cache. V (n x k), U (m x k), W (m x k) and Z (n x k) are
// column-major with leading dimensions n, m, m, n. The caller checks fits_blas.
void wide_products(const float* a, std::int64_t m, std::int64_t n, std::int64_t k, const double* v,
                   const double* u, double* w, double* z);

// Deterministic uniform numbers in [-1, 1): the fixed start block and the replacements for
// directions lost in a breakdown.
struct Stream {
  std::uint64_t state = 0x9e3779b97f4a7c15ULL;
  double next() {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * (2.0 / 9007199254740992.0) - 1.0;
  }
};

template <class T>
inline double frobenius(const T* x, std::int64_t count) {
  double s = 0;
  for (std::int64_t i = 0; i < count; ++i) s += static_cast<double>(x[i]) * x[i];
  return std::sqrt(s);
}

template <class T>
class BlockOrthonormalizer {
 public:
  explicit BlockOrthonormalizer(std::int64_t b) : b_(b) {}

  // Orthonormalizes the d x b block w against the first l columns of the orthonormal basis
  // x and within itself, writing the new columns to x[:, l:l+b]; see block_ortho.cpp.
  bool expand(std::vector<T>& x, std::int64_t d, std::int64_t l, std::vector<T>& w,
              std::vector<T>& coef, std::vector<T>& r);
  // Q of a Householder QR of the d x b block w (overwritten).
  void householder_q(T* w, std::int64_t d, T* q);
  void fill_random(T* x, std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) x[i] = static_cast<T>(rng_.next());
  }

 private:
  bool cholesky_q(const T* w, std::int64_t d, T* q, std::vector<T>& r, double& amplify);

  std::int64_t b_;
  Stream rng_;
  std::vector<T> wcopy_, tau_, work_, p_;
  std::vector<double> qd_, q2_, gd_, ri_;
};

extern template class BlockOrthonormalizer<float>;
extern template class BlockOrthonormalizer<double>;

}  // namespace velmora::core
