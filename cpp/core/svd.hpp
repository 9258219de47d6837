// Truncated singular value decomposition of a dense matrix through LAPACK.
//
// Only what is kept is computed: the singular values come from the bidiagonal form
// alone, and only the k kept singular vectors are transformed back to the input's basis.
#pragma once

#include <cstdint>
#include <vector>

#include "krylov.hpp"

namespace velmora {

// Refuses matrices that 32-bit LAPACK indexing cannot address. Raises Error(Value).
void check_lapack_size(std::int64_t m, std::int64_t n);

template <class T>
class TruncatedSvd {
 public:
  // A workspace for a row-major m x n matrix. Raises Error(Value) for a matrix too large
  // for 32-bit LAPACK; std::bad_alloc when memory runs out.
  TruncatedSvd(std::int64_t m, std::int64_t n);

  // The row-major m x n workspace the caller fills before reduce().
  T* input() noexcept { return a_.data(); }
  std::int64_t rows() const noexcept { return m_; }
  std::int64_t cols() const noexcept { return n_; }
  std::int64_t full_rank() const noexcept { return m_ < n_ ? m_ : n_; }

  // Readies the factorization: raises Error(LinAlg) "SVD did not converge" for non-finite
  // input. The bidiagonal reduction itself (after a QR or LQ step when the matrix is far
  // from square) waits until values() or vectors() shows whether the Krylov route serves.
  void reduce();

  // Overrides the cost model's choice between the Krylov and the dense route.
  void set_route(SvdRoute route) noexcept { route_ = route; }

  // energy_count of the full spectrum, from the Krylov route when it can certify the
  // rank (the leading triplets are then kept for vectors()), else from values(). With
  // limit > 0 any count above the limit may be reported as limit + 1.
  std::int64_t energy_rank(double energy, std::int64_t limit = 0);

  // All singular values in descending order. Requires reduce().
  std::vector<T> values();

  // The top k singular triplets: s (k), U row-major m x k, Vt row-major k x n. For k well
  // below the rank only those k vectors of the bidiagonal are computed (inverse iteration
  // on its Golub-Kahan tridiagonal, checked); otherwise all by divide and conquer.
  // k must not exceed full_rank(). Raises Error(LinAlg) when LAPACK does not converge.
  void vectors(std::int64_t k, T* s, T* u, T* vt);

 private:
  enum class Reduction { None, QR, LQ };

  std::int64_t m_, n_;   // row-major shape of the input
  int mb_ = 0, nb_ = 0;  // column-major shape of the same buffer: mb_ = n_, nb_ = m_
  int cm_ = 0, cn_ = 0;  // shape of the matrix handed to ?gebrd
  int nr_ = 0;           // min(cm_, cn_)
  Reduction reduction_ = Reduction::None;
  std::vector<T> a_;     // input, then Householder data of the QR/LQ step or ?gebrd
  std::vector<T> core_;  // the square triangular factor after a QR/LQ step
  std::vector<T> tau_;   // QR/LQ reflector scalars
  std::vector<T> d_, e_, tauq_, taup_;
  bool reduced_ = false;
  bool pending_ = false;  // reduce() ran, the bidiagonal reduction did not
  SvdRoute route_ = SvdRoute::Auto;
  KrylovTriplets<T> krylov_;  // leading triplets the Krylov route found

  void bidiagonalize();
  bool use_krylov(std::int64_t k) const;
  SvdRoute route() const noexcept { return route_ == SvdRoute::Auto ? forced_svd_route() : route_; }
  bool krylov_vectors(std::int64_t k, T* s, T* u, T* vt);

  // Top-k vectors of the bidiagonal by inverse iteration; false when they fail the checks.
  bool tgk_vectors(int k, T* s, std::vector<T>& ub, std::vector<T>& vb);
  T* core_data() noexcept { return reduction_ == Reduction::None ? a_.data() : core_.data(); }
};

// out (row-major m x n) = (U * s) @ Vt with U row-major m x k, s of length k and Vt
// row-major k x n, in T arithmetic.
template <class T>
void svd_reconstruct(const T* u, const T* s, const T* vt, std::int64_t m, std::int64_t k,
                     std::int64_t n, T* out);

extern template class TruncatedSvd<float>;
extern template class TruncatedSvd<double>;

}  // namespace velmora

namespace velmora {

// The number of leading singular values whose share of the squared spectral mass reaches
// `energy` (squares and sums in float64, numpy's order), or -1 when the total mass is at
// most 1e-30. May return r + 1 when rounding keeps every share below `energy`.
template <class T>
std::int64_t energy_count(const T* s, std::int64_t r, double energy);

}  // namespace velmora
