// Dense tensor algebra on row-major buffers: mode unfoldings, mode products, matrix
// products through BLAS, and Euclidean norms rounded the way numpy rounds them.
#pragma once

#include <cstdint>

#include "elementwise.hpp"
#include "view.hpp"

namespace velmora::core {

// Row-major out (a x c) = A (a x k) @ B (k x c), in T arithmetic. Raises Error(Value)
// when an operand is too large for 32-bit BLAS (fits_blas); Error(Runtime) when gemm is missing.
template <class T>
void gemm_rm(const T* A, const T* B, std::int64_t a, std::int64_t k, std::int64_t c, T* out);

// The mode product of a tensor viewed as (p, n, q) with the row-major j x n matrix m:
// out (p, j, q) with out[x, y, z] = sum_i m[y, i] t[x, i, z]. Raises as gemm_rm.
template <class T>
void mode_dot(const T* t, std::int64_t p, std::int64_t n, std::int64_t q, const T* m,
              std::int64_t j, T* out);

// The mode unfolding of a tensor viewed as (p, n, q): out (n, p * q) row-major, with
// out[i, x * q + z] = t[x, i, z], converted to T.
template <class S, class T>
void unfold_copy(const S* t, std::int64_t p, std::int64_t n, std::int64_t q, T* out);

// The Euclidean norm of `count` elements (of a, or of a - b) as numpy computes it for
// element type T: the sum of squares rounded to T, then its square root in T. The sum is
// accumulated in double precision, so a float32 result agrees with numpy's float32 dot
// product to float32 rounding.
template <class T>
T euclidean_norm(const T* a, std::int64_t count) noexcept;
template <class T>
T euclidean_norm_of_difference(const T* a, const T* b, std::int64_t count) noexcept;

// The sums of squares of (left @ right) - y and of y, for left (m x k), right (k x n) and y
// (m x n), all row-major float32: the product is formed a block of rows at a time, never
// whole. Raises as gemm_rm.
SquareSums low_rank_square_sums(const float* left, const float* right, const float* y,
                                std::int64_t m, std::int64_t k, std::int64_t n);

}  // namespace velmora::core
