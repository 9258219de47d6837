// Truncated higher-order SVD: one factor of leading left singular vectors per mode, and the
// core by successive mode products.
#pragma once

#include <cstdint>
#include <vector>

namespace velmora::core {

// The k leading left singular vectors (row-major n x k, in descending order of singular
// value) of the row-major n x cols matrix `a`, which is overwritten. Right singular vectors
// of a wide matrix are never formed: an LQ step reduces it to its n x n triangular factor
// first. Raises Error(LinAlg) "SVD did not converge" for non-finite input, Error(Value) for
// a matrix too large for 32-bit LAPACK. k must not exceed min(n, cols).
template <class T>
void leading_left_vectors(std::vector<T>& a, std::int64_t n, std::int64_t cols, std::int64_t k,
                          T* u);

// Tucker factors and core of a row-major tensor of the given shape. ranks[i] <=
// min(shape[i], size / shape[i]); factors[i] receives shape[i] x ranks[i] (row-major), `core`
// the product of the ranks elements. Raises as leading_left_vectors and gemm_rm.
template <class T>
void tucker_compress(const T* x, const std::vector<std::int64_t>& shape,
                     const std::vector<std::int64_t>& ranks, const std::vector<T*>& factors,
                     T* core);

// Successive mode products of a core of shape `ranks` with factors (shape[i] x ranks[i],
// row-major), in ascending mode order; `out` receives the product of `shape` elements.
// Raises as gemm_rm.
template <class T>
void tucker_expand(const T* core, const std::vector<std::int64_t>& ranks,
                   const std::vector<std::int64_t>& shape, const std::vector<const T*>& factors,
                   T* out);

}  // namespace velmora::core
