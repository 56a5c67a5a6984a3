// `ScratchAllocator<T>`: memory straight from the system (anonymous mmap),
// given back on deallocation (munmap), for the large short-lived buffers of a
// bulk insertion.
//
// Taken from the malloc heap, such buffers would be freed below the
// structures that the insertion allocated meanwhile; the heap cannot hand
// that memory back from under live chunks, so the process would keep the
// build's scratch resident after the build. With this allocator nothing of
// it stays. Each allocation is at least a page: for a few large buffers
// only, sized up front where possible (growth maps a fresh block each time).
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

namespace qdx {

template <typename T>
struct ScratchAllocator {
  using value_type = T;

  ScratchAllocator() noexcept = default;
  template <typename U>
  ScratchAllocator(const ScratchAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    void* p = mmap(nullptr, bytes(n), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) noexcept { munmap(p, bytes(n)); }

  template <typename U>
  friend bool operator==(const ScratchAllocator&, const ScratchAllocator<U>&) noexcept {
    return true;
  }

 private:
  static size_t bytes(size_t n) noexcept { return std::max<size_t>(n * sizeof(T), 1); }
};

template <typename T>
using ScratchVector = std::vector<T, ScratchAllocator<T>>;

}  // namespace qdx
