// Factor quantization, the byte allocation and the exact tier's byte planes.
#include <cmath>
#include <cstring>
#include <numeric>

#include "../byteplanes.hpp"
#include "../quantize.hpp"
#include "support.hpp"

namespace {

namespace core = velmora::core;

std::vector<float> values(std::int64_t n, std::uint32_t seed, double scale) {
  std::vector<float> v(static_cast<std::size_t>(n));
  const std::vector<double> s = vtest::sequence(n, seed);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(s[i] * s[i] * s[i] * scale);
  return v;
}

// Packing then unpacking gives each element the value of its code, and the fit's error is
// the error of what was packed: at every width, on tiny and odd-length vectors.
TEST(packed_codes_reproduce_the_fit) {
  for (int bits : {1, 2, 3, 4, 5, 6, 7, 8, 16}) {
    for (std::int64_t n : {1, 7, 33, 1000}) {
      const std::vector<float> x = values(n, static_cast<std::uint32_t>(bits * 100 + n), 3e-7);
      const core::VectorFit fit = core::fit_vector(x.data(), n, bits);
      CHECK(fit.scale > 0.0f);
      std::vector<std::uint8_t> packed(static_cast<std::size_t>(core::packed_bytes(n, bits)) + 1,
                                       0xAB);
      core::pack_codes(x.data(), n, bits, fit.scale, packed.data());
      CHECK(packed.back() == 0xAB);  // nothing written past the packed size
      std::vector<float> back(static_cast<std::size_t>(n));
      core::unpack_values(packed.data(), n, bits, fit.scale, back.data());
      double err = 0.0, sq = 0.0, cross = 0.0;
      const std::int32_t half = 1 << (bits - 1);
      for (std::size_t i = 0; i < back.size(); ++i) {
        // Every value is (c + 0.5) * scale for an integer code in range.
        const double c = static_cast<double>(back[i]) / fit.scale - 0.5;
        CHECK(std::fabs(c - std::round(c)) < 1e-6 * half);
        CHECK(std::round(c) >= -half && std::round(c) <= half - 1);
        const double d = static_cast<double>(back[i]) - static_cast<double>(x[i]);
        err += d * d;
        sq += static_cast<double>(back[i]) * back[i];
        cross += static_cast<double>(back[i]) * x[i];
      }
      // The same sums up to their order of addition.
      auto close = [](double a, double b) { return std::fabs(a - b) <= 1e-12 * std::fabs(b); };
      CHECK(close(err, fit.error));
      CHECK(close(sq, fit.quantized_sq) && close(cross, fit.cross));
      const double energy = std::inner_product(x.begin(), x.end(), x.begin(), 0.0);
      if (n >= 33) CHECK(err < (bits == 1 ? 0.6 : 0.3) * energy);
    }
  }
}

TEST(zero_and_tiny_vectors_stay_zero) {
  const std::vector<float> zero(5, 0.0f), tiny(5, 1e-44f);
  for (const auto* x : {&zero, &tiny}) {
    const core::VectorFit fit = core::fit_vector(x->data(), 5, 16);
    CHECK(fit.scale == 0.0f && fit.quantized_sq == 0.0);
    std::uint8_t packed[10];
    core::pack_codes(x->data(), 5, 16, fit.scale, packed);
    float back[5];
    core::unpack_values(packed, 5, 16, fit.scale, back);
    for (float v : back) CHECK(v == 0.0f);
  }
}

// The error each step claims is the dense error of the rank-1 product it stores.
TEST(component_errors_match_the_dense_product) {
  const std::int64_t k = 3, m = 40, n = 25;
  const std::vector<float> a = values(k * m, 1, 1.0), b = values(k * n, 2, 1.0);
  const std::vector<int> widths = {1, 2, 3, 4, 5, 6, 7, 8, 16};
  for (bool paired : {true, false}) {
    const std::vector<core::HullStep> steps =
        core::component_steps(a.data(), b.data(), k, m, n, widths, paired);
    for (std::int64_t i = 0; i < k; ++i) {
      const float* ai = a.data() + i * m;
      const float* bi = b.data() + i * n;
      double full = 0.0, removed = 0.0, last_slope = 1e300;
      for (std::int64_t x = 0; x < m; ++x) {
        for (std::int64_t y = 0; y < n; ++y) full += std::pow(double(ai[x]) * bi[y], 2);
      }
      int wa = 0, wb = 0;
      for (const core::HullStep& s : steps) {
        if (s.component != i) continue;
        CHECK(!paired || s.bits_a == s.bits_b);
        const double slope = s.gain / static_cast<double>(s.bytes);
        CHECK(slope < last_slope);
        last_slope = slope;
        removed += s.gain;
        wa = s.bits_a;
        wb = s.bits_b;
      }
      CHECK(wa > 0);
      const core::VectorFit fa = core::fit_vector(ai, m, wa), fb = core::fit_vector(bi, n, wb);
      std::vector<std::uint8_t> pa(static_cast<std::size_t>(core::packed_bytes(m, wa)));
      std::vector<std::uint8_t> pb(static_cast<std::size_t>(core::packed_bytes(n, wb)));
      core::pack_codes(ai, m, wa, fa.scale, pa.data());
      core::pack_codes(bi, n, wb, fb.scale, pb.data());
      std::vector<float> qa(static_cast<std::size_t>(m)), qb(static_cast<std::size_t>(n));
      core::unpack_values(pa.data(), m, wa, fa.scale, qa.data());
      core::unpack_values(pb.data(), n, wb, fb.scale, qb.data());
      double left = 0.0;
      for (std::int64_t x = 0; x < m; ++x) {
        for (std::int64_t y = 0; y < n; ++y) {
          left += std::pow(double(ai[x]) * bi[y] - double(qa[static_cast<std::size_t>(x)]) *
                                                       qb[static_cast<std::size_t>(y)],
                           2);
        }
      }
      CHECK_NEAR(full - removed, left, 1e-9 * full);
    }
  }
  CHECK_ERROR(Value, "bit width must be 1 to 8 or 16, got 9",
              core::component_steps(a.data(), b.data(), k, m, n, {9}, true));
}

// Two chains: a budget never exceeded, a chain's steps taken in order, a target met.
TEST(allocation_keeps_budget_order_and_target) {
  //                         chain 0 (3 steps)    chain 1 (2 steps)
  const std::int64_t bytes[] = {10, 10, 10, 4, 30};
  const double gain[] = {100, 30, 5, 60, 30};
  const std::uint8_t first[] = {1, 0, 0, 1, 0};
  // Slopes: 10, 3, 0.5 | 15, 1.
  auto taken = core::allocate_budget(bytes, gain, first, 5, 24);
  CHECK((taken == std::vector<std::uint8_t>{1, 1, 0, 1, 0}));
  taken = core::allocate_budget(bytes, gain, first, 5, 23);  // the 3-slope step does not fit
  CHECK((taken == std::vector<std::uint8_t>{1, 0, 0, 1, 0}));
  // A step that does not fit blocks the rest of its chain, not other chains.
  const std::int64_t big[] = {50, 1, 5};
  const double g2[] = {100, 50, 5};
  const std::uint8_t f2[] = {1, 0, 1};
  CHECK((core::allocate_budget(big, g2, f2, 3, 10) == std::vector<std::uint8_t>{0, 0, 1}));
  // Target: error 225 to reach 70 needs the two best steps (225 - 160 = 65).
  CHECK((core::allocate_error(bytes, gain, first, 5, 225.0, 70.0) ==
         std::vector<std::uint8_t>{1, 0, 0, 1, 0}));
  CHECK((core::allocate_error(bytes, gain, first, 5, 225.0, 0.0) ==
         std::vector<std::uint8_t>{1, 1, 1, 1, 1}));
  const std::uint8_t bad_first[] = {0, 0, 0, 1, 0};
  CHECK_ERROR(Value, "the first step must start a chain",
              core::allocate_budget(bytes, gain, bad_first, 5, 24));
}

TEST(byte_planes_round_trip) {
  const std::uint16_t tuned[] = {0xbf85, 0x3f83, 0x0001};
  const std::uint16_t base[] = {0x3f80, 0x3f81, 0x8000};
  std::uint8_t planes[6], back[6];
  const auto* t = reinterpret_cast<const std::uint8_t*>(tuned);
  const auto* b = reinterpret_cast<const std::uint8_t*>(base);
  core::split_planes(t, b, 3, 2, planes);
  // The XOR is 0x8005, 0x0002, 0x8001: its high bytes in word order, then the low bytes of
  // words whose high byte is zero, then the others, each in word order.
  CHECK((std::vector<std::uint8_t>(planes, planes + 6) ==
         std::vector<std::uint8_t>{0x80, 0x00, 0x80, 0x02, 0x05, 0x01}));
  const std::uint8_t* halves[] = {planes, planes + 3};
  core::join_planes(halves, b, 3, 2, core::PlaneOrder::kZeroFirst, back);
  CHECK(std::memcmp(back, tuned, 6) == 0);
  // The first records' order: low bytes grouped by high byte (0x01's, then 0x02's).
  const std::uint8_t grouped[] = {0x02, 0x01, 0x02, 0x01, 0x22, 0x44, 0x11, 0x33};
  const std::uint16_t words[] = {0x0211, 0x0122, 0x0233, 0x0144};
  const std::uint8_t* parts[] = {grouped, grouped + 4};
  std::uint8_t four[8];
  core::join_planes(parts, nullptr, 4, 2, core::PlaneOrder::kByFirstByte, four);
  CHECK(std::memcmp(four, words, 8) == 0);
  for (int width : {1, 2, 4, 8}) {
    const std::int64_t count = 37;
    std::vector<std::uint8_t> x(static_cast<std::size_t>(count * width)), y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
      x[i] = static_cast<std::uint8_t>(i * 37 + 11);
      y[i] = static_cast<std::uint8_t>(i * 91 + 3);
    }
    std::vector<std::uint8_t> p(x.size()), out(x.size());
    for (const std::uint8_t* base_bytes :
         {static_cast<const std::uint8_t*>(y.data()), static_cast<const std::uint8_t*>(nullptr)}) {
      core::split_planes(x.data(), base_bytes, count, width, p.data());
      std::vector<const std::uint8_t*> at;
      for (int q = 0; q < width; ++q) at.push_back(p.data() + q * count);
      core::join_planes(at.data(), base_bytes, count, width, core::PlaneOrder::kZeroFirst,
                        out.data());
      CHECK(out == x);
    }
  }
}

}  // namespace
