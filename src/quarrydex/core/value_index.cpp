#include "core/value_index.hpp"

#include <algorithm>

#include "core/index_state.hpp"
#include "structures/id_alloc.hpp"

namespace qdx {

ValueIndex::ValueIndex(std::weak_ptr<IndexState> owner_link) : owner(std::move(owner_link)) {}

// Proxy ids come from the process-wide allocator; an index that goes away
// must give them back, or every dropped index would push new ids (and with
// them the length of every object store) ever higher.
ValueIndex::~ValueIndex() {
  const Proxies& remaining = proxies.unguarded();
  remaining.set.for_each([](uint32_t proxy) { release_id(proxy); });
}

namespace {

using StringItems = std::vector<std::pair<std::string_view, uint32_t>>;

// Byte i of s counted from the front, or from the back when `backwards`.
unsigned char byte_of(std::string_view s, size_t i, bool backwards) {
  return static_cast<unsigned char>(backwards ? s[s.size() - 1 - i] : s[i]);
}

// Sorts items by their bytes (read from the end when `backwards`), then by
// id. The first eight bytes read, as one big-endian word padded with zeros,
// settle most comparisons without a second look at the strings: a smaller
// word always means smaller bytes.
void sort_by_bytes(StringItems& items, bool backwards) {
  struct Keyed {
    uint64_t head;
    std::string_view s;
    uint32_t id;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(items.size());
  for (const auto& [s, id] : items) {
    uint64_t head = 0;
    for (size_t i = 0; i < 8; ++i) head = head << 8 | (i < s.size() ? byte_of(s, i, backwards) : 0);
    keyed.push_back({head, s, id});
  }
  std::sort(keyed.begin(), keyed.end(), [backwards](const Keyed& a, const Keyed& b) {
    if (a.head != b.head) return a.head < b.head;
    const size_t common = std::min(a.s.size(), b.s.size());
    for (size_t i = 8; i < common; ++i) {
      const unsigned char x = byte_of(a.s, i, backwards);
      const unsigned char y = byte_of(b.s, i, backwards);
      if (x != y) return x < y;
    }
    if (a.s.size() != b.s.size()) return a.s.size() < b.s.size();
    return a.id < b.id;
  });
  for (size_t i = 0; i < keyed.size(); ++i) items[i] = {keyed[i].s, keyed[i].id};
}

}  // namespace

void StringValues::insert_many(StringItems& items) {
  for (const auto& [s, id] : items) positions.buffered_insert(id, s);
  positions.flush();
  grams.insert_many(items);
  sort_by_bytes(items, false);
  exact.insert_sorted(items);
  // The reversed keys are made a slice at a time, in the order of the
  // reversed bytes, so the whole batch never holds a reversed copy.
  sort_by_bytes(items, true);
  constexpr size_t kSlice = 4096;
  std::vector<std::string> keys;
  StringItems slice;
  for (size_t from = 0; from < items.size(); from += kSlice) {
    const size_t to = std::min(items.size(), from + kSlice);
    keys.clear();
    slice.clear();
    for (size_t i = from; i < to; ++i) keys.push_back(reverse(items[i].first));
    for (size_t i = from; i < to; ++i) slice.emplace_back(keys[i - from], items[i].second);
    reversed.insert_sorted(slice);
  }
}

std::shared_ptr<IndexState> ValueIndex::nested() const {
  MutexGuard guard(nested_mutex_);
  return nested_;
}

std::shared_ptr<IndexState> ValueIndex::nested_or_make() {
  MutexGuard guard(nested_mutex_);
  if (nested_ == nullptr) nested_ = IndexState::make(owner);
  return nested_;
}

}  // namespace qdx
