#include "krylov.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "block_ortho.hpp"
#include "elementwise.hpp"
#include "interrupt.hpp"
#include "lapack_call.hpp"
#include "svd.hpp"
#include "view.hpp"

namespace velmora::core {

namespace {

std::atomic<int> g_route{static_cast<int>(SvdRoute::Auto)};
std::atomic<std::int64_t> g_krylov_count{0};

// Block size for k wanted triplets: wide enough for efficient products, narrow enough
// that the basis grows in useful steps.
std::int64_t block_for(std::int64_t k) {
  return std::clamp<std::int64_t>((k + 15) / 16 * 8, 8, 64);
}

// Basis layout for k triplets with block b: the restart keeps k + b Ritz vectors and each
// cycle adds `steps` blocks.
constexpr std::int64_t kStepsPerCycle = 3;
std::int64_t kept_for(std::int64_t k, std::int64_t b) { return k + b; }
std::int64_t max_basis(std::int64_t k, std::int64_t b) {
  return kept_for(k, b) + kStepsPerCycle * b;
}

// True when the Krylov solver can run for k triplets with block b at all: the basis (plus
// one pending block) must stay well inside min(m, n) and every panel must fit 32-bit BLAS
// indexing.
bool applicable(std::int64_t m, std::int64_t n, std::int64_t k, std::int64_t b) {
  if (k <= 0) return false;
  const std::int64_t r = std::min(m, n), l = max_basis(k, b) + b;
  return 2 * l <= r && fits_blas(m, n) && fits_blas(m, l) && fits_blas(n, l);
}

// The block a run takes: for an input far larger than the caches (4M elements and more),
// twice the cost model's (at most 64) where that basis fits too. There a product of fewer
// than 64 columns costs nearly the same whatever its width (the pass over the input
// dominates), so wider blocks reach the same convergence in fewer passes; on a smaller
// input they would only cost more products.
std::int64_t run_block(std::int64_t m, std::int64_t n, std::int64_t k) {
  const std::int64_t b = block_for(k), wide = std::min<std::int64_t>(2 * b, 64);
  const bool large = static_cast<double>(m) * static_cast<double>(n) >= 4194304.0;
  return large && wide > b && applicable(m, n, k, wide) ? wide : b;
}

}  // namespace

SvdRoute force_svd_route(SvdRoute route) noexcept {
  return static_cast<SvdRoute>(g_route.exchange(static_cast<int>(route)));
}

SvdRoute forced_svd_route() noexcept { return static_cast<SvdRoute>(g_route.load()); }

std::int64_t take_krylov_count() noexcept { return g_krylov_count.exchange(0); }

// Cost model, in seconds per unit measured on this machine (one BLAS thread, so that the
// sharing of its two cores did not distort the ratio). Dense: a QR step when the matrix is
// far from square, then the bidiagonal reduction: 2 r^2 (M - r/3) + 8/3 r^3 flops, else
// 4 r^2 (M - r/3), at 1.1e-10 to 1.8e-10 s per flop. Krylov: 0.9e-9 s per m n (k + b) on
// decaying spectra, up to 3e-9 when the cut falls inside a noise floor (the hardest case
// for a Krylov method: many passes to separate the clustered values there). The model
// takes the worst case, so the Krylov route is chosen only where it wins on any spectrum:
// k + b below about r / 7 for a square matrix, the dense route for larger ranks and for
// small matrices (where the basis would not fit).
namespace {

// Flops of the dense route: a QR step when the matrix is far from square, then the
// bidiagonal reduction: 2 r^2 (M - r/3) + 8/3 r^3, else 4 r^2 (M - r/3).
double dense_flops(std::int64_t m, std::int64_t n) {
  const double r = static_cast<double>(std::min(m, n)), big = static_cast<double>(std::max(m, n));
  return big * 10 >= r * 16 ? 2 * r * r * (big - r / 3) + 8.0 / 3.0 * r * r * r
                            : 4 * r * r * (big - r / 3);
}

// What the Krylov route may spend before it declines, in products of the input with one
// column (2 m n flops each, about three times as fast per flop as the reduction): half the
// dense route's cost, so that a fallback costs at most about 1.5 times the dense route.
double work_budget(std::int64_t m, std::int64_t n) {
  const double mn = static_cast<double>(m) * static_cast<double>(n);
  return std::max(1000.0, 0.5 * 3.0 * dense_flops(m, n) / (2.0 * mn));
}

}  // namespace

bool krylov_route(std::int64_t m, std::int64_t n, std::int64_t k, std::size_t elem_size,
                  SvdRoute forced) {
  if (forced == SvdRoute::Dense || !applicable(m, n, k, block_for(k))) return false;
  if (forced == SvdRoute::Krylov) return true;
  (void)elem_size;  // both element types measured the same within the noise
  constexpr double kKrylovUnitPerDenseFlop = 18.0;  // 3e-9 s / 1.7e-10 s
  const double krylov = kKrylovUnitPerDenseFlop * static_cast<double>(m) * static_cast<double>(n) *
                        static_cast<double>(k + block_for(k));
  return krylov < dense_flops(m, n);
}

namespace {

template <class T>
class BlockLanczos {
 public:
  // `weight`: the cost of one column product in this type, relative to the stored type's.
  BlockLanczos(const T* a, std::int64_t m, std::int64_t n, std::int64_t b, double weight)
      : a_(a), m_(m), n_(n), b_(b), weight_(weight) {}

