// SHA-256 over a contiguous byte range. Pure C++ (no Python); safe to call without the GIL.
// On x86-64 CPUs with the SHA extensions a hardware path is chosen once at run time; the
// portable path is kept and both produce the same digests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora::core {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Which implementation runs: the fastest this CPU supports, the portable one whatever
// the CPU, or the hardware one (the portable one when the CPU lacks it).
enum class Sha256Path { Best, Portable, Hardware };

// Digest of `len` bytes at `data` (data may be null when len is 0).
Sha256Digest sha256(const void* data, std::size_t len, Sha256Path path = Sha256Path::Best) noexcept;

// Digests of `count` messages of the same length, written to out[0..count-1]. The
// hardware path hashes several at once, interleaved, which hides the latency of its
// round instructions.
void sha256_many(const void* const* data, std::size_t count, std::size_t len, Sha256Digest* out,
                 Sha256Path path = Sha256Path::Best) noexcept;

// True when the hardware path can run on this CPU.
bool sha256_hardware_available() noexcept;

// 64 lowercase hexadecimal characters of a digest, written to out[0..63].
void to_hex(const Sha256Digest& d, char* out) noexcept;

}  // namespace velmora::core
