#include "sha256.hpp"

#include <cstring>
#include <utility>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELMORA_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace velmora::core {

namespace {

// Compresses n consecutive 64-byte blocks of each of L messages into its state.
template <int L>
using Compress = void (*)(std::uint32_t* const* states, const std::uint8_t* const* blocks,
                          std::size_t n);

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t kInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

void compress_portable(std::uint32_t* state, const std::uint8_t* p, std::size_t n) {
  std::uint32_t w[64];
  for (; n > 0; --n, p += 64) {
    for (int i = 0; i < 16; ++i) w[i] = load_be32(p + 4 * i);
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t t1 =
          h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
      const std::uint32_t t2 =
          (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#ifdef VELMORA_SHA256_X86

#define VELMORA_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// Four rounds of group I (rounds 4I..4I+3), interleaved with the message schedule: the
// word vector for group I+1 is finished here and the first half of a later one started.
template <int I>
VELMORA_SHA_TARGET __attribute__((always_inline)) inline void group(__m128i& s0, __m128i& s1,
                                                                    __m128i (&m)[4]) {
  __m128i msg =
      _mm_add_epi32(m[I % 4], _mm_load_si128(reinterpret_cast<const __m128i*>(kRound) + I));
  s1 = _mm_sha256rnds2_epu32(s1, s0, msg);
  if constexpr (I >= 3 && I <= 14) {
    __m128i next = _mm_add_epi32(m[(I + 1) % 4], _mm_alignr_epi8(m[I % 4], m[(I + 3) % 4], 4));
    m[(I + 1) % 4] = _mm_sha256msg2_epu32(next, m[I % 4]);
  }
  msg = _mm_shuffle_epi32(msg, 0x0E);
  s0 = _mm_sha256rnds2_epu32(s0, s1, msg);
  if constexpr (I >= 1 && I <= 12) m[(I + 3) % 4] = _mm_sha256msg1_epu32(m[(I + 3) % 4], m[I % 4]);
}

// The round instructions want the state as ABEF and CDGH.
struct Lane {
  __m128i s0, s1;
};

VELMORA_SHA_TARGET __attribute__((always_inline)) inline Lane load_lane(const std::uint32_t* st) {
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(st));
  __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(st + 4));
  tmp = _mm_shuffle_epi32(tmp, 0xB1);
  s1 = _mm_shuffle_epi32(s1, 0x1B);
  return {_mm_alignr_epi8(tmp, s1, 8), _mm_blend_epi16(s1, tmp, 0xF0)};
}

VELMORA_SHA_TARGET __attribute__((always_inline)) inline void store_lane(const Lane& l,
                                                                         std::uint32_t* st) {
  const __m128i tmp = _mm_shuffle_epi32(l.s0, 0x1B);
  const __m128i s1 = _mm_shuffle_epi32(l.s1, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(st), _mm_blend_epi16(tmp, s1, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(st + 4), _mm_alignr_epi8(s1, tmp, 8));
}

// All 64 rounds of L independent messages, group by group, so that the round
// instructions of one message fill the latency of the other's.
template <int I, int L>
VELMORA_SHA_TARGET __attribute__((always_inline)) inline void group_lanes(Lane (&lane)[L],
                                                                          __m128i (&m)[L][4]) {
  for (int l = 0; l < L; ++l) group<I>(lane[l].s0, lane[l].s1, m[l]);
}

template <int L, int... I>
VELMORA_SHA_TARGET __attribute__((always_inline)) inline void all_groups(
    Lane (&lane)[L], __m128i (&m)[L][4], std::integer_sequence<int, I...>) {
  (group_lanes<I, L>(lane, m), ...);
}

template <int L>
VELMORA_SHA_TARGET void compress_hardware(std::uint32_t* const* states,
                                          const std::uint8_t* const* blocks, std::size_t n) {
  const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  Lane lane[L];
  const std::uint8_t* p[L];
  for (int l = 0; l < L; ++l) {
    lane[l] = load_lane(states[l]);
    p[l] = blocks[l];
  }
  for (; n > 0; --n) {
    Lane save[L];
    __m128i m[L][4];
    for (int l = 0; l < L; ++l) {
      save[l] = lane[l];
      for (int i = 0; i < 4; ++i)
        m[l][i] =
            _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p[l]) + i), swap);
      p[l] += 64;
    }
    all_groups<L>(lane, m, std::make_integer_sequence<int, 16>{});
    for (int l = 0; l < L; ++l) {
      lane[l].s0 = _mm_add_epi32(lane[l].s0, save[l].s0);
      lane[l].s1 = _mm_add_epi32(lane[l].s1, save[l].s1);
    }
  }
  for (int l = 0; l < L; ++l) store_lane(lane[l], states[l]);
}

