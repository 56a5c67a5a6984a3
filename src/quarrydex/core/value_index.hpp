// `ValueIndex`: the values of one attribute within one index.
//
// Components, each behind its own reader-writer lock:
//   hashed    nested objects and other hashable objects -> id sets
//   numbers   integers and floats (NaN is never stored: it equals nothing),
//             in bit planes for broad ranges, plus the ids of each key in
//             key order (a (key, id) column for keys few ids hold, a posting
//             list for the others) for equality and narrow ranges
//   strings   UTF-8 strings, by byte position for patterns, by n-gram for
//             substrings, plus the ids of each value in byte and in
//             reversed-byte order for equality, prefixes and suffixes
//   booleans  True and False sets
//   proxies   members of list, tuple and set values: each member is stored
//             under a proxy id of its own; `owner_of` maps every proxy (also
//             of containers nested in containers) straight to the id of the
//             object that holds the outermost container, and `by_owner`
//             remembers, per owner, the proxies and member values inserted
//             for its current value, so removal needs no interpreter.
//   parents   pairs (holder, nested object) for the Indexable values of this
//             attribute, holders being objects of the owning index or proxy
//             ids of their container members. The nested objects themselves
//             live in the owner's nested index (core/nested_graph.hpp), one
//             per root index, shared by every attribute and every depth.
//   valueless ids whose value has no entry in any component above (NaN, an
//             empty container; see valueless.hpp), so presence is answerable.
// Every component is empty and costs a few words until first used.
#pragma once

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>

#include "base/locks.hpp"
#include "core/hashed_value_map.hpp"
#include "core/parent_map.hpp"
#include "structures/boolean_sets.hpp"
#include "structures/ngram_index.hpp"
#include "structures/numeric_postings.hpp"
#include "structures/ordered_bitmap.hpp"
#include "structures/positional_bitmap.hpp"
#include "structures/rank_sample.hpp"
#include "structures/string_postings.hpp"
#include "values/value.hpp"

namespace qdx {

class IndexState;

// The key a number is stored under; nothing for other kinds and for NaN,
// which is never stored because it equals nothing.
inline std::optional<OrderKey> numeric_key(const PyValue& value) {
  if (value.kind() == ValueKind::kInt) return OrderKey::from_int(value.as_int());
  if (value.kind() == ValueKind::kFloat && !std::isnan(value.as_float())) {
    return OrderKey::from_double(value.as_float());
  }
  return std::nullopt;
}

// Numbers: the bit-sliced structure answers broad ranges, the posting lists
// answer equality in one probe and narrow ranges by walking the keys inside
// them; the rank sample tells a range leaf which of the two is cheaper. The
// first two hold exactly the same (id, key) pairs.
struct NumericValues {
  OrderedBitmap ordered;
  NumericPostings exact;
  RankSample sample;

  void insert(uint32_t id, OrderKey key) {
    ordered.insert(id, key);
    exact.insert(key, id);
    note_writes(1);
  }
  // insert for every (key, id); sorts `items`. The sample is rebuilt only
  // as writes would rebuild it: a bulk insertion in several calls calls
  // rebuild_sample once at its end.
  void insert_many(std::span<std::pair<OrderKey, uint32_t>> items);
  void rebuild_sample() {
    if (exact.size() != 0 || sample.total() != 0) sample.rebuild(exact);
  }
  void remove(uint32_t id, OrderKey key) {
    ordered.remove(id, key);
    exact.remove(key, id);
    note_writes(1);
  }
  void replace(uint32_t id, OrderKey old_key, OrderKey new_key) {
    ordered.replace(id, old_key, new_key);
    exact.remove(old_key, id);
    exact.insert(new_key, id);
    note_writes(2);
  }
  void narrow(const Bitmap& filter) {
    ordered.narrow(filter);
    exact.narrow(filter);
    sample.rebuild(exact);
  }

 private:
  void note_writes(uint64_t count) {
    if (sample.note_writes(count)) sample.rebuild(exact);
  }
};

// Strings: the positional structure answers broad patterns and verifies
// substring candidates, the n-gram lists narrow `contains` to those
// candidates, and the posting lists (in byte and in reversed-byte order)
// answer equality, narrow prefixes and narrow suffixes. All three hold
// exactly the same (id, string) pairs.
struct StringValues {
  PositionalBitmap positions;
  NgramIndex grams;
  StringPostings exact;

  void insert(uint32_t id, std::string_view s) {
    positions.insert(id, s);
    grams.insert(id, s);
    exact.insert(s, id);
  }
  // insert for every (string, id); sorts `items`.
  void insert_many(std::span<std::pair<std::string_view, uint32_t>> items);
  void remove(uint32_t id, std::string_view s) {
    positions.remove(id, s);
    grams.remove(id, s);
    exact.remove(s, id);
  }
  // remove(id, old_s) then insert(id, new_s); each structure touches only
  // what differs, and an unchanged string costs nothing.
  void replace(uint32_t id, std::string_view old_s, std::string_view new_s) {
    if (old_s == new_s) return;
    positions.replace(id, old_s, new_s);
    grams.replace(id, old_s, new_s);
    exact.remove(old_s, id);
    exact.insert(new_s, id);
  }
  void narrow(const Bitmap& filter) {
    positions.narrow(filter);
    grams.narrow(filter);
    exact.narrow(filter);
  }
};

struct ProxyRecord {
  uint32_t proxy;
  PyValue member;
};

struct Proxies {
  absl::flat_hash_map<uint32_t, uint32_t> owner_of;
  absl::flat_hash_map<uint32_t, std::vector<ProxyRecord>> by_owner;
  Bitmap set;
};

class ValueIndex {
 public:
  explicit ValueIndex(std::weak_ptr<IndexState> owner);
  ~ValueIndex();

  HashedValueMap hashed;
  RwLocked<NumericValues> numbers;
  RwLocked<StringValues> strings;
  RwLocked<BooleanSets> booleans;
  RwLocked<Proxies> proxies;
  RwLocked<ParentMap> parents;
  RwLocked<Bitmap> valueless;
  const std::weak_ptr<IndexState> owner;

  // The index of the nested objects reachable from the owner, or nullptr
  // while none was made (or the owner is gone).
  std::shared_ptr<IndexState> nested() const;
  // The same, made on first use.
  std::shared_ptr<IndexState> nested_or_make() const;
};

}  // namespace qdx
