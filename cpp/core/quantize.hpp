// Low-bit storage of truncated-SVD factors and the byte allocation that chooses, across all
// tensors of a fine-tune, which components to keep and at how many bits.
//
// A delta D ~ sum_i a_i b_i^T is kept as components (a_i = u_i sqrt(s_i), b_i = v_i sqrt(s_i)),
// each vector quantized on its own: a uniform midrise quantizer of `bits` bits whose code
// c in [-L, L-1] (L = 2^(bits-1)) stands for the float32 value (float(c) + 0.5f) * scale,
// the sum exact and the product rounded once (no fused multiply-add). The codes are stored
// as c + L, packed least significant bit first, each vector starting on a byte boundary; the
// scale is a float32 per vector (a float16 scale would underflow on small deltas).
#pragma once

#include <cstdint>
#include <vector>

namespace velmora::core {

// Widths a factor vector may be stored at: 1 to 8 bits, or 16.
constexpr bool valid_width(int bits) noexcept { return (bits >= 1 && bits <= 8) || bits == 16; }

// Bytes of n codes of `bits` bits, packed and padded to a whole byte.
constexpr std::int64_t packed_bytes(std::int64_t n, int bits) noexcept {
  return (n * bits + 7) / 8;
}

// The value a code stands for; every reader dequantizes through this.
inline float dequantized(std::int32_t code, float scale) noexcept {
  const float centre = static_cast<float>(code) + 0.5f;  // exact: |code| < 2^23
  return centre * scale;
}

// The quantizer fitted to one vector: its scale and the sums that give the error of any
// product the vector takes part in.
struct VectorFit {
  float scale = 0.0f;
  double quantized_sq = 0.0;  // |x^|^2
  double cross = 0.0;         // x . x^
  double error = 0.0;         // |x - x^|^2
};

// The scale of least squared error among a fixed grid of clip fractions of max|x|, and the
// sums of that fit. All-zero (or empty) vectors get scale 0 and represent zeros exactly.
VectorFit fit_vector(const float* x, std::int64_t n, int bits) noexcept;

// Packs the codes of x at (bits, scale) into out, packed_bytes(n, bits) bytes.
void pack_codes(const float* x, std::int64_t n, int bits, float scale, std::uint8_t* out) noexcept;

// out[i * stride] = the value of code i of a packed vector.
void unpack_values(const std::uint8_t* codes, std::int64_t n, int bits, float scale, float* out,
                   std::int64_t stride = 1) noexcept;

// One step along a component's lower convex hull of (bytes, error): storing the component at
// (bits_a, bits_b) instead of the previous step's widths (or not at all) costs `bytes` more
// and removes `gain` of squared Frobenius error.
struct HullStep {
  std::int64_t bytes = 0;
  double gain = 0.0;
  std::int32_t component = 0;
  std::uint8_t bits_a = 0, bits_b = 0;
};

// Bytes one stored component costs: its two packed vectors, two float32 scales and its two
// one-byte widths.
constexpr std::int64_t component_bytes(std::int64_t m, std::int64_t n, int bits_a,
                                       int bits_b) noexcept {
  return packed_bytes(m, bits_a) + packed_bytes(n, bits_b) + 2 * 4 + 2;
}

// The hull steps of every component of a (k x m, rows a_i) and b (k x n, rows b_i), each
// vector at any width of `widths` (with `paired`, a_i and b_i at one width). The error of a
// component stored at (wa, wb) is exact: |a b^T - a^ b^^T|^2 =
// |a|^2 |b|^2 + |a^|^2 |b^|^2 - 2 (a . a^)(b . b^). Steps come per component in order; each
// component's first step starts from not storing it (error |a|^2 |b|^2).
std::vector<HullStep> component_steps(const float* a, const float* b, std::int64_t k,
                                      std::int64_t m, std::int64_t n,
                                      const std::vector<int>& widths, bool paired);

// Chooses steps of many hulls: each chain's steps contiguous and in order, first[j] = 1 on a
// chain's first step. Steps are visited by gain per byte, highest first (ties in input
// order); a step is taken when its chain's previous step was taken and, with a budget, while
// the bytes taken stay within `budget`; with a target, until the error left (total_error
// minus the gains taken) is at most target_error. Returns 1 per step taken, 0 otherwise.
std::vector<std::uint8_t> allocate_budget(const std::int64_t* bytes, const double* gain,
                                          const std::uint8_t* first, std::int64_t count,
                                          std::int64_t budget);
std::vector<std::uint8_t> allocate_error(const std::int64_t* bytes, const double* gain,
                                         const std::uint8_t* first, std::int64_t count,
                                         double total_error, double target_error);

}  // namespace velmora::core
