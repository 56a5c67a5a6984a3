// `CenteredArray`: the inline storage of the smallest id sets, at most four
// object ids in a fixed buffer of four slots.
//
// Invariants:
//   - start + len <= 4;
//   - slots[start, start + len) is strictly ascending (sorted, no duplicates);
//   - slots outside that run hold stale values that no operation reads.
// A new array has all four slots 0, start 0 and len 0.
//
// The run is kept near the middle of the buffer so that an insertion or a
// removal can open or close its gap by shifting whichever side of the run is
// shorter. The centred start for a run of n ids is (4 - n) >> 1, that is
// 2, 1, 1, 0, 0 for n = 0..4. Insert recentres only when one side of the run
// has no free slot left; Remove never recentres; Merge always does.
//
// The type never allocates and is copied bitwise. It lives by value inside a
// `HybridSet` and is guarded by whatever guards that set; it has no lock.
// There is no membership test or intersection here: callers work on `run()`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace qdx {

class CenteredArray {
 public:
  static constexpr size_t kCapacity = 4;

  CenteredArray() = default;

  size_t size() const noexcept { return len_; }
  size_t start() const noexcept { return start_; }
  const std::array<uint32_t, kCapacity>& slots() const noexcept { return slots_; }

  // The ascending run slots[start, start + len). A run reaching past the
  // buffer is the internal fatal error for an index out of range.
  std::span<const uint32_t> run() const;

  // Adds `id`; a present id changes no element, although the run may still be
  // recentred. Panics "CenteredArray full" when four ids are held, even if
  // `id` is one of them; the array is then unchanged.
  void insert(uint32_t id);

  // Removes `id` if present; an absent id changes nothing.
  void remove(uint32_t id);

  // Replaces the contents by the union of both arrays, recentred. The caller
  // guarantees the union holds at most four ids; a larger union panics (index
  // out of range) and leaves this array unchanged. `other` may be `*this`.
  void merge(const CenteredArray& other);

  // True when the invariants above hold; for tests and fuzzing.
  bool valid() const noexcept;

 private:
  struct Position {
    size_t index;  // number of run elements smaller than the id
    bool found;    // the element at `index` equals the id
  };

  Position search(uint32_t id) const noexcept;
  // Moves the run to begin at `new_start` (the ranges may overlap).
  void move_run(size_t new_start) noexcept;
  void recentre() noexcept;

  std::array<uint32_t, kCapacity> slots_{};
  size_t start_ = 0;
  size_t len_ = 0;
};

}  // namespace qdx
