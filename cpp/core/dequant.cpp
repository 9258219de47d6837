#include "dequant.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "error.hpp"
#include "interrupt.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define VELMORA_F16C 1
#endif

// Hot loops are built twice on x86-64 (baseline and AVX2) and picked at load time; no FMA,
// so products and sums round separately, as the reference computes them.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define VELMORA_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define VELMORA_KERNEL
#endif

namespace velmora::core {

namespace {

constexpr GgmlType kTypes[] = {
    {0, "F32", 1, 4},         {1, "F16", 1, 2},         {2, "Q4_0", 32, 18},
    {3, "Q4_1", 32, 20},      {6, "Q5_0", 32, 22},      {7, "Q5_1", 32, 24},
    {8, "Q8_0", 32, 34},      {9, "Q8_1", 32, 40},      {10, "Q2_K", 256, 84},
    {11, "Q3_K", 256, 110},   {12, "Q4_K", 256, 144},   {13, "Q5_K", 256, 176},
    {14, "Q6_K", 256, 210},   {15, "Q8_K", 256, 292},   {16, "IQ2_XXS", 256, 66},
    {17, "IQ2_XS", 256, 74},  {18, "IQ3_XXS", 256, 98}, {19, "IQ1_S", 256, 50},
    {20, "IQ4_NL", 32, 18},   {21, "IQ3_S", 256, 110},  {22, "IQ2_S", 256, 82},
    {23, "IQ4_XS", 256, 136}, {24, "I8", 1, 1},         {25, "I16", 1, 2},
    {26, "I32", 1, 4},        {27, "I64", 1, 8},        {28, "F64", 1, 8},
    {29, "IQ1_M", 256, 56},   {30, "BF16", 1, 2},       {34, "TQ1_0", 256, 54},
    {35, "TQ2_0", 256, 66},   {39, "MXFP4", 32, 17},    {40, "NVFP4", 64, 36},
    {41, "Q1_0", 128, 18},
};

enum : std::uint32_t {
  kF32 = 0,
  kF16 = 1,
  kQ4_0 = 2,
  kQ4_1 = 3,
  kQ5_0 = 6,
  kQ5_1 = 7,
  kQ8_0 = 8,
  kQ2_K = 10,
  kQ3_K = 11,
  kQ4_K = 12,
  kQ5_K = 13,
  kQ6_K = 14,
  kIQ4_NL = 20,
  kIQ4_XS = 23,
  kI8 = 24,
  kI16 = 25,
  kI32 = 26,
  kI64 = 27,
  kF64 = 28,
  kBF16 = 30,
  kMXFP4 = 39,
};

// Little-endian loads at any alignment.
inline std::uint16_t ld16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t ld32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// IEEE half to float, exactly (subnormals, infinities and NaN payloads included): the
// half's bits shifted into a float are scaled by 2^112, then an all-ones half exponent
// becomes an all-ones float exponent.
inline float half(std::uint16_t h) {
  const std::uint32_t em = h & 0x7fffu;
  std::uint32_t bits = std::bit_cast<std::uint32_t>(std::bit_cast<float>(em << 13) * 0x1p112f);
  if (em >= 0x7c00u) bits |= 0x7f800000u;
  return std::bit_cast<float>(bits | (static_cast<std::uint32_t>(h & 0x8000u) << 16));
}

constexpr std::int8_t kNonLinear[16] = {-127, -104, -83, -65, -49, -35, -22, -10,
                                        1,    13,   25,  38,  53,  69,  89,  113};
constexpr std::int8_t kE2M1[16] = {0, 1, 2, 3, 4, 6, 8, 12, 0, -1, -2, -3, -4, -6, -8, -12};

// ---------------------------------------------------------------- plain element types

VELMORA_KERNEL void f16_run(const std::uint8_t* s, float* o, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) o[i] = half(ld16(s + 2 * i));
}
#ifdef VELMORA_F16C
// The hardware conversion, eight halves at a time, where the processor has it.
__attribute__((target("avx,f16c"))) void f16_run_f16c(const std::uint8_t* s, float* o,
                                                      std::int64_t n) {
  std::int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * i));
    _mm256_storeu_ps(o + i, _mm256_cvtph_ps(h));
  }
  for (; i < n; ++i) o[i] = half(ld16(s + 2 * i));
}
#endif

