// Function-pointer table for the LAPACK/BLAS routines the core uses. The core links no
// BLAS: the bridge fills the table once from the library the interpreter already loaded.
// Fortran convention: column-major, every argument by pointer, 32-bit integers.
#pragma once

namespace velmora::core {

template <class T>
struct LapackRoutines {
  // ?gebrd: reduce a general matrix to bidiagonal form.
  void (*gebrd)(int* m, int* n, T* a, int* lda, T* d, T* e, T* tauq, T* taup, T* work, int* lwork,
                int* info) = nullptr;
  // ?labrd: reduce the first nb rows and columns to bidiagonal form (one panel of ?gebrd).
  void (*labrd)(int* m, int* n, int* nb, T* a, int* lda, T* d, T* e, T* tauq, T* taup, T* x,
                int* ldx, T* y, int* ldy) = nullptr;
  // ?bdsdc: singular values (and optionally vectors) of a bidiagonal matrix.
  void (*bdsdc)(char* uplo, char* compq, int* n, T* d, T* e, T* u, int* ldu, T* vt, int* ldvt, T* q,
                int* iq, T* work, int* iwork, int* info) = nullptr;
  // ?ormbr: apply Q or P^T of ?gebrd to a matrix.
  void (*ormbr)(char* vect, char* side, char* trans, int* m, int* n, int* k, T* a, int* lda, T* tau,
                T* c, int* ldc, T* work, int* lwork, int* info) = nullptr;
  void (*geqrf)(int* m, int* n, T* a, int* lda, T* tau, T* work, int* lwork, int* info) = nullptr;
  void (*gelqf)(int* m, int* n, T* a, int* lda, T* tau, T* work, int* lwork, int* info) = nullptr;
  void (*ormqr)(char* side, char* trans, int* m, int* n, int* k, T* a, int* lda, T* tau, T* c,
                int* ldc, T* work, int* lwork, int* info) = nullptr;
  void (*ormlq)(char* side, char* trans, int* m, int* n, int* k, T* a, int* lda, T* tau, T* c,
                int* ldc, T* work, int* lwork, int* info) = nullptr;
  // ?stevx: selected eigenpairs of a symmetric tridiagonal matrix.
  void (*stevx)(char* jobz, char* range, int* n, T* d, T* e, T* vl, T* vu, int* il, int* iu,
                T* abstol, int* m, T* w, T* z, int* ldz, T* work, int* iwork, int* ifail,
                int* info) = nullptr;
  void (*gemm)(char* transa, char* transb, int* m, int* n, int* k, T* alpha, T* a, int* lda, T* b,
               int* ldb, T* beta, T* c, int* ldc) = nullptr;
  // ?syevx: selected eigenpairs of a symmetric matrix.
  void (*syevx)(char* jobz, char* range, char* uplo, int* n, T* a, int* lda, T* vl, T* vu, int* il,
                int* iu, T* abstol, int* m, T* w, T* z, int* ldz, T* work, int* lwork, int* iwork,
                int* ifail, int* info) = nullptr;
  // ?syrk: symmetric rank-k update, C = alpha op(A) op(A)^T + beta C.
  void (*syrk)(char* uplo, char* trans, int* n, int* k, T* alpha, T* a, int* lda, T* beta, T* c,
               int* ldc) = nullptr;
};

struct LapackTable {
  LapackRoutines<float> s;
  LapackRoutines<double> d;
};

// The table the bridge installed, or nullptr before the first use.
const LapackTable* lapack_table() noexcept;
void install_lapack(const LapackTable* t) noexcept;

template <class T>
const LapackRoutines<T>& lapack() noexcept;
template <>
inline const LapackRoutines<float>& lapack<float>() noexcept {
  return lapack_table()->s;
}
template <>
inline const LapackRoutines<double>& lapack<double>() noexcept {
  return lapack_table()->d;
}

}  // namespace velmora::core
