// The exact tier's transform: a fine-tuned tensor's bits XOR its base tensor's bits, regrouped
// into byte planes so that a general-purpose compressor sees alike bytes together (the
// sign/exponent bytes of small deltas are mostly zero, the low mantissa bytes are noise).
#pragma once

#include <cstdint>

namespace velmora::core {

// Words of `width` bytes (1, 2, 4 or 8), little-endian. planes (count * width bytes) receives
// plane p = byte (width - 1 - p) of every word of tuned XOR base, most significant byte first;
// base may be null (the tuned words themselves). The first plane (sign and exponent bits) is
// in word order; the others hold first the words whose first-plane byte is zero (sign and
// exponent unchanged), then the others, each in word order, so that the mantissa bytes of
// small changes lie together (zstd's literal tables then fit each kind).
void split_planes(const std::uint8_t* tuned, const std::uint8_t* base, std::int64_t count,
                  int width, std::uint8_t* planes) noexcept;

// How the lower planes are ordered: zero-first as split_planes writes them, or grouped by the
// first plane's byte (then by word index modulo 4, then in word order) as the first exact
// records were written.
enum class PlaneOrder { kZeroFirst, kByFirstByte };

// The inverse: out (count words) = the words of the planes XOR base (base may be null);
// planes[p] points at plane p (count bytes, in `order`), wherever each lies.
void join_planes(const std::uint8_t* const* planes, const std::uint8_t* base, std::int64_t count,
                 int width, PlaneOrder order, std::uint8_t* out) noexcept;

}  // namespace velmora::core