VELMORA_KERNEL void bf16_run(const std::uint8_t* s, float* o, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) {
    o[i] = std::bit_cast<float>(static_cast<std::uint32_t>(ld16(s + 2 * i)) << 16);
  }
}
void f32_run(const std::uint8_t* s, float* o, std::int64_t n) {
  std::memcpy(o, s, static_cast<std::size_t>(n) * 4);
}
VELMORA_KERNEL void f64_run(const std::uint8_t* s, float* o, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) {
    double v;
    std::memcpy(&v, s + 8 * i, 8);
    o[i] = static_cast<float>(v);
  }
}

// ------------------------------------------------- float32 to the 16-bit float types

// Round to nearest even on the bits, branch-free so that the loops vectorise.
inline std::uint16_t to_bf16(std::uint32_t u) {
  const std::uint32_t rounded = (u + 0x7fffu + ((u >> 16) & 1u)) >> 16;
  const std::uint32_t nan = (u >> 16) | 0x40u;  // quiet, payload's leading bits kept
  return static_cast<std::uint16_t>((u & 0x7fffffffu) > 0x7f800000u ? nan : rounded);
}

inline std::uint16_t to_f16(std::uint32_t u) {
  const std::uint32_t sign = (u >> 16) & 0x8000u;
  const std::uint32_t a = u & 0x7fffffffu;
  // A normal half: the exponent rebiased (127 -> 15), the 13 dropped bits rounded.
  const std::uint32_t normal = (a - 0x38000000u + 0xfffu + ((a >> 13) & 1u)) >> 13;
  // Below 2^-14 a subnormal half, in units of 2^-24: the significand shifted right by
  // 126 - exponent, rounded (the shift is clamped to 14..31: 31 leaves 0 of anything below
  // 2^-32, and above 2^-14 the value is not used).
  const std::uint32_t e = a >> 23;
  const std::uint32_t shift = e < 95u ? 31u : e > 112u ? 14u : 126u - e;
  const std::uint32_t m = (a & 0x7fffffu) | 0x800000u;
  const std::uint32_t q = m >> shift;
  const std::uint32_t rest = m & ((1u << shift) - 1u), tie = 1u << (shift - 1u);
  const std::uint32_t subnormal = q + ((rest > tie) | ((rest == tie) & q));
  std::uint32_t r = a < 0x38800000u ? subnormal : normal;
  r = a >= 0x477ff000u ? 0x7c00u : r;  // from halfway past 65504 on: infinity
  r = a > 0x7f800000u ? 0x7e00u | ((a >> 13) & 0x3ffu) : r;
  return static_cast<std::uint16_t>(sign | r);
}

inline void st16(std::uint8_t* p, std::uint16_t v) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(p, &v, 2);
  } else {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
  }
}

VELMORA_KERNEL void bf16_out(const float* s, std::uint8_t* o, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) st16(o + 2 * i, to_bf16(std::bit_cast<std::uint32_t>(s[i])));
}
VELMORA_KERNEL void f16_out(const float* s, std::uint8_t* o, std::int64_t n) {
  for (std::int64_t i = 0; i < n; ++i) st16(o + 2 * i, to_f16(std::bit_cast<std::uint32_t>(s[i])));
}
void f32_out(const float* s, std::uint8_t* o, std::int64_t n) {
  std::memcpy(o, s, static_cast<std::size_t>(n) * 4);
}

// ----------------------------------------------------------------- 32-element blocks

VELMORA_KERNEL void q4_0_run(const std::uint8_t* s, float* o, std::int64_t n) {
  for (std::int64_t b = 0; b < n; ++b, s += 18, o += 32) {
    const float d = half(ld16(s));
    const std::uint8_t* qs = s + 2;
    for (int j = 0; j < 16; ++j) {
      o[j] = d * static_cast<float>((qs[j] & 0x0f) - 8);
      o[j + 16] = d * static_cast<float>((qs[j] >> 4) - 8);
    }
  }
}

