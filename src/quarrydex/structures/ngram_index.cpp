#include "structures/ngram_index.hpp"

#include <algorithm>

#include "base/panic.hpp"

namespace qdx {
namespace {

// Ids a buffer collects before they are merged into the bitmap: large enough
// that a merge appends a whole run of ascending ids, small enough that the
// buffers of a few thousand grams stay a few megabytes.
constexpr size_t kPendingLimit = 256;

constexpr uint32_t byte_key(unsigned char b) {
  return uint32_t{b} | (uint32_t{1} << 24);
}

uint32_t trigram_key(std::string_view s, size_t at) {
  return uint32_t{static_cast<unsigned char>(s[at])} << 16 |
         uint32_t{static_cast<unsigned char>(s[at + 1])} << 8 |
         uint32_t{static_cast<unsigned char>(s[at + 2])};
}

// Calls f(key) for every gram occurrence of s; a gram that occurs twice is
// reported twice.
template <typename F>
void for_each_gram(std::string_view s, F&& f) {
  for (const char c : s) f(byte_key(static_cast<unsigned char>(c)));
  for (size_t at = 0; at + NgramIndex::kGram <= s.size(); ++at) f(trigram_key(s, at));
}

}  // namespace

void NgramIndex::keys_of_pattern(std::string_view p, std::vector<uint32_t>& out) {
  out.clear();
  if (p.size() == 1) {
    out.push_back(byte_key(static_cast<unsigned char>(p[0])));
    return;
  }
  for (size_t at = 0; at + kGram <= p.size(); ++at) out.push_back(trigram_key(p, at));
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
}

void NgramIndex::insert(uint32_t id, std::string_view s) {
  for_each_gram(s, [&](uint32_t key) { cells_[key].ids.add(id); });
}

void NgramIndex::buffered_insert(uint32_t id, std::string_view s) {
  for_each_gram(s, [&](uint32_t key) {
    Cell& cell = cells_[key];
    if (cell.pending == nullptr) cell.pending = std::make_unique<std::vector<uint32_t>>();
    std::vector<uint32_t>& pending = *cell.pending;
    // All occurrences of a gram in one string arrive together, so a repeat
    // is always the last id appended.
    if (!pending.empty() && pending.back() == id) return;
    if (pending.size() == kPendingLimit) {
      cell.ids.add_many(pending.data(), pending.size());
      pending.clear();
    }
    pending.push_back(id);
  });
}

void NgramIndex::remove(uint32_t id, std::string_view s) {
  for_each_gram(s, [&](uint32_t key) {
    const auto it = cells_.find(key);
    if (it == cells_.end()) return;
    it->second.ids.remove(id);
    if (it->second.ids.empty() && it->second.pending == nullptr) cells_.erase(it);
  });
}

void NgramIndex::flush() {
  for (auto& [key, cell] : cells_) {
    if (cell.pending == nullptr) continue;
    cell.ids.add_many(cell.pending->data(), cell.pending->size());
    cell.pending.reset();
  }
}

Bitmap NgramIndex::candidates_within(std::string_view p, const Bitmap& candidates) const {
  if (!serves(p.size()))
    panic("n-gram index asked about a pattern of " + std::to_string(p.size()) + " bytes");
  std::vector<uint32_t> keys;
  keys_of_pattern(p, keys);
  // Smallest first, so every intersection after the first stays small.
  std::vector<std::pair<uint64_t, const Bitmap*>> by_size;
  by_size.reserve(keys.size());
  for (const uint32_t key : keys) {
    const auto it = cells_.find(key);
    if (it == cells_.end()) return Bitmap();  // a gram no string holds
    by_size.emplace_back(it->second.ids.cardinality(), &it->second.ids);
  }
  std::sort(by_size.begin(), by_size.end());
  const Bitmap& first = *by_size.front().second;
  const bool candidates_smaller = candidates.cardinality() < by_size.front().first;
  Bitmap result = candidates_smaller ? candidates.clone() : first.clone();
  result.and_inplace(candidates_smaller ? first : candidates);
  for (size_t i = 1; i < by_size.size() && !result.empty(); ++i) {
    result.and_inplace(*by_size[i].second);
  }
  return result;
}

void NgramIndex::narrow(const Bitmap& filter) {
  flush();
  for (auto it = cells_.begin(); it != cells_.end();) {
    it->second.ids.and_inplace(filter);
    if (it->second.ids.empty()) {
      cells_.erase(it++);
    } else {
      ++it;
    }
  }
}

void NgramIndex::union_with(const NgramIndex& other) {
  if (&other == this) return;
  for (const auto& [key, cell] : other.cells_) {
    if (cell.pending != nullptr) panic("n-gram index: union with unflushed buffers");
    cells_[key].ids.or_inplace(cell.ids);
  }
}

size_t NgramIndex::memory_bytes() const {
  size_t total = sizeof(*this) + cells_.capacity() * (sizeof(uint32_t) + sizeof(Cell) + 1);
  for (const auto& [key, cell] : cells_) {
    total += cell.ids.size_in_bytes();
    if (cell.pending != nullptr) total += cell.pending->capacity() * sizeof(uint32_t);
  }
  return total;
}

void NgramIndex::validate() const {
  for (const auto& [key, cell] : cells_) {
    if (cell.pending != nullptr) panic("n-gram index: a buffer outlived its bulk insertion");
    if (cell.ids.empty()) panic("n-gram index: an empty cell was kept");
  }
}

}  // namespace qdx
