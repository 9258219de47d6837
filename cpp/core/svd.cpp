#include "svd.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "algebra.hpp"
#include "block_ortho.hpp"
#include "elementwise.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "lapack_call.hpp"
#include "reduce.hpp"
#include "view.hpp"

namespace velmora::core {

SvdReduction svd_reduction(std::int64_t m, std::int64_t n) noexcept {
  // The row-major buffer is the column-major n x m matrix B = A^T: a QR step for a tall B,
  // an LQ step for a wide one. Extents reach 2**31, so the comparison is 64-bit.
  if (n * 10 >= m * 16) return SvdReduction::QR;
  if (m * 10 >= n * 16) return SvdReduction::LQ;
  return SvdReduction::None;
}

template <class T>
TruncatedSvd<T>::TruncatedSvd(std::int64_t m, std::int64_t n) : m_(m), n_(n) {
  require_blas_size(m, n);
  // The row-major m x n buffer is the column-major n x m matrix B = A^T.
  mb_ = static_cast<int>(n);
  nb_ = static_cast<int>(m);
  a_.resize(elements(m, n));
}

template <class T>
void TruncatedSvd<T>::reduce() {
  require_routine(reinterpret_cast<const void*>(lapack<T>().gebrd), "gebrd");
  if (!all_finite(a_.data(), static_cast<std::int64_t>(a_.size()))) {
    raise_linalg("SVD did not converge");
  }
  pending_ = true;
}

template <class T>
bool TruncatedSvd<T>::use_krylov(std::int64_t k) const {
  return pending_ && krylov_route(m_, n_, k, sizeof(T), route());
}

// Copies the leading k of the Krylov route's triplets, computing them first when needed;
// false when that route does not serve.
template <class T>
bool TruncatedSvd<T>::krylov_vectors(std::int64_t k, T* s, T* u, T* vt) {
  if (krylov_.k < k && !(use_krylov(k) && krylov_svd(a_.data(), m_, n_, k, krylov_))) return false;
  const std::int64_t kk = krylov_.k;
  std::copy_n(krylov_.s.data(), k, s);
  for (std::int64_t i = 0; i < m_; ++i) std::copy_n(krylov_.u.data() + i * kk, k, u + i * k);
  std::copy_n(krylov_.vt.data(), k * n_, vt);
  return true;
}

template <class T>
std::shared_ptr<TruncatedSvd<T>> TruncatedSvd<T>::worker_owner() {
  // About 0.05 s of dense work or more; below, a thread would cost more than it saves.
  const double r = static_cast<double>(full_rank());
  if (static_cast<double>(m_) * static_cast<double>(n_) * r < 1e8) return nullptr;
  return this->weak_from_this().lock();
}

template <class T>
std::int64_t TruncatedSvd<T>::energy_rank(double energy, std::int64_t limit) {
  auto self = worker_owner();
  if (!self) return energy_rank_here(energy, limit);
  auto rank = std::make_shared<std::int64_t>(0);
  run_interruptibly([self, rank, energy, limit] { *rank = self->energy_rank_here(energy, limit); });
  return *rank;
}

template <class T>
std::vector<T> TruncatedSvd<T>::values() {
  auto self = worker_owner();
  if (!self) return values_here();
  auto out = std::make_shared<std::vector<T>>();
  run_interruptibly([self, out] { *out = self->values_here(); });
  return std::move(*out);
}

template <class T>
void TruncatedSvd<T>::vectors(std::int64_t k, T* s, T* u, T* vt) {
  auto self = worker_owner();
  if (!self || k <= 0) return vectors_here(k, s, u, vt);
  // The worker writes into buffers it shares, never into the caller's, which an interrupt
  // may free while it still runs.
  struct Out {
    std::vector<T> s, u, vt;
  };
  auto out = std::make_shared<Out>();
  run_interruptibly([self, out, k] {
    out->s.resize(elements(k));
    out->u.resize(elements(self->m_, k));
    out->vt.resize(elements(k, self->n_));
    self->vectors_here(k, out->s.data(), out->u.data(), out->vt.data());
  });
  std::copy(out->s.begin(), out->s.end(), s);
  std::copy(out->u.begin(), out->u.end(), u);
  std::copy(out->vt.begin(), out->vt.end(), vt);
}

template <class T>
std::int64_t TruncatedSvd<T>::energy_rank_here(double energy, std::int64_t limit) {
  if (use_krylov(8)) {
    const std::int64_t rank = krylov_energy(a_.data(), m_, n_, energy, limit, krylov_, route());
    if (rank != 0) return rank;
  }
  const std::vector<T> v = values_here();
  return energy_count(v.data(), full_rank(), energy);
}

template <class T>
void TruncatedSvd<T>::reduce_pending() {
  pending_ = false;
  if (mb_ == 0 || nb_ == 0) {
    reduced_ = true;
    return;
  }
  // A matrix far from square is first reduced to its square triangular factor, so the
  // bidiagonalization and back-transformation run on min(m, n)^2 elements.
  reduction_ = svd_reduction(m_, n_);
  if (reduction_ == SvdReduction::QR) {
    triangular_step(mb_, nb_, /* lower = */ false);
  } else if (reduction_ == SvdReduction::LQ) {
    // B = L Q through the QR of B^T (the input in column-major order): LAPACK's QR is far
    // faster than its LQ, and the transpose costs one pass over the data. L = R^T.
    {
      RawBuffer<T> bt(a_.size());
      transpose_into(ColMajor{bt.data(), nb_}, ColMajor{a_.data(), mb_}, nb_, mb_);
      a_.swap(bt);
    }
    core::check_interrupt();
    triangular_step(nb_, mb_, /* lower = */ true);
  } else {
    cm_ = mb_;
    cn_ = nb_;
  }
  bidiagonalize();
  reduced_ = true;
}

template <class T>
void TruncatedSvd<T>::triangular_step(int rows, int cols, bool lower) {
  const auto& L = lapack<T>();
  tau_.resize(elements(cols));
  call_with_workspace<T>("geqrf", [&](T* work, int* lwork, int* info) {
    L.geqrf(&rows, &cols, a_.data(), /* lda = */ &rows, tau_.data(), work, lwork, info);
  });
  // R, the upper triangle of the factored matrix, or R^T.
  cm_ = cn_ = cols;
  core_.assign(elements(cols, cols), T(0));
  const ColMajor core{core_.data(), cols};
  const ColMajor r{a_.data(), rows};
  for (std::int64_t j = 0; j < cols; ++j) {
    for (std::int64_t i = 0; i <= j; ++i) (lower ? core(j, i) : core(i, j)) = r(i, j);
  }
}

template <class T>
void TruncatedSvd<T>::bidiagonalize() {
  const auto& L = lapack<T>();
  nr_ = std::min(cm_, cn_);
  d_.resize(elements(nr_));
  e_.resize(elements(std::max(nr_ - 1, 1)));
  tauq_.resize(elements(nr_));
  taup_.resize(elements(nr_));
  const int done = reduce_panels();
  int mi = cm_ - done, ni = cn_ - done;
  T* c = core_data() + done + std::int64_t{done} * cm_;
  call_with_workspace<T>("gebrd", [&](T* work, int* lwork, int* info) {
    L.gebrd(&mi, &ni, c, /* lda = */ &cm_, d_.data() + done, e_.data() + done, tauq_.data() + done,
            taup_.data() + done, work, lwork, info);
  });
}

// ?gebrd's own blocked loop, one panel at a time with a Ctrl-C check between panels: ?labrd
// reduces nb rows and columns, two products update the trailing matrix. The same calls in
// the same order as ?gebrd makes them, so the result is bit for bit ?gebrd's; the last
// part (where ?gebrd works unblocked) is left to ?gebrd. Returns the rows and columns done.
template <class T>
int TruncatedSvd<T>::reduce_panels() {
  const auto& L = lapack<T>();
  if (L.labrd == nullptr || L.gemm == nullptr || nr_ < 1024) return 0;
  int query_lwork = -1, info = 0;
  T query{};
  L.gebrd(&cm_, &cn_, core_data(), &cm_, d_.data(), e_.data(), tauq_.data(), taup_.data(), &query,
          &query_lwork, &info);
  check_info<T>(info, "gebrd");
  int nb = static_cast<int>(std::lround(static_cast<double>(query) / (cm_ + cn_)));
  if (nb <= 1) return 0;
  std::vector<T> x(elements(cm_, nb)), y(elements(cn_, nb));
  int i = 0;
  for (; nr_ - i > 512; i += nb) {
    int mi = cm_ - i, ni = cn_ - i, mr = mi - nb, nrest = ni - nb;
    T* a = core_data() + i + std::int64_t{i} * cm_;
    L.labrd(&mi, &ni, &nb, a, &cm_, d_.data() + i, e_.data() + i, tauq_.data() + i,
            taup_.data() + i, x.data(), /* ldx = */ &mi, y.data(), /* ldy = */ &ni);
    T* trail = a + nb + std::int64_t{nb} * cm_;
    gemm<T>('N', 'T', mr, nrest, nb, T(-1), a + nb, cm_, y.data() + nb, ni, T(1), trail, cm_);
    gemm<T>('N', 'N', mr, nrest, nb, T(-1), x.data() + nb, mi, a + std::int64_t{nb} * cm_, cm_,
            T(1), trail, cm_);
    const ColMajor av{core_data(), cm_};
    for (int j = i; j < i + nb; ++j) {
      av(j, j) = d_[elements(j)];
      (cm_ >= cn_ ? av(j, j + 1) : av(j + 1, j)) = e_[elements(j)];
    }
    core::check_interrupt();
  }
  return i;
}

template <class T>
std::vector<T> TruncatedSvd<T>::values_here() {
  if (pending_) reduce_pending();
  if (nr_ == 0) return {};
  const auto& L = lapack<T>();
  std::vector<T> d = d_, e = e_;
  char uplo = cm_ >= cn_ ? 'U' : 'L';
  char compq = 'N';
  int one = 1, info = 0;
  T dummy{};
  int idummy = 0;
  std::vector<T> work(elements(4, nr_) + 1);
  std::vector<int> iwork(elements(8, nr_));
  L.bdsdc(&uplo, &compq, &nr_, d.data(), e.data(), /* u = */ &dummy, /* ldu = */ &one,
          /* vt = */ &dummy, /* ldvt = */ &one, /* q = */ &dummy, /* iq = */ &idummy, work.data(),
          iwork.data(), &info);
  check_info<T>(info, "bdsdc");
  core::check_interrupt();
  return d;
}

template <class T>
void TruncatedSvd<T>::vectors_here(std::int64_t k64, T* s, T* u, T* vt) {
  if (k64 <= 0 || (pending_ && krylov_vectors(k64, s, u, vt))) return;
  if (pending_) reduce_pending();
  if (nr_ == 0) return;
  const int k = static_cast<int>(k64);
  std::vector<T> ub, vb;
  bidiagonal_vectors(k, s, ub, vb);
  back_transform(k, ub, vb, u, vt);
}

namespace {

// A bidiagonal matrix of order n: diagonal d (n), off-diagonal e (n - 1), above the
// diagonal (upper) or below it.
template <class T>
struct Bidiagonal {
  const T* d;
  const T* e;
  int n;
  bool upper;
};

// The top k singular triplets of a bidiagonal B from the Golub-Kahan tridiagonal by
// inverse iteration (?stevx): s (k, descending), ub and vb (n x k, column-major). False
// when the solver fails or a zero singular value mixes the two halves of a vector.
template <class T>
bool tgk_solve(const Bidiagonal<T>& b, int k, T* s, std::vector<T>& ub, std::vector<T>& vb) {
  const auto& L = lapack<T>();
  if (L.stevx == nullptr || k <= 0) return false;
  // The Golub-Kahan matrix of an upper bidiagonal B: zero diagonal, off-diagonal
  // d0, e0, d1, e1, ...; its eigenpair for +sigma interleaves B's right and left vectors.
  // A lower bidiagonal is the transpose of the upper one with the same d and e.
  const int nr = b.n;
  int n2 = 2 * nr;
  std::vector<T> diag(elements(n2), T(0)), off(elements(n2), T(0));
  for (int i = 0; i < nr; ++i) {
    off.data()[2 * i] = b.d[i];
    if (i + 1 < nr) off.data()[2 * i + 1] = b.e[i];
  }
  char jobz = 'V', range = 'I';
  int il = n2 - k + 1, iu = n2, found = 0, info = 0, ldz = n2;
  T vl = 0, vu = 0;
  T abstol = 2 * std::numeric_limits<T>::min();
  std::vector<T> w(elements(n2)), z(elements(n2, k)), work(elements(5, n2));
  std::vector<int> iwork(elements(5, n2)), ifail(elements(n2));
  L.stevx(&jobz, &range, &n2, diag.data(), off.data(), &vl, &vu, &il, &iu, &abstol, &found,
          w.data(), z.data(), /* ldz = */ &ldz, work.data(), iwork.data(), ifail.data(), &info);
  core::check_interrupt();
  if (info != 0 || found != k) return false;
  const T eps = std::numeric_limits<T>::epsilon();
  const double smax = static_cast<double>(w[elements(k - 1)]);
  // Zero singular values pair up with their negatives and mix the two halves: leave
  // those to the full solver.
  if (!(smax > 0) || static_cast<double>(w[0]) <= smax * nr * eps) return false;
  ub.assign(elements(nr, k), T(0));
  vb.assign(elements(nr, k), T(0));
  const ColMajor zv{z.data(), n2};
  const ColMajor left{(b.upper ? ub : vb).data(), nr}, right{(b.upper ? vb : ub).data(), nr};
  for (int t = 0; t < k; ++t) {
    const int col = k - 1 - t;  // stevx returns ascending eigenvalues
    s[t] = w[elements(col)];
    const T* zc = zv.col(col);
    double nu = 0, nv = 0;
    for (int i = 0; i < nr; ++i) {
      nv += static_cast<double>(zc[2 * i]) * zc[2 * i];
      nu += static_cast<double>(zc[2 * i + 1]) * zc[2 * i + 1];
    }
    if (nu < 0.25 || nv < 0.25) return false;  // each half should carry half the norm
    const T su = static_cast<T>(1.0 / std::sqrt(nu)), sv = static_cast<T>(1.0 / std::sqrt(nv));
    for (int i = 0; i < nr; ++i) {
      right(i, t) = zc[2 * i] * sv;
      left(i, t) = zc[2 * i + 1] * su;
    }
  }
  return true;
}

// Accepts the vectors of tgk_solve only when they are as good as the full solver's: small
// residuals B v - s u and orthonormal columns.
template <class T>
bool tgk_accept(const Bidiagonal<T>& b, int k, const T* s, const std::vector<T>& ub,
                const std::vector<T>& vb) {
  const int nr = b.n;
  const double tol = 64.0 * std::sqrt(static_cast<double>(nr)) * std::numeric_limits<T>::epsilon();
  const double smax = static_cast<double>(s[0]);
  const ColMajor uv{ub.data(), nr}, vv{vb.data(), nr};
  for (int t = 0; t < k; ++t) {
    const T* u = uv.col(t);
    const T* v = vv.col(t);
    double r2 = 0;
    for (int i = 0; i < nr; ++i) {
      // (B v)_i for the upper form; the lower form is B^T, so (B v)_i = d_i v_i + e_{i-1} v_{i-1}.
      double bv = static_cast<double>(b.d[i]) * v[i];
      if (b.upper && i + 1 < nr) bv += static_cast<double>(b.e[i]) * v[i + 1];
      if (!b.upper && i > 0) bv += static_cast<double>(b.e[i - 1]) * v[i - 1];
      const double r = bv - static_cast<double>(s[t]) * u[i];
      r2 += r * r;
    }
    if (std::sqrt(r2) > tol * smax) return false;
  }
  for (const ColMajor<const T>* q : {&uv, &vv}) {
    for (int x = 0; x < k; ++x) {
      for (int y = x; y < k; ++y) {
        double dot = 0;
        for (int i = 0; i < nr; ++i) dot += static_cast<double>((*q)(i, x)) * (*q)(i, y);
        if (std::abs(dot - (x == y ? 1.0 : 0.0)) > tol) return false;
      }
    }
  }
  return true;
}

}  // namespace

template <class T>
void TruncatedSvd<T>::bidiagonal_vectors(int k, T* s, std::vector<T>& ub, std::vector<T>& vb) {
  // For few vectors, inverse iteration on the Golub-Kahan tridiagonal; otherwise, or when
  // its result fails the residual and orthogonality checks, all vectors by divide and conquer.
  const Bidiagonal<T> bd{d_.data(), e_.data(), nr_, cm_ >= cn_};
  // The values come from the value-only solver (dqds, to high relative accuracy): in single
  // precision the divide-and-conquer solver's values, and bisection on the Golub-Kahan matrix,
  // can be off by far more near a noise floor (8% on a value there, 3.5e-6 of the largest).
  const std::vector<T> values = values_here();
  if (std::int64_t{k} * 8 <= nr_ && tgk_solve(bd, k, s, ub, vb) && tgk_accept(bd, k, s, ub, vb)) {
    std::copy_n(values.begin(), k, s);
    return;
  }
  core::check_interrupt();
  const auto& L = lapack<T>();
  std::vector<T> d = d_, e = e_;
  std::vector<T> ubd(elements(nr_, nr_)), vtbd(elements(nr_, nr_));
  char uplo = bd.upper ? 'U' : 'L';
  char compq = 'I';
  T dummy{};
  int idummy = 0, info = 0;
  std::vector<T> work(elements(3, nr_, nr_) + elements(4, nr_));
  std::vector<int> iwork(elements(8, nr_));
  L.bdsdc(&uplo, &compq, &nr_, d.data(), e.data(), ubd.data(), /* ldu = */ &nr_, vtbd.data(),
          /* ldvt = */ &nr_, /* q = */ &dummy, /* iq = */ &idummy, work.data(), iwork.data(),
          &info);
  check_info<T>(info, "bdsdc");
  core::check_interrupt();
  std::copy_n(values.begin(), k, s);
  ubd.resize(elements(nr_, k));
  ub = std::move(ubd);
  // The right vectors are the first k rows of V^T.
  vb.assign(elements(nr_, k), T(0));
  transpose_into(ColMajor{vb.data(), nr_}, ColMajor{vtbd.data(), nr_}, nr_, k);
}

template <class T>
void TruncatedSvd<T>::back_transform(int k, const std::vector<T>& ub, const std::vector<T>& vb,
                                     T* u, T* vt) {
  // Left vectors of B (mb x k, column-major) land in vt: row-major k x n has that layout.
  // Right vectors of B (k x nb, column-major) land in u: row-major m x k has that layout.
  const auto& L = lapack<T>();
  T* c = core_data();
  const bool qr = reduction_ == SvdReduction::QR, lq = reduction_ == SvdReduction::LQ;
  // Core left vectors: cm x k. With a QR step they are the top of an mb x k block.
  int ldl = qr ? mb_ : cm_, ldr = k, kk = k;
  const ColMajor left{vt, ldl};
  std::fill_n(vt, elements(ldl, k), T(0));
  for (int j = 0; j < k; ++j) std::copy_n(ColMajor{ub.data(), nr_}.col(j), nr_, left.col(j));
  // Core right vectors: k x cn. With an LQ step they are the left part of a k x nb block.
  std::fill_n(u, elements(k, lq ? nb_ : cn_), T(0));
  transpose_into(ColMajor{u, ldr}, ColMajor{vb.data(), nr_}, k, nr_);
  char q = 'Q', p = 'P', on_left = 'L', on_right = 'R', plain = 'N', transposed = 'T';
  call_with_workspace<T>("ormbr", [&](T* work, int* lwork, int* info) {
    L.ormbr(&q, &on_left, &plain, /* m = */ &cm_, /* n = */ &kk, /* k = */ &cn_, c,
            /* lda = */ &cm_, tauq_.data(), vt, /* ldc = */ &ldl, work, lwork, info);
  });
  call_with_workspace<T>("ormbr", [&](T* work, int* lwork, int* info) {
    L.ormbr(&p, &on_right, &transposed, /* m = */ &kk, /* n = */ &cn_, /* k = */ &cm_, c,
            /* lda = */ &cm_, taup_.data(), u, /* ldc = */ &ldr, work, lwork, info);
  });
  if (qr) {
    call_with_workspace<T>("ormqr", [&](T* work, int* lwork, int* info) {
      L.ormqr(&on_left, &plain, /* m = */ &mb_, /* n = */ &kk, /* k = */ &nb_, a_.data(),
              /* lda = */ &mb_, tau_.data(), vt, /* ldc = */ &mb_, work, lwork, info);
    });
  } else if (lq) {
    // Right vectors of B = [L 0] Q^T: C := C Q^T with Q from the QR of B^T.
    call_with_workspace<T>("ormqr", [&](T* work, int* lwork, int* info) {
      L.ormqr(&on_right, &transposed, /* m = */ &kk, /* n = */ &nb_, /* k = */ &mb_, a_.data(),
              /* lda = */ &nb_, tau_.data(), u, /* ldc = */ &ldr, work, lwork, info);
    });
  }
}

namespace {

// U diag(s) for row-major U (m x k), as the rebuild of a truncated SVD scales it.
template <class T>
std::vector<T> scaled_columns(const T* u, const T* s, std::int64_t m, std::int64_t k) {
  std::vector<T> w(elements(m, k));
  const RowMajor wv{w.data(), k};
  const RowMajor uv{u, k};
  for (std::int64_t i = 0; i < m; ++i) {
    for (std::int64_t j = 0; j < k; ++j) wv(i, j) = uv(i, j) * s[j];
  }
  return w;
}

}  // namespace

template <class T>
void svd_reconstruct(const T* u, const T* s, const T* vt, std::int64_t m, std::int64_t k,
                     std::int64_t n, T* out) {
  if (m == 0 || n == 0) return;
  require_blas_size(m, n);
  require_blas_size(m, k);
  require_blas_size(k, n);
  require_routine(reinterpret_cast<const void*>(lapack<T>().gemm), "gemm");
  // out = (U diag(s)) @ Vt; k == 0 gives zeros.
  const std::vector<T> w = scaled_columns(u, s, m, k);
  gemm_rm(w.data(), vt, m, k, n, out);
}

SquareSums svd_square_sums(const float* u, const float* s, const float* vt, const float* y,
                           std::int64_t m, std::int64_t k, std::int64_t n) {
  const std::vector<float> w = scaled_columns(u, s, m, k);
  return low_rank_square_sums(w.data(), vt, y, m, k, n);
}

template <class T>
std::int64_t energy_count(const T* s, std::int64_t r, double energy) {
  std::vector<double> sq(elements(r));
  for (std::int64_t i = 0; i < r; ++i) {
    const double v = static_cast<double>(s[i]);
    sq.data()[i] = v * v;
  }
  const double total = numpy_sum(sq.data(), r);
  if (total <= 1e-30) return -1;
  // Left-side search in the sorted cumulative shares: count the shares below energy.
  double cum = 0.0;
  std::int64_t below = 0;
  for (std::int64_t i = 0; i < r; ++i) {
    cum = i == 0 ? sq[0] : cum + sq.data()[i];
    if (cum / total < energy) {
      ++below;
    } else {
      break;
    }
  }
  return below + 1;
}

template std::int64_t energy_count<float>(const float*, std::int64_t, double);
template std::int64_t energy_count<double>(const double*, std::int64_t, double);

template class TruncatedSvd<float>;
template class TruncatedSvd<double>;
template void svd_reconstruct<float>(const float*, const float*, const float*, std::int64_t,
                                     std::int64_t, std::int64_t, float*);
template void svd_reconstruct<double>(const double*, const double*, const double*, std::int64_t,
                                      std::int64_t, std::int64_t, double*);

}  // namespace velmora::core
