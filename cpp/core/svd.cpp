#include "svd.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "error.hpp"
#include "lapack_call.hpp"
#include "reduce.hpp"

namespace velmora {

using lapack::check_info;
using lapack::lwork_from;

void check_lapack_size(std::int64_t m, std::int64_t n) {
  if (!lapack::fits_int32(m, n)) {
    raise_value("matrix of " + std::to_string(m) + " x " + std::to_string(n) +
                " elements is too large: LAPACK with 32-bit indexing handles at most 2**31 - 1 "
                "elements");
  }
}

template <class T>
TruncatedSvd<T>::TruncatedSvd(std::int64_t m, std::int64_t n) : m_(m), n_(n) {
  check_lapack_size(m, n);
  // The row-major m x n buffer is the column-major n x m matrix B = A^T.
  mb_ = static_cast<int>(n);
  nb_ = static_cast<int>(m);
  a_.resize(static_cast<std::size_t>(m * n));
}

template <class T>
void TruncatedSvd<T>::reduce() {
  const auto& L = lapack::routines<T>();
  lapack::require(reinterpret_cast<const void*>(L.gebrd), "gebrd");
  for (const T& v : a_) {
    if (!std::isfinite(v)) raise_linalg("SVD did not converge");
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
std::int64_t TruncatedSvd<T>::energy_rank(double energy, std::int64_t limit) {
  if (use_krylov(8)) {
    const std::int64_t rank = krylov_energy(a_.data(), m_, n_, energy, limit, krylov_, route());
    if (rank != 0) return rank;
  }
  const std::vector<T> v = values();
  return energy_count(v.data(), full_rank(), energy);
}

template <class T>
void TruncatedSvd<T>::bidiagonalize() {
  pending_ = false;
  const auto& L = lapack::routines<T>();
  if (mb_ == 0 || nb_ == 0) {
    reduced_ = true;
    return;
  }
  int info = 0;
  int lwork = -1;
  T query{};
  // A matrix far from square is first reduced to its square triangular factor, so the
  // bidiagonalization and back-transformation run on min(m, n)^2 elements.
  if (mb_ * 10 >= nb_ * 16) {
    reduction_ = Reduction::QR;
    tau_.resize(static_cast<std::size_t>(nb_));
    L.geqrf(&mb_, &nb_, a_.data(), /* lda = */ &mb_, tau_.data(), &query, &lwork, &info);
    check_info<T>(info, "geqrf");
    lwork = lwork_from(query);
    std::vector<T> work(static_cast<std::size_t>(lwork));
    L.geqrf(&mb_, &nb_, a_.data(), /* lda = */ &mb_, tau_.data(), work.data(), &lwork, &info);
    check_info<T>(info, "geqrf");
    cm_ = cn_ = nb_;
    core_.assign(static_cast<std::size_t>(nb_) * nb_, T(0));
    for (int j = 0; j < nb_; ++j) {
      for (int i = 0; i <= j; ++i) {
        core_[static_cast<std::size_t>(j) * nb_ + i] = a_[static_cast<std::size_t>(j) * mb_ + i];
      }
    }
  } else if (nb_ * 10 >= mb_ * 16) {
    reduction_ = Reduction::LQ;
    // B = L Q through the QR of B^T (the input in column-major order): LAPACK's QR is far
    // faster than its LQ, and the transpose costs one pass over the data.
    {
      std::vector<T> bt(a_.size());
      constexpr int kBlock = 64;
      for (int j0 = 0; j0 < nb_; j0 += kBlock) {
        for (int i0 = 0; i0 < mb_; i0 += kBlock) {
          const int j1 = std::min(nb_, j0 + kBlock), i1 = std::min(mb_, i0 + kBlock);
          for (int j = j0; j < j1; ++j) {
            for (int i = i0; i < i1; ++i) {
              bt[static_cast<std::size_t>(i) * nb_ + j] = a_[static_cast<std::size_t>(j) * mb_ + i];
            }
          }
        }
      }
      a_.swap(bt);
    }
    tau_.resize(static_cast<std::size_t>(mb_));
    L.geqrf(&nb_, &mb_, a_.data(), /* lda = */ &nb_, tau_.data(), &query, &lwork, &info);
    check_info<T>(info, "geqrf");
    lwork = lwork_from(query);
    std::vector<T> work(static_cast<std::size_t>(lwork));
    L.geqrf(&nb_, &mb_, a_.data(), /* lda = */ &nb_, tau_.data(), work.data(), &lwork, &info);
    check_info<T>(info, "geqrf");
    // L = R^T, lower triangular.
    cm_ = cn_ = mb_;
    core_.assign(static_cast<std::size_t>(mb_) * mb_, T(0));
    for (int j = 0; j < mb_; ++j) {
      for (int i = 0; i <= j; ++i) {
        core_[static_cast<std::size_t>(i) * mb_ + j] = a_[static_cast<std::size_t>(j) * nb_ + i];
      }
    }
  } else {
    cm_ = mb_;
    cn_ = nb_;
  }
  nr_ = std::min(cm_, cn_);
  d_.resize(static_cast<std::size_t>(nr_));
  e_.resize(static_cast<std::size_t>(std::max(nr_ - 1, 1)));
  tauq_.resize(static_cast<std::size_t>(nr_));
  taup_.resize(static_cast<std::size_t>(nr_));
  T* c = core_data();
  lwork = -1;
  L.gebrd(&cm_, &cn_, c, /* lda = */ &cm_, d_.data(), e_.data(), tauq_.data(), taup_.data(), &query,
          &lwork, &info);
  check_info<T>(info, "gebrd");
  lwork = lwork_from(query);
  std::vector<T> work(static_cast<std::size_t>(lwork));
  L.gebrd(&cm_, &cn_, c, /* lda = */ &cm_, d_.data(), e_.data(), tauq_.data(), taup_.data(),
          work.data(), &lwork, &info);
  check_info<T>(info, "gebrd");
  reduced_ = true;
}

template <class T>
std::vector<T> TruncatedSvd<T>::values() {
  if (pending_) bidiagonalize();
  if (nr_ == 0) return {};
  const auto& L = lapack::routines<T>();
  std::vector<T> d = d_, e = e_;
  char uplo = cm_ >= cn_ ? 'U' : 'L';
  char compq = 'N';
  int one = 1, info = 0;
  T dummy{};
  int idummy = 0;
  std::vector<T> work(static_cast<std::size_t>(4) * nr_ + 1);
  std::vector<int> iwork(static_cast<std::size_t>(8) * nr_);
  L.bdsdc(&uplo, &compq, &nr_, d.data(), e.data(), /* u = */ &dummy, /* ldu = */ &one,
          /* vt = */ &dummy, /* ldvt = */ &one, /* q = */ &dummy, /* iq = */ &idummy, work.data(),
          iwork.data(), &info);
  check_info<T>(info, "bdsdc");
  return d;
}

template <class T>
void TruncatedSvd<T>::vectors(std::int64_t k64, T* s, T* u, T* vt) {
  if (k64 <= 0 || (pending_ && krylov_vectors(k64, s, u, vt))) return;
  if (pending_) bidiagonalize();
  if (nr_ == 0) return;
  const auto& L = lapack::routines<T>();
  const int k = static_cast<int>(k64);
  int info = 0, lwork = -1;
  T query{};

  // Singular vectors of the bidiagonal: ub (nr x k) left, vb (nr x k) right, columns.
  // For few vectors, inverse iteration on the Golub-Kahan tridiagonal; otherwise, or when
  // its result fails the residual and orthogonality checks, all vectors by divide and conquer.
  std::vector<T> ub, vb;
  if (k * 8 > nr_ || !tgk_vectors(k, s, ub, vb)) {
    std::vector<T> d = d_, e = e_;
    std::vector<T> ubd(static_cast<std::size_t>(nr_) * nr_),
        vtbd(static_cast<std::size_t>(nr_) * nr_);
    char uplo = cm_ >= cn_ ? 'U' : 'L';
    char compq = 'I';
    T dummy{};
    int idummy = 0;
    std::vector<T> work(static_cast<std::size_t>(3) * nr_ * nr_ +
                        4 * static_cast<std::size_t>(nr_));
    std::vector<int> iwork(static_cast<std::size_t>(8) * nr_);
    L.bdsdc(&uplo, &compq, &nr_, d.data(), e.data(), ubd.data(), /* ldu = */ &nr_, vtbd.data(),
            /* ldvt = */ &nr_, /* q = */ &dummy, /* iq = */ &idummy, work.data(), iwork.data(),
            &info);
    check_info<T>(info, "bdsdc");
    std::copy(d.begin(), d.begin() + k, s);
    ubd.resize(static_cast<std::size_t>(nr_) * k);
    ub = std::move(ubd);
    vb.assign(static_cast<std::size_t>(nr_) * k, T(0));
    for (int j = 0; j < nr_; ++j) {
      for (int i = 0; i < k; ++i) {
        vb[static_cast<std::size_t>(i) * nr_ + j] = vtbd[static_cast<std::size_t>(j) * nr_ + i];
      }
    }
  }

  // Left vectors of B (mb x k, column-major) land in vt: row-major k x n has that layout.
  // Right vectors of B (k x nb, column-major) land in u: row-major m x k has that layout.
  T* c = core_data();
  const bool lq = reduction_ == Reduction::LQ;
  const bool qr = reduction_ == Reduction::QR;
  // Core left vectors: cm x k. With a QR step they are the top of an mb x k block.
  int ldl = qr ? mb_ : cm_;
  std::memset(vt, 0, sizeof(T) * static_cast<std::size_t>(ldl) * k);
  for (int j = 0; j < k; ++j) {
    std::memcpy(vt + static_cast<std::size_t>(j) * ldl,
                ub.data() + static_cast<std::size_t>(j) * nr_, sizeof(T) * nr_);
  }
  // Core right vectors: k x cn. With an LQ step they are the left part of a k x nb block.
  std::memset(u, 0, sizeof(T) * static_cast<std::size_t>(k) * (lq ? nb_ : cn_));
  for (int j = 0; j < nr_; ++j) {
    for (int i = 0; i < k; ++i) {
      u[static_cast<std::size_t>(j) * k + i] = vb[static_cast<std::size_t>(i) * nr_ + j];
    }
  }
  {
    char vect = 'Q', side = 'L', trans = 'N';
    lwork = -1;
    L.ormbr(&vect, &side, &trans, /* m = */ &cm_, /* n = */ const_cast<int*>(&k), /* k = */ &cn_, c,
            /* lda = */ &cm_, tauq_.data(), vt, /* ldc = */ &ldl, &query, &lwork, &info);
    check_info<T>(info, "ormbr");
    lwork = lwork_from(query);
    std::vector<T> work(static_cast<std::size_t>(lwork));
    L.ormbr(&vect, &side, &trans, &cm_, const_cast<int*>(&k), &cn_, c, &cm_, tauq_.data(), vt, &ldl,
            work.data(), &lwork, &info);
    check_info<T>(info, "ormbr");
  }
  {
    char vect = 'P', side = 'R', trans = 'T';
    int ldc = k;
    lwork = -1;
    L.ormbr(&vect, &side, &trans, /* m = */ const_cast<int*>(&k), /* n = */ &cn_, /* k = */ &cm_, c,
            /* lda = */ &cm_, taup_.data(), u, /* ldc = */ &ldc, &query, &lwork, &info);
    check_info<T>(info, "ormbr");
    lwork = lwork_from(query);
    std::vector<T> work(static_cast<std::size_t>(lwork));
    L.ormbr(&vect, &side, &trans, const_cast<int*>(&k), &cn_, &cm_, c, &cm_, taup_.data(), u, &ldc,
            work.data(), &lwork, &info);
    check_info<T>(info, "ormbr");
  }
  if (qr) {
    char side = 'L', trans = 'N';
    lwork = -1;
    L.ormqr(&side, &trans, /* m = */ &mb_, /* n = */ const_cast<int*>(&k), /* k = */ &nb_,
            a_.data(), /* lda = */ &mb_, tau_.data(), vt, /* ldc = */ &mb_, &query, &lwork, &info);
    check_info<T>(info, "ormqr");
    lwork = lwork_from(query);
    std::vector<T> work(static_cast<std::size_t>(lwork));
    L.ormqr(&side, &trans, &mb_, const_cast<int*>(&k), &nb_, a_.data(), &mb_, tau_.data(), vt, &mb_,
            work.data(), &lwork, &info);
    check_info<T>(info, "ormqr");
  } else if (lq) {
    // Right vectors of B = [L 0] Q^T: C := C Q^T with Q from the QR of B^T.
    char side = 'R', trans = 'T';
    int ldc = k;
    lwork = -1;
    L.ormqr(&side, &trans, /* m = */ const_cast<int*>(&k), /* n = */ &nb_, /* k = */ &mb_,
            a_.data(), /* lda = */ &nb_, tau_.data(), u, /* ldc = */ &ldc, &query, &lwork, &info);
    check_info<T>(info, "ormqr");
    lwork = lwork_from(query);
    std::vector<T> work(static_cast<std::size_t>(lwork));
    L.ormqr(&side, &trans, const_cast<int*>(&k), &nb_, &mb_, a_.data(), &nb_, tau_.data(), u, &ldc,
            work.data(), &lwork, &info);
    check_info<T>(info, "ormqr");
  }
}

template <class T>
bool TruncatedSvd<T>::tgk_vectors(int k, T* s, std::vector<T>& ub, std::vector<T>& vb) {
  const auto& L = lapack::routines<T>();
  if (L.stevx == nullptr || k <= 0) return false;
  // The Golub-Kahan matrix of an upper bidiagonal B: zero diagonal, off-diagonal
  // d0, e0, d1, e1, ...; its eigenpair for +sigma interleaves B's right and left vectors.
  // A lower bidiagonal is the transpose of the upper one with the same d and e.
  const bool upper = cm_ >= cn_;
  int n2 = 2 * nr_;
  std::vector<T> diag(static_cast<std::size_t>(n2), T(0));
  std::vector<T> off(static_cast<std::size_t>(n2), T(0));
  for (int i = 0; i < nr_; ++i) {
    off[static_cast<std::size_t>(2 * i)] = d_[static_cast<std::size_t>(i)];
    if (i + 1 < nr_) off[static_cast<std::size_t>(2 * i + 1)] = e_[static_cast<std::size_t>(i)];
  }
  char jobz = 'V', range = 'I';
  int il = n2 - k + 1, iu = n2, found = 0, info = 0, ldz = n2;
  T vl = 0, vu = 0;
  T abstol = 2 * std::numeric_limits<T>::min();
  std::vector<T> w(static_cast<std::size_t>(n2));
  std::vector<T> z(static_cast<std::size_t>(n2) * k);
  std::vector<T> work(static_cast<std::size_t>(5) * n2);
  std::vector<int> iwork(static_cast<std::size_t>(5) * n2), ifail(static_cast<std::size_t>(n2));
  L.stevx(&jobz, &range, &n2, diag.data(), off.data(), &vl, &vu, &il, &iu, &abstol, &found,
          w.data(), z.data(), /* ldz = */ &ldz, work.data(), iwork.data(), ifail.data(), &info);
  if (info != 0 || found != k) return false;
  const T eps = std::numeric_limits<T>::epsilon();
  const double smax = static_cast<double>(w[static_cast<std::size_t>(k - 1)]);
  // Zero singular values pair up with their negatives and mix the two halves: leave
  // those to the full solver.
  if (!(smax > 0) || static_cast<double>(w[0]) <= smax * nr_ * eps) return false;
  ub.assign(static_cast<std::size_t>(nr_) * k, T(0));
  vb.assign(static_cast<std::size_t>(nr_) * k, T(0));
  for (int t = 0; t < k; ++t) {
    const int col = k - 1 - t;  // stevx returns ascending eigenvalues
    s[t] = w[static_cast<std::size_t>(col)];
    const T* zc = z.data() + static_cast<std::size_t>(col) * n2;
    T* uo = (upper ? ub : vb).data() + static_cast<std::size_t>(t) * nr_;
    T* vo = (upper ? vb : ub).data() + static_cast<std::size_t>(t) * nr_;
    double nu = 0, nv = 0;
    for (int i = 0; i < nr_; ++i) {
      nv += static_cast<double>(zc[2 * i]) * zc[2 * i];
      nu += static_cast<double>(zc[2 * i + 1]) * zc[2 * i + 1];
    }
    if (nu < 0.25 || nv < 0.25) return false;  // each half should carry half the norm
    const T su = static_cast<T>(1.0 / std::sqrt(nu)), sv = static_cast<T>(1.0 / std::sqrt(nv));
    for (int i = 0; i < nr_; ++i) {
      vo[i] = zc[2 * i] * sv;
      uo[i] = zc[2 * i + 1] * su;
    }
  }
  // Accept only vectors as good as the full solver's: small residuals B v - s u and
  // orthonormal columns.
  const double tol = 64.0 * std::sqrt(static_cast<double>(nr_)) * eps;
  for (int t = 0; t < k; ++t) {
    const T* u = ub.data() + static_cast<std::size_t>(t) * nr_;
    const T* v = vb.data() + static_cast<std::size_t>(t) * nr_;
    double r2 = 0;
    for (int i = 0; i < nr_; ++i) {
      // (B v)_i for the upper form; the lower form is B^T, so (B v)_i = d_i v_i + e_{i-1} v_{i-1}.
      double bv = static_cast<double>(d_[static_cast<std::size_t>(i)]) * v[i];
      if (upper && i + 1 < nr_)
        bv += static_cast<double>(e_[static_cast<std::size_t>(i)]) * v[i + 1];
      if (!upper && i > 0)
        bv += static_cast<double>(e_[static_cast<std::size_t>(i - 1)]) * v[i - 1];
      const double r = bv - static_cast<double>(s[t]) * u[i];
      r2 += r * r;
    }
    if (std::sqrt(r2) > tol * smax) return false;
  }
  for (const std::vector<T>* q : {&ub, &vb}) {
    for (int a = 0; a < k; ++a) {
      const T* x = q->data() + static_cast<std::size_t>(a) * nr_;
      for (int b = a; b < k; ++b) {
        const T* y = q->data() + static_cast<std::size_t>(b) * nr_;
        double dot = 0;
        for (int i = 0; i < nr_; ++i) dot += static_cast<double>(x[i]) * y[i];
        if (std::abs(dot - (a == b ? 1.0 : 0.0)) > tol) return false;
      }
    }
  }
  return true;
}

template <class T>
void svd_reconstruct(const T* u, const T* s, const T* vt, std::int64_t m, std::int64_t k,
                     std::int64_t n, T* out) {
  if (m == 0 || n == 0) return;
  if (k == 0) {
    std::memset(out, 0, sizeof(T) * static_cast<std::size_t>(m * n));
    return;
  }
  check_lapack_size(m, n);
  check_lapack_size(m, k);
  check_lapack_size(k, n);
  const auto& L = lapack::routines<T>();
  lapack::require(reinterpret_cast<const void*>(L.gemm), "gemm");
  std::vector<T> w(static_cast<std::size_t>(m * k));
  for (std::int64_t i = 0; i < m; ++i) {
    for (std::int64_t j = 0; j < k; ++j) w[i * k + j] = u[i * k + j] * s[j];
  }
  // Row-major out = W @ Vt is column-major out^T = Vt^T W^T.
  char nt = 'N';
  int mi = static_cast<int>(n), ni = static_cast<int>(m), ki = static_cast<int>(k);
  T alpha = 1, beta = 0;
  L.gemm(&nt, &nt, /* m = */ &mi, /* n = */ &ni, /* k = */ &ki, &alpha, const_cast<T*>(vt),
         /* lda = */ &mi, w.data(), /* ldb = */ &ki, &beta, out, /* ldc = */ &mi);
}

template <class T>
std::int64_t energy_count(const T* s, std::int64_t r, double energy) {
  std::vector<double> sq(static_cast<std::size_t>(r));
  for (std::int64_t i = 0; i < r; ++i) {
    const double v = static_cast<double>(s[i]);
    sq[static_cast<std::size_t>(i)] = v * v;
  }
  const double total = numpy_sum(sq.data(), r);
  if (total <= 1e-30) return -1;
  // Left-side search in the sorted cumulative shares: count the shares below energy.
  double cum = 0.0;
  std::int64_t below = 0;
  for (std::int64_t i = 0; i < r; ++i) {
    cum = i == 0 ? sq[0] : cum + sq[static_cast<std::size_t>(i)];
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

}  // namespace velmora
