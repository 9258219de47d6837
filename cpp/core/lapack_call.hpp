// Helpers shared by every LAPACK caller in the core: the workspace query and call, info
// checks, and a Ctrl-C check after each routine.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "error.hpp"
#include "interrupt.hpp"
#include "lapack.hpp"

namespace velmora::core {

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
  if (!(w >= 1.0)) w = 1.0;
  if (w > 2147483647.0) w = 2147483647.0;
  return static_cast<int>(w);
}

inline void require_routine(const void* fn, const char* routine) {
  if (fn == nullptr) {
    throw Error(ErrorKind::Runtime, std::string("LAPACK routine ") + routine + " is not available");
  }
}

// Runs a routine that takes a workspace. `call(work, lwork, info)` invokes the routine with
// every other argument bound: once as a workspace query (lwork = -1), then with a workspace
// of the size the query asked for. Returns the info of the query when it failed, else of the
// call. Ctrl-C is checked between the two.
template <class T, class Call>
int run_with_workspace(Call&& call) {
  int info = 0, lwork = -1;
  T query{};
  call(&query, &lwork, &info);
  if (info != 0) return info;
  lwork = lwork_from(query);
  std::vector<T> work(static_cast<std::size_t>(lwork));
  core::check_interrupt();
  call(work.data(), &lwork, &info);
  return info;
}

// The same for a routine that must succeed: a non-zero info raises (check_info), and Ctrl-C
// is checked once more after the call.
template <class T, class Call>
void call_with_workspace(const char* routine, Call&& call) {
  check_info<T>(run_with_workspace<T>(call), routine);
  core::check_interrupt();
}

}  // namespace velmora::core
