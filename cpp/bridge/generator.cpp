#include "generator.hpp"

#include <cstdint>
#include <utility>

#include "errors.hpp"

// A type with its own slots: the C API is the only way to define one.
namespace velmora::bridge {

namespace {

using detail::GenState;
using Generator = detail::GeneratorObject;

void gen_finish(Generator* g) {
  g->state = GenState::Finished;
  if (GeneratorBody* body = std::exchange(g->body, nullptr)) body->~GeneratorBody();
}

// One step of the generator: the next value, or nullptr with no error when exhausted.
PyObject* gen_step(Generator* g) {
  if (g->state == GenState::Finished) return nullptr;
  if (g->running) {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
  }
  g->running = true;
  g->state = GenState::Suspended;
  PyObject* r = guarded([&]() -> PyObject* { return g->body->next().release(); });
  g->running = false;
  if (r == nullptr) gen_finish(g);
  return r;
}

PyObject* gen_iternext(PyObject* self) { return gen_step(reinterpret_cast<Generator*>(self)); }

PyObject* gen_send(PyObject* self, PyObject* value) {
  auto* g = reinterpret_cast<Generator*>(self);
  if (g->state == GenState::Created && value != Py_None && !g->running) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return nullptr;
  }
  PyObject* r = gen_step(g);
  if (r == nullptr && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return r;
}

// A StopIteration leaving a generator body becomes RuntimeError, chained to it.
void replace_stop_iteration() {
  Raised stop;
  if (stop.get() == nullptr) return;
  PyObject* err = PyObject_CallFunction(PyExc_RuntimeError, "s", "generator raised StopIteration");
  if (err == nullptr) return;
  PyException_SetContext(err, Py_NewRef(stop.get()));
  PyException_SetCause(err, Py_NewRef(stop.get()));
  PyErr_SetObject(PyExc_RuntimeError, err);
  Py_DECREF(err);
}

PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  auto* g = reinterpret_cast<Generator*>(self);
  if (nargs < 1 || nargs > 3) {
    if (nargs < 1)
      PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    else
      PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    return nullptr;
  }
#if PY_VERSION_HEX >= 0x030C0000
  if (nargs > 1 &&
      PyErr_WarnEx(PyExc_DeprecationWarning,
                   "the (type, exc, tb) signature of throw() is deprecated, use the single-arg "
                   "signature instead.",
                   1) < 0)
    return nullptr;
#endif
  PyObject* typ = args[0];
  PyObject* val = nargs > 1 ? args[1] : Py_None;
  PyObject* tb = nargs > 2 ? args[2] : Py_None;
  if (tb == Py_None) {
    tb = nullptr;
  } else if (!PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return nullptr;
  }
  if (g->running) {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
  }
  Py_INCREF(typ);
  Py_XINCREF(tb);
  if (PyExceptionClass_Check(typ)) {
    Py_INCREF(val);
    PyErr_NormalizeException(&typ, &val, &tb);
  } else if (PyExceptionInstance_Check(typ)) {
    if (val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      Py_DECREF(typ);
      Py_XDECREF(tb);
      return nullptr;
    }
    val = typ;
    typ = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(val)));
    if (tb == nullptr) tb = PyException_GetTraceback(val);
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    Py_DECREF(typ);
    Py_XDECREF(tb);
    return nullptr;
  }
  PyErr_Restore(typ, val, tb);
  // Raised where the body stands: it catches nothing, so the exception leaves the
  // generator and finishes it. A finished generator just raises it.
  // From 3.12 on, an exception thrown into a generator that has not started is not
  // seen by the body's StopIteration guard.
  const bool guarded_body = g->state == GenState::Suspended ||
                            (g->state == GenState::Created && PY_VERSION_HEX < 0x030C0000);
  if (g->state != GenState::Finished) gen_finish(g);
  if (guarded_body && PyErr_ExceptionMatches(PyExc_StopIteration)) replace_stop_iteration();
  return nullptr;
}

PyObject* gen_close(PyObject* self, PyObject*) {
  auto* g = reinterpret_cast<Generator*>(self);
  if (g->running) {
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
  }
  gen_finish(g);
  Py_RETURN_NONE;
}

PyObject* gen_get_running(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<Generator*>(self)->running);
}
PyObject* gen_get_suspended(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<Generator*>(self)->state == GenState::Suspended);
}
PyObject* gen_get_name(PyObject* self, void*) {
  return PyUnicode_FromString(reinterpret_cast<Generator*>(self)->name);
}

PyObject* gen_repr(PyObject* self) {
  return PyUnicode_FromFormat("<generator object %s at %p>",
                              reinterpret_cast<Generator*>(self)->name, self);
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* g = reinterpret_cast<Generator*>(self);
  if (g->body != nullptr) {
    if (int r = g->body->traverse(visit, arg)) return r;
  }
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int gen_clear(PyObject* self) {
  gen_finish(reinterpret_cast<Generator*>(self));
  return 0;
}

void gen_dealloc(PyObject* self) {
  auto* g = reinterpret_cast<Generator*>(self);
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (GeneratorBody* body = std::exchange(g->body, nullptr)) body->~GeneratorBody();
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next "
     "yielded value or raise\nStopIteration."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gen_getset[] = {
    {"gi_running", gen_get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", gen_get_suspended, nullptr, nullptr, nullptr},
    {"__name__", gen_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", gen_get_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot gen_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(gen_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(gen_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(gen_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(gen_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(gen_iternext)},
    {Py_tp_methods, gen_methods},
    {Py_tp_getset, gen_getset},
    {0, nullptr},
};

PyType_Spec gen_spec = {
    "velmora_dryx.native_generator",
    sizeof(Generator),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    gen_slots,
};

}  // namespace

namespace detail {

PyTypeObject* g_generator_type = nullptr;

PyTypeObject* make_generator_type() {
  if (g_generator_type == nullptr) {
    auto* tp = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&gen_spec));
    if (tp == nullptr) throw py::PythonError{};
    // The type is a generator to the interpreter's abstract base classes.
    py::import("collections.abc").attr("Generator").attr("register")(py::type(*tp));
    g_generator_type = tp;
  }
  return g_generator_type;
}

}  // namespace detail

}  // namespace velmora::bridge
