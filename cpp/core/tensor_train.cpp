#include "tensor_train.hpp"

#include <algorithm>
#include <memory>

#include "algebra.hpp"
#include "svd.hpp"

namespace velmora {

namespace {

std::int64_t product_from(const std::vector<std::int64_t>& v, std::size_t first) {
  std::int64_t r = 1;
  for (std::size_t i = first; i < v.size(); ++i) r *= v[i];
  return r;
}

}  // namespace

std::vector<std::int64_t> tt_ranks(const std::vector<std::int64_t>& shape, std::int64_t cap) {
  std::vector<std::int64_t> ranks;
  std::int64_t r_prev = 1;
  for (std::size_t k = 0; k + 1 < shape.size(); ++k) {
    const std::int64_t rows = r_prev * shape[k];
    const std::int64_t rest = product_from(shape, k + 1);
    const std::int64_t r = std::min({cap, rows, rest});
    ranks.push_back(r);
    r_prev = r;
  }
  return ranks;
}

template <class S, class T>
void tt_sweep(const S* x, const std::vector<std::int64_t>& shape,
              const std::vector<std::int64_t>& ranks, const std::vector<T*>& cores) {
  const std::size_t d = shape.size();
  std::int64_t rest = product_from(shape, 1);
  auto svd = std::make_unique<TruncatedSvd<double>>(shape[0], rest);
  {
    double* in = svd->input();
    const std::int64_t count = shape[0] * rest;
    for (std::int64_t i = 0; i < count; ++i) in[i] = static_cast<double>(x[i]);
  }
  std::int64_t r_prev = 1;
  std::vector<double> s, u;
  for (std::size_t k = 0; k + 1 < d; ++k) {
    const std::int64_t r = ranks[k];
    const std::int64_t rows = svd->rows();
    svd->reduce();
    // The kept right vectors, scaled by the singular values, are the next working
    // matrix: written straight into the next decomposition's input.
    const std::int64_t next_cols = product_from(shape, k + 2);
    auto next = std::make_unique<TruncatedSvd<double>>(r * shape[k + 1], next_cols);
    s.resize(static_cast<std::size_t>(r));
    u.resize(static_cast<std::size_t>(rows * r));
    svd->top_vectors(r, s.data(), u.data(), next->input());
    double* m = next->input();
    for (std::int64_t i = 0; i < r; ++i) {
      for (std::int64_t j = 0; j < rest; ++j) m[i * rest + j] *= s[static_cast<std::size_t>(i)];
    }
    T* core = cores[k];
    for (std::int64_t i = 0; i < rows * r; ++i)
      core[i] = static_cast<T>(u[static_cast<std::size_t>(i)]);
    svd = std::move(next);
    rest = next_cols;
    r_prev = r;
  }
  // The last core carries the norm: the final working matrix as (r, n_d, 1).
  const double* m = svd->input();
  T* last = cores[d - 1];
  const std::int64_t count = r_prev * shape[d - 1];
  for (std::int64_t i = 0; i < count; ++i) last[i] = static_cast<T>(m[i]);
}

template <class T>
void tt_contract(const std::vector<const T*>& cores, const std::vector<std::int64_t>& r,
                 const std::vector<std::int64_t>& n, T* out) {
  const std::size_t d = n.size();
  // running: (rows x r[k+1]) with rows = r[0] * n[0] * ... * n[k].
  std::int64_t rows = r[0] * n[0];
  std::vector<T> a, b;
  const T* src = cores[0];
  for (std::size_t k = 1; k < d; ++k) {
    T* dst = out;
    if (k + 1 < d) {
      std::vector<T>& next = src == a.data() ? b : a;
      next.resize(static_cast<std::size_t>(rows * n[k] * r[k + 1]));
      dst = next.data();
    }
    gemm_rm(src, cores[k], rows, r[k], n[k] * r[k + 1], dst);
    rows *= n[k];
    src = dst;
  }
}

template void tt_sweep<float, float>(const float*, const std::vector<std::int64_t>&,
                                     const std::vector<std::int64_t>&, const std::vector<float*>&);
template void tt_sweep<double, double>(const double*, const std::vector<std::int64_t>&,
                                       const std::vector<std::int64_t>&,
                                       const std::vector<double*>&);
template void tt_contract<float>(const std::vector<const float*>&, const std::vector<std::int64_t>&,
                                 const std::vector<std::int64_t>&, float*);
template void tt_contract<double>(const std::vector<const double*>&,
                                  const std::vector<std::int64_t>&,
                                  const std::vector<std::int64_t>&, double*);

}  // namespace velmora
