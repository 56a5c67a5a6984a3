#include "structures/ngram_index.hpp"

#include <algorithm>
#include <utility>

#include "base/panic.hpp"
#include "structures/scratch_allocator.hpp"

namespace qdx {
namespace {

// Gram occurrences sorted per slice of insert_many: enough that most grams
// get a run of ids per slice, few enough that the scratch stays a megabyte.
constexpr size_t kSlicePairs = size_t{1} << 16;
// The keys use 25 bits (bit 24 marks a byte gram); two counting passes of
// 13 bits each sort them.
constexpr unsigned kRadixBits = 13;
constexpr size_t kRadixMinimum = 4096;

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

void NgramIndex::keys_of_string(std::string_view s, Keys& out) {
  out.clear();
  for_each_gram(s, [&](uint32_t key) { out.push_back(key); });
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
}

void NgramIndex::drop_key(uint32_t key, uint32_t id) {
  const auto it = cells_.find(key);
  if (it == cells_.end()) return;
  it->second.remove(id);
  if (it->second.empty()) cells_.erase(it);
}

void NgramIndex::insert(uint32_t id, std::string_view s) {
  Keys keys;
  keys_of_string(s, keys);
  for (const uint32_t key : keys) add_key(key, id);
}

namespace {

// Stable sort of (key << 32 | id) words by key: ids keep their input order.
void sort_by_key(ScratchVector<uint64_t>& pairs, ScratchVector<uint64_t>& scratch) {
  constexpr size_t kBuckets = size_t{1} << kRadixBits;
  scratch.resize(pairs.size());
  std::vector<uint32_t> counts(kBuckets);
  for (unsigned shift = 32; shift < 32 + 2 * kRadixBits; shift += kRadixBits) {
    std::fill(counts.begin(), counts.end(), 0);
    for (const uint64_t p : pairs) ++counts[(p >> shift) & (kBuckets - 1)];
    uint32_t total = 0;
    for (uint32_t& c : counts) total += std::exchange(c, total);
    for (const uint64_t p : pairs) scratch[counts[(p >> shift) & (kBuckets - 1)]++] = p;
    pairs.swap(scratch);
  }
}

}  // namespace

void NgramIndex::insert_many(std::span<const std::pair<std::string_view, uint32_t>> items) {
  ScratchVector<uint64_t> pairs;
  ScratchVector<uint64_t> scratch;
  std::vector<uint32_t> ids;
  ScratchVector<uint32_t> touched;
  size_t occurrences = 0;
  for (const auto& item : items) occurrences += 2 * item.first.size();
  pairs.reserve(std::min(occurrences, kSlicePairs + 64));
  for (size_t next = 0; next < items.size();) {
    pairs.clear();
    for (; next < items.size() && pairs.size() < kSlicePairs; ++next) {
      const uint64_t id = items[next].second;
      for_each_gram(items[next].first,
                    [&](uint32_t key) { pairs.push_back(uint64_t{key} << 32 | id); });
    }
    // Counting passes pay off on large slices; a comparison sort (by key,
    // then id) is quicker for the few pairs of a small batch.
    if (pairs.size() >= kRadixMinimum) {
      sort_by_key(pairs, scratch);
    } else {
      std::sort(pairs.begin(), pairs.end());
    }
    for (size_t run = 0; run < pairs.size();) {
      const uint32_t key = static_cast<uint32_t>(pairs[run] >> 32);
      ids.clear();
      for (; run < pairs.size() && static_cast<uint32_t>(pairs[run] >> 32) == key; ++run) {
        const auto id = static_cast<uint32_t>(pairs[run]);
        // A gram repeated in one string yields the same id twice in a row.
        if (ids.empty() || ids.back() != id) ids.push_back(id);
      }
      cells_[key].add_many(ids, encoded_max_);
      touched.push_back(key);
    }
  }
  // Slice after slice, the containers grew by doubling: a batch leaves most
  // of them with unused capacity, which would outweigh the ids themselves.
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (const uint32_t key : touched) cells_[key].shrink_to_fit();
}

void NgramIndex::insert_all(const Bitmap& ids, std::string_view s) {
  if (ids.empty()) return;
  Keys keys;
  keys_of_string(s, keys);
  for (const uint32_t key : keys) cells_[key].add_all(ids, encoded_max_);
}

void NgramIndex::remove(uint32_t id, std::string_view s) {
  Keys keys;
  keys_of_string(s, keys);
  for (const uint32_t key : keys) drop_key(key, id);
}

void NgramIndex::replace(uint32_t id, std::string_view old_s, std::string_view new_s) {
  if (old_s == new_s) return;
  Keys before;
  Keys after;
  keys_of_string(old_s, before);
  keys_of_string(new_s, after);
  // One merge of the two sorted key lists: shared grams stay as they are.
  size_t i = 0;
  size_t j = 0;
  while (i < before.size() || j < after.size()) {
    if (j == after.size() || (i < before.size() && before[i] < after[j])) {
      drop_key(before[i++], id);
    } else if (i == before.size() || after[j] < before[i]) {
      add_key(after[j++], id);
    } else {
      ++i;
      ++j;
    }
  }
}

namespace {

// result ∩= list, reading an encoded list without building its bitmap.
void and_list(Bitmap& result, const GramList& list) {
  if (const Bitmap* b = list.bitmap()) {
    result.and_inplace(*b);
    return;
  }
  std::vector<uint32_t> ids;
  list.decode(ids);
  std::erase_if(ids, [&](uint32_t id) { return !result.contains(id); });
  Bitmap kept;
  kept.add_many(ids.data(), ids.size());
  result = std::move(kept);
}

}  // namespace

Bitmap NgramIndex::candidates_within(std::string_view p, const Bitmap& candidates) const {
  if (!serves(p.size()))
    panic("n-gram index asked about a pattern of " + std::to_string(p.size()) + " bytes");
  std::vector<uint32_t> keys;
  keys_of_pattern(p, keys);
  // Smallest first, so every intersection after the first stays small.
  std::vector<std::pair<uint64_t, const GramList*>> by_size;
  by_size.reserve(keys.size());
  for (const uint32_t key : keys) {
    const auto it = cells_.find(key);
    if (it == cells_.end()) return Bitmap();  // a gram no string holds
    by_size.emplace_back(it->second.cardinality(), &it->second);
  }
  std::sort(by_size.begin(), by_size.end());
  Bitmap result;
  if (candidates.cardinality() < by_size.front().first) {
    result = candidates.clone();
    and_list(result, *by_size.front().second);
  } else {
    result = by_size.front().second->to_bitmap();
    result.and_inplace(candidates);
  }
  for (size_t i = 1; i < by_size.size() && !result.empty(); ++i) {
    and_list(result, *by_size[i].second);
  }
  return result;
}

void NgramIndex::narrow(const Bitmap& filter) {
  for (auto it = cells_.begin(); it != cells_.end();) {
    it->second.retain(filter);
    if (it->second.empty()) {
      cells_.erase(it++);
    } else {
      ++it;
    }
  }
}

void NgramIndex::union_with(const NgramIndex& other) {
  if (&other == this) return;
  std::vector<uint32_t> decoded;
  for (const auto& [key, list] : other.cells_) {
    if (const Bitmap* b = list.bitmap()) {
      cells_[key].add_all(*b, encoded_max_);
    } else {
      list.decode(decoded);
      cells_[key].add_many(decoded, encoded_max_);
    }
  }
}

size_t NgramIndex::memory_bytes() const {
  size_t total = sizeof(*this) + cells_.capacity() * (sizeof(uint32_t) + sizeof(GramList) + 1);
  for (const auto& [key, list] : cells_) total += list.memory_bytes();
  return total;
}

void NgramIndex::validate() const {
  for (const auto& [key, ids] : cells_) {
    if (ids.empty()) panic("n-gram index: an empty list was kept");
  }
}

}  // namespace qdx
