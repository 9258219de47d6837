// Shared declarations of the tamsel module's source files.
#pragma once

#include <optional>

#include "../bridge/module.hpp"
#include "../bridge/py.hpp"
#include "../core/elementwise.hpp"

namespace velmora::tamsel {

// The record kinds the library adds to kestrine's methods (a record's `method` holds their
// name as a plain string, which kestrine's decompressors refuse): "qsvd", a truncated SVD
// whose factors are stored at a few bits per value, and "exact", the tuned tensor's bits as
// byte planes of their XOR with the base's, compressed by zstd.
bool is_codec_record(const py::Obj& record);

// The tuned tensor a codec record rebuilds on `base` (None: the record alone).
py::Obj apply_codec(const py::Obj& base, const py::Obj& record);

// The square sums of (rebuilt - delta) and of delta for a truncated-SVD record (float32
// factors, or quantized: "qsvd") of a contiguous float32 delta, its product formed a block of
// rows at a time; empty for other records and layouts.
std::optional<core::SquareSums> low_rank_error(const py::Obj& record, const py::Obj& delta);

// The exact record of `tuned` against `base` (None: the tuned bits alone).
py::Obj exact_record(const py::Obj& base, const py::Obj& tuned);

// The "qsvd" record of a float32 delta (two or more dimensions) at `bits` (16, 8 or "mixed"):
// the factors of `ct`, the float32 truncated SVD of the delta as the rank settings choose it,
// quantized. With "mixed", each component gets the widths that reach, in the fewest bytes,
// the error of the float32 factors (within 1%).
py::Obj lowbit_record(const py::Obj& delta, const py::Obj& bits, const py::Obj& ct);

// The float32 delta of one fine-tuned tensor (the tensor itself where base_w is empty), taken
// in the arrays' own types; always a new array.
py::Obj float32_delta(const py::Obj& w, const py::Obj& base_w, const py::Obj& float32);

void define_codecs(bridge::ModuleBuilder& b);

}  // namespace velmora::tamsel
