// `QDX_DEBUG_CHECK(condition, message)`: a check of a rule the code relies on
// but cannot state in its types (the interpreter lock held where a Python
// reference is copied or made, a structure's precondition, two arguments that
// must not alias, a guard used with the lock it guards). Debug builds (the C++
// unit tests and the sanitizer builds, which define QDX_DEBUG_CHECKS) panic
// with "debug check failed: <message>" when the condition is false; release
// builds compile the check away, condition included, so a condition must have
// no effect of its own (it is not evaluated there).
#pragma once

#include <string>

#include "base/panic.hpp"

#if defined(QDX_DEBUG_CHECKS) && QDX_DEBUG_CHECKS
#define QDX_DEBUG_CHECK(condition, message)                                          \
  do {                                                                               \
    if (!(condition)) ::qdx::panic(std::string("debug check failed: ") + (message)); \
  } while (false)
#else
// The condition stays an unevaluated operand, so what it names counts as used.
#define QDX_DEBUG_CHECK(condition, message)         \
  do {                                              \
    static_cast<void>(sizeof((condition) ? 1 : 0)); \
  } while (false)
#endif

namespace qdx {
#if defined(QDX_DEBUG_CHECKS) && QDX_DEBUG_CHECKS
inline constexpr bool kDebugChecks = true;
#else
inline constexpr bool kDebugChecks = false;
#endif
}  // namespace qdx