VELMORA_KERNEL void q4_1_run(const std::uint8_t* s, float* o, std::int64_t n) {
  for (std::int64_t b = 0; b < n; ++b, s += 20, o += 32) {
    const float d = half(ld16(s)), m = half(ld16(s + 2));
    const std::uint8_t* qs = s + 4;
    for (int j = 0; j < 16; ++j) {
      o[j] = d * static_cast<float>(qs[j] & 0x0f) + m;
      o[j + 16] = d * static_cast<float>(qs[j] >> 4) + m;
    }
  }
}

VELMORA_KERNEL void q5_0_run(const std::uint8_t* s, float* o, std::int64_t n) {
  for (std::int64_t b = 0; b < n; ++b, s += 22, o += 32) {
    const float d = half(ld16(s));
    const std::uint32_t qh = ld32(s + 2);
    const std::uint8_t* qs = s + 6;
    for (int j = 0; j < 16; ++j) {
      const int lo = (qs[j] & 0x0f) | static_cast<int>(((qh >> j) & 1u) << 4);
      const int hi = (qs[j] >> 4) | static_cast<int>(((qh >> (j + 16)) & 1u) << 4);
      o[j] = d * static_cast<float>(lo - 16);
      o[j + 16] = d * static_cast<float>(hi - 16);
    }
  }
}

VELMORA_KERNEL void q5_1_run(const std::uint8_t* s, float* o, std::int64_t n) {
  for (std::int64_t b = 0; b < n; ++b, s += 24, o += 32) {
    const float d = half(ld16(s)), m = half(ld16(s + 2));
    const std::uint32_t qh = ld32(s + 4);
    const std::uint8_t* qs = s + 8;
    for (int j = 0; j < 16; ++j) {
      const int lo = (qs[j] & 0x0f) | static_cast<int>(((qh >> j) & 1u) << 4);
      const int hi = (qs[j] >> 4) | static_cast<int>(((qh >> (j + 16)) & 1u) << 4);
      o[j] = d * static_cast<float>(lo) + m;
      o[j + 16] = d * static_cast<float>(hi) + m;
    }
  }
}

VELMORA_KERNEL void q8_0_run(const std::uint8_t* s, float* o, std::int64_t n) {
  for (std::int64_t b = 0; b < n; ++b, s += 34, o += 32) {
    const float d = half(ld16(s));
    const std::uint8_t* qs = s + 2;
    for (int j = 0; j < 32; ++j) o[j] = static_cast<float>(static_cast<std::int8_t>(qs[j])) * d;
  }
}

// Blocks of a scale and 32 four-bit indices into a table of 16 values (IQ4_NL, MXFP4).
template <std::int64_t kBytes, int kHeader, const std::int8_t* kTable, class Scale>
[[gnu::always_inline]] inline void table32_run(const std::uint8_t* s, float* o, std::int64_t n,
                                               Scale scale) {
  for (std::int64_t b = 0; b < n; ++b, s += kBytes, o += 32) {
    const float d = scale(s);
    const std::uint8_t* qs = s + kHeader;
    for (int j = 0; j < 16; ++j) {
      o[j] = d * static_cast<float>(kTable[qs[j] & 0x0f]);
      o[j + 16] = d * static_cast<float>(kTable[qs[j] >> 4]);
    }
  }
}

VELMORA_KERNEL void iq4_nl_run(const std::uint8_t* s, float* o, std::int64_t n) {
  table32_run<18, 2, kNonLinear>(s, o, n, [](const std::uint8_t* p) { return half(ld16(p)); });
}

