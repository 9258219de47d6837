// SHA-256 over a contiguous byte range. Pure C++ (no Python); safe to call without the GIL.
// On x86-64 CPUs with the SHA extensions a hardware path is chosen once at run time; the
// portable path is kept and both produce the same digests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora::sha256 {

using Digest = std::array<std::uint8_t, 32>;

// Digest of `len` bytes at `data` (data may be null when len is 0), with the fastest path
// this CPU supports.
Digest hash(const void* data, std::size_t len) noexcept;

// The portable path, whatever the CPU.
Digest hash_portable(const void* data, std::size_t len) noexcept;

// True when the hardware path can run on this CPU.
bool hardware_available() noexcept;

// The hardware path; only call it when hardware_available() is true.
Digest hash_hardware(const void* data, std::size_t len) noexcept;

// 64 lowercase hexadecimal characters of a digest, written to out[0..63].
void to_hex(const Digest& d, char* out) noexcept;

}  // namespace velmora::sha256