  // Grows the basis by one block on each side.
  bool step();
  // Rayleigh-Ritz on the projected matrix: the leading `want` Ritz values, their vectors in
  // the projected bases and their residual norms.
  void ritz(std::int64_t want);
  // Keeps the leading p Ritz vectors (p <= computed) and continues from the pending block.
  void restart(std::int64_t p);
  // The leading k Ritz triplets in the caller's layout.
  void extract(std::int64_t k, KrylovTriplets<T>& out);
  void start();

  std::int64_t basis() const noexcept { return l_; }
  double work() const noexcept { return work_; }

  std::vector<double> s_, res_;  // Ritz values and residual norms
 private:
  double& c(std::int64_t i, std::int64_t j) { return c_[static_cast<std::size_t>(j * ldc_ + i)]; }
  void grow_c(std::int64_t l);

  const T* a_;
  std::int64_t m_, n_, b_;
  std::vector<T> u_, v_;  // column-major bases: u_ m x l_, v_ n x (l_ + b_) (last: pending)
  std::int64_t l_ = 0;
  std::vector<double> c_;  // projected matrix U^T A V, l_ x l_, column-major, leading ldc_
  std::int64_t ldc_ = 0;
  std::vector<T> rz_;     // b x b: A^T U_last = V (..) + V_pending rz_
  std::vector<T> x_, y_;  // Ritz vectors of the projected matrix: l_ x computed, column-major
  std::int64_t computed_ = 0;
  double weight_;
  double work_ = 0;  // column products with the input, with reorthogonalization, weighted
  bool lost_ = false;
  BlockOrthonormalizer<T> ortho_{b_};
  std::vector<T> w_, wt_, coef_, r_;
};

template <class T>
void BlockLanczos<T>::grow_c(std::int64_t l) {
  if (l <= ldc_) return;
  const std::int64_t ld = std::max(l, 2 * ldc_);
  std::vector<double> c(static_cast<std::size_t>(ld * ld), 0.0);
  for (std::int64_t j = 0; j < l_; ++j) {
    for (std::int64_t i = 0; i < l_; ++i) c[static_cast<std::size_t>(j * ld + i)] = this->c(i, j);
  }
  c_.swap(c);
  ldc_ = ld;
}

template <class T>
void BlockLanczos<T>::start() {
  v_.resize(static_cast<std::size_t>(n_ * b_));
  w_.resize(static_cast<std::size_t>(n_ * b_));
  ortho_.fill_random(w_.data(), n_ * b_);
  ortho_.householder_q(w_.data(), n_, v_.data());
  l_ = 0;
}

template <class T>
bool BlockLanczos<T>::step() {
  const std::int64_t b = b_, l = l_;
  // W = A V_pending: the row-major input is the column-major n x m matrix A^T. BLAS forms
  // the b x m product W^T = V^T A^T about a third faster than the m x b one (the input is
  // then its second operand), and the transpose of b columns costs little beside it.
  wt_.resize(static_cast<std::size_t>(m_ * b));
  gemm<T>('T', 'N', b, m_, n_, 1, v_.data() + l * n_, n_, a_, n_, 0, wt_.data(), b);
  w_.resize(static_cast<std::size_t>(m_ * b));
  for (std::int64_t i = 0; i < m_; ++i) {
    for (std::int64_t j = 0; j < b; ++j) {
      w_[static_cast<std::size_t>(j * m_ + i)] = wt_[static_cast<std::size_t>(i * b + j)];
    }
  }
  if (!ortho_.expand(u_, m_, l, w_, coef_, r_)) return false;
  grow_c(l + b);
  for (std::int64_t j = 0; j < b; ++j) {
    for (std::int64_t i = 0; i < l; ++i) c(i, l + j) = coef_[static_cast<std::size_t>(j * l + i)];
    for (std::int64_t i = 0; i < b; ++i) c(l + i, l + j) = r_[static_cast<std::size_t>(j * b + i)];
    for (std::int64_t i = 0; i < l; ++i) c(l + j, i) = 0.0;
  }
  // Z = A^T U_new, orthogonalized against every right vector so far.
  w_.resize(static_cast<std::size_t>(n_ * b));
  gemm<T>('N', 'N', n_, b, m_, 1, a_, n_, u_.data() + l * m_, m_, 0, w_.data(), n_);
  if (!ortho_.expand(v_, n_, l + b, w_, coef_, rz_)) return false;
  l_ = l + b;
  // Each side's reorthogonalization against l columns costs about 2 l / min(m, n) of a product.
  work_ += weight_ * 2.0 * static_cast<double>(b) *
           (1.0 + 2.0 * static_cast<double>(l) / static_cast<double>(std::min(m_, n_)));
  core::check_interrupt();
  return true;
}

template <class T>
void BlockLanczos<T>::ritz(std::int64_t want) {
  const std::int64_t l = l_, p = std::min(want, l);
  TruncatedSvd<double> svd(l, l);
  svd.set_route(SvdRoute::Dense);
  double* in = svd.input();
  for (std::int64_t i = 0; i < l; ++i) {
    for (std::int64_t j = 0; j < l; ++j) in[i * l + j] = c(i, j);
  }
  svd.reduce();
  std::vector<double> xs(static_cast<std::size_t>(l * p)), yt(static_cast<std::size_t>(p * l));
  s_.assign(static_cast<std::size_t>(p), 0.0);
  svd.vectors(p, s_.data(), xs.data(), yt.data());
  // X: row-major l x p -> column-major; Y^T row-major p x l is Y column-major l x p.
  x_.resize(static_cast<std::size_t>(l * p));
  y_.resize(static_cast<std::size_t>(l * p));
  for (std::int64_t i = 0; i < l; ++i) {
    for (std::int64_t j = 0; j < p; ++j) {
      x_[static_cast<std::size_t>(j * l + i)] =
          static_cast<T>(xs[static_cast<std::size_t>(i * p + j)]);
    }
  }
  for (std::size_t i = 0; i < y_.size(); ++i) y_[i] = static_cast<T>(yt[i]);
  computed_ = p;
  // A^T (U x) - s (V y) = V_pending rz_ x_last: the last block of x decides.
  res_.assign(static_cast<std::size_t>(p), 0.0);
  const std::int64_t b = b_;
  for (std::int64_t j = 0; j < p; ++j) {
    double sum = 0;
    for (std::int64_t i = 0; i < b; ++i) {
      double t = 0;
      for (std::int64_t q = 0; q < b; ++q) {
        t += static_cast<double>(rz_[static_cast<std::size_t>(q * b + i)]) *
             xs[static_cast<std::size_t>((l - b + q) * p + j)];
      }
      sum += t * t;
    }
    res_[static_cast<std::size_t>(j)] = std::sqrt(sum);
  }
}

template <class T>
void BlockLanczos<T>::restart(std::int64_t p) {
  const std::int64_t l = l_, b = b_;
  std::vector<T> nu(static_cast<std::size_t>(m_ * p)), nv(static_cast<std::size_t>(n_ * (p + b)));
  gemm<T>('N', 'N', m_, p, l, 1, u_.data(), m_, x_.data(), l, 0, nu.data(), m_);
  gemm<T>('N', 'N', n_, p, l, 1, v_.data(), n_, y_.data(), l, 0, nv.data(), n_);
  std::copy_n(v_.data() + l * n_, n_ * b, nv.data() + p * n_);
  u_.swap(nu);
  v_.swap(nv);
  for (std::int64_t j = 0; j < p; ++j) {
    for (std::int64_t i = 0; i < p; ++i) c(i, j) = i == j ? s_[static_cast<std::size_t>(i)] : 0.0;
  }
  l_ = p;
}

template <class T>
void BlockLanczos<T>::extract(std::int64_t k, KrylovTriplets<T>& out) {
  const std::int64_t l = l_;
  out.k = k;
  out.s.resize(static_cast<std::size_t>(k));
  for (std::int64_t i = 0; i < k; ++i)
    out.s[static_cast<std::size_t>(i)] = static_cast<T>(s_[static_cast<std::size_t>(i)]);
  // Row-major u (m x k) is column-major k x m: (U X)^T = X^T U^T.
  out.u.resize(static_cast<std::size_t>(m_ * k));
  gemm<T>('T', 'T', k, m_, l, 1, x_.data(), l, u_.data(), m_, 0, out.u.data(), k);
  // Row-major vt (k x n) is column-major n x k: V Y.
  out.vt.resize(static_cast<std::size_t>(n_ * k));
  gemm<T>('N', 'N', n_, k, l, 1, v_.data(), n_, y_.data(), l, 0, out.vt.data(), n_);
}

// How a run of the driver ended.
enum class Outcome { Done, Declined, Promote };

// When a Ritz triplet counts as converged. The results are stored with precision
// eps_store; the products with the input run in the compute type (the driver's C), which
// may be wider (float input, double products).
struct Acceptance {
  double eps_store = 0;
  double root = 0;           // sqrt(max(m, n))
  double shallow = 0;        // float products alone certify values down to s1 / shallow
  double deep = 0;           // float products reach values down to s1 / deep relatively
  bool wide = false;         // the products run in a wider type than the results are stored in
  bool may_promote = false;  // float input, float products: may hand over to double products

