// Module velmora_dryx.bramwick: models already on disk in a local Ollama or LM Studio
// installation, and GGUF files loaded as a state dict.
//
// Everything here orchestrates os, pathlib, json and the gguf library, so the code works
// on Python objects throughout. Module globals (OLLAMA_HOME, Path, json, os, np,
// _lmstudio_home) are looked up in the module dict at each call, as a Python function
// would, so rebinding or monkeypatching them redirects the operations.
#include "bramwick.hpp"

namespace velmora::bramwick {

constexpr const char* kModuleDoc =
    "Local GGUF models: discovery in Ollama and LM Studio installations and loading "
    "of GGUF tensors as arrays.";

namespace {

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
  define_stores(b);
  define_gguf(b);
}

}  // namespace

}  // namespace velmora::bramwick

VELMORA_MODULE(bramwick, velmora::bramwick)
