#include "values/gil.hpp"

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace qdx {
namespace {

thread_local int t_gil_count = 0;

// The pending-release list: innermost lock of the process. `holds` counts
// the live ReleaseHolds; it is read under `mutex` before a drain, so a
// reference queued after a hold began is never drained before it ends.
struct PendingReleases {
  std::mutex mutex;
  std::vector<PyObject*> objects;
  std::atomic<bool> dirty{false};
  std::atomic<uint32_t> holds{0};
};

PendingReleases& pending() {
  static auto* list =
      new PendingReleases();  // never destroyed: threads may drop references at exit
  return *list;
}

}  // namespace

// The count is the fast answer; the thread-state comparison covers slots that
// the interpreter calls without going through an entry point (deallocators).
// PyGILState_Check is not used: it answers "yes" unconditionally once any
// sub-interpreter has existed.
bool gil_held() noexcept {
  if (t_gil_count > 0) return true;
  PyThreadState* current = _PyThreadState_UncheckedGet();
  return current != nullptr && current == PyGILState_GetThisThreadState();
}

void defer_release(PyObject* object) noexcept {
  PendingReleases& list = pending();
  std::lock_guard<std::mutex> lock(list.mutex);
  list.objects.push_back(object);
  list.dirty.store(true, std::memory_order_release);
}

void drain_pending_releases() noexcept {
  PendingReleases& list = pending();
  if (!list.dirty.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> objects;
  {
    std::lock_guard<std::mutex> lock(list.mutex);
    // A hold may still read pointers whose store references are queued.
    if (list.holds.load(std::memory_order_seq_cst) != 0) return;
    objects.swap(list.objects);
    list.dirty.store(false, std::memory_order_release);
  }
  // Deallocators may run Python code that drops further references; those
  // are released at once because this thread holds the lock.
  for (PyObject* object : objects) Py_DECREF(object);
}

void release_store_reference(PyObject* object) noexcept {
  if (object == nullptr) return;
  if (gil_held() && pending().holds.load(std::memory_order_seq_cst) == 0) {
    Py_DECREF(object);
  } else {
    defer_release(object);
  }
}

void release_store_references(PyObject* const* objects, size_t count) noexcept {
  PendingReleases& list = pending();
  if (gil_held() && list.holds.load(std::memory_order_seq_cst) == 0) {
    for (size_t i = 0; i < count; ++i) Py_XDECREF(objects[i]);
    return;
  }
  std::lock_guard<std::mutex> lock(list.mutex);
  for (size_t i = 0; i < count; ++i) {
    if (objects[i] != nullptr) list.objects.push_back(objects[i]);
  }
  list.dirty.store(true, std::memory_order_release);
}

ReleaseHold::ReleaseHold() noexcept {
  pending().holds.fetch_add(1, std::memory_order_seq_cst);
}

ReleaseHold::~ReleaseHold() {
  pending().holds.fetch_sub(1, std::memory_order_seq_cst);
}

size_t pending_release_count() noexcept {
  PendingReleases& list = pending();
  std::lock_guard<std::mutex> lock(list.mutex);
  return list.objects.size();
}

GilHeld::GilHeld() noexcept {
  ++t_gil_count;
  drain_pending_releases();
}

GilHeld::~GilHeld() {
  --t_gil_count;
}

GilRelease::GilRelease() noexcept : saved_count_(t_gil_count) {
  t_gil_count = 0;
  state_ = PyEval_SaveThread();
}

GilRelease::~GilRelease() {
  PyEval_RestoreThread(state_);
  t_gil_count = saved_count_;
  drain_pending_releases();
}

GilEnsure::GilEnsure() noexcept : state_(PyGILState_Ensure()) {
  ++t_gil_count;
}

GilEnsure::~GilEnsure() {
  drain_pending_releases();
  --t_gil_count;
  PyGILState_Release(static_cast<PyGILState_STATE>(state_));
}

}  // namespace qdx
