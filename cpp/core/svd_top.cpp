// TruncatedSvd::top_vectors: a few leading singular triplets without computing every
// singular vector of the bidiagonal.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "error.hpp"
#include "lapack_call.hpp"
#include "svd.hpp"

namespace velmora {

using lapack::check_info;
using lapack::lwork_from;

template <class T>
void TruncatedSvd<T>::top_vectors(std::int64_t k64, T* s, T* u, T* vt) {
  if (k64 <= 0 || nr_ == 0) return;
  // Divide and conquer on the whole bidiagonal is cheaper once k is a sizeable share.
  if (k64 * 4 > nr_ || nr_ < 32) {
    vectors(k64, s, u, vt);
    return;
  }
  const auto& L = lapack::routines<T>();
  lapack::require(reinterpret_cast<const void*>(L.stevx), "stevx");
  const int k = static_cast<int>(k64);
  // The Golub-Kahan tridiagonal: zero diagonal, off-diagonal d1 e1 d2 e2 ... dn. Its
  // eigenpairs are (+-sigma, (v1 u1 v2 u2 ... vn un) / sqrt(2)) for an upper bidiagonal,
  // with u and v trading places for a lower one.
  int n2 = 2 * nr_;
  std::vector<T> td(static_cast<std::size_t>(n2), T(0)), te(static_cast<std::size_t>(n2));
  for (int i = 0; i < nr_; ++i) {
    te[static_cast<std::size_t>(2 * i)] = d_[static_cast<std::size_t>(i)];
    if (i + 1 < nr_) te[static_cast<std::size_t>(2 * i + 1)] = e_[static_cast<std::size_t>(i)];
  }
  char jobz = 'V', range = 'I';
  T vl = 0, vu = 0;
  int il = n2 - k + 1, iu = n2, found = 0, info = 0;
  T abstol = 2 * std::numeric_limits<T>::min();
  std::vector<T> w(static_cast<std::size_t>(n2)), z(static_cast<std::size_t>(n2) * k),
      work(static_cast<std::size_t>(5) * n2);
  std::vector<int> iwork(static_cast<std::size_t>(5) * n2), ifail(static_cast<std::size_t>(n2));
  L.stevx(&jobz, &range, &n2, td.data(), te.data(), &vl, &vu, &il, &iu, &abstol, &found, w.data(),
          z.data(), /* ldz = */ &n2, work.data(), iwork.data(), ifail.data(), &info);
  if (info < 0) check_info<T>(info, "stevx");
  // Inverse iteration that failed to converge, or a k-th value so small that the +-sigma
  // pairs mix the two halves: let divide and conquer handle the bidiagonal.
  const T smallest = found == k ? w[0] : T(0);
  const T largest = found == k ? w[static_cast<std::size_t>(k - 1)] : T(0);
  const T floor = largest * (sizeof(T) == 4 ? T(1e-3) : T(1e-8));
  if (info != 0 || found != k || !(smallest > floor)) {
    vectors(k64, s, u, vt);
    return;
  }
  const bool upper = cm_ >= cn_;
  std::vector<T> ub(static_cast<std::size_t>(nr_) * k), vb(static_cast<std::size_t>(nr_) * k);
  for (int i = 0; i < k; ++i) {
    // stevx returns ascending eigenvalues: column k-1-i holds the i-th largest.
    const T* col = z.data() + static_cast<std::size_t>(k - 1 - i) * n2;
    s[i] = w[static_cast<std::size_t>(k - 1 - i)];
    T* uc = ub.data() + static_cast<std::size_t>(i) * nr_;
    T* vc = vb.data() + static_cast<std::size_t>(i) * nr_;
    double nu = 0, nv = 0;
    for (int j = 0; j < nr_; ++j) {
      const T a = col[2 * j], b = col[2 * j + 1];
      uc[j] = upper ? b : a;
      vc[j] = upper ? a : b;
      nu += static_cast<double>(uc[j]) * uc[j];
      nv += static_cast<double>(vc[j]) * vc[j];
    }
    const T su = static_cast<T>(1.0 / std::sqrt(nu)), sv = static_cast<T>(1.0 / std::sqrt(nv));
    for (int j = 0; j < nr_; ++j) {
      uc[j] *= su;
      vc[j] *= sv;
    }
  }
  top_back_transform(k, ub.data(), vb.data(), u, vt);
}

template <class T>
void TruncatedSvd<T>::top_back_transform(int k, const T* ub, const T* vb, T* u, T* vt) {
  const auto& L = lapack::routines<T>();
  int info = 0, lwork = -1;
  T query{};
  // Left vectors of B (mb x k, column-major) land in vt: row-major k x n has that layout.
  // Right vectors of B (k x nb, column-major) land in u: row-major m x k has that layout.
  T* c = core_data();
  const bool lq = reduction_ == Reduction::LQ;
  const bool qr = reduction_ == Reduction::QR;
  int ldl = qr ? mb_ : cm_;
  std::memset(vt, 0, sizeof(T) * static_cast<std::size_t>(ldl) * k);
  for (int j = 0; j < k; ++j) {
    std::memcpy(vt + static_cast<std::size_t>(j) * ldl, ub + static_cast<std::size_t>(j) * nr_,
                sizeof(T) * nr_);
  }
  std::memset(u, 0, sizeof(T) * static_cast<std::size_t>(k) * (lq ? nb_ : cn_));
  for (int j = 0; j < nr_; ++j) {
    for (int i = 0; i < k; ++i) {
      u[static_cast<std::size_t>(j) * k + i] = vb[static_cast<std::size_t>(i) * nr_ + j];
    }
  }
  {
    char vect = 'Q', side = 'L', trans = 'N';
    lwork = -1;
    L.ormbr(&vect, &side, &trans, /* m = */ &cm_, /* n = */ &k, /* k = */ &cn_, c,
            /* lda = */ &cm_, tauq_.data(), vt, /* ldc = */ &ldl, &query, &lwork, &info);
    check_info<T>(info, "ormbr");
    lwork = lwork_from(query);
    std::vector<T> work(static_cast<std::size_t>(lwork));
    L.ormbr(&vect, &side, &trans, &cm_, &k, &cn_, c, &cm_, tauq_.data(), vt, &ldl, work.data(),
            &lwork, &info);
    check_info<T>(info, "ormbr");
  }
  {
    char vect = 'P', side = 'R', trans = 'T';
    int ldc = k;
    lwork = -1;
    L.ormbr(&vect, &side, &trans, /* m = */ &k, /* n = */ &cn_, /* k = */ &cm_, c,
            /* lda = */ &cm_, taup_.data(), u, /* ldc = */ &ldc, &query, &lwork, &info);
    check_info<T>(info, "ormbr");
    lwork = lwork_from(query);
    std::vector<T> work(static_cast<std::size_t>(lwork));
    L.ormbr(&vect, &side, &trans, &k, &cn_, &cm_, c, &cm_, taup_.data(), u, &ldc, work.data(),
            &lwork, &info);
    check_info<T>(info, "ormbr");
  }
  if (qr) {
    char side = 'L', trans = 'N';
    lwork = -1;
    L.ormqr(&side, &trans, /* m = */ &mb_, /* n = */ &k, /* k = */ &nb_, a_.data(),
            /* lda = */ &mb_, tau_.data(), vt, /* ldc = */ &mb_, &query, &lwork, &info);
    check_info<T>(info, "ormqr");
    lwork = lwork_from(query);
    std::vector<T> work(static_cast<std::size_t>(lwork));
    L.ormqr(&side, &trans, &mb_, &k, &nb_, a_.data(), &mb_, tau_.data(), vt, &mb_, work.data(),
            &lwork, &info);
    check_info<T>(info, "ormqr");
  } else if (lq) {
    char side = 'R', trans = 'N';
    int ldc = k;
    lwork = -1;
    L.ormlq(&side, &trans, /* m = */ &k, /* n = */ &nb_, /* k = */ &mb_, a_.data(),
            /* lda = */ &mb_, tau_.data(), u, /* ldc = */ &ldc, &query, &lwork, &info);
    check_info<T>(info, "ormlq");
    lwork = lwork_from(query);
    std::vector<T> work(static_cast<std::size_t>(lwork));
    L.ormlq(&side, &trans, &k, &nb_, &mb_, a_.data(), &mb_, tau_.data(), u, &ldc, work.data(),
            &lwork, &info);
    check_info<T>(info, "ormlq");
  }
}

// svd.hpp declares the class templates extern: instantiate these members here.
template void TruncatedSvd<float>::top_back_transform(int, const float*, const float*, float*,
                                                      float*);
template void TruncatedSvd<double>::top_back_transform(int, const double*, const double*, double*,
                                                       double*);
template void TruncatedSvd<float>::top_vectors(std::int64_t, float*, float*, float*);
template void TruncatedSvd<double>::top_vectors(std::int64_t, double*, double*, double*);

}  // namespace velmora