VELMORA_KERNEL void mxfp4_run(const std::uint8_t* s, float* o, std::int64_t n) {
  // The shared exponent as half the power of two it encodes (e2m1 values are doubled).
  table32_run<17, 1, kE2M1>(s, o, n, [](const std::uint8_t* p) {
    const std::uint32_t e = p[0];
    return std::bit_cast<float>(e < 2 ? 0x00200000u << e : (e - 1) << 23);
  });
}

// ---------------------------------------------------------------- 256-element blocks

// Two scale groups of 16 from 32 bytes of 2-bit quants at a compile-time shift: the
// shifts stay constants so that the loops vectorize.
template <int kShift>
[[gnu::always_inline]] inline void q2_k_pair(const std::uint8_t* q, const std::uint8_t* sc, float d,
                                             float dmin, float* out) {
  for (int half_group = 0; half_group < 2; ++half_group) {
    const float dl = d * static_cast<float>(sc[half_group] & 0x0f);
    const float ml = dmin * static_cast<float>(sc[half_group] >> 4);
    const std::uint8_t* qq = q + half_group * 16;
    float* o = out + half_group * 16;
    std::int32_t v[16];
    for (int l = 0; l < 16; ++l) v[l] = (qq[l] >> kShift) & 3;
    for (int l = 0; l < 16; ++l) o[l] = dl * static_cast<float>(v[l]) - ml;
  }
}

VELMORA_KERNEL void q2_k_run(const std::uint8_t* s, float* o, std::int64_t n) {
  for (std::int64_t b = 0; b < n; ++b, s += 84, o += 256) {
    const std::uint8_t* sc = s;
    const std::uint8_t* qs = s + 16;
    const float d = half(ld16(s + 80)), dmin = half(ld16(s + 82));
    for (int h = 0; h < 2; ++h) {
      const std::uint8_t* q = qs + h * 32;
      q2_k_pair<0>(q, sc + h * 8 + 0, d, dmin, o + h * 128 + 0);
      q2_k_pair<2>(q, sc + h * 8 + 2, d, dmin, o + h * 128 + 32);
      q2_k_pair<4>(q, sc + h * 8 + 4, d, dmin, o + h * 128 + 64);
      q2_k_pair<6>(q, sc + h * 8 + 6, d, dmin, o + h * 128 + 96);
    }
  }
}

VELMORA_KERNEL void q3_k_run(const std::uint8_t* s, float* o, std::int64_t n) {
  for (std::int64_t b = 0; b < n; ++b, s += 110, o += 256) {
    const std::uint8_t* hmask = s;
    const std::uint8_t* qs = s + 32;
    const std::uint8_t* sc = s + 96;
    const float d = half(ld16(s + 108));
    for (int h = 0; h < 2; ++h) {
      for (int sh = 0; sh < 4; ++sh) {
        const int k = h * 4 + sh;  // bit of hmask
        for (int half_group = 0; half_group < 2; ++half_group) {
          const int g = h * 8 + sh * 2 + half_group;
          const int low = g < 8 ? sc[g] & 0x0f : sc[g - 8] >> 4;
          const int high = (sc[8 + g % 4] >> (2 * (g / 4))) & 3;
          const float dl = d * static_cast<float>(static_cast<std::int8_t>(low | (high << 4)) - 32);
          const int l0 = half_group * 16;
          float* out = o + g * 16;
          for (int l = 0; l < 16; ++l) {
            const int ql = (qs[h * 32 + l0 + l] >> (2 * sh)) & 3;
            const int hb = (hmask[l0 + l] >> k) & 1;
            out[l] = dl * static_cast<float>(ql - ((hb ^ 1) << 2));
          }
        }
      }
    }
  }
}

// The 6-bit scales and minimums of Q4_K and Q5_K sub-blocks.
inline void scale_min_k4(const std::uint8_t* s, int j, int& sc, int& m) {
  if (j < 4) {
    sc = s[j] & 63;
    m = s[j + 4] & 63;
  } else {
    sc = (s[j + 4] & 0x0f) | ((s[j - 4] >> 2) & 0x30);
    m = (s[j + 4] >> 4) | ((s[j] >> 2) & 0x30);
  }
}

