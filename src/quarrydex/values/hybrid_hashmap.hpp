// `HybridHashMap<V>`: the attribute map of one indexable object, from
// attribute id to the attribute's current value.
//
// Design
//
//   Layout. Up to eight entries live in one heap block sized to the entries
//   it holds: the values first, then their ids (a map of four attributes
//   holds four values and four ids, with no padding between an id and its
//   value; an empty map holds no block): objects carry few attributes, so the
//   map costs what its entries cost. A ninth distinct id moves the entries into an
//   absl::flat_hash_map keyed by the word hash of the id, pre-sized for 28
//   entries. The map itself is two words: one pointer (the block, or the
//   table once there is one) and the small form's length and capacity.
//
//   Invariants. Ids are distinct. In the small form, entries sit in the order
//   their ids were first inserted, `len_` <= `cap_` <= 8, and exactly the
//   first `len_` values and ids of the block are constructed. In the table
//   form `cap_` is kTableForm and `len_` is 0. A map becomes a table
//   once and never goes back (only `clear` starts over with an empty small
//   form).
//
//   Operations. `get` and `insert` scan at most eight ids in the small form
//   and probe the table otherwise. Replacing the value of a present id keeps
//   the form, the order and the size. Adding an id to a full block moves the
//   entries into a block one larger (one allocation; with at most eight
//   entries the moves cost less than the memory spare room would hold).
//   `reserve` sizes the block once when the caller knows the count.
//   `for_each` visits first-insertion order in the small form and bucket
//   order in the table.
//
// The map has no lock of its own: its owner keeps it behind the object's
// one lock. It depends only on the value type it is given, so this
// layer stays free of interpreter headers.
#pragma once

#include <absl/container/flat_hash_map.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "base/panic.hpp"
#include "base/word_hash.hpp"

namespace qdx {

template <typename V>
class HybridHashMap {
 public:
  static constexpr size_t kInline = 8;
  // Room the table has when the switch creates it (32 buckets).
  static constexpr size_t kFirstTableEntries = 28;

  HybridHashMap() = default;
  HybridHashMap(HybridHashMap&& other) noexcept { take(other); }
  HybridHashMap& operator=(HybridHashMap&& other) noexcept {
    if (this != &other) {
      destroy();
      take(other);
    }
    return *this;
  }
  HybridHashMap(const HybridHashMap&) = delete;
  HybridHashMap& operator=(const HybridHashMap&) = delete;
  ~HybridHashMap() { destroy(); }

  // Room for `count` entries in the small form (no effect on a table or past eight).
  void reserve(size_t count) {
    if (is_small() && count > cap_ && count <= kInline) resize(count);
  }

  // Stores `value` under `id`; hands back the value `id` had before, if any.
  std::optional<V> insert(uint32_t id, V value) {
    if (is_small()) {
      if (V* present = find_small(id)) return std::exchange(*present, std::move(value));
      if (len_ < kInline) {
        if (len_ == cap_) resize(len_ + 1u);
        ::new (static_cast<void*>(values() + len_)) V(std::move(value));
        ids()[len_] = id;
        ++len_;
      } else {
        grow(id, std::move(value));
      }
      return std::nullopt;
    }
    auto [slot, inserted] = table_ptr()->try_emplace(id, std::move(value));
    if (inserted) return std::nullopt;
    // try_emplace left `value` untouched when the id was present.
    return std::exchange(slot->second, std::move(value));
  }

  // The value of `id`, or null. Valid until the next insert or clear.
  const V* get(uint32_t id) const { return const_cast<HybridHashMap*>(this)->get(id); }
  V* get(uint32_t id) {
    if (is_small()) return find_small(id);
    const auto it = table_ptr()->find(id);
    return it == table_ptr()->end() ? nullptr : &it->second;
  }

  // The map's heap storage, for a prefetch hint only: it may be read without
  // the owner's lock, and may then be stale or already freed.
  const void* storage_hint() const noexcept { return __atomic_load_n(&block_, __ATOMIC_RELAXED); }

  size_t size() const noexcept { return is_small() ? len_ : table_ptr()->size(); }
  bool is_small() const noexcept { return cap_ != kTableForm; }

