// load_gguf_tensors, dequantize, load_gguf_state_dict, gguf_raw_tensors: GGUF files read
// natively (a bounds-checked parse of a memory map) and through the gguf package.
#include "../core/gguf.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "../bridge/arrays.hpp"
#include "../bridge/declare.hpp"
#include "../bridge/errors.hpp"
#include "../bridge/module.hpp"
#include "../bridge/statements.hpp"
#include "../core/dequant.hpp"
#include "bramwick.hpp"

namespace velmora::bramwick {

using bridge::arg;
using bridge::def;
using bridge::raise_in_handler;
using namespace bridge::types;
using namespace py::literals;

namespace {

// from gguf import <name>, with the module's message when the gguf package is missing.
py::Obj require_gguf(const char* name) {
  py::Obj value;
  py::Obj failed =
      bridge::try_except(PyExc_ImportError, [&] { value = bridge::from_import("gguf", name); });
  if (!failed) return value;
  raise_in_handler(failed, py::ImportError("gguf package required. Install with:\n"
                                           "  pip install \"velmora-dryx[ollama]\""));
}

// The block geometry the installed gguf package knows, indexed by type id; the built-in
// table when the package does not publish one.
std::vector<core::GgufTypeSize> gguf_package_types() {
  std::span<const core::GgufTypeSize> builtin = core::builtin_gguf_types();
  std::vector<core::GgufTypeSize> out(builtin.begin(), builtin.end());
  py::Obj sizes;
  if (bridge::try_except(PyExc_Exception,
                         [&] { sizes = py::import("gguf.constants").attr("GGML_QUANT_SIZES"); }) ||
      !sizes.is_instance(&PyDict_Type)) {
    return out;
  }
  std::fill(out.begin(), out.end(), core::GgufTypeSize{});
  for (const py::Obj& item : sizes.attr("items")()) {
    auto [key, value] = item.unpack<2>();
    const long long id = py::saturated_ll(py::index(key).get());
    if (id < 0 || id >= 4096 || !value.is_instance(&PyTuple_Type) || value.size() != 2) continue;
    const long long block = py::saturated_ll(value.item(0).get());
    const long long bytes = py::saturated_ll(value.item(1).get());
    if (block <= 0 || bytes <= 0 || block > 1 << 20 || bytes > 1 << 20) continue;
    if (static_cast<std::size_t>(id) >= out.size()) out.resize(static_cast<std::size_t>(id) + 1);
    out[static_cast<std::size_t>(id)] = {static_cast<std::uint32_t>(block),
                                         static_cast<std::uint32_t>(bytes)};
  }
  return out;
}

// A GGUF file mapped and parsed natively; OS errors raise as open() raises them, a
// malformed file as one ValueError naming the file and what is wrong.
struct OpenGguf {
  std::unique_ptr<core::MappedFile> file;
  core::GgufLayout layout;
};

OpenGguf open_gguf(const py::Obj& path_text, std::span<const core::GgufTypeSize> types) {
  const std::string path = py::Obj::borrow(state().os).attr("fsencode")(path_text).as_bytes();
  if (path.find('\0') != std::string::npos) throw py::ValueError("embedded null byte");
  OpenGguf g;
  try {
    bridge::NoGil nogil;
    g.file = std::make_unique<core::MappedFile>(path);
    g.layout = core::parse_gguf(g.file->bytes(), types);
  } catch (const core::GgufOsError& e) {
    // OSError(errno, strerror, filename) is the errno's own subclass, as open() raises it.
    bridge::raise_exception(py::builtin("OSError")(
        e.errno_value(), std::string(std::strerror(e.errno_value())), path_text));
  } catch (const core::GgufError& e) {
    throw py::ValueError(
        join({path_text, py::str(": not a valid GGUF file ("), py::str(e.what()), py::str(")")}));
  }
  return g;
}

py::Obj load_gguf_tensors(const py::Obj& gguf_path) {
  py::Obj reader_cls = require_gguf("GGUFReader");
  py::Obj path_text = gguf_path.str();
  // Checked natively first: a damaged file fails at once instead of deep in the reader.
  open_gguf(path_text, gguf_package_types());
  py::Obj reader = reader_cls(path_text, "mode"_a = "r");
  py::Obj out = py::dict();
  py::Obj uint8 = bridge::np().attr("uint8");
  for (const py::Obj& t : reader.attr("tensors")) {
    py::Obj arr = t.attr("data");
    // Quantized blocks, integers and raw bytes are kept as their bytes, as a view.
    if (py::text(arr.attr("dtype").attr("kind")) != "f") arr = arr.attr("view")(uint8);
    out.set_item(t.attr("name"), arr);
  }
  return out;
}

// A type id from a gguf enumeration member or an int.
std::uint32_t type_id(const py::Obj& qtype) {
  py::Obj index = py::index(qtype);
  const long long id = py::saturated_ll(index.get());
  if (id < 0 || id > 0xffffffffLL) {
    throw py::ValueError(join({index.repr(), py::str(" is not a GGML quantization type")}));
  }
  return static_cast<std::uint32_t>(id);
}

// Fills a new float32 array of `shape` from `n_blocks` blocks at src, without the GIL.
py::Obj dequantize_into(std::uint32_t id, const std::uint8_t* src, std::int64_t n_blocks,
                        const std::vector<std::int64_t>& shape) {
  py::Obj out = bridge::empty(shape, "float32");
  bridge::Buffer dst;
  if (!dst.acquire(out.get(), 'f', true)) {
    throw py::RuntimeError("numpy.empty did not return a writable float32 array");
  }
  bridge::NoGil nogil;
  core::dequantize(id, src, dst.data<float>(), n_blocks);
  return out;
}

// gguf.quants.dequantize(data, GGMLQuantizationType(id)), for the types without a native
// kernel.
py::Obj gguf_dequantize(const py::Obj& data, std::uint32_t id) {
  py::Obj quants = require_gguf("quants");
  py::Obj member = require_gguf("GGMLQuantizationType")(id);
  return quants.attr("dequantize")(data, member);
}

py::Obj dequantize(const py::Obj& blocks, const py::Obj& qtype) {
  const std::uint32_t id = type_id(qtype);
  if (!core::can_dequantize(id)) return gguf_dequantize(blocks, id);
  const core::GgmlType& type = *core::ggml_type(id);
  const py::Obj& np = bridge::np();
  py::Obj data = np.attr("asarray")(blocks);
  if (bridge::dtype_text(data) != "uint8") {
    throw py::TypeError(join(
        {py::str("data must be a uint8 array of blocks, got dtype "), data.attr("dtype").str()}));
  }
  std::vector<std::int64_t> shape;
  for (const py::Obj& n : data.attr("shape")) shape.push_back(n.as_ll());
  if (shape.empty()) throw py::ValueError("data must have at least one axis");
  if (shape.back() % type.bytes != 0) {
    throw py::ValueError("Quantized tensor bytes per row (" + std::to_string(shape.back()) +
                         ") is not a multiple of " + type.name + " type size (" +
                         std::to_string(type.bytes) + ")");
  }
  shape.back() = shape.back() / type.bytes * type.block;
  data = np.attr("ascontiguousarray")(data);  // strided input: one compact copy
  bridge::Buffer src;
  if (!src.acquire(data.get(), 'B')) {
    throw py::RuntimeError("numpy did not return a contiguous uint8 array");
  }
  return dequantize_into(id, src.data<std::uint8_t>(), src.size() / type.bytes, shape);
}

// The way back for the float types: float32 values to `qtype` elements, as the uint8 array
// of their little-endian bytes (the layout dequantize() reads).
py::Obj quantize(const py::Obj& values, const py::Obj& qtype) {
  const std::uint32_t id = type_id(qtype);
  if (!core::can_quantize(id)) {
    const core::GgmlType* type = core::ggml_type(id);
    throw py::ValueError(std::string("no conversion from float32 to type ") +
                         (type != nullptr ? type->name : std::to_string(id)) +
                         " (F32, F16 and BF16 are written)");
  }
  const core::GgmlType& type = *core::ggml_type(id);
  py::Obj np = bridge::module_global("np");
  py::Obj data = np.attr("asarray")(values);
  if (bridge::dtype_text(data) != "float32") {
    throw py::TypeError(
        join({py::str("values must be a float32 array, got dtype "), data.attr("dtype").str()}));
  }
  std::vector<std::int64_t> shape;
  for (const py::Obj& n : data.attr("shape")) shape.push_back(n.as_ll());
  if (shape.empty()) throw py::ValueError("values must have at least one axis");
  shape.back() *= type.bytes;
  data = np.attr("require")(data, "requirements"_a = "CA");  // strided or misaligned: a copy
  bridge::Buffer src;
  if (!src.acquire(data.get(), 'f')) {
    throw py::RuntimeError("numpy did not return a contiguous float32 array");
  }
  py::Obj out = bridge::empty(shape, "uint8");
  bridge::Buffer dst;
  if (!dst.acquire(out.get(), 'B', true)) {
    throw py::RuntimeError("numpy.empty did not return a writable uint8 array");
  }
  bridge::NoGil nogil;
  core::quantize(id, src.data<float>(), dst.data<std::uint8_t>(), src.size());
  return out;
}

// numpy's name for a plain element type, in the file's byte order.
std::string element_dtype(std::uint32_t id, bool swapped) {
  const char* code = "";
  switch (id) {
    case 0: code = "f4"; break;
    case 1: code = "f2"; break;
    case 28: code = "f8"; break;
    case 24: code = "i1"; break;
    case 25: code = "i2"; break;
    case 26: code = "i4"; break;
    case 27: code = "i8"; break;
    default: break;
  }
  return std::string(swapped ? ">" : "<") + code;
}

// One tensor of a mapped file as load_gguf_tensors gives it: a view of its bytes.
py::Obj raw_view(const py::Obj& map, const core::GgufLayout& layout,
                 const core::GgufTensorInfo& t) {
  const core::GgmlType& type = *core::ggml_type(t.type);
  const auto start = static_cast<long long>(layout.data_offset + t.offset);
  py::Obj view = map.item(py::slice(start, start + static_cast<long long>(t.n_bytes)));
  std::vector<std::int64_t> shape(t.dims.rbegin(), t.dims.rend());
  if (!core::is_element_type(t.type)) {
    shape.back() = shape.back() / type.block * type.bytes;
    return view.attr("reshape")(bridge::shape_tuple(shape));
  }
  view = view.attr("view")(py::str(element_dtype(t.type, layout.swapped)));
  view = view.attr("reshape")(bridge::shape_tuple(shape));
  // Integers, like quantized blocks, are kept as their bytes.
  if (py::text(view.attr("dtype").attr("kind")) != "f" && !shape.empty()) {
    view = view.attr("view")(bridge::np().attr("uint8"));
  }
  return view;
}

py::Obj gguf_raw_tensors(const py::Obj& gguf_path) {
  py::Obj path_text = gguf_path.str();
  OpenGguf g = open_gguf(path_text, core::builtin_gguf_types());
  py::Obj out = py::dict();
  if (g.layout.tensors.empty()) return out;
  py::Obj map = bridge::np().attr("memmap")(path_text, "dtype"_a = "uint8", "mode"_a = "r");
  for (const core::GgufTensorInfo& t : g.layout.tensors) {
    out.set_item(py::str(t.name), raw_view(map, g.layout, t));
  }
  return out;
}

// One tensor of a type without a native kernel, through the gguf package.
py::Obj dequantize_by_package(const core::GgufTensorInfo& t, const std::uint8_t* src,
                              std::vector<std::int64_t> shape) {
  const core::GgmlType& type = *core::ggml_type(t.type);
  // A copy of the blocks, so that nothing handed to the package points into the map.
  py::Obj raw =
      py::bytes({reinterpret_cast<const char*>(src), static_cast<std::size_t>(t.n_bytes)});
  shape.back() = shape.back() / type.block * type.bytes;
  py::Obj blocks = bridge::np()
                       .attr("frombuffer")(raw, "dtype"_a = "uint8")
                       .attr("reshape")(bridge::shape_tuple(shape));
  py::Obj value;
  py::Obj failed = bridge::try_except(PyExc_NotImplementedError,
                                      [&] { value = gguf_dequantize(blocks, t.type); });
  if (!failed) return value;
  bridge::raise_in_handler(failed, py::ValueError("tensor '" + std::string(t.name) + "' has type " +
                                                  type.name + ", which cannot be dequantized"));
}

py::Obj load_gguf_state_dict(const py::Obj& gguf_path) {
  py::Obj path_text = gguf_path.str();
  OpenGguf g = open_gguf(path_text, core::builtin_gguf_types());
  if (g.layout.swapped) {
    throw py::ValueError(join({path_text, py::str(": a GGUF file written for the other byte order, "
                                                  "which is not read natively")}));
  }
  const std::uint8_t* data = g.file->bytes().data() + g.layout.data_offset;
  py::Obj out = py::dict();
  for (const core::GgufTensorInfo& t : g.layout.tensors) {
    py::check_signals();
    py::Obj name = py::str(t.name);
    std::vector<std::int64_t> shape(t.dims.rbegin(), t.dims.rend());
    const core::GgmlType& type = *core::ggml_type(t.type);
    const std::uint8_t* src = data + t.offset;
    if (core::can_dequantize(t.type)) {
      const auto n_blocks = static_cast<std::int64_t>(t.n_bytes / type.bytes);
      out.set_item(name, dequantize_into(t.type, src, n_blocks, shape));
    } else if (core::is_element_type(t.type)) {
      throw py::ValueError(join({py::str("tensor "), name.repr(), py::str(" has type "),
                                 py::str(type.name), py::str(", which has no float32 form")}));
    } else {
      out.set_item(name, dequantize_by_package(t, src, shape));
    }
  }
  return out;
}

const bridge::Decl kOperations[] = {
    def<&load_gguf_tensors>(
        "load_gguf_tensors",
        "Load the tensors of a GGUF file as a dict of arrays, without copying: floating-point\n"
        "tensors as the reader's arrays, every other tensor as a uint8 view of its bytes.\n"
        "Needs the gguf package.",
        arg<Any>("gguf_path", "Path"))
        .returns("dict[str, np.ndarray]"),
    def<&dequantize>(
        "dequantize",
        "Dequantize GGUF blocks to float32: `data` is a uint8 array whose last axis holds whole\n"
        "blocks of `qtype` (a gguf GGMLQuantizationType member or its int value); the result has\n"
        "the same leading axes and the last one in elements. Common types are decoded natively\n"
        "(equal to gguf.quants.dequantize); others go through the gguf package.",
        arg<Array>("data"), arg<Int>("qtype"))
        .returns("np.ndarray"),
    def<&quantize>(
        "quantize",
        "Convert float32 values to GGUF element type `qtype` (F32, F16 or BF16, as a gguf\n"
        "GGMLQuantizationType member or its int value): a uint8 array of the elements'\n"
        "little-endian bytes, the last axis `itemsize` times longer, as dequantize() reads it.\n"
        "F16 and BF16 round to nearest, ties to even (overflow to infinity, subnormals kept,\n"
        "NaN stays a quiet NaN of the same sign).",
        arg<Array>("values"), arg<Int>("qtype"))
        .returns("np.ndarray"),
    def<&load_gguf_state_dict>(
        "load_gguf_state_dict",
        "Load every tensor of a GGUF file as a float32 array (float tensors converted, quantized\n"
        "ones dequantized), shaped as load_gguf_tensors shapes float tensors, in file order. The\n"
        "file is read natively through a memory map; its metadata is never materialized.",
        arg<Any>("gguf_path", "Path"))
        .returns("dict[str, np.ndarray]"),
    def<&gguf_raw_tensors>(
        "gguf_raw_tensors",
        "The tensors of a GGUF file as load_gguf_tensors gives them (floating-point tensors as\n"
        "arrays, every other tensor as its bytes), as zero-copy views of a memory map, laid out\n"
        "by the native parser instead of the gguf package's reader.",
        arg<Any>("gguf_path", "Path"))
        .returns("dict[str, np.ndarray]"),
};

}  // namespace

void define_gguf(bridge::ModuleBuilder& b) { b.functions(kOperations); }

}  // namespace velmora::bramwick
