// Interpreter-lock bookkeeping.
//
// Each thread keeps a count of how deeply it holds the interpreter lock inside
// the module. Entry points raise it (`GilHeld`); index work that releases the
// lock saves it, sets it to zero and restores it afterwards (`GilRelease`).
// References dropped while the count is zero are queued on the pending-release
// list; the queue is drained when an entry point begins and right after the
// lock is taken back, always with the lock held.
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
