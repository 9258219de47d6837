// Tensor-train (TT-SVD) sweep on row-major buffers.
#pragma once

#include <cstdint>
#include <vector>

namespace velmora::core {

// The bond ranks of the left-to-right sweep for a shape and a cap (>= 1): r_k is the
// smaller of the cap and the smaller extent of the k-th working matrix.
std::vector<std::int64_t> tt_ranks(const std::vector<std::int64_t>& shape, std::int64_t cap);

// The sweep in double precision over a row-major tensor of element type S. `ranks` come
// from tt_ranks; cores[k] receives ranks[k-1] x shape[k] x ranks[k] elements of type T
// (with r_0 = r_d = 1). Only the kept singular triplets of each working matrix are
// computed. Raises Error(LinAlg) "SVD did not converge" for non-finite input, Error(Value)
// for a working matrix too large for 32-bit LAPACK.
template <class S, class T>
void tt_sweep(const S* x, const std::vector<std::int64_t>& shape,
              const std::vector<std::int64_t>& ranks, const std::vector<T*>& cores);

}  // namespace velmora::core
