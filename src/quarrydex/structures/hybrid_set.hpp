// `HybridSet`: the set of object ids that hold one hashed attribute value.
//
// Most values are held by very few objects, so a set starts as nothing, grows
// into an inline `CenteredArray` and becomes an owned roaring `Bitmap` only
// when it outgrows the array:
//
//   Variant  Payload                Holds
//   kEmpty   none                   no ids
//   kSmall   CenteredArray inline   0 to 4 ids (4 only through a union)
//   kLarge   Bitmap inline          any number of ids
//
// Invariants:
//   - the representation only grows: Empty -> Small -> Large. Removing ids
//     never shrinks it, so an empty Small or an empty Large set is normal;
//   - Insert turns a Small set that already holds three ids into Large, even
//     when the id is one of them; Union turns Small + Small into Large when the
//     two lengths add up to more than four, whatever the size of the union;
//   - a moved-from set is Empty (the value left in a map slot while its set is
//     taken out).
//
// Sets of one to four ids therefore cost no allocation at all.
//
// No lock of its own: the set lives in a shard of the attribute value map and
// the caller holds that shard's lock, shared for `clone`, `to_bitmap`,
// `or_into` and the queries, exclusive for every mutation.
#pragma once

#include <cstdint>
#include <variant>

#include "structures/bitmap.hpp"
#include "structures/centered_array.hpp"

namespace qdx {

class HybridSet {
 public:
  enum class Variant : uint8_t { kEmpty, kSmall, kLarge };

  HybridSet() noexcept = default;
  // A Small set holding `id` (the first object seen with a value).
  static HybridSet with_one(uint32_t id);
  // The set of `count` ascending distinct ids, in the variant that inserting
  // them one by one would give (Small up to three ids, Large beyond).
  static HybridSet of_sorted(const uint32_t* ids, size_t count);

  HybridSet(HybridSet&& other) noexcept;
  HybridSet& operator=(HybridSet&& other) noexcept;
  HybridSet(const HybridSet&) = delete;
  HybridSet& operator=(const HybridSet&) = delete;

  // Deep copy in the same variant; a failed bitmap copy panics
  // "Memory allocation failure cloning roaring bitmap".
  HybridSet clone() const;

  Variant variant() const noexcept { return static_cast<Variant>(data_.index()); }

  void insert(uint32_t id);
  // Removes `id` if present; never changes the variant. Panics
  // "called remove on Empty" on an Empty set.
  void remove(uint32_t id);

  // A new bitmap with the same ids; the set is left as it is.
  Bitmap to_bitmap() const;
  // out ∪= this, without building an intermediate bitmap. `out` must not be
  // this set's own bitmap.
  void or_into(Bitmap& out) const;

  // this ∪= other; `other` is only read and may be `*this`.
  void union_with(const HybridSet& other);
  // this ∩= filter, keeping the variant (a Small set is rebuilt in a fresh
  // array, a Large set is intersected in place).
  void retain(const Bitmap& filter);

  uint64_t cardinality() const;
  bool contains(uint32_t id) const;
  // No ids, whatever the variant.
  bool empty() const;

  // The payloads, nullptr unless the set is in that variant.
  const CenteredArray* small() const noexcept { return std::get_if<CenteredArray>(&data_); }
  const Bitmap* large() const noexcept { return std::get_if<Bitmap>(&data_); }

  // True when the array payload keeps its invariants; for tests and fuzzing.
  bool valid() const noexcept;

 private:
  using Data = std::variant<std::monostate, CenteredArray, Bitmap>;

  explicit HybridSet(Data data) noexcept : data_(std::move(data)) {}

  void union_into_small(CenteredArray& mine, const HybridSet& other);

  Data data_;
};

}  // namespace qdx