  // Calls f(id, value) once per entry.
  template <typename F>
  void for_each(F&& f) const {
    if (is_small()) {
      for (uint32_t i = 0; i < len_; ++i) f(ids()[i], values()[i]);
      return;
    }
    for (const auto& [id, value] : *table_ptr()) f(id, value);
  }

  // Drops every value; the map is an empty small map again.
  void clear() { destroy(); }

 private:
  struct IdHash {
    size_t operator()(uint32_t id) const noexcept { return word_hash1(id); }
  };
  using Table = absl::flat_hash_map<uint32_t, V, IdHash>;
  static_assert(std::is_nothrow_move_constructible_v<V>);
  static_assert(alignof(V) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  static constexpr size_t kIdAlign = alignof(uint32_t);
  static constexpr uint32_t kTableForm = UINT32_MAX;

  // Where the ids start in a block of `capacity` entries.
  static size_t ids_offset(size_t capacity) noexcept {
    return (capacity * sizeof(V) + kIdAlign - 1) / kIdAlign * kIdAlign;
  }
  static size_t block_bytes(size_t capacity) noexcept {
    return ids_offset(capacity) + capacity * sizeof(uint32_t);
  }
  uint32_t* ids() const noexcept {
    return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(values()) + ids_offset(cap_));
  }

  V* find_small(uint32_t id) noexcept {
    const uint32_t* ids_here = ids();
    for (uint32_t i = 0; i < len_; ++i) {
      if (ids_here[i] == id) return values() + i;
    }
    return nullptr;
  }

  // Moves the entries into a new block of `capacity` entries (>= len_).
  void resize(size_t capacity) {
    check_index(len_, capacity + 1);
    V* fresh = static_cast<V*>(::operator new(block_bytes(capacity)));
    uint32_t* fresh_ids =
        reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(fresh) + ids_offset(capacity));
    const uint32_t* old_ids = values() != nullptr ? ids() : nullptr;
    for (uint32_t i = 0; i < len_; ++i) {
      ::new (static_cast<void*>(fresh + i)) V(std::move(values()[i]));
      std::destroy_at(values() + i);
      fresh_ids[i] = old_ids[i];
    }
    release_block();
    set_block(fresh);
    cap_ = static_cast<uint32_t>(capacity);
  }

  void release_block() noexcept {
    if (block_ != nullptr) ::operator delete(block_);
    set_block(nullptr);
    cap_ = 0;
  }

  void destroy() noexcept {
    if (!is_small()) {
      std::unique_ptr<Table> table(table_ptr());
      set_block(nullptr);
      cap_ = 0;
      return;
    }
    for (uint32_t i = len_; i > 0; --i) std::destroy_at(values() + (i - 1));
    len_ = 0;
    release_block();
  }

  // Moves other's entries here (this one is empty) and leaves other empty.
  void take(HybridHashMap& other) noexcept {
    // The pointer is handed over whole: it is the block or the table, as cap_ says.
    set_block(other.block_);
    other.set_block(nullptr);
    len_ = std::exchange(other.len_, 0);
    cap_ = std::exchange(other.cap_, 0);
  }

  // The ninth distinct id: move the eight entries into a table, in position
  // order, then add the new one. The block is released.
  void grow(uint32_t id, V&& value) {
    auto table = std::make_unique<Table>();
    table->reserve(kFirstTableEntries);
    const uint32_t* ids_here = ids();
    for (uint32_t i = 0; i < len_; ++i) {
      table->try_emplace(ids_here[i], std::move(values()[i]));
    }
    table->try_emplace(id, std::move(value));
    destroy();
    set_block(table.release());
    cap_ = kTableForm;
  }

  V* values() const noexcept { return static_cast<V*>(block_); }
  Table* table_ptr() const noexcept { return static_cast<Table*>(block_); }
  // Every store of the pointer is atomic, so that `storage_hint` may read it
  // while the owner's lock is held elsewhere.
  void set_block(void* block) noexcept { __atomic_store_n(&block_, block, __ATOMIC_RELAXED); }

  void* block_ = nullptr;  // the block (small form) or the owned table
  uint32_t len_ = 0;
  uint32_t cap_ = 0;
};

}  // namespace qdx
