// numpy access without numpy's C headers: the buffer protocol for the fast path on
// contiguous float32/float64 data, numpy's own functions for everything else.
#pragma once

#include <cstdint>
#include <vector>

#include "py.hpp"

namespace velmora::bridge {

// The numpy module (imported on first use).
const py::Obj& np();

// A held buffer; released on destruction.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  // Holds o's buffer if it is C-contiguous and aligned with native elements of `fmt` ('f'
  // float32, 'd' float64, 'B' uint8); false (no error pending) otherwise. `writable` asks
  // for a writable one. numpy allows misaligned arrays (frombuffer at an odd offset);
  // native code never reads them in place.
  bool acquire(PyObject* o, char fmt, bool writable = false);
  template <class T>
  T* data() const noexcept {
    return static_cast<T*>(view_.buf);
  }
  std::int64_t size() const noexcept {
    return static_cast<std::int64_t>(view_.len / view_.itemsize);
  }
  int ndim() const noexcept { return view_.ndim; }
  std::int64_t shape(int i) const noexcept { return static_cast<std::int64_t>(view_.shape[i]); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// True for an object whose type is exactly numpy.ndarray.
bool is_ndarray(PyObject* o);

// A C-contiguous float32 or float64 array of exactly numpy's ndarray type (no subclass, which
// may redefine the arithmetic), held through its buffer: the arrays the native fast paths
// accept. Anything else goes through numpy itself so that its semantics hold exactly.
class NativeArray {
 public:
  // `formats` lists the element types accepted, 'f' (float32) and/or 'd' (float64).
  bool acquire(PyObject* o, const char* formats = "fd", bool writable = false);
  char format() const noexcept { return fmt_; }
  bool is_float() const noexcept { return fmt_ == 'f'; }
  template <class T>
  const T* data() const noexcept {
    return buf_.data<T>();
  }
  std::int64_t size() const noexcept { return buf_.size(); }
  int ndim() const noexcept { return static_cast<int>(shape_.size()); }
  const std::vector<std::int64_t>& shape() const noexcept { return shape_; }
  std::int64_t shape(int i) const noexcept { return shape_[static_cast<std::size_t>(i)]; }

 private:
  Buffer buf_;
  char fmt_ = 0;
  std::vector<std::int64_t> shape_;
};

template <class T>
constexpr char format_of() {
  return sizeof(T) == 4 ? 'f' : 'd';
}
template <class T>
constexpr const char* dtype_name() {
  return sizeof(T) == 4 ? "float32" : "float64";
}

// The shape an array-like object declares: its `shape` as a tuple of `ndim` non-negative
// ints. ValueError when the two attributes disagree or an extent is negative.
std::vector<std::int64_t> declared_shape(const py::Obj& o, long long ndim);

// The product of the extents; ValueError when it does not fit 64 bits.
std::int64_t element_count(const std::vector<std::int64_t>& shape);

// Holds the data a native path reads for an object that declares `shape`: `data` itself
// when it is a C-contiguous, aligned ndarray of one of `formats` ('f', 'd'), otherwise
// numpy's aligned, contiguous copy of it in the first of `formats`. Sizes are never taken
// on trust: data of another shape (an object whose `shape` lies, a `reshape` or `astype`
// that returns something else) raises ValueError naming both shapes.
void hold_dense(NativeArray& out, const py::Obj& data, const std::vector<std::int64_t>& shape,
                const char* formats);

// numpy.empty(shape, dtype=dtype) as a writable buffer.
py::Obj empty(const std::vector<std::int64_t>& shape, const char* dtype);
py::Obj shape_tuple(const std::vector<std::int64_t>& shape);

// array.astype(dtype, copy=False): the array itself when it already has that element type.
py::Obj astype_nocopy(const py::Obj& array, const py::Obj& dtype);

// The text of an object's dtype attribute ("float32").
std::string dtype_text(const py::Obj& array);

// Installs the poll through which the core's check_interrupt() sees Ctrl-C.
void install_interrupt_poll() noexcept;

// Releases the GIL for the scope. Nothing Python may be touched inside; the core may call
// check_interrupt() to answer Ctrl-C between phases.
class NoGil {
 public:
  NoGil() noexcept : state_((install_interrupt_poll(), PyEval_SaveThread())) {}
  ~NoGil() { PyEval_RestoreThread(state_); }
  NoGil(const NoGil&) = delete;
  NoGil& operator=(const NoGil&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace velmora::bridge
