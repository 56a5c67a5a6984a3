#include "structures/ordered_bitmap.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <vector>

#include "base/panic.hpp"
#include "structures/ordered_bitmap_scan.hpp"

namespace qdx {

namespace {

using Planes = OrderedBitmap::Planes;
constexpr unsigned kTop = OrderedBitmap::kPlanes - 1;

// ---- scratch bitmap -------------------------------------------------------

struct ScratchSlot {
  Bitmap bitmap;
  bool borrowed = false;
};

ScratchSlot& scratch_slot() {
  thread_local ScratchSlot slot;
  return slot;
}

Bitmap& borrow_scratch() {
  ScratchSlot& slot = scratch_slot();
  if (slot.borrowed) panic("already borrowed: scratch bitmap of this thread");
  slot.borrowed = true;
  return slot.bitmap;
}

// ---- build selection ------------------------------------------------------

using ordered_scan::ScanFn;

struct ScanTable {
  std::array<ScanFn, 4> by_comparison;  // indexed by Comparison
};

ScanTable table_for(IsaLevel level) {
  const auto greater = ordered_scan::greater_build(level);
  const auto less = ordered_scan::less_build(level);
  return {{greater.strict, greater.or_equal, less.strict, less.or_equal}};
}

IsaLevel best_isa_level() noexcept {
  for (auto it = std::rbegin(kIsaLevels); it != std::rend(kIsaLevels); ++it) {
    if (OrderedBitmap::isa_level_supported(*it)) return *it;
  }
  return IsaLevel::kBaseline;
}

// Chosen once per process, on the first comparison.
const ScanTable& process_table() {
  static const ScanTable table = table_for(OrderedBitmap::selected_isa_level());
  return table;
}

// ---- equality -------------------------------------------------------------

struct Operand {
  uint64_t cardinality;
  const Bitmap* bitmap;
};

// Up to one cell per plane plus the candidates.
class Operands {
 public:
  void push(const Bitmap& b) { items_[count_++] = {b.cardinality(), &b}; }
  bool empty() const noexcept { return count_ == 0; }

  // Intersection of all operands, smallest first, stopping once it is empty.
  Bitmap intersect() {
    std::sort(items_.begin(), items_.begin() + count_,
              [](const Operand& x, const Operand& y) { return x.cardinality < y.cardinality; });
    Bitmap result = items_[0].bitmap->clone();
    for (size_t i = 1; i < count_ && !result.empty(); ++i) result.and_inplace(*items_[i].bitmap);
    return result;
  }

 private:
  std::array<Operand, OrderedBitmap::kPlanes + 1> items_;
  size_t count_ = 0;
};

// equal(key), intersected with *candidates when given.
Bitmap equal_impl(const Planes* planes, OrderKey key, const Bitmap* candidates) {
  if (planes == nullptr || (candidates != nullptr && candidates->empty())) return {};
  Operands operands;
  if (candidates != nullptr) operands.push(*candidates);
  bool restricted_to_ids = false;
  for (unsigned i = 0; i < OrderedBitmap::kPlanes; ++i) {
    const bool b = key.bit(i);
    const Bitmap& same = planes->cell(i, b);
    if (same.empty()) return {};  // no id has this bit
    // With the other cell empty, `same` holds every id and cannot narrow.
    if (planes->cell(i, !b).empty()) continue;
    operands.push(same);
    restricted_to_ids = true;
  }
  // Every plane agreed: all ids have this key. One cell still has to drop
  // candidates that hold no number.
  if (!restricted_to_ids) operands.push(planes->cell(kTop, key.bit(kTop)));
  return operands.intersect();
}

// The scan reads candidates after it has started adding to result.
void check_distinct(const Bitmap& candidates, const Bitmap& result) {
  if (&candidates == &result) panic("OrderedBitmap comparison: result aliases candidates");
}

}  // namespace

namespace ordered_scan {

ScratchLease::ScratchLease() : bitmap_(borrow_scratch()) {}

ScratchLease::~ScratchLease() {
  bitmap_.clear();  // do not keep a large intermediate alive between scans
  scratch_slot().borrowed = false;
}

}  // namespace ordered_scan

// ---- OrderedBitmap --------------------------------------------------------

OrderedBitmap::OrderedBitmap() noexcept = default;
OrderedBitmap::~OrderedBitmap() = default;
OrderedBitmap::OrderedBitmap(OrderedBitmap&&) noexcept = default;
OrderedBitmap& OrderedBitmap::operator=(OrderedBitmap&&) noexcept = default;

OrderedBitmap::Planes& OrderedBitmap::planes() {
  if (!planes_) planes_ = std::make_unique<Planes>();
  return *planes_;
}

void OrderedBitmap::insert(uint32_t id, OrderKey key) {
  Planes& p = planes();
  for (unsigned i = 0; i < kPlanes; ++i) p.cells[i][key.bit(i)].add(id);
}

void OrderedBitmap::buffered_insert(uint32_t id, OrderKey key) {
  Planes& p = planes();
  for (unsigned i = 0; i < kPlanes; ++i) p.cells[i][key.bit(i)].buffered_add(id);
}

void OrderedBitmap::remove(uint32_t id, OrderKey key) {
  if (!planes_) return;
  for (unsigned i = 0; i < kPlanes; ++i) planes_->cells[i][key.bit(i)].remove(id);
}

void OrderedBitmap::replace(uint32_t id, OrderKey old_key, OrderKey new_key) {
  Planes& p = planes();
  for (unsigned i = 0; i < kPlanes; ++i) {
    const bool old_bit = old_key.bit(i);
    const bool new_bit = new_key.bit(i);
    if (old_bit == new_bit) continue;  // the id stays in the same cell of this plane
    p.cells[i][old_bit].remove(id);
    p.cells[i][new_bit].add(id);
  }
}

void OrderedBitmap::flush() {
  if (!planes_) return;
  for (auto& plane : planes_->cells) {
    plane[0].flush();
    plane[1].flush();
  }
}

namespace {

using Item = std::pair<OrderKey, uint32_t>;

// Fewer ids than this in a chunk cost less id by id than as 152 cells of
// plain words.
constexpr size_t kDenseChunk = 512;

// The batch's keys split into planes where every key has the same bit and
// planes where they differ.
struct PlaneAgreement {
  uint64_t mantissa_and = ~uint64_t{0}, mantissa_or = 0;
  uint16_t exponent_and = 0xFFFF, exponent_or = 0;

