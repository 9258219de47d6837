#include "byteplanes.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace velmora::core {

namespace {

template <class Word>
Word load(const std::uint8_t* p, std::int64_t i) noexcept {
  Word w;
  std::memcpy(&w, p + i * static_cast<std::int64_t>(sizeof(Word)), sizeof(Word));
  return w;
}

template <class Word>
Word xor_word(const std::uint8_t* tuned, const std::uint8_t* base, std::int64_t i) noexcept {
  return load<Word>(tuned, i) ^ (base ? load<Word>(base, i) : Word{0});
}

std::int64_t zeros_in(const std::uint8_t* first, std::int64_t count) noexcept {
  std::int64_t zeros = 0;
  for (std::int64_t i = 0; i < count; ++i) zeros += first[i] == 0;
  return zeros;
}

// Where word i's lower bytes go in the zero-first order, given the zeros of the first plane
// before it (seen) and in all (zeros): words of unchanged sign and exponent in word order, then
// the others in word order. One counter, no table: the way back runs at memory speed.
inline std::int64_t zero_first_slot(bool zero, std::int64_t i, std::int64_t seen,
                                    std::int64_t zeros) noexcept {
  return zero ? seen : zeros + (i - seen);
}

template <class Word>
void split(const std::uint8_t* tuned, const std::uint8_t* base, std::int64_t count,
           std::uint8_t* planes) noexcept {
  constexpr int kWidth = sizeof(Word);
  constexpr int kTop = 8 * (kWidth - 1);
  for (std::int64_t i = 0; i < count; ++i) {
    planes[i] = static_cast<std::uint8_t>(xor_word<Word>(tuned, base, i) >> kTop);
  }
  if constexpr (kWidth > 1) {
    const std::int64_t zeros = zeros_in(planes, count);
    std::int64_t seen = 0;
    for (std::int64_t i = 0; i < count; ++i) {
      const Word w = xor_word<Word>(tuned, base, i);
      const bool zero = planes[i] == 0;
      const std::int64_t at = zero_first_slot(zero, i, seen, zeros);
      seen += zero;
      for (int p = 1; p < kWidth; ++p) {
        planes[p * count + at] = static_cast<std::uint8_t>(w >> (8 * (kWidth - 1 - p)));
      }
    }
  }
}

template <class Word>
void store(std::uint8_t* out, const std::uint8_t* base, std::int64_t i, Word w) noexcept {
  if (base) w ^= load<Word>(base, i);
  std::memcpy(out + i * static_cast<std::int64_t>(sizeof(Word)), &w, sizeof(Word));
}

// (The first records' order, below, gathers each word's bytes at its slot.)
template <class Word>
Word gather(const std::uint8_t* const* planes, std::uint8_t top, std::int64_t at) noexcept {
  constexpr int kWidth = sizeof(Word);
  Word w = static_cast<Word>(static_cast<Word>(top) << (8 * (kWidth - 1)));
  for (int p = 1; p < kWidth; ++p) {
    w = static_cast<Word>(
        w | static_cast<Word>(static_cast<Word>(planes[p][at]) << (8 * (kWidth - 1 - p))));
  }
  return w;
}

// One lower plane in word order, for the words [0, n) of a block whose first-plane bytes are
// `first`: the zero words' bytes come from `zero` on, the others' from `other` on (both runs
// hold at least as many bytes as the block takes from them). Returns the zero words' count.
std::int64_t merge_scalar(const std::uint8_t* first, std::int64_t n, const std::uint8_t* zero,
                          const std::uint8_t* other, std::uint8_t* out) noexcept {
  std::int64_t seen = 0;
  for (std::int64_t j = 0; j < n; ++j) {
    const bool z = first[j] == 0;
    out[j] = *(z ? zero + seen : other + (j - seen));
    seen += z;
  }
  return seen;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELMORA_MERGE_SIMD 1

// For each mask of eight zero flags: where each of the eight bytes comes from in a register
// holding the next eight zero-run bytes (0-7) then the next eight other-run bytes (8-15).
struct MergeTable {
  alignas(16) std::uint8_t at[256][16];
  constexpr MergeTable() : at{} {
    for (int m = 0; m < 256; ++m) {
      int z = 0, o = 0;
      for (int j = 0; j < 8; ++j)
        at[m][j] = static_cast<std::uint8_t>((m >> j) & 1 ? z++ : 8 + o++);
      for (int j = 8; j < 16; ++j) at[m][j] = 0x80;
    }
  }
};
constexpr MergeTable kMerge;

// merge_scalar, eight words per shuffle while both runs have eight bytes left to read.
__attribute__((target("ssse3,popcnt"))) std::int64_t merge_ssse3(
    const std::uint8_t* first, std::int64_t n, const std::uint8_t* zero,
    const std::uint8_t* zero_end, const std::uint8_t* other, const std::uint8_t* other_end,
    std::uint8_t* out) noexcept {
  std::int64_t j = 0, seen = 0;
  const __m128i nil = _mm_setzero_si128();
  for (; j + 8 <= n; j += 8) {
    const std::uint8_t* z = zero + seen;
    const std::uint8_t* o = other + (j - seen);
    if (zero_end - z < 8 || other_end - o < 8) break;
    const __m128i f = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(first + j));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(f, nil))) & 0xFFu;
    const __m128i both = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(z)),
                                            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(o)));
    const __m128i picked =
        _mm_shuffle_epi8(both, _mm_load_si128(reinterpret_cast<const __m128i*>(kMerge.at[mask])));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j), picked);
    seen += __builtin_popcount(mask);
  }
  return seen + merge_scalar(first + j, n - j, zero + seen, other + (j - seen), out + j);
}

