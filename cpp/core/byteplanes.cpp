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

// Where the lower bytes of each word go: grouped by first-plane byte, and within a group by
// word index modulo kWays, then in word order (a stable counting sort on (byte, i % kWays)).
// Consecutive words then follow kWays independent cursors, which the way back advances in
// parallel instead of as one chain of increments.
constexpr int kWays = 4;

using Cursors = std::int64_t[kWays][256];

void group_starts(const std::uint8_t* first, std::int64_t count, Cursors& next) noexcept {
  std::int64_t counts[kWays][256] = {};
  for (std::int64_t i = 0; i < count; ++i) ++counts[i % kWays][first[i]];
  std::int64_t at = 0;
  for (int v = 0; v < 256; ++v) {
    for (int r = 0; r < kWays; ++r) {
      next[r][v] = at;
      at += counts[r][v];
    }
  }
}

template <class Word>
void split(const std::uint8_t* tuned, const std::uint8_t* base, std::int64_t count,
           std::uint8_t* planes) noexcept {
  constexpr int kWidth = sizeof(Word);
  constexpr int kTop = 8 * (kWidth - 1);
  for (std::int64_t i = 0; i < count; ++i) {
    const Word w = load<Word>(tuned, i) ^ (base ? load<Word>(base, i) : Word{0});
    planes[i] = static_cast<std::uint8_t>(w >> kTop);
  }
  if constexpr (kWidth > 1) {
    Cursors next;
    group_starts(planes, count, next);
    for (std::int64_t i = 0; i < count; ++i) {
      const Word w = load<Word>(tuned, i) ^ (base ? load<Word>(base, i) : Word{0});
      const std::int64_t at = next[i % kWays][planes[i]]++;
      for (int p = 1; p < kWidth; ++p) {
        planes[p * count + at] = static_cast<std::uint8_t>(w >> (8 * (kWidth - 1 - p)));
      }
    }
  }
}

template <class Word>
void join(const std::uint8_t* const* planes, const std::uint8_t* base, std::int64_t count,
          std::uint8_t* out) noexcept {
  constexpr int kWidth = sizeof(Word);
  constexpr int kTop = 8 * (kWidth - 1);
  const std::uint8_t* first = planes[0];
  Cursors next;
  if constexpr (kWidth > 1) group_starts(first, count, next);
  auto word = [&](std::int64_t i, std::int64_t* cursor) noexcept {
    Word w = static_cast<Word>(static_cast<Word>(first[i]) << kTop);
    if constexpr (kWidth > 1) {
      const std::int64_t at = cursor[first[i]]++;
      for (int p = 1; p < kWidth; ++p) {
        w = static_cast<Word>(
            w | static_cast<Word>(static_cast<Word>(planes[p][at]) << (8 * (kWidth - 1 - p))));
      }
    }
    if (base) w ^= load<Word>(base, i);
    std::memcpy(out + i * kWidth, &w, sizeof(Word));
  };
  std::int64_t i = 0;
  for (; i + kWays <= count; i += kWays) {
    for (int r = 0; r < kWays; ++r) word(i + r, next[r]);
  }
  for (; i < count; ++i) word(i, next[i % kWays]);
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
