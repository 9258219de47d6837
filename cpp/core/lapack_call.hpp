// Helpers shared by every LAPACK caller in the core: workspace queries and info checks.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>

#include "error.hpp"
#include "lapack.hpp"

namespace velmora::lapack {

template <class T>
constexpr char prefix() {
  return sizeof(T) == 4 ? 's' : 'd';
}

// info > 0 means the routine did not converge; info < 0 is a bad argument, a bug here.
template <class T>
inline void check_info(int info, const char* routine) {
  if (info > 0) raise_linalg("SVD did not converge");
  if (info < 0) {
    throw Error(ErrorKind::Runtime, std::string("internal error: ") + prefix<T>() + routine +
                                        " rejected argument " + std::to_string(-info));
  }
}

// Converts the optimal workspace size a query returned in work[0]. The value travels as a
// floating-point number, so round up and leave a margin for large sizes in float.
template <class T>
inline int lwork_from(T query) {
  double w = std::ceil(static_cast<double>(query) * (1.0 + 1e-6)) + 1.0;
  if (w > 2147483647.0) w = 2147483647.0;
  return static_cast<int>(w);
}

// True when a rows x cols matrix can be addressed with LAPACK's 32-bit integers.
inline bool fits_int32(std::int64_t rows, std::int64_t cols) noexcept {
  constexpr std::int64_t limit = 2147483647;
  return rows >= 0 && cols >= 0 && rows <= limit && cols <= limit &&
         (rows == 0 || cols <= limit / rows);
}

inline void require(const void* fn, const char* routine) {
  if (fn == nullptr) {
    throw Error(ErrorKind::Runtime, std::string("LAPACK routine ") + routine + " is not available");
  }
}

}  // namespace velmora::lapack