bool merge_simd() noexcept {
  static const bool ok = __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("popcnt");
  return ok;
}
#endif

std::int64_t merge(const std::uint8_t* first, std::int64_t n, const std::uint8_t* zero,
                   const std::uint8_t* zero_end, const std::uint8_t* other,
                   const std::uint8_t* other_end, std::uint8_t* out) noexcept {
#ifdef VELMORA_MERGE_SIMD
  if (merge_simd()) return merge_ssse3(first, n, zero, zero_end, other, other_end, out);
#endif
  (void)zero_end;
  (void)other_end;
  return merge_scalar(first, n, zero, other, out);
}

// Blocks of words: each lower plane is merged back into word order in a small buffer, then
// the words are assembled (a loop the compiler vectorises).
constexpr std::int64_t kBlock = 2048;

template <class Word>
void assemble(const std::uint8_t* __restrict first, const std::uint8_t (*__restrict lows)[kBlock],
              const std::uint8_t* __restrict base, std::int64_t n,
              std::uint8_t* __restrict out) noexcept {
  constexpr int kWidth = sizeof(Word);
  for (std::int64_t j = 0; j < n; ++j) {
    Word w = static_cast<Word>(static_cast<Word>(first[j]) << (8 * (kWidth - 1)));
    for (int p = 1; p < kWidth; ++p) {
      w = static_cast<Word>(
          w | static_cast<Word>(static_cast<Word>(lows[p - 1][j]) << (8 * (kWidth - 1 - p))));
    }
    if (base) w ^= load<Word>(base, j);
    std::memcpy(out + j * kWidth, &w, sizeof(Word));
  }
}

bool all_zero(const std::uint8_t* plane, std::int64_t count) noexcept {
  std::int64_t i = 0;
  for (; i + 64 <= count; i += 64) {  // a noisy plane stops at its first block
    std::uint8_t any = 0;
    for (int j = 0; j < 64; ++j) any |= plane[i + j];
    if (any) return false;
  }
  for (; i < count; ++i) {
    if (plane[i]) return false;
  }
  return true;
}

