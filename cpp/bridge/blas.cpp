#include "blas.hpp"

#include <cstring>
#include <string>

#include "../core/lapack.hpp"
#include "errors.hpp"
#include "py.hpp"

namespace velmora::bridge {

namespace {

template <class F>
void resolve(const py::Obj& capi, const char* name, F*& slot) {
  PyObject* cap = PyDict_GetItemString(capi.get(), name);
  if (cap == nullptr || !PyCapsule_CheckExact(cap)) {
    throw py::RuntimeError(std::string("SciPy does not export the LAPACK routine ") + name);
  }
  const char* sig = PyCapsule_GetName(cap);
  if (sig == nullptr) throw py::PythonError{};
  // The capsule name spells the C prototype; the core passes 32-bit ints.
  std::string s(sig);
  if (s.find("int *") == std::string::npos || s.find("long") != std::string::npos ||
      s.find("int64") != std::string::npos) {
    throw py::RuntimeError(std::string("SciPy's ") + name + " does not take 32-bit integers (" + s +
                           "); velmora_dryx needs a SciPy built with 32-bit LAPACK");
  }
  void* p = PyCapsule_GetPointer(cap, sig);
  if (p == nullptr) throw py::PythonError{};
  slot = reinterpret_cast<F*>(p);
}

template <class T>
void fill(const py::Obj& lapack, const py::Obj& blas, core::LapackRoutines<T>& r, char c) {
  auto n = [c](const char* base) {
    static thread_local std::string s;
    s = std::string(1, c) + base;
    return s.c_str();
  };
  resolve(lapack, n("gebrd"), r.gebrd);
  resolve(lapack, n("labrd"), r.labrd);
  resolve(lapack, n("bdsdc"), r.bdsdc);
  resolve(lapack, n("ormbr"), r.ormbr);
  resolve(lapack, n("geqrf"), r.geqrf);
  resolve(lapack, n("gelqf"), r.gelqf);
  resolve(lapack, n("ormqr"), r.ormqr);
  resolve(lapack, n("ormlq"), r.ormlq);
  resolve(lapack, n("stevx"), r.stevx);
  resolve(blas, n("gemm"), r.gemm);
  resolve(lapack, n("syevx"), r.syevx);
  resolve(blas, n("syrk"), r.syrk);
}

}  // namespace

void ensure_lapack() {
  if (core::lapack_table() != nullptr) return;
  py::Obj lapack_capi = py::import("scipy.linalg.cython_lapack").attr("__pyx_capi__");
  py::Obj blas_capi = py::import("scipy.linalg.cython_blas").attr("__pyx_capi__");
  static core::LapackTable t;  // filled once under the GIL, then read-only
  fill(lapack_capi, blas_capi, t.s, 's');
  fill(lapack_capi, blas_capi, t.d, 'd');
  core::install_lapack(&t);
}

}  // namespace velmora::bridge
