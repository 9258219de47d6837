// Shared declarations of the bramwick module's source files.
#pragma once

#include <initializer_list>

#include "../bridge/module.hpp"
#include "../bridge/py.hpp"

namespace velmora::bramwick {

// Directory Ollama keeps the official registry's manifests under (the module's
// _OLLAMA_REGISTRY), and that registry's default namespace.
inline constexpr const char* kOllamaRegistry = "registry.ollama.ai";
inline constexpr const char* kOllamaNamespace = "library";

// The module's state: objects its body binds once, kept for the life of the process.
struct State {
  PyObject* os = nullptr;        // the os module
  PyObject* path_cls = nullptr;  // pathlib.Path
  PyObject* json = nullptr;      // the json module
};
inline State& state() {
  static State s;
  return s;
}

// Messages are built from Python strings: names and paths may hold characters (lone
// surrogates of undecodable file names) that have no UTF-8 form.
py::Obj join(std::initializer_list<py::Obj> pieces);

// The operations of the local stores (Ollama, LM Studio) and of GGUF files.
void define_stores(bridge::ModuleBuilder& b);
void define_gguf(bridge::ModuleBuilder& b);

}  // namespace velmora::bramwick
