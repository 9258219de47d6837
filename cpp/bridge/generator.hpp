// A native generator: an object that behaves as a Python generator (next, send, throw,
// close, gi_running, gi_suspended, registered as collections.abc.Generator) whose body is
// a C++ object producing one value per step.
#pragma once

#include <cstddef>
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

py::Obj new_generator(const char* name, void** storage);
void attach_body(const py::Obj& generator, GeneratorBody* body) noexcept;

// A new generator named `name` (for __name__, __qualname__ and the repr) running a Body
// built from `args`.
template <class Body, class... A>
py::Obj make_generator(const char* name, A&&... args) {
  static_assert(std::is_base_of_v<GeneratorBody, Body>);
  static_assert(sizeof(Body) <= kGeneratorBodySize && alignof(Body) <= alignof(std::max_align_t),
                "a generator body must fit the object's inline storage");
  void* storage = nullptr;
  py::Obj gen = new_generator(name, &storage);
  attach_body(gen, new (storage) Body(std::forward<A>(args)...));
  return gen;
}

}  // namespace velmora::bridge
