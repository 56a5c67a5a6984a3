// Interpreter-lock bookkeeping.
//
// Each thread keeps a count of how deeply it holds the interpreter lock inside
// the module. Entry points raise it (`GilHeld`); index work that releases the
// lock saves it, sets it to zero and restores it afterwards (`GilRelease`).
// References dropped while the count is zero are queued on the pending-release
// list; the queue is drained when an entry point begins and right after the
// lock is taken back, always with the lock held.
//
// Object stores read an object pointer under their lock and use it after the
// lock is gone, without taking a reference (that would need the interpreter
// lock). A `ReleaseHold` keeps such a pointer valid: while any hold is alive,
// in any thread, a store reference that is dropped (`release_store_reference`)
// is queued rather than released, and the queue is not drained. A pointer read
// from a store after the hold began stays valid until the hold ends, since its
// store reference can only be dropped after the read.
#pragma once

#include "values/python_ref.hpp"

typedef struct _ts PyThreadState;

namespace qdx {

// True when the calling thread holds the interpreter lock.
bool gil_held() noexcept;

// Queues a reference dropped without the interpreter lock.
void defer_release(PyObject* object) noexcept;
// Releases every queued reference. The caller holds the interpreter lock.
void drain_pending_releases() noexcept;
// Number of queued references (for tests).
size_t pending_release_count() noexcept;

// Drops a reference an object store owned: at once when the interpreter lock
// is held and no ReleaseHold is alive, else through the pending list.
void release_store_reference(PyObject* object) noexcept;
// The same for many references, queued under one lock.
void release_store_references(PyObject* const* objects, size_t count) noexcept;

// Defers every store reference dropped while the hold is alive (see above).
// Holds nest and may be taken with or without the interpreter lock.
class ReleaseHold {
 public:
  ReleaseHold() noexcept;
  ~ReleaseHold();
  ReleaseHold(const ReleaseHold&) = delete;
  ReleaseHold& operator=(const ReleaseHold&) = delete;
};

// Marks an entry point: the thread holds the interpreter lock for the guard's
// lifetime. Drains the pending list on entry.
class GilHeld {
 public:
  GilHeld() noexcept;
  ~GilHeld();
  GilHeld(const GilHeld&) = delete;
  GilHeld& operator=(const GilHeld&) = delete;
};

// Releases the interpreter lock for the guard's lifetime; takes it back and
// drains the pending list on destruction (also when unwinding).
class GilRelease {
 public:
  GilRelease() noexcept;
  ~GilRelease();
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
  int saved_count_;
};

// Takes the interpreter lock from a thread that may not hold it.
class GilEnsure {
 public:
  GilEnsure() noexcept;
  ~GilEnsure();
  GilEnsure(const GilEnsure&) = delete;
  GilEnsure& operator=(const GilEnsure&) = delete;

 private:
  int state_;
};

}  // namespace qdx
