// The one internal-fatal-error type of the module.
//
// A broken internal invariant (a failed lock, a full fixed-capacity array, an
// allocation failure while copying a bitmap, an index out of range) throws
// `Panic` carrying the text of the failed check. The Python-facing layer turns
// it into `PanicException`; lock guards that unwind through it mark their lock
// failed, so the structure behind the lock stays unusable afterwards.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace qdx {

class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

[[noreturn]] void panic(std::string_view message);

// Texts of the checks that several places share.
inline constexpr std::string_view kPoisonedLock = "called `Result::unwrap()` on an `Err` value";
inline constexpr std::string_view kCloneFailure =
    "Memory allocation failure cloning roaring bitmap";
inline constexpr std::string_view kBitmapInitFailure = "assertion failed: success";
inline constexpr std::string_view kIndexableLockFailed = "cannot read from indexable";

// Range check used wherever a position or slot index is computed.
inline void check_index(size_t index, size_t length) {
  if (index >= length) {
    panic("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
          std::to_string(index));
  }
}

}  // namespace qdx
