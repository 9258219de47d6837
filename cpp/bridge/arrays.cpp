#include "arrays.hpp"

#include <cstring>

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
  const Py_ssize_t want = fmt == 'f' ? 4 : 8;
  if (f[0] != fmt || f[1] != '\0' || view_.itemsize != want) {
    PyBuffer_Release(&view_);
    held_ = false;
    return false;
  }
  return true;
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

}  // namespace velmora::bridge
