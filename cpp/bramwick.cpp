// Module velmora_dryx.bramwick: models already on disk in a local Ollama or LM Studio
// installation, and GGUF files loaded as a state dict.
//
// Everything here orchestrates os, pathlib, json and the gguf library, so the code works
// on Python objects throughout. Module globals (OLLAMA_HOME, Path, json, os, np,
// _lmstudio_home) are looked up in the module dict at each call, as a Python function
// would, so rebinding or monkeypatching them redirects the operations.
#include <cerrno>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/arrays.hpp"
#include "bridge/errors.hpp"
#include "bridge/function.hpp"
#include "bridge/module.hpp"
#include "bridge/py.hpp"
#include "bridge/statements.hpp"
#include "core/dequant.hpp"
#include "core/gguf.hpp"

namespace velmora::bramwick {

using bridge::Args;
using bridge::Conv;
using bridge::for_each;
using bridge::FunctionDef;
using bridge::Param;
using bridge::raise_in_handler;

namespace {

// Directory Ollama keeps the official registry's manifests under (the module's
// _OLLAMA_REGISTRY), and that registry's default namespace.
constexpr const char* kOllamaRegistry = "registry.ollama.ai";
constexpr const char* kOllamaNamespace = "library";

using bridge::module_global;

py::Obj div(const py::Obj& a, const py::Obj& b) {
  return py::Obj::steal(PyNumber_TrueDivide(a.get(), b.get()));
}
py::Obj div(const py::Obj& a, const char* b) { return div(a, py::str(b)); }

py::Obj concat(const py::Obj& a, const py::Obj& b) {
  return py::Obj::steal(PyUnicode_Concat(a.get(), b.get()));
}

bool exists(const py::Obj& path) { return path.attr("exists")().truthy(); }

bool contains(const py::Obj& container, const py::Obj& item) {
  int r = PySequence_Contains(container.get(), item.get());
  if (r < 0) py::throw_pending();
  return r == 1;
}

// The manifest's "layers", an empty list when absent.
py::Obj layers_of(const py::Obj& manifest) {
  return manifest.attr("get")(py::str("layers"), py::list());
}

// Messages are built from Python strings: names and paths may hold characters (lone
// surrogates of undecodable file names) that have no UTF-8 form.
py::Obj join(std::initializer_list<py::Obj> pieces) {
  py::Obj l = py::list();
  for (const py::Obj& p : pieces) py::list_append(l, p);
  return py::Obj::steal(PyUnicode_Join(py::str("").get(), l.get()));
}

[[noreturn]] void raise_with(PyObject* type, const py::Obj& message) {
  PyErr_SetObject(type, message.get());
  throw py::PythonError{};
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
  py::Obj fd = os.attr("open")(path, py::integer(flags));
  py::Obj file;
  long long size = 0;
  try {
    py::Obj st = os.attr("fstat")(fd);
    if (!py::import("stat").attr("S_ISREG")(st.attr("st_mode")).truthy()) {
      raise_with(PyExc_ValueError,
                 join({py::str("Ollama manifest is not a regular file: "), path.str()}));
    }
    if (st.attr("st_size").as_ll() > kManifestCap) {
      raise_with(PyExc_ValueError,
                 join({py::str("Ollama manifest is larger than 1 MiB: "), path.str()}));
    }
    size = st.attr("st_size").as_ll();
    py::Obj encoding = py::import("io").attr("text_encoding")(py::none());
    file = os.attr("fdopen").call({fd, py::str("r")}, {{"encoding", encoding}});
  } catch (const py::PythonError&) {
    bridge::Raised pending;
    os.attr("close")(fd);
    pending.restore();
    throw;
  }
  py::Obj text;
  try {
    // Characters never outnumber bytes: the stat size reads it all unless the file grew.
    text = file.attr("read")(py::integer(size + 1));
    if (text.size() > size) {
      py::Obj more = file.attr("read")(py::integer(kManifestCap + 1 - text.size()));
      text = concat(text, more);
    }
  } catch (const py::PythonError&) {
    bridge::Raised pending;
    file.attr("close")();
    pending.restore();
    throw;
  }
  file.attr("close")();
  if (text.size() > kManifestCap) {
    raise_with(PyExc_ValueError,
               join({py::str("Ollama manifest is larger than 1 MiB: "), path.str()}));
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
  if (!PyUnicode_Check(digest.get())) return false;
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(digest.get(), &n);
  if (p == nullptr) {
    PyErr_Clear();
    return false;
  }
  const std::string_view d(p, static_cast<std::size_t>(n));
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

py::Obj list_ollama_models(const Args&) {
  py::Obj root = div(module_global("OLLAMA_HOME"), "manifests");
  py::Obj out = py::list();
  if (!exists(root)) return out;
  py::Obj loads = module_global("json").attr("loads");
  py::Obj colon = py::str(":");
  py::Obj store = module_global("OLLAMA_HOME").attr("resolve")();
  for_each(root.attr("rglob")(py::str("*")), [&](const py::Obj& path) {
    if (!path.attr("is_file")().truthy()) return;
    py::Obj parts = path.attr("relative_to")(root).attr("parts");
    const Py_ssize_t n = parts.size();
    if (n < 2) return;
    try {
      // A manifest reached through a symlink that leaves the store is not read (the walk
      // does not descend into linked directories: only the file itself can be a link).
      if (path.attr("is_symlink")().truthy() && !inside(path, store)) return;
      py::Obj manifest = loads(read_manifest(path));
      py::Obj total = py::integer(0);
      py::Obj size_key = py::str("size"), zero = py::integer(0);
      for_each(layers_of(manifest), [&](const py::Obj& layer) {
        total = py::Obj::steal(PyNumber_Add(total.get(), layer.attr("get")(size_key, zero).get()));
      });
      py::Obj entry = py::dict();
      py::dict_set(entry, "name", concat(concat(parts.item(n - 2), colon), parts.item(n - 1)));
      py::dict_set(entry, "size_bytes", total);
      py::list_append(out, entry);
    } catch (const py::PythonError&) {
      // A manifest that cannot be read or understood is left out; Ctrl-C and the like are not.
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
      PyErr_Clear();
    }
  });
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
  for_each(piece.attr("split")(py::str("/")), [&](const py::Obj& part) {
    const std::string text = py::text(part);
    bad = bad || text.empty() || text == "." || text == "..";
  });
  return bad;
}

py::Obj find_ollama_blob(const Args& a) {
  py::Obj model_name = a.obj(0);
  py::Obj colon = py::str(":");
  if (!contains(model_name, colon)) model_name = concat(model_name, py::str(":latest"));
  py::Obj split = model_name.attr("split")(colon, py::integer(1));
  py::Obj name = split.item(0), tag = split.item(1);

  py::Obj home = module_global("OLLAMA_HOME");
  py::Obj manifests = div(home, "manifests");
  auto not_found = [&]() {
    raise_with(PyExc_FileNotFoundError,
               join({py::str("Ollama model '"), model_name, py::str("' not found in "),
                     manifests.str(), py::str(".\nRun `ollama pull "), model_name,
                     py::str("` first, or set OLLAMA_MODELS to your Ollama models directory.")}));
  };
  // Names come from users: never let one address a file outside the store.
  if (unsafe_piece(name) || unsafe_piece(tag)) not_found();

  py::Obj store = home.attr("resolve")();
  py::Obj manifest_path =
      div(div(div(div(manifests, module_global("_OLLAMA_REGISTRY")), kOllamaNamespace), name), tag);
  if (!exists(manifest_path) || !inside(manifest_path, store)) {
    // Other registries and namespaces: the first match at any depth, in walk order, with the
    // name and tag matched literally (glob metacharacters escaped).
    py::Obj escape = py::import("glob").attr("escape");
    py::Obj pattern = join({escape(name), py::str("/"), escape(tag)});
    py::Obj it = py::Obj::steal(PyObject_GetIter(manifests.attr("rglob")(pattern).get()));
    py::Obj found;
    while (PyObject* raw = PyIter_Next(it.get())) {
      py::Obj candidate = py::Obj::steal(raw);
      if (inside(candidate, store)) {
        found = candidate;
        break;
      }
    }
    if (PyErr_Occurred()) py::throw_pending();
    if (!found) not_found();
    manifest_path = found;
  }

  py::Obj manifest = module_global("json").attr("loads")(read_manifest(manifest_path));
  py::Obj blobs = div(home, "blobs");
  py::Obj layers = layers_of(manifest);
  py::Obj digest_key = py::str("digest"), dash = py::str("-");
  // The layer's blob path; none for a digest that is not of the algorithm:hex form (such
  // a layer counts as a missing blob).
  auto blob_of = [&](const py::Obj& layer) {
    py::Obj digest = layer.item(digest_key);
    if (!valid_digest(digest)) return py::Obj();
    return div(blobs, digest.attr("replace")(colon, dash));
  };

  // The layer that holds the weights, when its blob is present.
  py::Obj media_key = py::str("mediaType"), empty = py::str(""), model = py::str("model");
  {
    py::Obj it = py::Obj::steal(PyObject_GetIter(layers.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
      py::Obj layer = py::Obj::steal(raw);
      if (!contains(layer.attr("get")(media_key, empty), model)) continue;
      py::Obj blob = blob_of(layer);
      if (blob && exists(blob)) return blob;
    }
    if (PyErr_Occurred()) py::throw_pending();
  }

  // Otherwise the largest present blob of any layer; the earliest wins a tie.
  py::Obj best, best_size;
  for_each(layers, [&](const py::Obj& layer) {
    py::Obj blob = blob_of(layer);
    if (!blob || !exists(blob)) return;
    py::Obj size = blob.attr("stat")().attr("st_size");
    if (best) {
      int gt = PyObject_RichCompareBool(size.get(), best_size.get(), Py_GT);
      if (gt < 0) py::throw_pending();
      if (gt == 0) return;
    }
    best = blob;
    best_size = size;
  });
  if (best) return best;
  raise_with(PyExc_FileNotFoundError, join({py::str("No GGUF blob found for '"), model_name,
                                            py::str("' in "), blobs.str()}));
}

// ---------------------------------------------------------------------------------------
// LM Studio

py::Obj lmstudio_home(const Args&) {
  py::Obj os = module_global("os");
  py::Obj env = os.attr("environ").attr("get")(py::str("LMSTUDIO_MODELS"));
  py::Obj path_cls = module_global("Path");
  if (env.truthy()) return path_cls(env);
  py::Obj home = path_cls.attr("home")();
  const bool windows = py::text(os.attr("name")) == "nt";
  if (!windows && py::text(os.attr("uname")().attr("sysname")) == "Darwin") {
    return div(div(home, ".lmstudio"), "models");
  }
  return div(div(div(home, ".cache"), "lm-studio"), "models");
}

// The models directory as the module's _lmstudio_home (possibly rebound) gives it.
py::Obj lmstudio_root() { return module_global("_lmstudio_home")(); }

py::Obj list_lmstudio_models(const Args&) {
  py::Obj root = lmstudio_root();
  py::Obj out = py::list();
  if (!exists(root)) return out;
  for_each(root.attr("rglob")(py::str("*.gguf")), [&](const py::Obj& path) {
    py::Obj entry = py::dict();
    py::dict_set(entry, "name", path.attr("relative_to")(root).str());
    py::dict_set(entry, "path", path.str());
    py::dict_set(entry, "size_bytes", path.attr("stat")().attr("st_size"));
    py::list_append(out, entry);
  });
  return out;
}

py::Obj find_lmstudio_model(const Args& a) {
  py::Obj name = a.obj(0);
  py::Obj root = lmstudio_root();
  if (!exists(root)) {
    raise_with(PyExc_FileNotFoundError,
               join({py::str("LM Studio models directory not found: "), root.str(),
                     py::str("\nSet LMSTUDIO_MODELS to your LM Studio models path.")}));
  }
  py::Obj direct = div(root, name);
  if (exists(direct)) return direct;

  py::Obj needle = name.attr("lower")();
  py::Obj matches = py::list();
  for_each(root.attr("rglob")(py::str("*.gguf")), [&](const py::Obj& path) {
    if (contains(path.str().attr("lower")(), needle)) py::list_append(matches, path);
  });
  const Py_ssize_t n = matches.size();
  if (n == 0) {
    raise_with(PyExc_FileNotFoundError,
               join({py::str("No GGUF matching '"), name, py::str("' in "), root.str(),
                     py::str(".\nRun `velmora-dryx list-lmstudio` to see available models.")}));
  }
  if (n > 1) {
    py::Obj shown = py::list();
    for (Py_ssize_t i = 0; i < n; ++i) {
      py::list_append(shown, matches.item(i).attr("relative_to")(root).str());
    }
    py::Obj lines = py::Obj::steal(PyUnicode_Join(py::str("\n  ").get(), shown.get()));
    raise_with(PyExc_ValueError, join({py::str("Multiple matches for '"), name, py::str("':\n  "),
                                       lines, py::str("\nBe more specific.")}));
  }
  return matches.item(0);
}

// ---------------------------------------------------------------------------------------
// GGUF

// from gguf import <name>, with the import statement's error for a missing name.
py::Obj import_from_gguf(const char* name) {
  py::Obj fromlist = py::tuple({py::str(name)});
  py::Obj mod = py::Obj::steal(
      PyImport_ImportModuleLevel("gguf", bridge::module_globals(), nullptr, fromlist.get(), 0));
  PyObject* value = PyObject_GetAttrString(mod.get(), name);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_pending();
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from 'gguf'", name);
    py::throw_pending();
  }
  return py::Obj::steal(value);
}

// The same import, with the module's message when the gguf package is missing.
py::Obj require_gguf(const char* name) {
  try {
    return import_from_gguf(name);
  } catch (const py::PythonError&) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
    raise_in_handler(PyExc_ImportError,
                     "gguf package required. Install with:\n"
                     "  pip install \"velmora-dryx[ollama]\"");
  }
}

// The block geometry the installed gguf package knows, indexed by type id; the built-in
// table when the package does not publish one.
std::vector<core::GgufTypeSize> gguf_package_types() {
  std::span<const core::GgufTypeSize> builtin = core::builtin_gguf_types();
  std::vector<core::GgufTypeSize> out(builtin.begin(), builtin.end());
  PyObject* constants = PyImport_ImportModule("gguf.constants");
  PyObject* sizes = constants ? PyObject_GetAttrString(constants, "GGML_QUANT_SIZES") : nullptr;
  Py_XDECREF(constants);
  if (sizes == nullptr || !PyDict_Check(sizes)) {
    Py_XDECREF(sizes);
    PyErr_Clear();
    return out;
  }
  py::Obj owned = py::Obj::steal(sizes);
  std::fill(out.begin(), out.end(), core::GgufTypeSize{});
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(sizes, &pos, &key, &value)) {
    const long long id = py::saturated_ll(py::Obj::steal(PyNumber_Index(key)).get());
    if (id < 0 || id >= 4096 || !PyTuple_Check(value) || PyTuple_GET_SIZE(value) != 2) continue;
    const long long block = py::saturated_ll(PyTuple_GET_ITEM(value, 0));
    const long long bytes = py::saturated_ll(PyTuple_GET_ITEM(value, 1));
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
  py::Obj encoded = py::Obj::steal(PyUnicode_EncodeFSDefault(path_text.get()));
  const std::string path(PyBytes_AS_STRING(encoded.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  if (path.find('\0') != std::string::npos) {
    bridge::raise_value_error("embedded null byte");
  }
  OpenGguf g;
  try {
    bridge::NoGil nogil;
    g.file = std::make_unique<core::MappedFile>(path);
    g.layout = core::parse_gguf(g.file->bytes(), types);
  } catch (const core::GgufOsError& e) {
    errno = e.errno_value();
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_text.get());
    throw py::PythonError{};
  } catch (const core::GgufError& e) {
    raise_with(PyExc_ValueError, join({path_text, py::str(": not a valid GGUF file ("),
                                       py::str(e.what()), py::str(")")}));
  }
  return g;
}

py::Obj load_gguf_tensors(const Args& a) {
  py::Obj reader_cls = require_gguf("GGUFReader");
  py::Obj path_text = a.obj(0).str();
  // Checked natively first: a damaged file fails at once instead of deep in the reader.
  open_gguf(path_text, gguf_package_types());
  py::Obj reader = reader_cls.call({path_text}, {{"mode", py::str("r")}});
  py::Obj out = py::dict();
  py::Obj uint8 = module_global("np").attr("uint8");
  for_each(reader.attr("tensors"), [&](const py::Obj& t) {
    py::Obj arr = t.attr("data");
    // Quantized blocks, integers and raw bytes are kept as their bytes, as a view.
    if (py::text(arr.attr("dtype").attr("kind")) != "f") arr = arr.attr("view")(uint8);
    if (PyObject_SetItem(out.get(), t.attr("name").get(), arr.get()) < 0) py::throw_pending();
  });
  return out;
}

// A type id from a gguf enumeration member or an int.
std::uint32_t type_id(const py::Obj& qtype) {
  py::Obj index = py::Obj::steal(PyNumber_Index(qtype.get()));
  const long long id = py::saturated_ll(index.get());
  if (id < 0 || id > 0xffffffffLL) {
    raise_with(PyExc_ValueError, join({index.repr(), py::str(" is not a GGML quantization type")}));
  }
  return static_cast<std::uint32_t>(id);
}

// Fills a new float32 array of `shape` from `n_blocks` blocks at src, without the GIL.
py::Obj dequantize_into(std::uint32_t id, const std::uint8_t* src, std::int64_t n_blocks,
                        const std::vector<std::int64_t>& shape) {
  py::Obj out = bridge::empty(shape, "float32");
  bridge::Buffer dst;
  if (!dst.acquire(out.get(), 'f', true)) {
    bridge::raise(PyExc_RuntimeError, "numpy.empty did not return a writable float32 array");
  }
  bridge::NoGil nogil;
  core::dequantize(id, src, dst.data<float>(), n_blocks);
  return out;
}

// gguf.quants.dequantize(data, GGMLQuantizationType(id)), for the types without a native
// kernel.
py::Obj gguf_dequantize(const py::Obj& data, std::uint32_t id) {
  py::Obj quants = require_gguf("quants");
  py::Obj member = require_gguf("GGMLQuantizationType")(py::integer(id));
  return quants.attr("dequantize")(data, member);
}

py::Obj dequantize(const Args& a) {
  const std::uint32_t id = type_id(a.obj(1));
  if (!core::can_dequantize(id)) return gguf_dequantize(a.obj(0), id);
  const core::GgmlType& type = *core::ggml_type(id);
  py::Obj np = module_global("np");
  py::Obj data = np.attr("asarray")(a.obj(0));
  if (bridge::dtype_text(data) != "uint8") {
    raise_with(PyExc_TypeError, join({py::str("data must be a uint8 array of blocks, got dtype "),
                                      data.attr("dtype").str()}));
  }
  std::vector<std::int64_t> shape;
  for_each(data.attr("shape"), [&](const py::Obj& n) { shape.push_back(n.as_ll()); });
  if (shape.empty()) bridge::raise_value_error("data must have at least one axis");
  if (shape.back() % type.bytes != 0) {
    bridge::raise_value_error("Quantized tensor bytes per row (" + std::to_string(shape.back()) +
                              ") is not a multiple of " + type.name + " type size (" +
                              std::to_string(type.bytes) + ")");
  }
  shape.back() = shape.back() / type.bytes * type.block;
  data = np.attr("ascontiguousarray")(data);  // strided input: one compact copy
  bridge::Buffer src;
  if (!src.acquire(data.get(), 'B')) {
    bridge::raise(PyExc_RuntimeError, "numpy did not return a contiguous uint8 array");
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

py::Obj gguf_raw_tensors(const Args& a) {
  py::Obj path_text = a.obj(0).str();
  OpenGguf g = open_gguf(path_text, core::builtin_gguf_types());
  py::Obj np = module_global("np");
  py::Obj out = py::dict();
  if (g.layout.tensors.empty()) return out;
  py::Obj map =
      np.attr("memmap").call({path_text}, {{"dtype", py::str("uint8")}, {"mode", py::str("r")}});
  py::Obj uint8 = np.attr("uint8");
  for (const core::GgufTensorInfo& t : g.layout.tensors) {
    const core::GgmlType& type = *core::ggml_type(t.type);
    const auto start = static_cast<long long>(g.layout.data_offset + t.offset);
    py::Obj range = py::Obj::steal(
        PySlice_New(py::integer(start).get(),
                    py::integer(start + static_cast<long long>(t.n_bytes)).get(), nullptr));
    py::Obj view = map.item(range);
    std::vector<std::int64_t> shape(t.dims.rbegin(), t.dims.rend());
    if (core::is_element_type(t.type)) {
      view = view.attr("view")(py::str(element_dtype(t.type, g.layout.swapped)));
      view = view.attr("reshape")(bridge::shape_tuple(shape));
      // Integers, like quantized blocks, are kept as their bytes.
      if (py::text(view.attr("dtype").attr("kind")) != "f" && !shape.empty()) {
        view = view.attr("view")(uint8);
      }
    } else {
      shape.back() = shape.back() / type.block * type.bytes;
      view = view.attr("reshape")(bridge::shape_tuple(shape));
    }
    py::Obj name = py::Obj::steal(
        PyUnicode_DecodeUTF8(t.name.data(), static_cast<Py_ssize_t>(t.name.size()), "strict"));
    if (PyObject_SetItem(out.get(), name.get(), view.get()) < 0) py::throw_pending();
  }
  return out;
}

py::Obj load_gguf_state_dict(const Args& a) {
  py::Obj path_text = a.obj(0).str();
  OpenGguf g = open_gguf(path_text, core::builtin_gguf_types());
  if (g.layout.swapped) {
    raise_with(PyExc_ValueError,
               join({path_text, py::str(": a GGUF file written for the other byte order, "
                                        "which is not read natively")}));
  }
  const std::uint8_t* data = g.file->bytes().data() + g.layout.data_offset;
  py::Obj out = py::dict();
  for (const core::GgufTensorInfo& t : g.layout.tensors) {
    if (PyErr_CheckSignals() < 0) py::throw_pending();
    py::Obj name = py::Obj::steal(
        PyUnicode_DecodeUTF8(t.name.data(), static_cast<Py_ssize_t>(t.name.size()), "strict"));
    std::vector<std::int64_t> shape(t.dims.rbegin(), t.dims.rend());
    const core::GgmlType& type = *core::ggml_type(t.type);
    const std::uint8_t* src = data + t.offset;
    py::Obj value;
    if (core::can_dequantize(t.type)) {
      value =
          dequantize_into(t.type, src, static_cast<std::int64_t>(t.n_bytes / type.bytes), shape);
    } else if (core::is_element_type(t.type)) {
      raise_with(PyExc_ValueError,
                 join({py::str("tensor "), name.repr(), py::str(" has type "), py::str(type.name),
                       py::str(", which has no float32 form")}));
    } else {
      // A copy of the blocks, so that nothing handed to the package points into the map.
      py::Obj raw = py::Obj::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(src),
                                                             static_cast<Py_ssize_t>(t.n_bytes)));
      std::vector<std::int64_t> byte_shape = shape;
      byte_shape.back() = byte_shape.back() / type.block * type.bytes;
      py::Obj blocks = module_global("np")
                           .attr("frombuffer")
                           .call({raw}, {{"dtype", py::str("uint8")}})
                           .attr("reshape")(bridge::shape_tuple(byte_shape));
      try {
        value = gguf_dequantize(blocks, t.type);
      } catch (const py::PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_NotImplementedError)) throw;
        raise_in_handler(PyExc_ValueError, ("tensor '" + std::string(t.name) + "' has type " +
                                            type.name + ", which cannot be dequantized")
                                               .c_str());
      }
    }
    if (PyObject_SetItem(out.get(), name.get(), value.get()) < 0) py::throw_pending();
  }
  return out;
}

// ---------------------------------------------------------------------------------------

const FunctionDef kListOllamaModels{
    "list_ollama_models",
    "list_ollama_models",
    "List the models of the local Ollama store as dicts with \"name\" (model:tag) and\n"
    "\"size_bytes\" (the sum of the manifest's layer sizes). Manifests that cannot be read\n"
    "or parsed are skipped; blobs are never opened.",
    {},
    "list[dict]",
    list_ollama_models};

const FunctionDef kFindOllamaBlob{
    "find_ollama_blob",
    "find_ollama_blob",
    "Resolve an Ollama model name (\"model\" or \"model:tag\", tag \"latest\" by default) to\n"
    "the blob holding its GGUF weights: the model layer's blob, else the largest blob of\n"
    "the manifest. Raises FileNotFoundError when the model or its blobs are missing.",
    {Param{"model_name", "str", Conv::Str}},
    "Path",
    find_ollama_blob};

const FunctionDef kLmstudioHome{"_lmstudio_home",
                                "_lmstudio_home",
                                "The LM Studio models directory: $LMSTUDIO_MODELS when set and "
                                "not empty, otherwise the platform's default.",
                                {},
                                "Path",
                                lmstudio_home};

const FunctionDef kListLmstudioModels{
    "list_lmstudio_models",
    "list_lmstudio_models",
    "List the GGUF files below the LM Studio models directory as dicts with \"name\" (the\n"
    "path relative to that directory), \"path\" and \"size_bytes\".",
    {},
    "list[dict]",
    list_lmstudio_models};

const FunctionDef kFindLmstudioModel{
    "find_lmstudio_model",
    "find_lmstudio_model",
    "Resolve a name to one LM Studio GGUF file: the path below the models directory when it\n"
    "exists, else the single file whose path contains the name, ignoring case. Raises\n"
    "FileNotFoundError for no match and ValueError for several.",
    {Param{"name", "str", Conv::Str}},
    "Path",
    find_lmstudio_model};

const FunctionDef kLoadGgufTensors{
    "load_gguf_tensors",
    "load_gguf_tensors",
    "Load the tensors of a GGUF file as a dict of arrays, without copying: floating-point\n"
    "tensors as the reader's arrays, every other tensor as a uint8 view of its bytes.\n"
    "Needs the gguf package.",
    {Param{"gguf_path", "Path"}},
    "dict[str, np.ndarray]",
    load_gguf_tensors};

const FunctionDef kDequantize{
    "dequantize",
    "dequantize",
    "Dequantize GGUF blocks to float32: `data` is a uint8 array whose last axis holds whole\n"
    "blocks of `qtype` (a gguf GGMLQuantizationType member or its int value); the result has\n"
    "the same leading axes and the last one in elements. Common types are decoded natively\n"
    "(equal to gguf.quants.dequantize); others go through the gguf package.",
    {Param{"data", "np.ndarray"}, Param{"qtype", "int", Conv::Int}},
    "np.ndarray",
    dequantize};

const FunctionDef kLoadGgufStateDict{
    "load_gguf_state_dict",
    "load_gguf_state_dict",
    "Load every tensor of a GGUF file as a float32 array (float tensors converted, quantized\n"
    "ones dequantized), shaped as load_gguf_tensors shapes float tensors, in file order. The\n"
    "file is read natively through a memory map; its metadata is never materialized.",
    {Param{"gguf_path", "Path"}},
    "dict[str, np.ndarray]",
    load_gguf_state_dict};

const FunctionDef kGgufRawTensors{
    "_gguf_raw_tensors",
    "_gguf_raw_tensors",
    "The tensors of a GGUF file as load_gguf_tensors gives them (floating-point tensors as\n"
    "arrays, every other tensor as its bytes), as zero-copy views of a memory map, laid out\n"
    "by the native parser instead of the gguf package's reader.",
    {Param{"gguf_path", "Path"}},
    "dict[str, np.ndarray]",
    gguf_raw_tensors};

void body(bridge::ModuleBuilder& b) {
  b.import("json");
  py::Obj os = b.import("os");
  py::Obj path_cls = b.from_import("pathlib", "Path");
  b.import("numpy", "np");

  py::Obj fallback = div(div(path_cls.attr("home")(), ".ollama"), "models");
  b.set("_OLLAMA_DEFAULT", fallback);
  py::Obj models = os.attr("environ").attr("get")(py::str("OLLAMA_MODELS"), fallback.str());
  b.set("OLLAMA_HOME", path_cls(models));
  b.set("_OLLAMA_REGISTRY", py::str(kOllamaRegistry));

  b.function(&kListOllamaModels);
  b.function(&kFindOllamaBlob);
  b.function(&kLmstudioHome);
  b.function(&kListLmstudioModels);
  b.function(&kFindLmstudioModel);
  b.function(&kLoadGgufTensors);
  b.function(&kDequantize);
  b.function(&kLoadGgufStateDict);
  b.function(&kGgufRawTensors);
}

}  // namespace

}  // namespace velmora::bramwick

VELMORA_MODULE(bramwick, "velmora_dryx.bramwick",
               "Local GGUF models: discovery in Ollama and LM Studio installations and loading "
               "of GGUF tensors as arrays.",
               velmora::bramwick::body)
