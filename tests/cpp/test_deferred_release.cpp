// Python references dropped by a thread that does not hold the interpreter
// lock are queued and released by the next thread that holds it.
#include <Python.h>
#include <gtest/gtest.h>

#include <thread>

#include "values/gil.hpp"
#include "values/python_ref.hpp"

namespace qdx {
namespace {

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
  void TearDown() override { Py_FinalizeEx(); }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new Interpreter);

TEST(DeferredRelease, DropWithoutLockIsQueuedUntilLockIsTaken) {
  PyObject* list = PyList_New(0);
  PyRef extra = PyRef::borrow(list);
  const Py_ssize_t before = Py_REFCNT(list);
  {
    GilRelease release;
    std::thread worker([&] { PyRef dropped = std::move(extra); });
    worker.join();
    EXPECT_EQ(pending_release_count(), 1u);
    EXPECT_EQ(Py_REFCNT(list), before);  // not touched without the lock
  }
  // Taking the lock back drained the queue.
  EXPECT_EQ(pending_release_count(), 0u);
  EXPECT_EQ(Py_REFCNT(list), before - 1);
  PyRef owner = PyRef::steal(list);
}

TEST(DeferredRelease, SharedHandleReleasesOnceWhenLastCopyGoes) {
  PyObject* object = PyList_New(0);
  PyRef keep = PyRef::borrow(object);
  const Py_ssize_t before = Py_REFCNT(object);
  {
    PythonHandle handle(PyRef::borrow(object));
    PythonHandle copy = handle;
    EXPECT_EQ(copy.use_count(), 2u);
    EXPECT_EQ(Py_REFCNT(object), before + 1);
    GilRelease release;
    std::thread a([h = std::move(handle)]() mutable { h.reset(); });
    std::thread b([h = std::move(copy)]() mutable { h.reset(); });
    a.join();
    b.join();
    EXPECT_EQ(pending_release_count(), 1u);
  }
  EXPECT_EQ(Py_REFCNT(object), before);
  PyRef owner = PyRef::steal(object);
}

TEST(DeferredRelease, DropWithLockHeldIsImmediate) {
  PyObject* object = PyList_New(0);
  PyRef keep = PyRef::borrow(object);
  const Py_ssize_t before = Py_REFCNT(object);
  { PyRef temporary = PyRef::borrow(object); }
  EXPECT_EQ(Py_REFCNT(object), before);
  EXPECT_EQ(pending_release_count(), 0u);
  PyRef owner = PyRef::steal(object);
}

}  // namespace
}  // namespace qdx
