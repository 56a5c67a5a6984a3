// `HybridHashMap<V>`: the attribute map of one indexable object, from
// attribute id to the attribute's current value.
//
// Design
//
//   Layout. A tagged union of two variants. `SmallMap` keeps up to eight
//   entries inline: an array of eight ids and an array of eight raw value
//   slots, of which the first `len` hold constructed values (slot i belongs to
//   id i); slots at and past `len` hold nothing and are never read, assigned
//   or destroyed. `Map` is an absl::flat_hash_map keyed by the word hash of the
//   id, made when a ninth distinct id arrives, pre-sized for 28 entries.
//
//   Invariants. Ids are distinct. In `SmallMap`, entries sit in the order
//   their ids were first inserted and `len` <= 8. A map becomes `Map` once and
//   never goes back (only `clear` starts over with an empty `SmallMap`).
//
//   Operations. `get` and `insert` scan at most eight ids in `SmallMap` and
//   probe the table in `Map`. Replacing the value of a present id keeps the
//   variant, the order and the size. The switch moves the eight entries into
//   the table in position order; it costs one allocation. `for_each` visits
//   first-insertion order in `SmallMap` and bucket order in `Map`.
//
// The map has no lock of its own: its owner keeps it behind the object's
// attribute-map mutex. It depends only on the value type it is given, so this
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
  HybridHashMap(HybridHashMap&&) noexcept = default;
  HybridHashMap& operator=(HybridHashMap&&) noexcept = default;
  HybridHashMap(const HybridHashMap&) = delete;
  HybridHashMap& operator=(const HybridHashMap&) = delete;
  ~HybridHashMap() = default;

  // Stores `value` under `id`; hands back the value `id` had before, if any.
  std::optional<V> insert(uint32_t id, V value) {
    if (auto* small = std::get_if<SmallKVMap>(&map_)) {
      if (V* present = small->find(id)) return std::exchange(*present, std::move(value));
      if (small->len < kInline) {
        small->push(id, std::move(value));
      } else {
        grow(*small, id, std::move(value));
      }
      return std::nullopt;
    }
    auto& table = std::get<Table>(map_);
    auto [slot, inserted] = table.try_emplace(id, std::move(value));
    if (inserted) return std::nullopt;
    // try_emplace left `value` untouched when the id was present.
    return std::exchange(slot->second, std::move(value));
  }

  // The value of `id`, or null. Valid until the next insert or clear.
  const V* get(uint32_t id) const { return const_cast<HybridHashMap*>(this)->get(id); }
  V* get(uint32_t id) {
    if (auto* small = std::get_if<SmallKVMap>(&map_)) return small->find(id);
    auto& table = std::get<Table>(map_);
    const auto it = table.find(id);
    return it == table.end() ? nullptr : &it->second;
  }

  size_t size() const noexcept {
    if (const auto* small = std::get_if<SmallKVMap>(&map_)) return small->len;
    return std::get<Table>(map_).size();
  }
  bool is_small() const noexcept { return std::holds_alternative<SmallKVMap>(map_); }

  // Calls f(id, value) once per entry.
  template <typename F>
  void for_each(F&& f) const {
    if (const auto* small = std::get_if<SmallKVMap>(&map_)) {
      for (size_t i = 0; i < small->len; ++i) f(small->keys[i], small->at(i));
      return;
    }
    for (const auto& [id, value] : std::get<Table>(map_)) f(id, value);
  }

  // Drops every value; the map is an empty `SmallMap` again.
  void clear() { map_.template emplace<SmallKVMap>(); }

 private:
  struct IdHash {
    size_t operator()(uint32_t id) const noexcept { return word_hash1(id); }
  };
  using Table = absl::flat_hash_map<uint32_t, V, IdHash>;

  // Eight inline entries over raw storage; only the first `len` value slots
  // are constructed.
  struct SmallKVMap {
    uint32_t keys[kInline];
    alignas(V) std::byte values[kInline][sizeof(V)];
    size_t len = 0;

    SmallKVMap() = default;
    SmallKVMap(SmallKVMap&& other) noexcept { take(other); }
    SmallKVMap& operator=(SmallKVMap&& other) noexcept {
      if (this != &other) {
        destroy();
        take(other);
      }
      return *this;
    }
    ~SmallKVMap() { destroy(); }

    V& at(size_t i) noexcept { return *std::launder(reinterpret_cast<V*>(values[i])); }
    const V& at(size_t i) const noexcept {
      return *std::launder(reinterpret_cast<const V*>(values[i]));
    }
    V* find(uint32_t id) noexcept {
      for (size_t i = 0; i < len; ++i) {
        if (keys[i] == id) return &at(i);
      }
      return nullptr;
    }
    void push(uint32_t id, V&& value) {
      check_index(len, kInline);
      ::new (static_cast<void*>(values[len])) V(std::move(value));
      keys[len] = id;
      ++len;
    }
    void destroy() noexcept {
      for (size_t i = len; i > 0; --i) std::destroy_at(&at(i - 1));
      len = 0;
    }
    // Moves other's entries here (this one is empty) and leaves other empty.
    void take(SmallKVMap& other) noexcept {
      static_assert(std::is_nothrow_move_constructible_v<V>);
      for (size_t i = 0; i < other.len; ++i) {
        ::new (static_cast<void*>(values[i])) V(std::move(other.at(i)));
        keys[i] = other.keys[i];
      }
      len = other.len;
      other.destroy();
    }
  };

  // The ninth distinct id: move the eight entries into a table, in position
  // order, then add the new one. The small map is left owning nothing.
  void grow(SmallKVMap& small, uint32_t id, V&& value) {
    Table table;
    table.reserve(kFirstTableEntries);
    for (size_t i = 0; i < small.len; ++i) table.try_emplace(small.keys[i], std::move(small.at(i)));
    table.try_emplace(id, std::move(value));
    map_.template emplace<Table>(std::move(table));  // destroys `small`
  }

  std::variant<SmallKVMap, Table> map_;
};

}  // namespace qdx