// Q4_K and Q5_K: eight groups of 32 four-bit quants with 6-bit scales and minimums; Q5_K
// adds a fifth bit per quant from a 32-byte mask ahead of the quants.
template <bool kFifthBit>
[[gnu::always_inline]] inline void k4_run(const std::uint8_t* s, float* o, std::int64_t n) {
  constexpr std::int64_t kBytes = kFifthBit ? 176 : 144;
  for (std::int64_t b = 0; b < n; ++b, s += kBytes, o += 256) {
    const float d = half(ld16(s)), dmin = half(ld16(s + 2));
    const std::uint8_t* scales = s + 4;
    const std::uint8_t* qh = s + 16;
    const std::uint8_t* qs = s + (kFifthBit ? 48 : 16);
    for (int c = 0; c < 4; ++c) {
      for (int sh = 0; sh < 2; ++sh) {
        const int g = c * 2 + sh;
        int sc, m;
        scale_min_k4(scales, g, sc, m);
        const float dl = d * static_cast<float>(sc), ml = dmin * static_cast<float>(m);
        const std::uint8_t* q = qs + c * 32;
        float* out = o + g * 32;
        for (int l = 0; l < 32; ++l) {
          int v = (q[l] >> (4 * sh)) & 0x0f;
          if constexpr (kFifthBit) v |= ((qh[l] >> g) & 1) << 4;
          out[l] = dl * static_cast<float>(v) - ml;
        }
      }
    }
  }
}

VELMORA_KERNEL void q4_k_run(const std::uint8_t* s, float* o, std::int64_t n) {
  k4_run<false>(s, o, n);
}
VELMORA_KERNEL void q5_k_run(const std::uint8_t* s, float* o, std::int64_t n) {
  k4_run<true>(s, o, n);
}

VELMORA_KERNEL void q6_k_run(const std::uint8_t* s, float* o, std::int64_t n) {
  for (std::int64_t b = 0; b < n; ++b, s += 210, o += 256) {
    const std::uint8_t* ql = s;
    const std::uint8_t* qh = s + 128;
    const std::uint8_t* sc = s + 192;
    const float d = half(ld16(s + 208));
    for (int h = 0; h < 2; ++h) {
      for (int k = 0; k < 4; ++k) {  // 32-element quarter of the half
        for (int half_group = 0; half_group < 2; ++half_group) {
          const int r0 = k * 32 + half_group * 16;  // within the half
          const int g = h * 8 + k * 2 + half_group;
          const float dl = d * static_cast<float>(static_cast<std::int8_t>(sc[g]));
          const std::uint8_t* lo = ql + h * 64 + (r0 % 64);
          const std::uint8_t* hi = qh + h * 32 + (r0 % 32);
          const int lshift = 4 * (r0 / 64), hshift = 2 * k;
          float* out = o + h * 128 + r0;
          for (int l = 0; l < 16; ++l) {
            const int v = ((lo[l] >> lshift) & 0x0f) | (((hi[l] >> hshift) & 3) << 4);
            out[l] = dl * static_cast<float>(static_cast<std::int8_t>(v) - 32);
          }
        }
      }
    }
  }
}

VELMORA_KERNEL void iq4_xs_run(const std::uint8_t* s, float* o, std::int64_t n) {
  for (std::int64_t b = 0; b < n; ++b, s += 136, o += 256) {
    const float d = half(ld16(s));
    const std::uint32_t scales_h = ld16(s + 2);
    const std::uint8_t* scales_l = s + 4;
    const std::uint8_t* qs = s + 8;
    for (int j = 0; j < 8; ++j) {
      const int low = (scales_l[j / 2] >> (4 * (j % 2))) & 0x0f;
      const int high = static_cast<int>((scales_h >> (2 * j)) & 3u);
      const float dl = d * static_cast<float>(static_cast<std::int8_t>(low | (high << 4)) - 32);
      const std::uint8_t* q = qs + j * 16;
      float* out = o + j * 32;
      for (int l = 0; l < 16; ++l) {
        out[l] = dl * static_cast<float>(kNonLinear[q[l] & 0x0f]);
        out[l + 16] = dl * static_cast<float>(kNonLinear[q[l] >> 4]);
      }
    }
  }
}

