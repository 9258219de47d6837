// Exact top-k singular triplets by block Lanczos bidiagonalization with full
// reorthogonalization and thick restarts, for few triplets of a large matrix.
//
// The work is matrix-matrix products with the input (BLAS-3), the start block is fixed, so
// results are reproducible, and a triplet counts as converged only when its residual is at
// rounding level of its own singular value (float input whose kept values lie below the
// largest has its triplets refined and checked with double products, and is iterated with
// double products where those values lie far below): the kept triplets agree with the
// exact ones to rounding. Any doubt (no convergence within half the dense route's cost, a block
// that cannot be orthonormalized, an energy rank too close to call) makes the solver
// decline; the caller then takes the dense route.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::core {

// Which factorization serves a truncated SVD: the cost model's choice, or a forced one.
enum class SvdRoute { Auto, Dense, Krylov };

// A process-wide override of the route choice, for tests; returns the previous setting.
// Forcing the Krylov route still falls back to the dense one when the solver declines.
SvdRoute force_svd_route(SvdRoute route) noexcept;
SvdRoute forced_svd_route() noexcept;

// How many truncated SVDs the Krylov route served since the last call; resets the count.
std::int64_t take_krylov_count() noexcept;

// The cost model: true when the k leading triplets of an m x n matrix with elements of
// `elem_size` bytes are expected to come cheaper from the Krylov route than from the
// dense bidiagonal reduction. `route` other than Auto overrides the model.
bool krylov_route(std::int64_t m, std::int64_t n, std::int64_t k, std::size_t elem_size,
                  SvdRoute route);

template <class T>
struct KrylovTriplets {
  std::int64_t k = 0;
  std::vector<T> s;   // k values, descending
  std::vector<T> u;   // row-major m x k
  std::vector<T> vt;  // row-major k x n
};

// The k leading singular triplets of the row-major m x n matrix a (finite, 0 < k <
// min(m, n)). False when the solver declined; `out` is then unspecified.
template <class T>
bool krylov_svd(const T* a, std::int64_t m, std::int64_t n, std::int64_t k, KrylovTriplets<T>& out);

// The energy rank of a as energy_count computes it from the dense spectrum (the fewest
// leading triplets whose squared values reach `energy` of the squared Frobenius norm),
// with at least that many leading triplets in `out`; -1 when the total mass is at most
// 1e-30; 0 when the solver declined or the rank is too close to call. With limit > 0 a
// rank above the limit may be reported as limit + 1 (with `limit` triplets in `out`).
// `route` is passed to krylov_route when the rank must grow.
template <class T>
std::int64_t krylov_energy(const T* a, std::int64_t m, std::int64_t n, double energy,
                           std::int64_t limit, KrylovTriplets<T>& out, SvdRoute route);

}  // namespace velmora::core
