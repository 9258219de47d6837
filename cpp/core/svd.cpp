#include "svd.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "error.hpp"
#include "lapack_call.hpp"
#include "reduce.hpp"

namespace velmora {

using lapack::check_info;
using lapack::lwork_from;

void check_lapack_size(std::int64_t m, std::int64_t n) {
  constexpr std::int64_t limit = 2147483647;
  if (m < 0 || n < 0 || m > limit || n > limit || (m > 0 && n > limit / m)) {
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
    tau_.resize(static_cast<std::size_t>(mb_));
    L.gelqf(&mb_, &nb_, a_.data(), /* lda = */ &mb_, tau_.data(), &query, &lwork, &info);
    check_info<T>(info, "gelqf");
    lwork = lwork_from(query);
    std::vector<T> work(static_cast<std::size_t>(lwork));
    L.gelqf(&mb_, &nb_, a_.data(), /* lda = */ &mb_, tau_.data(), work.data(), &lwork, &info);
    check_info<T>(info, "gelqf");
    cm_ = cn_ = mb_;
    core_.assign(static_cast<std::size_t>(mb_) * mb_, T(0));
    for (int j = 0; j < mb_; ++j) {
      for (int i = j; i < mb_; ++i) {
        core_[static_cast<std::size_t>(j) * mb_ + i] = a_[static_cast<std::size_t>(j) * mb_ + i];
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
  if (k64 <= 0 || nr_ == 0) return;
  const auto& L = lapack::routines<T>();
  const int k = static_cast<int>(k64);
  int info = 0, lwork = -1, one = 1;
  T query{};

  // All singular vectors of the bidiagonal (cheap next to ?gebrd), then only k of them
  // are carried back through the Householder reflectors.
  std::vector<T> d = d_, e = e_;
  std::vector<T> ubd(static_cast<std::size_t>(nr_) * nr_),
      vtbd(static_cast<std::size_t>(nr_) * nr_);
  {
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
  }
  std::copy(d.begin(), d.begin() + k, s);

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
                ubd.data() + static_cast<std::size_t>(j) * nr_, sizeof(T) * nr_);
  }
  // Core right vectors: k x cn. With an LQ step they are the left part of a k x nb block.
  std::memset(u, 0, sizeof(T) * static_cast<std::size_t>(k) * (lq ? nb_ : cn_));
  for (int j = 0; j < nr_; ++j) {
    for (int i = 0; i < k; ++i) {
      u[static_cast<std::size_t>(j) * k + i] = vtbd[static_cast<std::size_t>(j) * nr_ + i];
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
    char side = 'R', trans = 'N';
    int ldc = k;
    lwork = -1;
    L.ormlq(&side, &trans, /* m = */ const_cast<int*>(&k), /* n = */ &nb_, /* k = */ &mb_,
            a_.data(), /* lda = */ &mb_, tau_.data(), u, /* ldc = */ &ldc, &query, &lwork, &info);
    check_info<T>(info, "ormlq");
    lwork = lwork_from(query);
    std::vector<T> work(static_cast<std::size_t>(lwork));
    L.ormlq(&side, &trans, const_cast<int*>(&k), &nb_, &mb_, a_.data(), &mb_, tau_.data(), u, &ldc,
            work.data(), &lwork, &info);
    check_info<T>(info, "ormlq");
  }
  (void)one;
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
