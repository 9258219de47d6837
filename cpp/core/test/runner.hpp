// A minimal unit-test runner for the core: TEST registers a case, the CHECK macros record
// failures with their place, and main() runs every case and prints one closing line.
#pragma once

#include <cmath>
#include <string>
#include <vector>

namespace vtest {

struct Case {
  const char* name;
  void (*run)();
};

std::vector<Case>& registry();

struct Register {
  Register(const char* name, void (*run)()) { registry().push_back({name, run}); }
};

// Records a failure of the running case.
void fail(const char* file, int line, const std::string& what);

}  // namespace vtest

#define VTEST_CAT2(a, b) a##b
#define VTEST_CAT(a, b) VTEST_CAT2(a, b)

#define TEST(name)                                                       \
  static void name();                                                    \
  static const vtest::Register VTEST_CAT(register_, name)(#name, &name); \
  static void name()

#define CHECK(cond)                                      \
  do {                                                   \
    if (!(cond)) vtest::fail(__FILE__, __LINE__, #cond); \
  } while (0)

#define CHECK_NEAR(a, b, tol)                                                         \
  do {                                                                                \
    const double vtest_a = static_cast<double>(a), vtest_b = static_cast<double>(b);  \
    if (!(std::fabs(vtest_a - vtest_b) <= (tol))) {                                   \
      vtest::fail(__FILE__, __LINE__,                                                 \
                  std::string(#a " == " #b ": ") + std::to_string(vtest_a) + " vs " + \
                      std::to_string(vtest_b));                                       \
    }                                                                                 \
  } while (0)

// expr throws an exception of type Type whose what() contains `text`.
#define CHECK_THROWS(Type, text, expr)                                              \
  do {                                                                              \
    try {                                                                           \
      expr;                                                                         \
      vtest::fail(__FILE__, __LINE__, "no exception from " #expr);                  \
    } catch (const Type& vtest_e) {                                                 \
      if (std::string(vtest_e.what()).find(text) == std::string::npos) {            \
        vtest::fail(__FILE__, __LINE__, std::string("message: ") + vtest_e.what()); \
      }                                                                             \
    } catch (...) {                                                                 \
      vtest::fail(__FILE__, __LINE__, "another exception type from " #expr);        \
    }                                                                               \
  } while (0)
