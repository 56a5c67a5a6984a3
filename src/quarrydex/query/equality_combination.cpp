#include "query/equality_combination.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <vector>

#include "base/word_hash.hpp"
#include "core/index_state.hpp"
#include "core/value_index.hpp"
#include "query/query_ops.hpp"
#include "structures/id_alloc.hpp"
#include "structures/scratch_allocator.hpp"
#include "values/value_visit.hpp"

namespace qdx {
namespace {

// Below this many ids in its smallest posting list a conjunction costs a
// few microseconds without a combination, about what reading one costs.
constexpr uint64_t kCombineFrom = 4096;
// A build costs about this many probes of the conjunction kernel per id and
// attribute it files (measured on 1M objects and four attributes: ~4 ns a
// filed id, page faults included, against ~1.3 ns a probe), so this is how
// much unanswered work pays for one.
constexpr uint64_t kProbesPerFiledId = 3;

// Value hashes, one family per kind of operand: 1, 1.0 share a numeric key,
// and the number 1, the string "1" and True are three different values.
constexpr uint64_t kNumberTag = 0x6e756d6265727321ULL;
constexpr uint64_t kStringTag = 0x737472696e677321ULL;
constexpr uint64_t kBooleanTag = 0x626f6f6c65616e21ULL;

uint64_t number_hash(OrderKey key) {
  return combination_mix(key.mantissa ^ kNumberTag) + (key.exponent & 0xfff);
}
uint64_t string_hash(std::string_view s) {
  return byte_digest(s) ^ kStringTag;
}
uint64_t boolean_hash(bool truth) {
  return kBooleanTag + (truth ? 1 : 0);
}

// The hash of an equality's operand as the build files it; nothing for a
// NaN (it equals nothing) or an operand not kept in numbers, strings or
// booleans.
std::optional<uint64_t> operand_hash(const PyValue& value) {
  return visit_value(value, Overloaded{
                                [](const NumberValue& number) -> std::optional<uint64_t> {
                                  const auto key = numeric_key(number.value);
                                  if (!key) return std::nullopt;
                                  return number_hash(*key);
                                },
                                [](const StringValue& string) -> std::optional<uint64_t> {
                                  return string_hash(string.text);
                                },
                                [](const BoolValue& boolean) -> std::optional<uint64_t> {
                                  return boolean_hash(boolean.truth);
                                },
                                [](const auto&) -> std::optional<uint64_t> { return std::nullopt; },
                            });
}

// Per-id sums of the terms filed so far, and the ids of the first attribute
// (every id an answer can hold has a value there).
//
// The ids of one component are filed in two ways: a value held by a few ids
// at once, and the values kept as bitmaps together, chunk by chunk, when the
// component is done (`finish_component`). A bitmap value's ids spread over
// the whole id range, so filing such values one after another would sweep
// the sums once per value; chunk by chunk the sums of one chunk stay cached
// while every value adds to them.
class Filing {
 public:
  Filing() : sums_(id_high_water()), present_((sums_.size() + 63) / 64) {}

  void start_attribute(size_t position) { first_ = position == 0; }
  void file(uint32_t term, std::span<const uint32_t> ids) {
    file_block(term, ids.data(), ids.size());
  }
  void file(uint32_t term, const HybridSet& ids) {
    if (const Bitmap* large = ids.large()) {
      file(term, *large);
    } else if (const CenteredArray* small = ids.small()) {
      file(term, small->run());
    }
  }
  // `ids` must stay unchanged until finish_component.
  void file(uint32_t term, const Bitmap& ids) {
    terms_.push_back(term);
    large_.push_back(&ids);
  }
  void finish_component() {
    Bitmap::for_each_chunk_across(
        large_, [&](size_t i, const uint32_t* ids, size_t n) { file_block(terms_[i], ids, n); });
    terms_.clear();
    large_.clear();
  }
  CombinationBuckets buckets() const { return CombinationBuckets::build(sums_, present_); }

 private:
  // `ids` ascending.
  void file_block(uint32_t term, const uint32_t* ids, size_t n) {
    if (n == 0) return;
    reserve(ids[n - 1]);
    for (size_t i = 0; i < n; ++i) sums_[ids[i]] += term;
    if (!first_) return;
    for (size_t i = 0; i < n; ++i) present_[ids[i] >> 6] |= uint64_t{1} << (ids[i] & 63);
  }
  // Ids handed out after the high-water mark was read can be in the lists.
  void reserve(uint32_t id) {
    if (id < sums_.size()) return;
    sums_.resize(size_t{id} + id / 4 + 64);
    present_.resize((sums_.size() + 63) / 64);
  }