template <class Word>
void join_zero_first(const std::uint8_t* const* planes, const std::uint8_t* base,
                     std::int64_t count, std::uint8_t* out) noexcept {
  constexpr int kWidth = sizeof(Word);
  constexpr int kLower = kWidth > 1 ? kWidth - 1 : 1;
  const std::uint8_t* first = planes[0];
  const std::int64_t zeros = kWidth > 1 ? zeros_in(first, count) : 0;
  std::uint8_t lows[kLower][kBlock];
  // Planes of zeros (the low half of 16-bit values held as float32) need no merging.
  bool zero[kLower] = {};
  for (int p = 1; p < kWidth; ++p) {
    zero[p - 1] = all_zero(planes[p], count);
    if (zero[p - 1]) std::memset(lows[p - 1], 0, sizeof(lows[p - 1]));
  }
  std::int64_t seen = 0;
  for (std::int64_t start = 0; start < count; start += kBlock) {
    const std::int64_t n = std::min(kBlock, count - start);
    std::int64_t taken = -1;
    for (int p = 1; p < kWidth; ++p) {
      if (zero[p - 1]) continue;
      taken = merge(first + start, n, planes[p] + seen, planes[p] + zeros,
                    planes[p] + zeros + (start - seen), planes[p] + count, lows[p - 1]);
    }
    seen += taken < 0 ? 0 : taken;  // (unused when every lower plane is zero)
    assemble<Word>(first + start, lows, base ? base + start * kWidth : nullptr, n,
                   out + start * kWidth);
  }
}

// The order of the first stored records: lower bytes grouped by first-plane byte, within a
// group by word index modulo 4, then in word order (a stable counting sort on (byte, i % 4)).
// Read only; new records are written zero-first, which stores as small and reads faster.
constexpr int kWays = 4;

template <class Word>
void join_by_first_byte(const std::uint8_t* const* planes, const std::uint8_t* base,
                        std::int64_t count, std::uint8_t* out) noexcept {
  const std::uint8_t* first = planes[0];
  std::int64_t next[kWays][256] = {};
  for (std::int64_t i = 0; i < count; ++i) ++next[i % kWays][first[i]];
  std::int64_t at = 0;
  for (int v = 0; v < 256; ++v) {
    for (int r = 0; r < kWays; ++r) {
      const std::int64_t n = next[r][v];
      next[r][v] = at;
      at += n;
    }
  }
  for (std::int64_t i = 0; i < count; ++i) {
    const std::int64_t slot = sizeof(Word) > 1 ? next[i % kWays][first[i]]++ : 0;
    store<Word>(out, base, i, gather<Word>(planes, first[i], slot));
  }
}

template <class Word>
void join(const std::uint8_t* const* planes, const std::uint8_t* base, std::int64_t count,
          PlaneOrder order, std::uint8_t* out) noexcept {
  if (order == PlaneOrder::kZeroFirst) {
    join_zero_first<Word>(planes, base, count, out);
  } else {
    join_by_first_byte<Word>(planes, base, count, out);
  }
}

}  // namespace

void split_planes(const std::uint8_t* tuned, const std::uint8_t* base, std::int64_t count,
                  int width, std::uint8_t* planes) noexcept {
  switch (width) {
    case 1: split<std::uint8_t>(tuned, base, count, planes); break;
    case 2: split<std::uint16_t>(tuned, base, count, planes); break;
    case 4: split<std::uint32_t>(tuned, base, count, planes); break;
    default: split<std::uint64_t>(tuned, base, count, planes); break;
  }
}

void join_planes(const std::uint8_t* const* planes, const std::uint8_t* base, std::int64_t count,
                 int width, PlaneOrder order, std::uint8_t* out) noexcept {
  switch (width) {
    case 1: join<std::uint8_t>(planes, base, count, order, out); break;
    case 2: join<std::uint16_t>(planes, base, count, order, out); break;
    case 4: join<std::uint32_t>(planes, base, count, order, out); break;
    default: join<std::uint64_t>(planes, base, count, order, out); break;
  }
}

}  // namespace velmora::core