  void add(OrderKey key) {
    mantissa_and &= key.mantissa;
    mantissa_or |= key.mantissa;
    exponent_and &= key.exponent;
    exponent_or |= key.exponent;
  }
  bool varies(unsigned i) const {
    return i < 64 ? ((mantissa_and ^ mantissa_or) >> i) & 1u
                  : ((exponent_and ^ exponent_or) >> (i - 64)) & 1u;
  }
  bool common_bit(unsigned i) const {
    return i < 64 ? (mantissa_and >> i) & 1u : (exponent_and >> (i - 64)) & 1u;
  }
};

// Sets in `words` the bit of every id of the chunk whose key bit i is set.
void plane_words(std::span<const Item> chunk, unsigned i, uint64_t* words) {
  std::fill(words, words + Bitmap::kChunkWords, 0);
  if (i < 64) {
    for (const auto& [key, id] : chunk) {
      words[(id & 0xFFFF) >> 6] |= ((key.mantissa >> i) & 1u) << (id & 63);
    }
  } else {
    for (const auto& [key, id] : chunk) {
      words[(id & 0xFFFF) >> 6] |= uint64_t{(key.exponent >> (i - 64)) & 1u} << (id & 63);
    }
  }
}

// Adds `built` to `cell`, taking it whole when the cell is empty.
void merge_into(Bitmap& cell, Bitmap&& built) {
  if (built.empty()) return;
  if (cell.empty()) {
    cell = std::move(built);
  } else {
    cell.or_inplace(built);
  }
}

}  // namespace

void OrderedBitmap::insert_id_sorted(std::span<const Item> items) {
  if (items.empty()) return;
  Planes& p = planes();
  PlaneAgreement agreement;
  for (const auto& item : items) agreement.add(item.first);
  // The dense chunks' ids, and the two cells of every varying plane, built
  // apart from the planes and merged into them last.
  Bitmap dense;
  std::array<std::array<Bitmap, 2>, kPlanes> built;
  std::vector<uint64_t> scratch(2 * Bitmap::kChunkWords);
  uint64_t* const present = scratch.data();
  uint64_t* const ones = present + Bitmap::kChunkWords;
  for (size_t begin = 0; begin < items.size();) {
    const uint32_t high = items[begin].second >> 16;
    size_t end = begin;
    while (end < items.size() && items[end].second >> 16 == high) ++end;
    const std::span<const Item> chunk = items.subspan(begin, end - begin);
    begin = end;
    if (chunk.size() < kDenseChunk) {
      for (const auto& [key, id] : chunk) buffered_insert(id, key);
      continue;
    }
    std::fill(present, present + Bitmap::kChunkWords, 0);
    for (const auto& item : chunk)
      present[(item.second & 0xFFFF) >> 6] |= 1ull << (item.second & 63);
    dense.append_chunk(static_cast<uint16_t>(high), present);
    for (unsigned i = 0; i < kPlanes; ++i) {
      if (!agreement.varies(i)) continue;
      plane_words(chunk, i, ones);
      built[i][1].append_chunk(static_cast<uint16_t>(high), ones);
      for (size_t w = 0; w < Bitmap::kChunkWords; ++w) ones[w] = present[w] & ~ones[w];
      built[i][0].append_chunk(static_cast<uint16_t>(high), ones);
    }
  }
  flush();
  // A batch of fresh ids is mostly runs: the agreeing planes then share it
  // at a few bytes per chunk.
  dense.run_optimize();
  for (unsigned i = 0; i < kPlanes; ++i) {
    if (agreement.varies(i)) {
      merge_into(p.cells[i][0].bitmap(), std::move(built[i][0]));
      merge_into(p.cells[i][1].bitmap(), std::move(built[i][1]));
    } else {
      merge_into(p.cells[i][agreement.common_bit(i)].bitmap(), dense.clone());
    }
  }
}

Bitmap OrderedBitmap::equal(OrderKey key) const {
  return equal_impl(planes_.get(), key, nullptr);
}

Bitmap OrderedBitmap::equal_within(OrderKey key, const Bitmap& candidates) const {
  return equal_impl(planes_.get(), key, &candidates);
}

void OrderedBitmap::compare(Comparison op, OrderKey key, const Bitmap& candidates,
                            Bitmap& result) const {
  check_distinct(candidates, result);
  if (!planes_) return;
  process_table().by_comparison[static_cast<size_t>(op)](*planes_, key, candidates, result);
}

void OrderedBitmap::greater(OrderKey key, const Bitmap& candidates, Bitmap& result) const {
  compare(Comparison::kGreater, key, candidates, result);
}
void OrderedBitmap::greater_or_equal(OrderKey key, const Bitmap& candidates, Bitmap& result) const {
  compare(Comparison::kGreaterOrEqual, key, candidates, result);
}
void OrderedBitmap::less(OrderKey key, const Bitmap& candidates, Bitmap& result) const {
  compare(Comparison::kLess, key, candidates, result);
}
void OrderedBitmap::less_or_equal(OrderKey key, const Bitmap& candidates, Bitmap& result) const {
  compare(Comparison::kLessOrEqual, key, candidates, result);
}

Bitmap OrderedBitmap::ids() const {
  if (!planes_) return {};
  // Any plane's two cells together hold every id; the sign plane usually has
  // one empty cell, which makes this a plain copy.
  Bitmap all = planes_->cell(kTop, false).clone();
  all.or_inplace(planes_->cell(kTop, true));
  return all;
}

void OrderedBitmap::narrow(const Bitmap& filter) {
  if (!planes_) return;
  flush();
  for (auto& plane : planes_->cells) {
    plane[0].bitmap().and_inplace(filter);
    plane[1].bitmap().and_inplace(filter);
  }
  if (planes_->cell(kTop, false).empty() && planes_->cell(kTop, true).empty()) planes_.reset();
}

void OrderedBitmap::union_with(const OrderedBitmap& other) {
  if (this == &other || !other.planes_) return;
  Planes& mine = planes();
  for (unsigned i = 0; i < kPlanes; ++i) {
    for (unsigned c = 0; c < 2; ++c) {
      mine.cells[i][c].bitmap().or_inplace(other.planes_->cell(i, c));
    }
  }
}

size_t OrderedBitmap::memory_bytes() const {
  size_t total = sizeof(*this);
  if (!planes_) return total;
  total += sizeof(Planes);
  for (const auto& plane : planes_->cells) {
    total += plane[0].bitmap().size_in_bytes() + plane[1].bitmap().size_in_bytes();
  }
  return total;
}

void OrderedBitmap::validate() const {
  if (!planes_) return;
  const Bitmap all = ids();
  for (unsigned i = 0; i < kPlanes; ++i) {
    const auto& plane = planes_->cells[i];
    if (plane[0].buffered() != 0 || plane[1].buffered() != 0) {
      panic("OrderedBitmap: unflushed buffer in plane " + std::to_string(i));
    }
    if (plane[0].bitmap().intersects(plane[1].bitmap())) {
      panic("OrderedBitmap: cells of plane " + std::to_string(i) + " overlap");
    }
    Bitmap covered = plane[0].bitmap().clone();
    covered.or_inplace(plane[1].bitmap());
    if (!(covered == all)) {
      panic("OrderedBitmap: plane " + std::to_string(i) + " covers a different id set");
    }
  }
}

// ---- instruction-set builds -----------------------------------------------

bool OrderedBitmap::isa_level_supported(IsaLevel level) noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  const bool sse42 = __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("popcnt");
  switch (level) {
    case IsaLevel::kBaseline:
      return true;
    case IsaLevel::kSse42:
      return sse42;
    case IsaLevel::kAvx2:
      return sse42 && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
             __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("fma");
  }
  return false;
#else
  (void)level;
  return true;
#endif
}

IsaLevel OrderedBitmap::selected_isa_level() noexcept {
  static const IsaLevel level = best_isa_level();
  return level;
}

void OrderedBitmap::compare_with_isa(IsaLevel level, Comparison op, OrderKey key,
                                     const Bitmap& candidates, Bitmap& result) const {
  if (!isa_level_supported(level)) panic("instruction-set build not supported by this processor");
  check_distinct(candidates, result);
  if (!planes_) return;
  table_for(level).by_comparison[static_cast<size_t>(op)](*planes_, key, candidates, result);
}

}  // namespace qdx