  // Scratch straight from the system: a build's megabytes go back whole.
  ScratchVector<uint32_t> sums_;
  ScratchVector<uint64_t> present_;
  bool first_ = true;
  std::vector<uint32_t> terms_;
  std::vector<const Bitmap*> large_;
};

// Files one component under its read lock (`file_values` reads it); returns
// the lock's write count as read.
template <typename Component, typename F>
uint64_t file_component(RwLocked<Component>& component, Filing& filing, F&& file_values) {
  ReadGuard guard(component.lock());
  const uint64_t writes = component.lock().writes();
  file_values(component.get(guard));
  filing.finish_component();
  return writes;
}

// Files every scalar value of `index` at `position`, one component (and its
// read lock) at a time; returns the write counts of its numbers, strings and
// booleans as read.
std::array<uint64_t, 3> file_attribute(ValueIndex& index, size_t position, Filing& filing) {
  filing.start_attribute(position);
  const auto walk_into_filing = [&](const auto& postings, auto hash) {
    postings.walk(false, [&](const auto& value, const auto& ids) {
      filing.file(combination_term(hash(value), position), ids);
      return true;
    });
  };
  return {
      file_component(index.numbers, filing,
                     [&](const NumericValues& c) { walk_into_filing(c.exact, number_hash); }),
      file_component(index.strings, filing,
                     [&](const StringValues& c) { walk_into_filing(c.exact, string_hash); }),
      file_component(index.booleans, filing,
                     [&](const BooleanSets& sets) {
                       for (const bool truth : {true, false}) {
                         filing.file(combination_term(boolean_hash(truth), position),
                                     sets.set(truth));
                       }
                     }),
  };
}

}  // namespace

std::shared_ptr<const EqualityCombination> build_equality_combination(
    const CombinationRegistry::Key& key) {
  // Members filed under their own ids would never meet their holder's other
  // values; such a conjunction is never answered from here anyway.
  if (std::any_of(key.begin(), key.end(),
                  [](ValueIndex* index) { return holds_members(*index); })) {
    return nullptr;
  }
  auto made = std::make_shared<EqualityCombination>();
  made->attributes = key;
  Filing filing;
  for (size_t position = 0; position < key.size(); ++position) {
    made->writes.push_back(file_attribute(*key[position], position, filing));
  }
  made->buckets = filing.buckets();
  return made;
}

CombinationUse::CombinationUse(std::span<ValueIndex* const> indexes,
                               std::span<const PyValue* const> values, uint64_t smallest,
                               const Bitmap* universe)
    : work_(smallest), universe_(universe) {
  if (smallest < kCombineFrom || indexes.size() < 2) return;
  key_.assign(indexes.begin(), indexes.end());
  std::sort(key_.begin(), key_.end());
  if (std::adjacent_find(key_.begin(), key_.end()) != key_.end()) return;
  for (size_t i = 0; i < indexes.size(); ++i) {
    const auto hash = operand_hash(*values[i]);
    if (!hash) return;
    const size_t position =
        static_cast<size_t>(std::lower_bound(key_.begin(), key_.end(), indexes[i]) - key_.begin());
    sum_ += combination_term(*hash, position);
  }
  state_ = indexes.front()->owner.lock();
  if (state_ == nullptr) return;
  found_ = state_->combinations.find(key_);
}

std::optional<std::span<const uint32_t>> CombinationUse::candidates() {
  if (found_ == nullptr) return std::nullopt;
  if (!found_->current()) {
    stale_ = true;
    return std::nullopt;
  }
  used_ = true;
  return found_->buckets.candidates(sum_);
}

void CombinationUse::finish() {
  if (state_ == nullptr || used_) return;
  // What a build would file per attribute: the whole index.
  const uint64_t objects = universe_ != nullptr ? universe_->cardinality() : id_high_water();
  const uint64_t build_work = (key_.size() + 1) * objects * kProbesPerFiledId;
  if (!state_->combinations.owe(key_, work_, build_work, stale_ ? found_.get() : nullptr)) return;
  // The registry waits for this build until `built` is called, also when
  // the build fails.
  struct Report {
    CombinationRegistry& registry;
    const CombinationRegistry::Key& key;
    std::shared_ptr<const EqualityCombination> made;
    ~Report() {
      try {
        registry.built(key, std::move(made));
      } catch (...) {  // NOLINT(bugprone-empty-catch): a failed registry only loses combinations
      }
    }
  } report{state_->combinations, key_, nullptr};
  try {
    report.made = build_equality_combination(key_);
  } catch (const std::bad_alloc&) {
    // The answer is already made; the combination is only a shortcut.
  }
}

}  // namespace qdx
