// Tucker and tensor-train decompositions: exact reconstructions of tensors of known rank.
#include <algorithm>
#include <cmath>
#include <limits>

#include "../tensor_train.hpp"
#include "../tucker.hpp"
#include "../view.hpp"
#include "support.hpp"

namespace {

using velmora::core::elements;
using Shape = std::vector<std::int64_t>;

std::int64_t product(const Shape& v) {
  std::int64_t p = 1;
  for (std::int64_t x : v) p *= x;
  return p;
}

// The outer product of one deterministic vector per mode: a tensor of Tucker and TT rank 1.
std::vector<double> rank_one(const Shape& shape) {
  std::vector<double> x{1.0};
  for (std::size_t k = 0; k < shape.size(); ++k) {
    const std::vector<double> v = vtest::sequence(shape[k], static_cast<std::uint32_t>(k + 3));
    x = vtest::matmul(x, v, static_cast<std::int64_t>(x.size()), 1, shape[k]);
  }
  return x;
}

template <class T>
std::vector<double> tucker_roundtrip(const std::vector<double>& x, const Shape& shape,
                                     const Shape& ranks) {
  const std::vector<T> xt = vtest::cast<T>(x);
  std::vector<std::vector<T>> f;
  std::vector<T*> fp;
  std::vector<const T*> fc;
  for (std::size_t k = 0; k < shape.size(); ++k) f.emplace_back(elements(shape[k], ranks[k]));
  for (auto& v : f) fp.push_back(v.data()), fc.push_back(v.data());
  std::vector<T> core(elements(product(ranks))), out(x.size());
  velmora::core::tucker_compress(xt.data(), shape, ranks, fp, core.data());
  velmora::core::tucker_expand(core.data(), ranks, shape, fc, out.data());
  return std::vector<double>(out.begin(), out.end());
}

TEST(tucker_reconstructs_known_ranks) {
  // (4, 3, 5): every unfolding is wide; (6, 2, 2): the first one is tall.
  for (const Shape& shape : {Shape{4, 3, 5}, Shape{6, 2, 2}}) {
    const std::vector<double> one = rank_one(shape);
    const std::vector<double> any = vtest::sequence(product(shape), 9);
    Shape full;
    for (std::int64_t n : shape) full.push_back(std::min(n, product(shape) / n));
    CHECK(vtest::max_diff(tucker_roundtrip<double>(one, shape, {1, 1, 1}), one) < 1e-12);
    CHECK(vtest::max_diff(tucker_roundtrip<double>(any, shape, full), any) < 1e-12);
    CHECK(vtest::max_diff(tucker_roundtrip<float>(one, shape, {1, 1, 1}), one) < 1e-5);
    CHECK(vtest::max_diff(tucker_roundtrip<float>(any, shape, full), any) < 1e-5);
  }
}

TEST(tt_ranks_known_answers) {
  CHECK((velmora::core::tt_ranks({4, 3, 5}, 8) == Shape{4, 5}));
  CHECK((velmora::core::tt_ranks({4, 3, 5}, 2) == Shape{2, 2}));
  CHECK((velmora::core::tt_ranks({2, 2, 2, 2}, 100) == Shape{2, 4, 2}));
  CHECK((velmora::core::tt_ranks({7, 1}, 3) == Shape{1}));
}

// Contracts the cores (r_{k-1}, n_k, r_k) left to right into the full tensor.
template <class T>
std::vector<double> tt_roundtrip(const std::vector<double>& x, const Shape& shape,
                                 std::int64_t cap) {
  const Shape ranks = velmora::core::tt_ranks(shape, cap);
  const std::vector<T> xt = vtest::cast<T>(x);
  std::vector<std::vector<T>> cores;
  std::vector<T*> out;
  for (std::size_t k = 0; k < shape.size(); ++k) {
    const std::int64_t left = k == 0 ? 1 : ranks[k - 1],
                       right = k + 1 == shape.size() ? 1 : ranks[k];
    cores.emplace_back(elements(left, shape[k], right));
  }
  for (auto& c : cores) out.push_back(c.data());
  velmora::core::tt_sweep<T, T>(xt.data(), shape, ranks, out);
  std::vector<double> result{1.0};
  std::int64_t lead = 1, r = 1;
  for (std::size_t k = 0; k < shape.size(); ++k) {
    const std::int64_t next = k + 1 == shape.size() ? 1 : ranks[k];
    const std::vector<double> c(cores[k].begin(), cores[k].end());
    result = vtest::matmul(result, c, lead, r, shape[k] * next);
    lead *= shape[k];
    r = next;
  }
  return result;
}

TEST(tt_reconstructs_known_ranks) {
  for (const Shape& shape : {Shape{4, 3, 5}, Shape{2, 3, 2, 3}, Shape{5, 1, 4}}) {
    const std::vector<double> one = rank_one(shape);
    const std::vector<double> any = vtest::sequence(product(shape), 4);
    CHECK(vtest::max_diff(tt_roundtrip<double>(one, shape, 1), one) < 1e-12);
    CHECK(vtest::max_diff(tt_roundtrip<double>(any, shape, 100), any) < 1e-12);
    CHECK(vtest::max_diff(tt_roundtrip<float>(any, shape, 100), any) < 1e-5);
  }
}

TEST(tt_float32_rank_k_through_the_gram_route) {
  // Large enough for the Gram-matrix steps (wide and tall) that float32 cores take, and for
  // their products to run in several slices: rank 8 plus noise, truncated to rank 8, agrees
  // with the float64 cores of the bidiagonal route.
  for (const Shape& shape :
       {Shape{256, 400}, Shape{400, 128}, Shape{256, 9000}, Shape{9000, 128}}) {
    std::vector<double> a = vtest::matmul(vtest::sequence(shape[0] * 8, 1),
                                          vtest::sequence(8 * shape[1], 2), shape[0], 8, shape[1]);
    const std::vector<double> noise = vtest::sequence(product(shape), 3);
    for (std::size_t i = 0; i < a.size(); ++i) a[i] += 1e-2 * noise[i];
    CHECK(vtest::max_diff(tt_roundtrip<float>(a, shape, 8), tt_roundtrip<double>(a, shape, 8)) <
          1e-4);
  }
}

TEST(tt_factors_out_of_range_raise) {
  // Finite float32 input whose norm, carried by the last core, leaves float32.
  const std::vector<double> big(48, 3e38);
  CHECK_ERROR(LinAlg, "SVD did not converge", tt_roundtrip<float>(big, {8, 6}, 8));
  std::vector<double> nan(12, 1.0);
  nan[5] = std::numeric_limits<double>::quiet_NaN();
  CHECK_ERROR(LinAlg, "SVD did not converge", tt_roundtrip<double>(nan, {3, 4}, 8));
}

}  // namespace