  Acceptance(double eps, std::int64_t m, std::int64_t n, bool wide_products, bool promote)
      : eps_store(eps),
        root(std::sqrt(static_cast<double>(std::max(m, n)))),
        shallow(std::max(4.0, root / 4)),
        deep(std::max(16.0, 4 * root)),
        wide(wide_products),
        may_promote(promote) {}

  // The residual bound for a value sj: rounding level of sj itself in the stored precision,
  // so that a dominant direction does not loosen the small kept values. Float products
  // iterate values down to s1 / deep (deeper ones are handed to double products at once);
  // double input keeps the bound at rounding level of s1, already far inside 1e-12 s1.
  // Values in the rounding noise of the stored matrix get the dense route's bound.
  double tolerance(double sj, double s1) const {
    const double noise = eps_store * root * s1;
    if (sj <= noise) return 4 * noise + std::numeric_limits<double>::min();
    return 4 * root * eps_store * std::max(sj, wide ? 0.0 : may_promote ? s1 / deep : s1);
  }

  // The last of the leading `reach` values of s.
  static double kth(const std::vector<double>& s, std::int64_t reach) {
    return s[static_cast<std::size_t>(
        std::min<std::int64_t>(reach, static_cast<std::int64_t>(s.size())) - 1)];
  }

  // True when the kept values reach below s1 / deep but above the noise: float products
  // cannot resolve them relatively, double products can.
  bool needs_wider(const std::vector<double>& s, std::int64_t reach) const {
    if (!may_promote || s.empty() || reach <= 0) return false;
    const double sk = kth(s, reach);
    return sk * deep < s[0] && sk > eps_store * root * s[0];
  }

