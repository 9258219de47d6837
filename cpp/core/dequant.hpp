// Block dequantization of GGUF tensor data to float32, the way back to the 16-bit float
// types, and the table of ggml element types.
//
// Every kernel reproduces the reference float32 operation order (scale products rounded to
// float32 before they meet the quants, subtraction of the offset last), so results are equal
// bit for bit to the block decoders of the gguf package, NaN and infinity included.
#pragma once

#include <cstdint>

namespace velmora::core {

// One ggml element type: its id in GGUF files, its name, and its block geometry (elements
// per block and bytes per block; 1 element per "block" for plain element types).
struct GgmlType {
  std::uint32_t id;
  const char* name;
  std::uint32_t block;
  std::uint32_t bytes;
};

// The type with this id, or nullptr for an id this build does not know.
const GgmlType* ggml_type(std::uint32_t id) noexcept;

// True for the types dequantize() converts natively.
bool can_dequantize(std::uint32_t id) noexcept;

// True for the types a reader hands out as arrays of their own elements (floats and
// integers) rather than as raw block bytes.
bool is_element_type(std::uint32_t id) noexcept;

// Converts n_blocks whole blocks of type `id` at src (any alignment) into
// n_blocks * block floats at dst. Checks for Ctrl-C between chunks (throws Interrupted);
// an id without a native kernel throws a ValueError-kind Error.
void dequantize(std::uint32_t id, const std::uint8_t* src, float* dst, std::int64_t n_blocks);

// True for the types quantize() writes: F32, F16 and BF16.
bool can_quantize(std::uint32_t id) noexcept;

// Converts n floats at src into n little-endian elements of type `id` at dst (any
// alignment). F16 and BF16 round to nearest, ties to even, in integer arithmetic (no
// dependence on the floating-point environment): values beyond the largest finite one
// become infinities, tiny ones subnormals or signed zeros, and a NaN stays a quiet NaN with
// its sign and the leading bits of its payload. Checks for Ctrl-C between chunks (throws
// Interrupted); other ids throw a ValueError-kind Error.
void quantize(std::uint32_t id, const float* src, std::uint8_t* dst, std::int64_t n);

}  // namespace velmora::core
