#include "structures/positional_bitmap.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <string>
#include <utility>

#include "base/panic.hpp"

namespace qdx {

namespace {

unsigned byte_at(std::string_view s, size_t j) {
  return static_cast<unsigned char>(s[j]);
}

// Builds the union, over candidate positions, of the intersection of each
// candidate's operands. Operands are intersected smallest first into one
// scratch bitmap, so the intermediate never exceeds the smallest operand, and
// a candidate with an absent or empty operand does no bitmap work at all.
// A non-null restriction joins every candidate as one more operand.
class UnionOfIntersections {
 public:
  explicit UnionOfIntersections(const Bitmap* restriction) : restriction_(restriction) {
    if (restriction_ != nullptr) restriction_size_ = restriction_->cardinality();
  }

  // Starts a candidate. False when the restriction is empty.
  bool begin() {
    operands_.clear();
    if (restriction_ == nullptr) return true;
    operands_.emplace_back(restriction_size_, restriction_);
    return restriction_size_ != 0;
  }
  // Adds an operand of the current candidate; null means "never made", which
  // empties the candidate. False once the candidate is known to be empty.
  bool add(const Bitmap* operand) {
    if (operand == nullptr) return false;
    const uint64_t size = operand->cardinality();
    if (size == 0) return false;
    operands_.emplace_back(size, operand);
    return true;
  }
  // Intersects the current candidate's operands and unites the result.
  void finish();
  Bitmap take() { return std::move(result_); }

 private:
  using Operand = std::pair<uint64_t, const Bitmap*>;

