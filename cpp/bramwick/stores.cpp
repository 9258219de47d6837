// list_ollama_models, find_ollama_blob, _lmstudio_home, list_lmstudio_models,
// find_lmstudio_model: models already on disk in a local Ollama or LM Studio installation.
#include <string>
#include <string_view>

#include "../bridge/declare.hpp"
#include "../bridge/errors.hpp"
#include "../bridge/module.hpp"
#include "bramwick.hpp"

namespace velmora::bramwick {

using bridge::arg;
using bridge::def;
using bridge::module_global;
using namespace bridge::types;
using namespace py::literals;

py::Obj join(std::initializer_list<py::Obj> pieces) {
  py::Obj l = py::list();
  for (const py::Obj& p : pieces) l.append(p);
  return py::str("").attr("join")(l);
}

namespace {

bool exists(const py::Obj& path) { return path.attr("exists")().truthy(); }

// The manifest's "layers", an empty list when absent.
py::Obj layers_of(const py::Obj& manifest) { return manifest.attr("get")("layers", py::list()); }

// Manifests are about 1 KiB; anything past this cap is not one.
constexpr long long kManifestCap = 1 << 20;

// The text of a manifest file, read only when it is a regular file of at most the cap:
// opened without blocking (a FIFO never stalls the call) and checked on the open file, so
// a file swapped for a FIFO or a device between look and read is refused too. Raises
// ValueError naming the file otherwise.
py::Obj read_manifest(const py::Obj& path) {
  py::Obj os = py::Obj::borrow(state().os);
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

// The Ollama store as the module's OLLAMA_HOME names it at this call: rebinding that module
// attribute redirects the Ollama operations (a documented contract).
py::Obj ollama_home() { return module_global("OLLAMA_HOME"); }

py::Obj json_loads() { return py::Obj::borrow(state().json).attr("loads"); }

py::Obj list_ollama_models() {
  py::Obj root = ollama_home() / "manifests";
  py::Obj out = py::list();
  if (!exists(root)) return out;
  py::Obj loads = json_loads();
  py::Obj store = ollama_home().attr("resolve")();
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
  py::Obj pure = py::Obj::borrow(state().path_cls)(piece);
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
  py::Obj path = manifests / kOllamaRegistry / kOllamaNamespace / name / tag;
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
  py::Obj home = ollama_home();
  // Names come from users: never let one address a file outside the store.
  py::Obj manifest_path;
  if (!unsafe_piece(name) && !unsafe_piece(tag)) manifest_path = find_manifest(home, name, tag);
  if (!manifest_path) {
    throw py::FileNotFoundError(
        join({py::str("Ollama model '"), model_name, py::str("' not found in "),
              (home / "manifests").str(), py::str(".\nRun `ollama pull "), model_name,
              py::str("` first, or set OLLAMA_MODELS to your Ollama models directory.")}));
  }
  py::Obj manifest = json_loads()(read_manifest(manifest_path));
  py::Obj blobs = home / "blobs";
  py::Obj blob = weights_blob(layers_of(manifest), blobs);
  if (blob) return blob;
  throw py::FileNotFoundError(
      join({py::str("No GGUF blob found for '"), model_name, py::str("' in "), blobs.str()}));
}

// ---------------------------------------------------------------------------------------
// LM Studio

py::Obj lmstudio_home() {
  // The module's os as Python sees it: replacing it tells this function which platform it
  // runs on (a contract the tests use to check every platform's default).
  py::Obj os = module_global("os");
  py::Obj env = os.attr("environ").attr("get")("LMSTUDIO_MODELS");
  py::Obj path_cls = py::Obj::borrow(state().path_cls);
  if (env.truthy()) return path_cls(env);
  py::Obj home = path_cls.attr("home")();
  const bool windows = py::text(os.attr("name")) == "nt";
  if (!windows && py::text(os.attr("uname")().attr("sysname")) == "Darwin") {
    return home / ".lmstudio" / "models";
  }
  return home / ".cache" / "lm-studio" / "models";
}

py::Obj list_lmstudio_models() {
  py::Obj root = lmstudio_home();
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
  py::Obj root = lmstudio_home();
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

const bridge::Decl kOperations[] = {
    def<&list_ollama_models>(
        "list_ollama_models",
        "List the models of the local Ollama store as dicts with \"name\" (model:tag) and\n"
        "\"size_bytes\" (the sum of the manifest's layer sizes). Manifests that cannot be read\n"
        "or parsed are skipped; blobs are never opened.")
        .returns("list[dict]"),
    def<&find_ollama_blob>(
        "find_ollama_blob",
        "Resolve an Ollama model name (\"model\" or \"model:tag\", tag \"latest\" by default) to\n"
        "the blob holding its GGUF weights: the model layer's blob, else the largest blob of\n"
        "the manifest. Raises FileNotFoundError when the model or its blobs are missing.",
        arg<Str>("model_name"))
        .returns("Path"),
    def<&lmstudio_home>("_lmstudio_home",
                        "The LM Studio models directory: $LMSTUDIO_MODELS when set and "
                        "not empty, otherwise the platform's default.")
        .returns("Path"),
    def<&list_lmstudio_models>(
        "list_lmstudio_models",
        "List the GGUF files below the LM Studio models directory as dicts with \"name\" (the\n"
        "path relative to that directory), \"path\" and \"size_bytes\".")
        .returns("list[dict]"),
    def<&find_lmstudio_model>(
        "find_lmstudio_model",
        "Resolve a name to one LM Studio GGUF file: the path below the models directory when it\n"
        "exists, else the single file whose path contains the name, ignoring case. Raises\n"
        "FileNotFoundError for no match and ValueError for several.",
        arg<Str>("name"))
        .returns("Path"),
    def<&lmstudio_home>("lmstudio_models_dir",
                        "The LM Studio models directory that list_lmstudio_models and "
                        "find_lmstudio_model search (which need not exist).")
        .returns("Path"),
};

}  // namespace

void define_stores(bridge::ModuleBuilder& b) { b.functions(kOperations); }

}  // namespace velmora::bramwick