using Kernel = void (*)(const std::uint8_t*, float*, std::int64_t);

Kernel kernel_of(std::uint32_t id) noexcept {
  switch (id) {
    case kF32: return f32_run;
#ifdef VELMORA_F16C
    case kF16: {
      static const bool f16c = __builtin_cpu_supports("f16c");
      return f16c ? f16_run_f16c : f16_run;
    }
#else
    case kF16: return f16_run;
#endif
    case kBF16: return bf16_run;
    case kF64: return f64_run;
    case kQ4_0: return q4_0_run;
    case kQ4_1: return q4_1_run;
    case kQ5_0: return q5_0_run;
    case kQ5_1: return q5_1_run;
    case kQ8_0: return q8_0_run;
    case kQ2_K: return q2_k_run;
    case kQ3_K: return q3_k_run;
    case kQ4_K: return q4_k_run;
    case kQ5_K: return q5_k_run;
    case kQ6_K: return q6_k_run;
    case kIQ4_NL: return iq4_nl_run;
    case kIQ4_XS: return iq4_xs_run;
    case kMXFP4: return mxfp4_run;
    default: return nullptr;
  }
}

using OutKernel = void (*)(const float*, std::uint8_t*, std::int64_t);

OutKernel out_kernel_of(std::uint32_t id) noexcept {
  switch (id) {
    case kF32: return f32_out;
    case kF16: return f16_out;
    case kBF16: return bf16_out;
    default: return nullptr;
  }
}

}  // namespace

const GgmlType* ggml_type(std::uint32_t id) noexcept {
  for (const GgmlType& t : kTypes) {
    if (t.id == id) return &t;
  }
  return nullptr;
}

bool can_dequantize(std::uint32_t id) noexcept { return kernel_of(id) != nullptr; }

bool is_element_type(std::uint32_t id) noexcept {
  switch (id) {
    case kF32:
    case kF16:
    case kF64:
    case kI8:
    case kI16:
    case kI32:
    case kI64: return true;
    default: return false;
  }
}

void dequantize(std::uint32_t id, const std::uint8_t* src, float* dst, std::int64_t n_blocks) {
  const Kernel kernel = kernel_of(id);
  const GgmlType* type = ggml_type(id);
  if (kernel == nullptr || type == nullptr) {
    raise_value("no native dequantization for type " +
                (type != nullptr ? std::string(type->name) : std::to_string(id)));
  }
  // 4 MiB of output per chunk: a millisecond or two of work, so Ctrl-C is answered at once
  // while the poll (which takes the GIL) stays rare enough not to stall other threads.
  const std::int64_t chunk = std::max<std::int64_t>(1, (std::int64_t{1} << 20) / type->block);
  for (std::int64_t i = 0; i < n_blocks; i += chunk) {
    check_interrupt();
    const std::int64_t m = std::min(chunk, n_blocks - i);
    kernel(src + i * type->bytes, dst + i * type->block, m);
  }
}

bool can_quantize(std::uint32_t id) noexcept { return out_kernel_of(id) != nullptr; }

void quantize(std::uint32_t id, const float* src, std::uint8_t* dst, std::int64_t n) {
  const OutKernel kernel = out_kernel_of(id);
  if (kernel == nullptr) {
    const GgmlType* type = ggml_type(id);
    raise_value("no native conversion from float32 to type " +
                (type != nullptr ? std::string(type->name) : std::to_string(id)));
  }
  const GgmlType& type = *ggml_type(id);
  constexpr std::int64_t kChunk = std::int64_t{1} << 20;  // elements between Ctrl-C polls
  for (std::int64_t i = 0; i < n; i += kChunk) {
    check_interrupt();
    kernel(src + i, dst + i * type.bytes, std::min(kChunk, n - i));
  }
}

}  // namespace velmora::core
