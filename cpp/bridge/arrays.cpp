#include "arrays.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "../core/interrupt.hpp"
#include "errors.hpp"

namespace velmora::bridge {

const py::Obj& np() {
  // Kept for the life of the process (never released at exit, when the interpreter is gone).
  static py::Obj* numpy = new py::Obj(py::import("numpy"));
  return *numpy;
}

bool Buffer::acquire(PyObject* o, char fmt, bool writable) {
  if (held_) {
    PyBuffer_Release(&view_);
    held_ = false;
  }
  if (!PyObject_CheckBuffer(o)) return false;
  int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
  if (PyObject_GetBuffer(o, &view_, flags) < 0) {
    PyErr_Clear();
    return false;
  }
  held_ = true;
  const char* f = view_.format != nullptr ? view_.format : "B";
  if (*f == '<' || *f == '=' || *f == '@') {
#if PY_BIG_ENDIAN
    if (*f == '<') return false;
#endif
    ++f;
  }
  const Py_ssize_t want = fmt == 'f' ? 4 : fmt == 'B' ? 1 : 8;
  const auto address = reinterpret_cast<std::uintptr_t>(view_.buf);
  if (f[0] != fmt || f[1] != '\0' || view_.itemsize != want ||
      address % static_cast<std::uintptr_t>(want) != 0) {
    PyBuffer_Release(&view_);
    held_ = false;
    return false;
  }
  return true;
}

bool Buffer::acquire_bytes(PyObject* o) {
  if (held_) {
    PyBuffer_Release(&view_);
    held_ = false;
  }
  if (PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS) < 0) {
    PyErr_Clear();
    return false;
  }
  held_ = true;
  return PyBuffer_IsContiguous(&view_, 'C') != 0;
}

bool is_ndarray(PyObject* o) {
  static PyObject* ndarray = np().attr("ndarray").release();  // kept for the process
  return reinterpret_cast<PyObject*>(Py_TYPE(o)) == ndarray;
}

bool NativeArray::acquire(PyObject* o, const char* formats, bool writable) {
  fmt_ = 0;
  if (!is_ndarray(o)) return false;
  for (const char* f = formats; *f != '\0'; ++f) {
    if (buf_.acquire(o, *f, writable)) {
      fmt_ = *f;
      shape_.resize(static_cast<std::size_t>(buf_.ndim()));
      for (int i = 0; i < buf_.ndim(); ++i) shape_[static_cast<std::size_t>(i)] = buf_.shape(i);
      return true;
    }
  }
  return false;
}

std::vector<std::int64_t> declared_shape(const py::Obj& o, long long ndim) {
  py::Obj shape = py::Obj::steal(PySequence_Tuple(o.attr("shape").get()));
  const Py_ssize_t d = PyTuple_GET_SIZE(shape.get());
  if (d != ndim) {
    throw py::ValueError("array-like object declares ndim " + std::to_string(ndim) +
                         " but a shape of " + std::to_string(d) +
                         " dimensions: " + py::text(shape));
  }
  std::vector<std::int64_t> dims;
  for (Py_ssize_t i = 0; i < d; ++i) {
    const long long n = py::Obj::steal(PyNumber_Index(shape.item(i).get())).as_ll();
    if (n < 0) throw py::ValueError("negative dimensions are not allowed: " + py::text(shape));
    dims.push_back(n);
  }
  return dims;
}

namespace {

std::string shape_text(const std::vector<std::int64_t>& shape);

}  // namespace

std::int64_t element_count(const std::vector<std::int64_t>& shape) {
  if (std::find(shape.begin(), shape.end(), 0) != shape.end()) return 0;
  std::int64_t count = 1;
  for (std::int64_t n : shape) {
    if (__builtin_mul_overflow(count, n, &count)) {
      throw py::ValueError("shape " + shape_text(shape) + " has too many elements");
    }
  }
  return count;
}

namespace {

std::string shape_text(const std::vector<std::int64_t>& shape) {
  return py::text(shape_tuple(shape));
}

}  // namespace

void hold_dense(NativeArray& out, const py::Obj& data, const std::vector<std::int64_t>& shape,
                const char* formats) {
  if (!out.acquire(data.get(), formats)) {
    const char* dtype = formats[0] == 'f' ? "float32" : "float64";
    py::Obj c = np().attr("ascontiguousarray").call({data}, {{"dtype", py::str(dtype)}});
    // A fresh copy when numpy handed back a misaligned array as it was.
    if (!out.acquire(c.get(), formats)) c = np().attr("array")(c);
    if (!out.acquire(c.get(), formats)) {
      throw py::RuntimeError("numpy did not return an aligned contiguous array");
    }
  }
  if (out.shape() != shape) {
    throw py::ValueError("array data of shape " + shape_text(out.shape()) +
                         " does not match the declared shape " + shape_text(shape));
  }
}

py::Obj shape_tuple(const std::vector<std::int64_t>& shape) {
  std::vector<long long> v(shape.begin(), shape.end());
  return py::tuple_of_ints(v.data(), v.size());
}

py::Obj empty(const std::vector<std::int64_t>& shape, const char* dtype) {
  return np().attr("empty").call({shape_tuple(shape)}, {{"dtype", py::str(dtype)}});
}

py::Obj astype_nocopy(const py::Obj& array, const py::Obj& dtype) {
  return array.attr("astype").call({dtype}, {{"copy", py::boolean(false)}});
}

std::string dtype_text(const py::Obj& array) { return py::text(array.attr("dtype")); }

namespace {

// The interpreter's main thread, the only one that runs signal handlers (0: not known yet).
std::atomic<unsigned long> g_main_thread{0};

// Worker threads never see a signal, so they return at once instead of waiting for the GIL.
bool poll_signals() noexcept {
  if (PyThread_get_thread_ident() != g_main_thread.load(std::memory_order_relaxed)) return false;
  PyGILState_STATE state = PyGILState_Ensure();
  bool raised = PyErr_CheckSignals() < 0;
  PyGILState_Release(state);
  return raised;
}

// threading.main_thread().ident, read once with the GIL held.
void learn_main_thread() noexcept {
  PyObject *type, *value, *traceback;  // whatever is pending stays pending
  PyErr_Fetch(&type, &value, &traceback);
  PyObject* threading = PyImport_ImportModule("threading");
  PyObject* main =
      threading != nullptr ? PyObject_CallMethod(threading, "main_thread", nullptr) : nullptr;
  PyObject* ident = main != nullptr ? PyObject_GetAttrString(main, "ident") : nullptr;
  unsigned long id = ident != nullptr ? PyLong_AsUnsignedLong(ident) : 0;
  Py_XDECREF(ident);
  Py_XDECREF(main);
  Py_XDECREF(threading);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    id = 0;
  }
  PyErr_Restore(type, value, traceback);
  g_main_thread.store(id, std::memory_order_relaxed);
}

}  // namespace

// Called with the GIL held (C API: the one-time lookup of the main thread needs it).
void install_interrupt_poll() noexcept {
  if (g_main_thread.load(std::memory_order_relaxed) == 0) learn_main_thread();
  // A worker abandoned by Ctrl-C may still be inside BLAS: the process must not unload it
  // under the worker, so the interpreter's exit waits for it.
  static const bool at_exit = Py_AtExit(&core::wait_for_workers) == 0;
  (void)at_exit;
  core::set_interrupt_poll(&poll_signals);
}

}  // namespace velmora::bridge
