// Owning handles for Python references, usable without the interpreter lock.
//
// `PyRef` owns exactly one strong reference. It is made only through
// `steal` (take over a new reference) or `borrow` (add one; the caller holds
// the interpreter lock). Its destructor is the only place in the module where
// a reference count drops: with the interpreter lock held the count drops at
// once; without it the object is appended to the process-wide pending-release
// list and released by the next thread that enters the module or takes the
// lock back (see gil.hpp). That lets index code drop objects freely while the
// interpreter lock is released.
//
// `PythonHandle` is the shared form: one heap holder with an atomic count
// that owns one PyRef. Copies share the holder and never touch the
// interpreter, so any thread may copy or drop a handle.
//
// `PythonError` is thrown when an interpreter call failed and left its
// exception set; the Python-facing layer lets that exception reach the caller.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <utility>

typedef struct _object PyObject;

namespace qdx {

class PythonError : public std::exception {
 public:
  const char* what() const noexcept override { return "Python exception set"; }
};

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference. The caller holds the interpreter lock (checked in debug builds).
  static PyRef borrow(PyObject* object);
  // steal() of the result of an interpreter call: throws PythonError on NULL.
  static PyRef checked(PyObject* object);

  ~PyRef() { reset(); }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller (e.g. as a return value to Python).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  // A new reference for the caller. The caller holds the interpreter lock
  // (checked in debug builds).
  PyObject* new_reference() const;
  void reset() noexcept;

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

class PythonHandle {
 public:
  // The shared holder. A compact value record keeps its kind in the low four
  // bits of a holder pointer (value.hpp), so holders sit on 16-byte
  // boundaries. That comes from the allocator (glibc's malloc aligns every
  // block to 16) rather than from `alignas(16)`, which would pad the 24 bytes
  // to 32 and put every holder, one per stored object and per kept value, in
  // the next malloc size class. `make_holder` checks it. `text_size` is the
  // byte length of the UTF-8 text when the object is a str that a value
  // record reads its text from (set once, before the holder is shared).
  struct Holder {
    std::atomic<uint32_t> count;
    PyRef ref;
    size_t text_size = 0;
  };
  static constexpr uintptr_t kHolderAlignment = 16;

  PythonHandle() noexcept = default;
  explicit PythonHandle(PyRef ref) : holder_(make_holder(std::move(ref))) {}
  ~PythonHandle() { reset(); }
  PythonHandle(const PythonHandle& other) noexcept : holder_(other.holder_) { retain(holder_); }
  PythonHandle(PythonHandle&& other) noexcept : holder_(std::exchange(other.holder_, nullptr)) {}
  PythonHandle& operator=(PythonHandle other) noexcept {
    std::swap(holder_, other.holder_);
    return *this;
  }

  PyObject* get() const noexcept { return holder_ != nullptr ? holder_->ref.get() : nullptr; }
  explicit operator bool() const noexcept { return holder_ != nullptr; }
  // Number of handles sharing the holder (exact only when no other thread can copy it).
  uint32_t use_count() const noexcept {
    return holder_ != nullptr ? holder_->count.load(std::memory_order_acquire) : 0;
  }
  void reset() noexcept {
    release(holder_);
    holder_ = nullptr;
  }

  // Raw holder transfer, for records that keep the holder pointer in a packed
  // word: `take_holder` hands over this handle's share, `adopt` takes one back.
  Holder* holder() const noexcept { return holder_; }
  Holder* take_holder() noexcept { return std::exchange(holder_, nullptr); }
  static PythonHandle adopt(Holder* holder) noexcept { return PythonHandle(holder); }
  // Adds or drops one share of a raw holder (null is ignored).
  static void retain(Holder* holder) noexcept {
    if (holder != nullptr) holder->count.fetch_add(1, std::memory_order_relaxed);
  }
  static void release(Holder* holder) noexcept {
    if (holder != nullptr && holder->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete holder;
    }
  }

 private:
  explicit PythonHandle(Holder* holder) noexcept : holder_(holder) {}
  static Holder* make_holder(PyRef ref);
  Holder* holder_ = nullptr;
};

}  // namespace qdx
