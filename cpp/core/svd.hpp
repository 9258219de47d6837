// Truncated singular value decomposition of a dense matrix through LAPACK.
//
// Only what is kept is computed: the singular values come from the bidiagonal form
// alone, and only the k kept singular vectors are transformed back to the input's basis.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "buffer.hpp"
#include "elementwise.hpp"
#include "krylov.hpp"

namespace velmora::core {

// How a row-major m x n matrix is brought to bidiagonal form: directly when it is near
// square; when it is far from square, after a QR step (n >= 1.6 m) or an LQ step
// (m >= 1.6 n) of its column-major transpose, which reduces it to a min(m, n) square.
enum class SvdReduction { None, QR, LQ };
SvdReduction svd_reduction(std::int64_t m, std::int64_t n) noexcept;

// Held through a shared_ptr (std::make_shared), a large factorization runs values(),
// vectors() and energy_rank() on a worker thread that keeps the object alive, so that
// Ctrl-C is answered during a long LAPACK call (run_interruptibly); otherwise inline.
template <class T>
class TruncatedSvd : public std::enable_shared_from_this<TruncatedSvd<T>> {
 public:
  // A workspace for a row-major m x n matrix. Raises Error(Value) for a matrix too large
  // for 32-bit LAPACK (require_blas_size); std::bad_alloc when memory runs out.
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
  std::int64_t m_, n_;   // row-major shape of the input
  int mb_ = 0, nb_ = 0;  // column-major shape of the same buffer: mb_ = n_, nb_ = m_
  int cm_ = 0, cn_ = 0;  // shape of the matrix handed to ?gebrd
  int nr_ = 0;           // min(cm_, cn_)
  SvdReduction reduction_ = SvdReduction::None;
  RawBuffer<T> a_;       // input, then Householder data of the QR/LQ step or ?gebrd
  std::vector<T> core_;  // the square triangular factor after a QR/LQ step
  std::vector<T> tau_;   // QR/LQ reflector scalars
  std::vector<T> d_, e_, tauq_, taup_;
  bool reduced_ = false;
  bool pending_ = false;  // reduce() ran, the bidiagonal reduction did not
  SvdRoute route_ = SvdRoute::Auto;
  KrylovTriplets<T> krylov_;  // leading triplets the Krylov route found

  // The shared owner when the work is long enough for a worker thread; null: run inline.
  std::shared_ptr<TruncatedSvd> worker_owner();
  std::int64_t energy_rank_here(double energy, std::int64_t limit);
  std::vector<T> values_here();
  void vectors_here(std::int64_t k, T* s, T* u, T* vt);
  void reduce_pending();  // the reduction reduce() deferred: QR/LQ step, then bidiagonal
  bool use_krylov(std::int64_t k) const;
  SvdRoute route() const noexcept { return route_ == SvdRoute::Auto ? forced_svd_route() : route_; }
  bool krylov_vectors(std::int64_t k, T* s, T* u, T* vt);

  // The QR step of the column-major rows x cols matrix in a_ (rows >= cols): the core
  // becomes its triangular factor R, or R^T when `lower`.
  void triangular_step(int rows, int cols, bool lower);
  void bidiagonalize();
  int reduce_panels();
  // The top k singular values and vectors of the bidiagonal: ub, vb (nr x k, column-major).
  void bidiagonal_vectors(int k, T* s, std::vector<T>& ub, std::vector<T>& vb);
  // Carries the bidiagonal's vectors back to the input's basis, into u and vt.
  void back_transform(int k, const std::vector<T>& ub, const std::vector<T>& vb, T* u, T* vt);
  T* core_data() noexcept { return reduction_ == SvdReduction::None ? a_.data() : core_.data(); }
};

// out (row-major m x n) = (U * s) @ Vt with U row-major m x k, s of length k and Vt
// row-major k x n, in T arithmetic.
template <class T>
void svd_reconstruct(const T* u, const T* s, const T* vt, std::int64_t m, std::int64_t k,
                     std::int64_t n, T* out);

// The sums of squares of (U * s) @ Vt - y and of y (y row-major m x n), the product formed
// a block of rows at a time, as low_rank_square_sums. Raises as gemm_rm.
SquareSums svd_square_sums(const float* u, const float* s, const float* vt, const float* y,
                           std::int64_t m, std::int64_t k, std::int64_t n);

extern template class TruncatedSvd<float>;
extern template class TruncatedSvd<double>;

}  // namespace velmora::core

namespace velmora::core {

// The number of leading singular values whose share of the squared spectral mass reaches
// `energy` (squares and sums in float64, numpy's order), or -1 when the total mass is at
// most 1e-30. May return r + 1 when rounding keeps every share below `energy`.
template <class T>
std::int64_t energy_count(const T* s, std::int64_t r, double energy);

}  // namespace velmora::core
