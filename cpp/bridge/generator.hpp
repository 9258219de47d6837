// A native generator: an object that behaves as a Python generator (next, send, throw,
// close, gi_running, gi_suspended, registered as collections.abc.Generator) whose body is
// a C++ object producing one value per step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "py.hpp"

namespace velmora::bridge {

class GeneratorBody {
 public:
  virtual ~GeneratorBody() = default;
  // The next value, or an empty handle when the body is exhausted. The first call is the
  // body's start: what a generator function runs before its first yield happens there.
  virtual py::Obj next() = 0;
  // Visits the Python objects the body holds, for the cycle collector.
  virtual int traverse(visitproc, void*) { return 0; }
};

// Visits one held object (for GeneratorBody::traverse).
inline int visit(const py::Obj& o, visitproc visit, void* arg) {
  return o ? visit(o.get(), arg) : 0;
}

// Bodies live inside the generator object (one fixed-size allocation, no second one).
inline constexpr std::size_t kGeneratorBodySize = 64;

namespace detail {

enum class GenState : std::uint8_t { Created, Suspended, Finished };

// The generator object; its slots live in generator.cpp.
struct GeneratorObject {
  PyObject_HEAD GeneratorBody* body;  // destroyed once finished
  const char* name;
  GenState state;
  bool running;
  alignas(std::max_align_t) unsigned char storage[kGeneratorBodySize];
};

extern PyTypeObject* g_generator_type;
PyTypeObject* make_generator_type();  // creates and registers the type on first use

}  // namespace detail

// A new generator named `name` (for __name__, __qualname__ and the repr) running a Body
// built from `args`. Inline: creating one costs what a Python generator's creation does.
template <class Body, class... A>
py::Obj make_generator(const char* name, A&&... args) {
  static_assert(std::is_base_of_v<GeneratorBody, Body>);
  static_assert(sizeof(Body) <= kGeneratorBodySize && alignof(Body) <= alignof(std::max_align_t),
                "a generator body must fit the object's inline storage");
  PyTypeObject* tp = detail::g_generator_type != nullptr ? detail::g_generator_type
                                                         : detail::make_generator_type();
  // The C API is the way to allocate an object of a native type.
  auto* g = PyObject_GC_New(detail::GeneratorObject, tp);
  if (g == nullptr) throw py::PythonError{};
  g->body = nullptr;
  g->name = name;
  g->state = detail::GenState::Created;
  g->running = false;
  py::Obj gen = py::Obj::steal(reinterpret_cast<PyObject*>(g));
  g->body = new (g->storage) Body(std::forward<A>(args)...);  // a throwing body leaves none
  PyObject_GC_Track(g);
  return gen;
}

}  // namespace velmora::bridge
