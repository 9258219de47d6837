// Resolves the LAPACK/BLAS function table from SciPy's exported capsules, on first use.
#pragma once

namespace velmora::bridge {

// Installs the table for the core if it is not installed yet. Raises (as a pending Python
// error) ImportError when SciPy is missing, RuntimeError when its LAPACK uses integers of
// another width than 32 bits.
void ensure_lapack();

}  // namespace velmora::bridge
