// Module velmora_dryx.bramwick: models already on disk in a local Ollama or LM Studio
// installation, and GGUF files loaded as a state dict.
//
// Everything here orchestrates os, pathlib, json and the gguf library, so the code works
// on Python objects throughout. Two module globals are looked up in the module dict at each
// call, as a Python function would, because replacing them from Python is a contract:
// OLLAMA_HOME (rebinding it redirects the Ollama operations) and os in _lmstudio_home
// (which platform's default applies). Everything else is bound once, in the state.
#include "bramwick.hpp"

namespace velmora::bramwick {

constexpr const char* kModuleDoc =
    "Local GGUF models: discovery in Ollama and LM Studio installations and loading "
    "of GGUF tensors as arrays.";

namespace {

void body(bridge::ModuleBuilder& b) {
  State& s = state();
  s.json = b.import("json").release();
  py::Obj os = b.import("os");
  s.os = py::Obj(os).release();
  py::Obj path_cls = b.from_import("pathlib", "Path");
  s.path_cls = py::Obj(path_cls).release();
  b.import("numpy", "np");

  py::Obj fallback = path_cls.attr("home")() / ".ollama" / "models";
  b.set("_OLLAMA_DEFAULT", fallback);
  py::Obj models = os.attr("environ").attr("get")("OLLAMA_MODELS", fallback.str());
  b.set("OLLAMA_HOME", path_cls(models));
  b.set("_OLLAMA_REGISTRY", py::str(kOllamaRegistry));
  define_stores(b);
  define_gguf(b);
}

}  // namespace

}  // namespace velmora::bramwick

VELMORA_MODULE(bramwick, velmora::bramwick)