bool cpu_has_sha() noexcept {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return ssse3 && sse41 && (b & (1u << 29)) != 0;
}

#else

bool cpu_has_sha() noexcept { return false; }

#endif

template <int L>
void compress_portable_lanes(std::uint32_t* const* states, const std::uint8_t* const* blocks,
                             std::size_t n) {
  for (int l = 0; l < L; ++l) compress_portable(states[l], blocks[l], n);
}

// L messages of one length: the full blocks straight from the input, then the padded tail.
template <int L>
void run(Compress<L> compress, const void* const* data, std::size_t len,
         Sha256Digest* out) noexcept {
  std::uint32_t state[L][8];
  std::uint32_t* states[L];
  const std::uint8_t* p[L];
  for (int l = 0; l < L; ++l) {
    std::memcpy(state[l], kInit, sizeof state[l]);
    states[l] = state[l];
    p[l] = static_cast<const std::uint8_t*>(data[l]);
  }
  const std::size_t full = len / 64;
  if (full > 0) compress(states, p, full);
  // Padding: a one bit, zeros, and the message length in bits, big-endian.
  std::uint8_t tail[L][128] = {};
  const std::size_t rem = len % 64;
  const std::size_t tail_blocks = rem < 56 ? 1 : 2;
  const std::uint64_t bits = static_cast<std::uint64_t>(len) << 3;
  for (int l = 0; l < L; ++l) {
    if (rem > 0) std::memcpy(tail[l], p[l] + full * 64, rem);
    tail[l][rem] = 0x80;
    for (int i = 0; i < 8; ++i)
      tail[l][tail_blocks * 64 - 1 - static_cast<std::size_t>(i)] =
          static_cast<std::uint8_t>(bits >> (8 * i));
    p[l] = tail[l];
  }
  compress(states, p, tail_blocks);
  for (int l = 0; l < L; ++l) {
    for (std::size_t i = 0; i < 8; ++i) {
      out[l][4 * i] = static_cast<std::uint8_t>(state[l][i] >> 24);
      out[l][4 * i + 1] = static_cast<std::uint8_t>(state[l][i] >> 16);
      out[l][4 * i + 2] = static_cast<std::uint8_t>(state[l][i] >> 8);
      out[l][4 * i + 3] = static_cast<std::uint8_t>(state[l][i]);
    }
  }
}

template <int L>
Compress<L> choose(Sha256Path path) noexcept {
#ifdef VELMORA_SHA256_X86
  static const bool has = cpu_has_sha();
  if (path != Sha256Path::Portable && has) return compress_hardware<L>;
#else
  (void)path;
#endif
  return compress_portable_lanes<L>;
}

}  // namespace

bool sha256_hardware_available() noexcept {
  static const bool has = cpu_has_sha();
  return has;
}

Sha256Digest sha256(const void* data, std::size_t len, Sha256Path path) noexcept {
  Sha256Digest out;
  run<1>(choose<1>(path), &data, len, &out);
  return out;
}

void sha256_many(const void* const* data, std::size_t count, std::size_t len, Sha256Digest* out,
                 Sha256Path path) noexcept {
  // Three interleaved messages measured fastest; four run out of vector registers.
  for (; count >= 3; count -= 3, data += 3, out += 3) run<3>(choose<3>(path), data, len, out);
  if (count == 2) run<2>(choose<2>(path), data, len, out);
  if (count == 1) run<1>(choose<1>(path), data, len, out);
}

void to_hex(const Sha256Digest& d, char* out) noexcept {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < d.size(); ++i) {
    out[2 * i] = kDigits[d[i] >> 4];
    out[2 * i + 1] = kDigits[d[i] & 0x0f];
  }
}

}  // namespace velmora::core