  const Bitmap* restriction_;
  uint64_t restriction_size_ = 0;
  std::vector<Operand> operands_;
  Bitmap scratch_;
  Bitmap result_;
};

void UnionOfIntersections::finish() {
  if (operands_.empty()) return;
  if (operands_.size() == 1) {
    result_.or_inplace(*operands_[0].second);
    return;
  }
  std::sort(operands_.begin(), operands_.end(),
            [](const Operand& a, const Operand& b) { return a.first < b.first; });
  scratch_.overwrite(*operands_[0].second);
  for (size_t i = 1; i < operands_.size(); ++i) {
    scratch_.and_inplace(*operands_[i].second);
    if (scratch_.empty()) return;
  }
  if (result_.empty()) {
    std::swap(result_, scratch_);
  } else {
    result_.or_inplace(scratch_);
  }
}

}  // namespace

// ---- Position -----------------------------------------------------------

PositionalBitmap::Cell& PositionalBitmap::Position::get(unsigned k) {
  const size_t at = rank(k);
  if (has(k)) return cells_[at];
  // Grow the block by hand: the default doubling would jump from 256 cells
  // to 512 for the last two.
  if (cells_.size() == cells_.capacity()) {
    cells_.reserve(std::min<size_t>(kCellCount, std::max<size_t>(1, 2 * cells_.capacity())));
  }
  cells_.emplace(cells_.begin() + static_cast<ptrdiff_t>(at));
  present_[k / 64] |= uint64_t{1} << (k % 64);
  for (size_t w = k / 64 + 1; w < kWords; ++w) ++before_[w];
  return cells_[at];
}

size_t PositionalBitmap::Position::memory_bytes() const {
  size_t total = sizeof(Position) + cells_.capacity() * sizeof(Cell);
  for (const Cell& c : cells_) total += c.bitmap().size_in_bytes();
  return total;
}

void PositionalBitmap::Position::validate() const {
  size_t count = 0;
  for (size_t w = 0; w < kWords; ++w) {
    if (before_[w] != count) panic("positional bitmap: stale cell ranks");
    count += static_cast<size_t>(std::popcount(present_[w]));
  }
  if (count != cells_.size()) panic("positional bitmap: presence mask and cells disagree");
  if (present_[kWords - 1] >> (kCellCount % 64) != 0) panic("positional bitmap: cell past 257");
}

// ---- Updates --------------------------------------------------------------

const Bitmap* PositionalBitmap::cell(size_t pos, unsigned k) const {
  check_index(pos, width());
  const Position* p = positions_[pos].get();
  if (p == nullptr) return nullptr;
  const Cell* c = p->find(k);
  return c == nullptr ? nullptr : &c->bitmap();
}

PositionalBitmap::Cell& PositionalBitmap::cell_for_write(size_t pos, unsigned k) {
  check_index(pos, width());
  std::unique_ptr<Position>& p = positions_[pos];
  if (p == nullptr) p = std::make_unique<Position>();
  return p->get(k);
}

void PositionalBitmap::grow_to(size_t new_width) {
  const size_t shift = (new_width - width()) / 2;
  std::vector<std::unique_ptr<Position>> wider(new_width);
  for (size_t i = 0; i < positions_.size(); ++i) wider[i + shift] = std::move(positions_[i]);
  positions_.swap(wider);
}

void PositionalBitmap::grow_for(size_t length) {
  if (length >= width()) grow_to(2 * (length / 2 + 1));
}

template <typename Add>
void PositionalBitmap::insert_with(uint32_t id, std::string_view s, Add add) {
  grow_for(s.size());
  const size_t start = start_of(s.size());
  add(cell_for_write(start, kStartCell), id);
  add(cell_for_write(start + s.size() - 1, kEndCell), id);
  for (size_t j = 0; j < s.size(); ++j) add(cell_for_write(start + j, byte_at(s, j)), id);
}

void PositionalBitmap::insert(uint32_t id, std::string_view s) {
  if (s.empty()) {
    empty_strings_.add(id);
    return;
  }
  insert_with(id, s, [](Cell& c, uint32_t v) { c.add(v); });
}

void PositionalBitmap::buffered_insert(uint32_t id, std::string_view s) {
  if (s.empty()) {
    empty_strings_.add(id);
    return;
  }
  insert_with(id, s, [](Cell& c, uint32_t v) { c.buffered_add(v); });
}

void PositionalBitmap::insert_all(const Bitmap& ids, std::string_view s) {
  if (s.empty()) {
    empty_strings_.or_inplace(ids);
    return;
  }
  insert_with(0, s, [&](Cell& c, uint32_t) { c.bitmap().or_inplace(ids); });
}

void PositionalBitmap::remove(uint32_t id, std::string_view s) {
  if (s.empty()) {
    empty_strings_.remove(id);
    return;
  }
  // A string this long was never stored here (its positions would leave the
  // frame): an index that has not received a value yet may be asked to drop
  // it by a write that raced with the object's add. Nothing to remove.
  if (s.size() >= width()) return;
  const size_t start = start_of(s.size());
  const auto drop = [&](size_t pos, unsigned k) {
    Position* p = positions_[pos].get();
    Cell* c = p == nullptr ? nullptr : p->find(k);
    if (c != nullptr) c->remove(id);
  };
  drop(start, kStartCell);
  drop(start + s.size() - 1, kEndCell);
  for (size_t j = 0; j < s.size(); ++j) drop(start + j, byte_at(s, j));
}

void PositionalBitmap::replace(uint32_t id, std::string_view old_s, std::string_view new_s) {
  if (old_s.size() != new_s.size() || old_s.empty() || old_s.size() >= width()) {
    remove(id, old_s);
    insert(id, new_s);
    return;
  }
  const size_t start = start_of(old_s.size());
  for (size_t j = 0; j < old_s.size(); ++j) {
    if (old_s[j] == new_s[j]) continue;
    Position* p = positions_[start + j].get();
    Cell* c = p == nullptr ? nullptr : p->find(byte_at(old_s, j));
    if (c != nullptr) c->remove(id);
    cell_for_write(start + j, byte_at(new_s, j)).add(id);
  }
}

void PositionalBitmap::flush() {
  // A bulk insertion grew the containers by doubling; their unused capacity
  // is given back here, where the bulk insertion ends.
  for (auto& p : positions_) {
    if (p == nullptr) continue;
    p->for_each([](unsigned, Cell& c) {
      c.flush();
      c.bitmap().shrink_to_fit();
    });
  }
}

void PositionalBitmap::narrow(const Bitmap& filter) {
  for (auto& p : positions_) {
    if (p == nullptr) continue;
    p->for_each([&](unsigned, Cell& c) {
      c.flush();
      c.bitmap().and_inplace(filter);
    });
  }
  empty_strings_.and_inplace(filter);
}

void PositionalBitmap::union_with(const PositionalBitmap& other) {
  if (&other == this) return;
  if (other.width() > width()) grow_to(other.width());
  // Both frames are even, so the narrower one sits centred at a whole offset.
  const size_t shift = (width() - other.width()) / 2;
  for (size_t q = 0; q < other.width(); ++q) {
    const Position* p = other.positions_[q].get();
    if (p == nullptr) continue;
    p->for_each([&](unsigned k, const Cell& c) {
      if (!c.bitmap().empty()) cell_for_write(q + shift, k).bitmap().or_inplace(c.bitmap());
    });
  }
  empty_strings_.or_inplace(other.empty_strings_);
}

// ---- Queries --------------------------------------------------------------

Bitmap PositionalBitmap::equal_impl(std::string_view s, const Bitmap* candidates) const {
  if (s.empty()) {
    Bitmap out = empty_strings_.clone();
    if (candidates != nullptr) out.and_inplace(*candidates);
    return out;
  }
  UnionOfIntersections acc(candidates);
  if (s.size() >= width() || !acc.begin()) return acc.take();
  const size_t start = start_of(s.size());
  if (!acc.add(cell(start, kStartCell)) || !acc.add(cell(start + s.size() - 1, kEndCell))) {
    return acc.take();
  }
  for (size_t j = 0; j < s.size(); ++j) {
    if (!acc.add(cell(start + j, byte_at(s, j)))) return acc.take();
  }
  acc.finish();
  return acc.take();
}

Bitmap PositionalBitmap::starts_with_impl(std::string_view p, const Bitmap* candidates) const {
  if (p.empty()) return ids_impl(candidates);
  UnionOfIntersections acc(candidates);
  if (p.size() >= width()) return acc.take();
  // Every string of at least |p| bytes starts at or before start_of(|p|).
  const size_t last = start_of(p.size());
  for (size_t f = 0; f <= last; ++f) {
    if (!acc.begin() || !acc.add(cell(f, byte_at(p, 0))) || !acc.add(cell(f, kStartCell))) {
      continue;
    }
    size_t j = 1;
    while (j < p.size() && acc.add(cell(f + j, byte_at(p, j)))) ++j;
    if (j == p.size()) acc.finish();
  }
  return acc.take();
}

Bitmap PositionalBitmap::ends_with_impl(std::string_view p, const Bitmap* candidates) const {
  if (p.empty()) return ids_impl(candidates);
  UnionOfIntersections acc(candidates);
  if (p.size() >= width()) return acc.take();
  // The last byte of a string of L bytes is at P/2 + ceil(L/2) - 2, so every
  // string of at least |p| bytes ends in [first, P - 2].
  const size_t first = width() / 2 + (p.size() + 1) / 2 - 2;
  const size_t n = p.size();
  for (size_t g = first; g + 2 <= width(); ++g) {
    if (!acc.begin() || !acc.add(cell(g, byte_at(p, n - 1))) || !acc.add(cell(g, kEndCell))) {
      continue;
    }
    size_t i = 1;
    while (i < n && acc.add(cell(g - i, byte_at(p, n - 1 - i)))) ++i;
    if (i == n) acc.finish();
  }
  return acc.take();
}

Bitmap PositionalBitmap::contains_impl(std::string_view p, const Bitmap* candidates) const {
  if (p.empty()) return ids_impl(candidates);
  UnionOfIntersections acc(candidates);
  if (p.size() >= width()) return acc.take();
  // No string reaches position P - 1, so occurrences start at most at P - 1 - |p|.
  for (size_t g = 0; g + p.size() < width(); ++g) {
    if (!acc.begin()) break;
    size_t j = 0;
    while (j < p.size() && acc.add(cell(g + j, byte_at(p, j)))) ++j;
    if (j == p.size()) acc.finish();
  }
  return acc.take();
}

Bitmap PositionalBitmap::ids_impl(const Bitmap* candidates) const {
  // Every non-empty string starts below P / 2; each has exactly one start.
  UnionOfIntersections acc(candidates);
  for (size_t f = 0; f < width() / 2; ++f) {
    if (acc.begin() && acc.add(cell(f, kStartCell))) acc.finish();
  }
  if (acc.begin() && acc.add(&empty_strings_)) acc.finish();
  return acc.take();
}

Bitmap PositionalBitmap::equal(std::string_view s) const {
  return equal_impl(s, nullptr);
}
Bitmap PositionalBitmap::starts_with(std::string_view p) const {
  return starts_with_impl(p, nullptr);
}
Bitmap PositionalBitmap::ends_with(std::string_view p) const {
  return ends_with_impl(p, nullptr);
}
Bitmap PositionalBitmap::contains(std::string_view p) const {
  return contains_impl(p, nullptr);
}
Bitmap PositionalBitmap::ids() const {
  return ids_impl(nullptr);
}

Bitmap PositionalBitmap::equal_within(std::string_view s, const Bitmap& candidates) const {
  return equal_impl(s, &candidates);
}
Bitmap PositionalBitmap::starts_with_within(std::string_view p, const Bitmap& candidates) const {
  return starts_with_impl(p, &candidates);
}
Bitmap PositionalBitmap::ends_with_within(std::string_view p, const Bitmap& candidates) const {
  return ends_with_impl(p, &candidates);
}
Bitmap PositionalBitmap::contains_within(std::string_view p, const Bitmap& candidates) const {
  return contains_impl(p, &candidates);
}
Bitmap PositionalBitmap::ids_within(const Bitmap& candidates) const {
  return ids_impl(&candidates);
}

// ---- Introspection --------------------------------------------------------

bool PositionalBitmap::empty() const noexcept {
  if (!empty_strings_.empty()) return false;
  for (size_t f = 0; f < width() / 2; ++f) {
    const Position* p = positions_[f].get();
    const Cell* c = p == nullptr ? nullptr : p->find(kStartCell);
    if (c != nullptr && (c->buffered() != 0 || !c->bitmap().empty())) return false;
  }
  return true;
}

size_t PositionalBitmap::memory_bytes() const {
  size_t total = sizeof(*this) + positions_.capacity() * sizeof(positions_[0]);
  total += empty_strings_.size_in_bytes();
  for (const auto& p : positions_) {
    if (p != nullptr) total += p->memory_bytes();
  }
  return total;
}

void PositionalBitmap::validate() const {
  if (width() % 2 != 0) panic("positional bitmap: odd frame width");
  uint64_t starts = 0;  // merged ids in start cells
  uint64_t ends = 0;    // merged ids in end cells
  uint64_t buffered_starts = 0;
  uint64_t buffered_ends = 0;
  Bitmap all_starts = empty_strings_.clone();
  for (size_t pos = 0; pos < width(); ++pos) {
    const Position* p = positions_[pos].get();
    if (p == nullptr) continue;
    p->validate();
    p->for_each([&](unsigned k, const Cell& c) {
      if (c.bitmap().empty() && c.buffered() == 0) return;
      // Strings start below P / 2, end at P / 2 - 1 or later, and never reach P - 1.
      if (pos + 1 == width() || (k == kStartCell && pos >= width() / 2) ||
          (k == kEndCell && pos + 1 < width() / 2)) {
        panic("positional bitmap: id outside the frame layout at position " + std::to_string(pos));
      }
      if (k == kStartCell) {
        starts += c.bitmap().cardinality();
        buffered_starts += c.buffered();
        all_starts.or_inplace(c.bitmap());
      } else if (k == kEndCell) {
        ends += c.bitmap().cardinality();
        buffered_ends += c.buffered();
      }
    });
  }
  if (starts + buffered_starts != ends + buffered_ends) {
    panic("positional bitmap: start and end cells disagree");
  }
  // Each id holds one string, so the start cells and the empty-string bitmap are disjoint.
  if (all_starts.cardinality() != starts + empty_strings_.cardinality()) {
    panic("positional bitmap: an id starts more than one string");
  }
}

}  // namespace qdx
