// `SmallString`: immutable UTF-8 text, up to 15 bytes inline (most attribute
// values: names, codes, categories; a value record stays two words), longer text in
// one shared heap buffer with an atomic count. Copies of long text share the
// buffer, so copying never allocates and needs no lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace qdx {

class SmallString {
 public:
  static constexpr size_t kInline = 15;

  SmallString() noexcept { tag_ = 0; }
  explicit SmallString(std::string_view text) {
    if (text.size() <= kInline) {
      std::memcpy(inline_, text.data(), text.size());
      tag_ = static_cast<uint8_t>(text.size());
    } else {
      Heap* heap = static_cast<Heap*>(::operator new(sizeof(Heap) + text.size()));
      new (&heap->count) std::atomic<uint32_t>(1);
      heap->size = text.size();
      std::memcpy(heap->bytes, text.data(), text.size());
      set_heap(heap);
    }
  }
  ~SmallString() { drop(); }
  SmallString(const SmallString& other) noexcept { copy_from(other); }
  SmallString(SmallString&& other) noexcept { steal_from(other); }
  SmallString& operator=(const SmallString& other) noexcept {
    if (this != &other) {
      drop();
      copy_from(other);
    }
    return *this;
  }
  SmallString& operator=(SmallString&& other) noexcept {
    if (this != &other) {
      drop();
      steal_from(other);
    }
    return *this;
  }

  std::string_view view() const noexcept {
    if (is_heap()) {
      const Heap* heap = get_heap();
      return {heap->bytes, heap->size};
    }
    return {inline_, tag_};
  }
  size_t size() const noexcept { return view().size(); }
  bool is_inline() const noexcept { return !is_heap(); }
  friend bool operator==(const SmallString& a, const SmallString& b) noexcept {
    return a.view() == b.view();
  }

 private:
  struct Heap {
    std::atomic<uint32_t> count;
    size_t size;
    char bytes[1];
  };
  static constexpr uint8_t kHeapTag = 0xff;

  bool is_heap() const noexcept { return tag_ == kHeapTag; }
  Heap* get_heap() const noexcept {
    Heap* heap;
    std::memcpy(&heap, inline_, sizeof(heap));
    return heap;
  }
  void set_heap(Heap* heap) noexcept {
    std::memcpy(inline_, &heap, sizeof(heap));
    tag_ = kHeapTag;
  }
  void copy_from(const SmallString& other) noexcept {
    std::memcpy(inline_, other.inline_, sizeof(inline_));
    tag_ = other.tag_;
    if (is_heap()) get_heap()->count.fetch_add(1, std::memory_order_relaxed);
  }
  void steal_from(SmallString& other) noexcept {
    std::memcpy(inline_, other.inline_, sizeof(inline_));
    tag_ = std::exchange(other.tag_, 0);
  }
  void drop() noexcept {
    if (is_heap()) {
      Heap* heap = get_heap();
      if (heap->count.fetch_sub(1, std::memory_order_acq_rel) == 1) ::operator delete(heap);
      tag_ = 0;
    }
  }

  alignas(8) char inline_[kInline];
  uint8_t tag_;
};

static_assert(sizeof(SmallString) == 16);

}  // namespace qdx
