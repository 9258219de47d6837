#include "byteplanes.hpp"

#include <cstring>

namespace velmora::core {

namespace {

template <class Word>
Word load(const std::uint8_t* p, std::int64_t i) noexcept {
  Word w;
  std::memcpy(&w, p + i * static_cast<std::int64_t>(sizeof(Word)), sizeof(Word));
  return w;
}

template <class Word>
void split(const std::uint8_t* tuned, const std::uint8_t* base, std::int64_t count,
           std::uint8_t* planes) noexcept {
  constexpr int kWidth = sizeof(Word);
  for (std::int64_t i = 0; i < count; ++i) {
    const Word w = load<Word>(tuned, i) ^ (base ? load<Word>(base, i) : Word{0});
    for (int p = 0; p < kWidth; ++p) {
      planes[p * count + i] = static_cast<std::uint8_t>(w >> (8 * (kWidth - 1 - p)));
    }
  }
}

template <class Word>
void join(const std::uint8_t* const* planes, const std::uint8_t* base, std::int64_t count,
          std::uint8_t* out) noexcept {
  constexpr int kWidth = sizeof(Word);
  // Word by word into a small block, then one copy out: the loop over planes stays free of
  // aliasing with `out`, so it vectorises.
  constexpr std::int64_t kBlock = 1024;
  Word block[kBlock];
  for (std::int64_t start = 0; start < count; start += kBlock) {
    const std::int64_t n = count - start < kBlock ? count - start : kBlock;
    for (std::int64_t i = 0; i < n; ++i) block[i] = 0;
    for (int p = 0; p < kWidth; ++p) {
      const std::uint8_t* __restrict plane = planes[p] + start;
      const int shift = 8 * (kWidth - 1 - p);
      for (std::int64_t i = 0; i < n; ++i) {
        block[i] =
            static_cast<Word>(block[i] | static_cast<Word>(static_cast<Word>(plane[i]) << shift));
      }
    }
    if (base) {
      Word b[kBlock];
      std::memcpy(b, base + start * kWidth, static_cast<std::size_t>(n) * sizeof(Word));
      for (std::int64_t i = 0; i < n; ++i) block[i] ^= b[i];
    }
    std::memcpy(out + start * kWidth, block, static_cast<std::size_t>(n) * sizeof(Word));
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
                 int width, std::uint8_t* out) noexcept {
  switch (width) {
    case 1: join<std::uint8_t>(planes, base, count, out); break;
    case 2: join<std::uint16_t>(planes, base, count, out); break;
    case 4: join<std::uint32_t>(planes, base, count, out); break;
    default: join<std::uint64_t>(planes, base, count, out); break;
  }
}

}  // namespace velmora::core