  // The first of the kept values s (descending) that lies below s1 / shallow but above the
  // noise, s.size() when none does: from there on, the residuals the float run estimates
  // lie close enough to the rounding of its products that they are recomputed in double
  // before the triplets are accepted.
  std::int64_t first_to_check(const std::vector<float>& s) const {
    const auto count = static_cast<std::int64_t>(s.size());
    if (!may_promote || count == 0) return count;
    const double s1 = s[0];
    const auto at = [&](std::int64_t i) {
      return static_cast<double>(s[static_cast<std::size_t>(i)]);
    };
    std::int64_t j = 0;
    while (j < count && at(j) * shallow >= s1) ++j;
    // A cluster (values within 0.1% of each other) is checked whole: its vectors mix.
    while (j > 0 && j < count && at(j - 1) * 0.999 <= at(j)) --j;
    // Values in the noise sort last and are accepted as the dense route would.
    std::int64_t end = count;
    while (end > j && at(end - 1) <= eps_store * root * s1) --end;
    return end > j ? j : count;
  }
};

template <class C>
std::int64_t converged(const BlockLanczos<C>& lz, std::int64_t keep, const Acceptance& acc) {
  const double s1 = lz.s_.empty() ? 0.0 : lz.s_[0];
  std::int64_t nconv = 0;
  while (nconv < keep) {
    const auto j = static_cast<std::size_t>(nconv);
    if (!(lz.res_[j] <= acc.tolerance(lz.s_[j], s1))) break;
    ++nconv;
  }
  return nconv;
}

// True when a wanted triplet (of the leading k) has a residual above 1000 times its bound.
template <class C>
bool far_from_converged(const BlockLanczos<C>& lz, std::int64_t k, const Acceptance& acc) {
  const double s1 = lz.s_.empty() ? 0.0 : lz.s_[0];
  const auto count = std::min<std::size_t>(static_cast<std::size_t>(k), lz.s_.size());
  for (std::size_t j = 0; j < count; ++j) {
    if (!(lz.res_[j] <= 1000 * acc.tolerance(lz.s_[j], s1))) return true;
  }
  return false;
}

// The shared driver: runs cycles until `done` accepts the converged leading triplets.
// done(s, nconv, k) returns the number of triplets to extract (> 0), 0 to continue with k
// unchanged, or -1 to give up; it may raise k through the reference.
template <class C, class Done>
Outcome drive(const C* a, std::int64_t m, std::int64_t n, std::int64_t& k, KrylovTriplets<C>& out,
              double& budget, const Acceptance& acc, Done done) {
  const auto& L = lapack<C>();
  if (L.gemm == nullptr || L.geqrf == nullptr || L.ormqr == nullptr) return Outcome::Declined;
  const std::int64_t b = run_block(m, n, k);
  BlockLanczos<C> lz(a, m, n, b, acc.wide ? 2.0 : 1.0);
  lz.start();
  // However the run ends, its work comes off the budget: a promoted run gets what is left.
  struct Spend {
    double& budget;
    const BlockLanczos<C>& lz;
    ~Spend() { budget -= lz.work(); }
  } spend{budget, lz};
  while (true) {
    // Grow the basis to its cap, testing for convergence after every step once the basis
    // holds a block beyond the Ritz vectors kept (the projected SVD costs little beside a
    // step's two products with the input); `done` may raise k, and with it the cap. A test
    // that leaves a wanted residual a thousand times its bound skips the next step's test:
    // one step gains less than that, and for wide blocks the projected SVD costs a fair part
    // of a step.
    std::int64_t keep = 0;
    bool far = false;
    while (true) {
      if (!applicable(m, n, k, b)) return Outcome::Declined;
      if (lz.basis() + b <= max_basis(k, b) && !lz.step()) return Outcome::Declined;
      const bool full = lz.basis() + b > max_basis(k, b);
      if (!full && lz.basis() < kept_for(k, b) + b) continue;
      if (!full && far) {
        far = false;
        continue;
      }
      keep = std::min(kept_for(k, b), lz.basis());
      lz.ritz(keep);
      const std::int64_t take = done(lz.s_, converged(lz, keep, acc), k);
      far = far_from_converged(lz, k, acc);
      if ((take > 0 || full) && acc.needs_wider(lz.s_, take > 0 ? take : k)) {
        return Outcome::Promote;
      }
      if (take > 0) {
        lz.extract(take, out);
        return Outcome::Done;
      }
      if (take < 0) return Outcome::Declined;
      if (full) break;
    }
    if (lz.work() > budget) return Outcome::Declined;
    lz.restart(std::min(kept_for(k, b), keep));
  }
}

// The float run's triplets from `first` on (the kept values below s1 / shallow), refined
// and certified with double products: a two-sided Rayleigh-Ritz step on the spans of their
// vectors (B = U^T A V in double, its SVD B = X S Y^T), each refined triplet (U x, s, V y)
// accepted when both its residuals, ||A V y - s U x|| and ||A^T U x - s V y|| computed in
// double, meet the tolerance of double products, and the refined values stay below the
// triplets before `first`. False when one does not; `out` is then unchanged.
bool certify(const float* a, std::int64_t m, std::int64_t n, KrylovTriplets<float>& out,
             std::int64_t first, const Acceptance& acc) {
  const std::int64_t k = out.k, d = k - first;
  const double s1 = out.s[0];
  // Rows first.. of the row-major vt (k x n) are the column-major n x d V; the columns
  // first.. of the row-major u (m x k) are transposed.
  std::vector<double> v(out.vt.begin() + first * n, out.vt.end()),
      u(static_cast<std::size_t>(m * d));
  for (std::int64_t i = 0; i < m; ++i) {
    for (std::int64_t j = 0; j < d; ++j) {
      u[static_cast<std::size_t>(j * m + i)] = out.u[static_cast<std::size_t>(i * k + first + j)];
    }
  }
  std::vector<double> w(static_cast<std::size_t>(m * d)), z(static_cast<std::size_t>(n * d));
  wide_products(a, m, n, d, v.data(), u.data(), w.data(), z.data());
  TruncatedSvd<double> svd(d, d);
  svd.set_route(SvdRoute::Dense);
  // The column-major W^T U is the row-major U^T W = B.
  gemm<double>('T', 'N', d, d, m, 1, w.data(), m, u.data(), m, 0, svd.input(), d);
  svd.reduce();
  std::vector<double> sv(static_cast<std::size_t>(d)), xt(static_cast<std::size_t>(d * d)),
      y(static_cast<std::size_t>(d * d));
  // Row-major X (d x d) is the column-major X^T; row-major Y^T is the column-major Y.
  svd.vectors(d, sv.data(), xt.data(), y.data());
  if (first > 0 && !(sv[0] <= static_cast<double>(out.s[static_cast<std::size_t>(first - 1)]))) {
    return false;
  }
  std::vector<double> x(xt.size());
  for (std::int64_t i = 0; i < d; ++i) {
    for (std::int64_t j = 0; j < d; ++j) {
      x[static_cast<std::size_t>(j * d + i)] = xt[static_cast<std::size_t>(i * d + j)];
    }
  }
  // True when every column j has ||R(:, j) - s_j P(:, j)|| within its tolerance (rows x d
  // R and P).
  const auto within = [&](const std::vector<double>& r, const std::vector<double>& p,
                          std::int64_t rows) {
    bool ok = true;
    for (std::int64_t j = 0; j < d && ok; ++j) {
      const double sj = sv[static_cast<std::size_t>(j)];
      double sum = 0;
      for (std::int64_t i = 0; i < rows; ++i) {
        const auto at = static_cast<std::size_t>(j * rows + i);
        const double e = r[at] - sj * p[at];
        sum += e * e;
      }
      ok = std::sqrt(sum) <= acc.tolerance(sj, s1);
    }
    return ok;
  };
  // A V y - s U x: W Y against U X (W's storage then holds U X).
  std::vector<double> t(static_cast<std::size_t>(std::max(m, n) * d));
  gemm<double>('N', 'N', m, d, d, 1, w.data(), m, y.data(), d, 0, t.data(), m);
  gemm<double>('N', 'N', m, d, d, 1, u.data(), m, x.data(), d, 0, w.data(), m);
  if (!within(t, w, m)) return false;
  // A^T U x - s V y: Z X against V Y (Z's storage then holds V Y).
  gemm<double>('N', 'N', n, d, d, 1, z.data(), n, x.data(), d, 0, t.data(), n);
  gemm<double>('N', 'N', n, d, d, 1, v.data(), n, y.data(), d, 0, z.data(), n);
  if (!within(t, z, n)) return false;
  for (std::int64_t j = 0; j < d; ++j) {
    out.s[static_cast<std::size_t>(first + j)] =
        static_cast<float>(sv[static_cast<std::size_t>(j)]);
  }
  for (std::int64_t i = 0; i < m; ++i) {
    for (std::int64_t j = 0; j < d; ++j) {
      out.u[static_cast<std::size_t>(i * k + first + j)] =
          static_cast<float>(w[static_cast<std::size_t>(j * m + i)]);
    }
  }
  for (std::size_t i = 0; i < z.size(); ++i) {
    out.vt[static_cast<std::size_t>(first * n) + i] = static_cast<float>(z[i]);
  }
  return true;
}

// Runs the driver in T. For float input whose kept values reach below the largest, the
// triplets are certified with double products (certify); where float products cannot
// resolve them (or the certificate fails), the products are redone in double on a double
// copy of the input and the results rounded.
template <class T, class Done>
bool drive_promoting(const T* a, std::int64_t m, std::int64_t n, std::int64_t& k,
                     KrylovTriplets<T>& out, double& budget, Done done) {
  const double eps = std::numeric_limits<T>::epsilon();
  const Acceptance acc(eps, m, n, false, std::is_same_v<T, float>);
  const Outcome first = drive<T>(a, m, n, k, out, budget, acc, done);
  if constexpr (std::is_same_v<T, float>) {
    const Acceptance wider(eps, m, n, true, false);
    if (first == Outcome::Done) {
      const std::int64_t first = acc.first_to_check(out.s);
      if (first >= out.k) return true;
      // Two products of the checked columns in double, each costing about two in float.
      budget -= 4.0 * static_cast<double>(out.k - first);
      if (certify(a, m, n, out, first, wider)) return true;
      if (budget <= 0) return false;
    }
    if (first != Outcome::Declined) {
      KrylovTriplets<double> wide;
      {
        const std::vector<double> ad(a, a + m * n);
        if (drive<double>(ad.data(), m, n, k, wide, budget, wider, done) != Outcome::Done) {
          return false;
        }
      }
      out.k = wide.k;
      out.s.assign(wide.s.begin(), wide.s.end());
      out.u.assign(wide.u.begin(), wide.u.end());
      out.vt.assign(wide.vt.begin(), wide.vt.end());
      return true;
    }
  }
  return first == Outcome::Done;
}

}  // namespace

template <class T>
bool krylov_svd(const T* a, std::int64_t m, std::int64_t n, std::int64_t k,
                KrylovTriplets<T>& out) {
  if (!applicable(m, n, k, block_for(k))) return false;
  double budget = work_budget(m, n);
  const bool ok =
      drive_promoting<T>(a, m, n, k, out, budget,
                         [](const std::vector<double>&, std::int64_t nconv, std::int64_t& want) {
                           return nconv >= want ? want : std::int64_t{0};
                         });
  if (ok) ++g_krylov_count;
  return ok;
}

template <class T>
std::int64_t krylov_energy(const T* a, std::int64_t m, std::int64_t n, double energy,
                           std::int64_t limit, KrylovTriplets<T>& out, SvdRoute route) {
  const auto cum_at = [](const std::vector<double>& s, std::int64_t count) {
    double c = 0;
    for (std::int64_t i = 0; i < count; ++i)
      c += s[static_cast<std::size_t>(i)] * s[static_cast<std::size_t>(i)];
    return c;
  };
  if (!(energy < 1.0)) return 0;  // every triplet counts: the dense route
  const double total = square_sum(a, m * n);
  if (total <= 0.5e-30) return -1;
  if (total <= 2e-30) return 0;
  const std::int64_t r = std::min(m, n);
  const double eps = std::numeric_limits<T>::epsilon();
  // Start small enough that the basis fits, at most 64 triplets (twice a limit that binds).
  std::int64_t k = std::clamp<std::int64_t>(r / 24 / 8 * 8, 8, 64);
  if (limit > 0) k = std::min(k, std::max<std::int64_t>(8, (2 * limit + 7) / 8 * 8));
  std::int64_t rank = 0;
  double budget = work_budget(m, n);
  const bool ok = drive_promoting<T>(
      a, m, n, k, out, budget,
      [&](const std::vector<double>& s, std::int64_t nconv, std::int64_t& want) -> std::int64_t {
        // Shares of the converged leading values; the dense route's shares differ by the
        // rounding of its own values, so a rank is certified only with a margin.
        const double tau = 32.0 * eps * std::sqrt(static_cast<double>(r)) *
                               (s.empty() ? 0.0 : s[0]) / std::sqrt(total) +
                           1e-12;
        double cum = 0;
        for (std::int64_t i = 0; i < nconv; ++i) {
          const double prev = cum / total;
          cum += s[static_cast<std::size_t>(i)] * s[static_cast<std::size_t>(i)];
          const double share = cum / total;
          if (share >= energy) {
            if (share < energy + tau || (i > 0 && prev >= energy - tau)) return -1;
            rank = i + 1;
            return rank;
          }
        }
        // Past the caller's limit the exact rank does not matter.
        if (limit > 0 && nconv >= limit && cum_at(s, limit) / total < energy - tau) {
          rank = limit + 1;
          return limit;
        }
        if (nconv < want) return 0;
        // Every wanted triplet converged short of the energy: want more.
        want = want * 2;
        if (!krylov_route(m, n, want, sizeof(T), route)) return -1;
        return 0;
      });
  if (!ok) return 0;
  ++g_krylov_count;
  return rank;
}

template bool krylov_svd<float>(const float*, std::int64_t, std::int64_t, std::int64_t,
                                KrylovTriplets<float>&);
template bool krylov_svd<double>(const double*, std::int64_t, std::int64_t, std::int64_t,
                                 KrylovTriplets<double>&);
template std::int64_t krylov_energy<float>(const float*, std::int64_t, std::int64_t, double,
                                           std::int64_t, KrylovTriplets<float>&, SvdRoute);
template std::int64_t krylov_energy<double>(const double*, std::int64_t, std::int64_t, double,
                                            std::int64_t, KrylovTriplets<double>&, SvdRoute);

}  // namespace velmora::core
