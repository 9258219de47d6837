// Module velmora_dryx.bramwick: models already on disk in a local Ollama or LM Studio
// installation, and GGUF files loaded as a state dict.
//
// Everything here orchestrates os, pathlib, json and the gguf library, so the code works
// on Python objects throughout. Module globals (OLLAMA_HOME, Path, json, os, np,
// _lmstudio_home) are looked up in the module dict at each call, as a Python function
// would, so rebinding or monkeypatching them redirects the operations.
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/arrays.hpp"
#include "bridge/declare.hpp"
#include "bridge/errors.hpp"
#include "bridge/function.hpp"
#include "bridge/module.hpp"
#include "bridge/py.hpp"
#include "bridge/statements.hpp"
#include "core/dequant.hpp"
#include "core/gguf.hpp"

namespace velmora::bramwick {

using bridge::arg;
using bridge::def;
using bridge::raise_in_handler;
using namespace bridge::types;
using namespace py::literals;

namespace {

// Directory Ollama keeps the official registry's manifests under (the module's
// _OLLAMA_REGISTRY), and that registry's default namespace.
constexpr const char* kOllamaRegistry = "registry.ollama.ai";
constexpr const char* kOllamaNamespace = "library";

using bridge::module_global;

bool exists(const py::Obj& path) { return path.attr("exists")().truthy(); }

// The manifest's "layers", an empty list when absent.
py::Obj layers_of(const py::Obj& manifest) { return manifest.attr("get")("layers", py::list()); }

// Messages are built from Python strings: names and paths may hold characters (lone
// surrogates of undecodable file names) that have no UTF-8 form.
py::Obj join(std::initializer_list<py::Obj> pieces) {
  py::Obj l = py::list();
  for (const py::Obj& p : pieces) l.append(p);
  return py::str("").attr("join")(l);
}

// Manifests are about 1 KiB; anything past this cap is not one.
constexpr long long kManifestCap = 1 << 20;

// The text of a manifest file, read only when it is a regular file of at most the cap:
// opened without blocking (a FIFO never stalls the call) and checked on the open file, so
// a file swapped for a FIFO or a device between look and read is refused too. Raises
// ValueError naming the file otherwise.
py::Obj read_manifest(const py::Obj& path) {
  py::Obj os = module_global("os");
  const long long flags = os.attr("O_RDONLY").as_ll() | os.attr("O_NONBLOCK").as_ll();
  py::Obj fd = os.attr("open")(path, flags);
  py::Obj file;
  long long size = 0;
  bridge::finally(
      [&] {
        py::Obj st = os.attr("fstat")(fd);
        if (!py::import("stat").attr("S_ISREG")(st.attr("st_mode")).truthy()) {
          throw py::ValueError(
              join({py::str("Ollama manifest is not a regular file: "), path.str()}));
        }
        size = st.attr("st_size").as_ll();
        if (size > kManifestCap) {
          throw py::ValueError(
              join({py::str("Ollama manifest is larger than 1 MiB: "), path.str()}));
        }
        py::Obj encoding = py::import("io").attr("text_encoding")(py::none());
        file = os.attr("fdopen")(fd, "r", "encoding"_a = encoding);
      },
      [&] { os.attr("close")(fd); }, /*on_error_only=*/true);
  py::Obj text;
  bridge::finally(
      [&] {
        // Characters never outnumber bytes: the stat size reads it all unless the file grew.
        text = file.attr("read")(size + 1);
        if (text.size() > size) text = text + file.attr("read")(kManifestCap + 1 - text.size());
      },
      [&] { file.attr("close")(); });
  if (text.size() > kManifestCap) {
    throw py::ValueError(join({py::str("Ollama manifest is larger than 1 MiB: "), path.str()}));
  }
  return text;
}

// True when the path, symlinks followed, stays below the store's root.
bool inside(const py::Obj& path, const py::Obj& resolved_root) {
  return path.attr("resolve")().attr("is_relative_to")(resolved_root).truthy();
}

// A layer digest as Ollama writes it: an algorithm name (letters and digits), ":" and hex
// digits. Anything else could name a file outside the blobs directory.
bool valid_digest(const py::Obj& digest) {
  if (!digest.is_instance(&PyUnicode_Type)) return false;
  std::string text;
  if (bridge::try_except(PyExc_Exception, [&] { text = digest.as_string(); })) return false;
  const std::string_view d(text);
  const std::size_t colon = d.find(':');
  if (colon == 0 || colon == std::string_view::npos || colon + 1 == d.size()) return false;
  // ASCII classes, whatever the process's locale says of other bytes.
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  auto hex = [&](char c) { return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); };
  auto alnum = [&](char c) { return digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (i < colon ? !alnum(d[i]) : i > colon && !hex(d[i])) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Ollama

py::Obj list_ollama_models() {
  py::Obj root = module_global("OLLAMA_HOME") / "manifests";
  py::Obj out = py::list();
  if (!exists(root)) return out;
  py::Obj loads = module_global("json").attr("loads");
  py::Obj store = module_global("OLLAMA_HOME").attr("resolve")();
  for (const py::Obj& path : root.attr("rglob")("*")) {
    if (!path.attr("is_file")().truthy()) continue;
    py::Obj parts = path.attr("relative_to")(root).attr("parts");
    const Py_ssize_t n = parts.size();
    if (n < 2) continue;
    // A manifest that cannot be read or understood is left out; Ctrl-C and the like are not.
    bridge::try_except(PyExc_Exception, [&] {
      // A manifest reached through a symlink that leaves the store is not read (the walk
      // does not descend into linked directories: only the file itself can be a link).
      if (path.attr("is_symlink")().truthy() && !inside(path, store)) return;
      py::Obj manifest = loads(read_manifest(path));
      py::Obj total = py::integer(0);
      for (const py::Obj& layer : layers_of(manifest)) total = total + layer.attr("get")("size", 0);
      py::Obj entry = py::dict();
      entry.set_item("name", parts.item(n - 2) + ":" + parts.item(n - 1));
      entry.set_item("size_bytes", total);
      out.append(entry);
    });
  }
  return out;
}

// True when a piece of a model name could lead outside the manifests directory (an
// anchored path or a ".." component), names no file at all (empty), or has "." or empty
// components, which the path library would silently drop.
bool unsafe_piece(const py::Obj& piece) {
  if (piece.size() == 0) return true;
  py::Obj pure = module_global("Path")(piece);
  if (pure.attr("anchor").truthy()) return true;
  bool bad = false;
  for (const py::Obj& part : piece.attr("split")("/")) {
    const std::string text = py::text(part);
    bad = bad || text.empty() || text == "." || text == "..";
  }
  return bad;
}

// The manifest file of an Ollama model name:tag, found in the default registry and
// namespace, else the first match at any depth; an empty handle when there is none.
py::Obj find_manifest(const py::Obj& home, const py::Obj& name, const py::Obj& tag) {
  py::Obj manifests = home / "manifests";
  py::Obj store = home.attr("resolve")();
  py::Obj path = manifests / module_global("_OLLAMA_REGISTRY") / kOllamaNamespace / name / tag;
  if (exists(path) && inside(path, store)) return path;
  // Other registries and namespaces: the first match at any depth, in walk order, with the
  // name and tag matched literally (glob metacharacters escaped).
  py::Obj escape = py::import("glob").attr("escape");
  py::Obj pattern = join({escape(name), py::str("/"), escape(tag)});
  for (const py::Obj& candidate : manifests.attr("rglob")(pattern)) {
    if (inside(candidate, store)) return candidate;
  }
  return {};
}

// The blob holding a manifest's weights: the model layer's, else the largest present one
// (the earliest wins a tie); an empty handle when none is present.
py::Obj weights_blob(const py::Obj& layers, const py::Obj& blobs) {
  // The layer's blob path; none for a digest that is not of the algorithm:hex form (such
  // a layer counts as a missing blob).
  auto blob_of = [&](const py::Obj& layer) {
    py::Obj digest = layer.item("digest");
    if (!valid_digest(digest)) return py::Obj();
    return blobs / digest.attr("replace")(":", "-");
  };
  for (const py::Obj& layer : layers) {
    if (!layer.attr("get")("mediaType", "").contains("model")) continue;
    py::Obj blob = blob_of(layer);
    if (blob && exists(blob)) return blob;
  }
  py::Obj best, best_size;
  for (const py::Obj& layer : layers) {
    py::Obj blob = blob_of(layer);
    if (!blob || !exists(blob)) continue;
    py::Obj size = blob.attr("stat")().attr("st_size");
    if (best && !(size > best_size)) continue;
    best = blob;
    best_size = size;
  }
  return best;
}

py::Obj find_ollama_blob(py::Obj model_name) {
  if (!model_name.contains(":")) model_name = model_name + ":latest";
  auto [name, tag] = model_name.attr("split")(":", 1).unpack<2>();
  py::Obj home = module_global("OLLAMA_HOME");
  // Names come from users: never let one address a file outside the store.
  py::Obj manifest_path;
  if (!unsafe_piece(name) && !unsafe_piece(tag)) manifest_path = find_manifest(home, name, tag);
  if (!manifest_path) {
    throw py::FileNotFoundError(
        join({py::str("Ollama model '"), model_name, py::str("' not found in "),
              (home / "manifests").str(), py::str(".\nRun `ollama pull "), model_name,
              py::str("` first, or set OLLAMA_MODELS to your Ollama models directory.")}));
  }
  py::Obj manifest = module_global("json").attr("loads")(read_manifest(manifest_path));
  py::Obj blobs = home / "blobs";
  py::Obj blob = weights_blob(layers_of(manifest), blobs);
  if (blob) return blob;
  throw py::FileNotFoundError(
      join({py::str("No GGUF blob found for '"), model_name, py::str("' in "), blobs.str()}));
}

// ---------------------------------------------------------------------------------------
// LM Studio

py::Obj lmstudio_home() {
  py::Obj os = module_global("os");
  py::Obj env = os.attr("environ").attr("get")("LMSTUDIO_MODELS");
  py::Obj path_cls = module_global("Path");
  if (env.truthy()) return path_cls(env);
  py::Obj home = path_cls.attr("home")();
  const bool windows = py::text(os.attr("name")) == "nt";
  if (!windows && py::text(os.attr("uname")().attr("sysname")) == "Darwin") {
    return home / ".lmstudio" / "models";
  }
  return home / ".cache" / "lm-studio" / "models";
}

// The models directory as the module's _lmstudio_home (possibly rebound) gives it.
py::Obj lmstudio_root() { return module_global("_lmstudio_home")(); }

py::Obj list_lmstudio_models() {
  py::Obj root = lmstudio_root();
  py::Obj out = py::list();
  if (!exists(root)) return out;
  for (const py::Obj& path : root.attr("rglob")("*.gguf")) {
    py::Obj entry = py::dict();
    entry.set_item("name", path.attr("relative_to")(root).str());
    entry.set_item("path", path.str());
    entry.set_item("size_bytes", path.attr("stat")().attr("st_size"));
    out.append(entry);
  }
  return out;
}

py::Obj find_lmstudio_model(const py::Obj& name) {
  py::Obj root = lmstudio_root();
  if (!exists(root)) {
    throw py::FileNotFoundError(
        join({py::str("LM Studio models directory not found: "), root.str(),
              py::str("\nSet LMSTUDIO_MODELS to your LM Studio models path.")}));
  }
  py::Obj direct = root / name;
  if (exists(direct)) return direct;

  py::Obj needle = name.attr("lower")();
  py::Obj matches = py::list();
  for (const py::Obj& path : root.attr("rglob")("*.gguf")) {
    if (path.str().attr("lower")().contains(needle)) matches.append(path);
  }
  const Py_ssize_t n = matches.size();
  if (n == 0) {
    throw py::FileNotFoundError(
        join({py::str("No GGUF matching '"), name, py::str("' in "), root.str(),
              py::str(".\nRun `velmora-dryx list-lmstudio` to see available models.")}));
  }
  if (n > 1) {
    py::Obj shown = py::list();
    for (const py::Obj& m : matches) shown.append(m.attr("relative_to")(root).str());
    py::Obj lines = py::str("\n  ").attr("join")(shown);
    throw py::ValueError(join({py::str("Multiple matches for '"), name, py::str("':\n  "), lines,
                               py::str("\nBe more specific.")}));
  }
  return matches.item(0);
}

// ---------------------------------------------------------------------------------------
// GGUF

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
  const std::string path = module_global("os").attr("fsencode")(path_text).as_bytes();
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
  py::Obj uint8 = module_global("np").attr("uint8");
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
  py::Obj np = module_global("np");
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
    view = view.attr("view")(module_global("np").attr("uint8"));
  }
  return view;
}

py::Obj gguf_raw_tensors(const py::Obj& gguf_path) {
  py::Obj path_text = gguf_path.str();
  OpenGguf g = open_gguf(path_text, core::builtin_gguf_types());
  py::Obj out = py::dict();
  if (g.layout.tensors.empty()) return out;
  py::Obj map = module_global("np").attr("memmap")(path_text, "dtype"_a = "uint8", "mode"_a = "r");
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
  py::Obj blocks = module_global("np")
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

// ---------------------------------------------------------------------------------------

const auto kListOllamaModels =
    def<&list_ollama_models>(
        "list_ollama_models",
        "List the models of the local Ollama store as dicts with \"name\" (model:tag) and\n"
        "\"size_bytes\" (the sum of the manifest's layer sizes). Manifests that cannot be read\n"
        "or parsed are skipped; blobs are never opened.")
        .returns("list[dict]");

const auto kFindOllamaBlob =
    def<&find_ollama_blob>(
        "find_ollama_blob",
        "Resolve an Ollama model name (\"model\" or \"model:tag\", tag \"latest\" by default) to\n"
        "the blob holding its GGUF weights: the model layer's blob, else the largest blob of\n"
        "the manifest. Raises FileNotFoundError when the model or its blobs are missing.",
        arg<Str>("model_name"))
        .returns("Path");

const auto kLmstudioHome =
    def<&lmstudio_home>("_lmstudio_home",
                        "The LM Studio models directory: $LMSTUDIO_MODELS when set and "
                        "not empty, otherwise the platform's default.")
        .returns("Path");

const auto kListLmstudioModels =
    def<&list_lmstudio_models>(
        "list_lmstudio_models",
        "List the GGUF files below the LM Studio models directory as dicts with \"name\" (the\n"
        "path relative to that directory), \"path\" and \"size_bytes\".")
        .returns("list[dict]");

const auto kFindLmstudioModel =
    def<&find_lmstudio_model>(
        "find_lmstudio_model",
        "Resolve a name to one LM Studio GGUF file: the path below the models directory when it\n"
        "exists, else the single file whose path contains the name, ignoring case. Raises\n"
        "FileNotFoundError for no match and ValueError for several.",
        arg<Str>("name"))
        .returns("Path");

const auto kLoadGgufTensors =
    def<&load_gguf_tensors>(
        "load_gguf_tensors",
        "Load the tensors of a GGUF file as a dict of arrays, without copying: floating-point\n"
        "tensors as the reader's arrays, every other tensor as a uint8 view of its bytes.\n"
        "Needs the gguf package.",
        arg<Any>("gguf_path", "Path"))
        .returns("dict[str, np.ndarray]");

const auto kDequantize =
    def<&dequantize>(
        "dequantize",
        "Dequantize GGUF blocks to float32: `data` is a uint8 array whose last axis holds whole\n"
        "blocks of `qtype` (a gguf GGMLQuantizationType member or its int value); the result has\n"
        "the same leading axes and the last one in elements. Common types are decoded natively\n"
        "(equal to gguf.quants.dequantize); others go through the gguf package.",
        arg<Array>("data"), arg<Int>("qtype"))
        .returns("np.ndarray");

const auto kLoadGgufStateDict =
    def<&load_gguf_state_dict>(
        "load_gguf_state_dict",
        "Load every tensor of a GGUF file as a float32 array (float tensors converted, quantized\n"
        "ones dequantized), shaped as load_gguf_tensors shapes float tensors, in file order. The\n"
        "file is read natively through a memory map; its metadata is never materialized.",
        arg<Any>("gguf_path", "Path"))
        .returns("dict[str, np.ndarray]");

const auto kGgufRawTensors =
    def<&gguf_raw_tensors>(
        "_gguf_raw_tensors",
        "The tensors of a GGUF file as load_gguf_tensors gives them (floating-point tensors as\n"
        "arrays, every other tensor as its bytes), as zero-copy views of a memory map, laid out\n"
        "by the native parser instead of the gguf package's reader.",
        arg<Any>("gguf_path", "Path"))
        .returns("dict[str, np.ndarray]");

void body(bridge::ModuleBuilder& b) {
  b.import("json");
  py::Obj os = b.import("os");
  py::Obj path_cls = b.from_import("pathlib", "Path");
  b.import("numpy", "np");

  py::Obj fallback = path_cls.attr("home")() / ".ollama" / "models";
  b.set("_OLLAMA_DEFAULT", fallback);
  py::Obj models = os.attr("environ").attr("get")("OLLAMA_MODELS", fallback.str());
  b.set("OLLAMA_HOME", path_cls(models));
  b.set("_OLLAMA_REGISTRY", py::str(kOllamaRegistry));

  for (const bridge::FunctionDef* def :
       {&kListOllamaModels, &kFindOllamaBlob, &kLmstudioHome, &kListLmstudioModels,
        &kFindLmstudioModel, &kLoadGgufTensors, &kDequantize, &kLoadGgufStateDict,
        &kGgufRawTensors}) {
    b.function(def);
  }
}

}  // namespace

}  // namespace velmora::bramwick

VELMORA_MODULE(bramwick, "velmora_dryx.bramwick",
               "Local GGUF models: discovery in Ollama and LM Studio installations and loading "
               "of GGUF tensors as arrays.",
               velmora::bramwick::body)
