// The 16-bit float types both ways: every pattern survives widening and narrowing, and the
// rounding of values between patterns against known answers.
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "../dequant.hpp"
#include "support.hpp"

namespace {

constexpr std::uint32_t kF16 = 1, kBF16 = 30;

std::vector<std::uint16_t> narrowed(std::uint32_t id, const std::vector<float>& values) {
  std::vector<std::uint16_t> out(values.size());
  velmora::core::quantize(id, values.data(), reinterpret_cast<std::uint8_t*>(out.data()),
                          static_cast<std::int64_t>(values.size()));
  return out;
}

float from_bits(std::uint32_t u) { return std::bit_cast<float>(u); }

// Each of the 65536 patterns, widened to float32 and narrowed again, comes back unchanged
// (a signalling NaN comes back quiet).
TEST(half_patterns_survive_the_round_trip) {
  for (const std::uint32_t id : {kF16, kBF16}) {
    std::vector<std::uint16_t> bits(65536);
    for (std::uint32_t i = 0; i < 65536; ++i) bits[i] = static_cast<std::uint16_t>(i);
    std::vector<float> wide(65536);
    velmora::core::dequantize(id, reinterpret_cast<const std::uint8_t*>(bits.data()), wide.data(),
                              65536);
    const std::vector<std::uint16_t> back = narrowed(id, wide);
    const std::uint16_t quiet = id == kF16 ? 0x0200 : 0x0040;
    const std::uint16_t exponent = id == kF16 ? 0x7c00 : 0x7f80;
    int wrong = 0;
    for (std::uint32_t i = 0; i < 65536; ++i) {
      const bool nan = (i & exponent) == exponent && (i & ~(exponent | 0x8000u)) != 0;
      wrong += back[i] != (nan ? (bits[i] | quiet) : bits[i]);
    }
    CHECK(wrong == 0);
  }
}

// Ties go to the even neighbour, anything past a tie away from it; overflow, subnormals,
// signed zeros and NaN as IEEE rounds them.
TEST(half_rounding_known_answers) {
  struct Case {
    std::uint32_t in;
    std::uint16_t bf16, f16;
  };
  const Case cases[] = {
      {0x3f800000, 0x3f80, 0x3c00},  // 1
      {0x3f808000, 0x3f80, 0x3c04},  // a bf16 tie below an even pattern: stays
      {0x3f818000, 0x3f82, 0x3c0c},  // a bf16 tie above an odd pattern: up
      {0x3f808001, 0x3f81, 0x3c04},  // just past the tie
      {0x3f801000, 0x3f80, 0x3c00},  // an f16 tie below an even pattern
      {0x3f803000, 0x3f80, 0x3c02},  // an f16 tie above an odd pattern
      {0xbf803001, 0xbf80, 0xbc02},  // negative, past the tie
      {0x477fe000, 0x4780, 0x7bff},  // 65504, the largest half
      {0x477fefff, 0x4780, 0x7bff},  // below the halfway point to 65536
      {0x477ff000, 0x4780, 0x7c00},  // halfway: ties to the even infinity
      {0x7f7fffff, 0x7f80, 0x7c00},  // the largest float
      {0xff800000, 0xff80, 0xfc00},  // -inf
      {0x00000001, 0x0000, 0x0000},  // the smallest float subnormal
      {0x80400000, 0x8040, 0x8000},  // a float subnormal bf16 keeps, f16 flushes to -0
      {0x33000000, 0x3300, 0x0000},  // 2^-25: an f16 tie between 0 and 2^-24
      {0x33000001, 0x3300, 0x0001},  // past it
      {0x33c00000, 0x33c0, 0x0002},  // 1.5 x 2^-24: a tie up to the even 2
      {0x387fe000, 0x3880, 0x0400},  // just below 2^-14, rounding into the normal range
      {0x38000000, 0x3800, 0x0200},  // 2^-15
      {0x7fc00000, 0x7fc0, 0x7e00},  // quiet NaN
      {0xff812345, 0xffc1, 0xfe09},  // signalling NaN with payload: quieted, sign kept
  };
  std::vector<float> in;
  for (const Case& c : cases) in.push_back(from_bits(c.in));
  const std::vector<std::uint16_t> b = narrowed(kBF16, in), h = narrowed(kF16, in);
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (b[i] != cases[i].bf16 || h[i] != cases[i].f16) {
      vtest::fail(__FILE__, __LINE__, "case " + std::to_string(i));
    }
  }
  CHECK(velmora::core::can_quantize(0) && !velmora::core::can_quantize(8));
  CHECK_THROWS(velmora::core::Error, "no native conversion from float32 to type Q8_0",
               velmora::core::quantize(8, in.data(), nullptr, 1));
}

}  // namespace
