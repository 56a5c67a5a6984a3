// Conjunctions of equalities answered through a combination over their
// attributes (core/equality_combinations.hpp): building one, and one
// conjunction's use of it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "core/equality_combinations.hpp"
#include "structures/bitmap.hpp"
#include "values/value.hpp"

namespace qdx {

class IndexState;

// The combination over `key`, read from the attributes' numbers, strings and
// booleans one lock at a time; null when an attribute holds container
// members (their ids stand for holders, which a sum cannot follow).
std::shared_ptr<const EqualityCombination> build_equality_combination(
    const CombinationRegistry::Key& key);

// One conjunction of equalities on plain attributes (distinct, none holding
// container members), each an operand filed in numbers, strings or
// booleans. Built before the posting lists are locked; `candidates` is asked
// with them locked, `finish` once they are released.
class CombinationUse {
 public:
  // `smallest`: the size of the smallest posting list, what answering
  // without a combination costs. `universe`: every id of the index, or null
  // when the query reads a part of it (a build's cost then counts every id
  // handed out); read only by `finish`. Inert for small conjunctions,
  // repeated attributes and operands kept elsewhere: it then never finds or
  // builds anything.
  CombinationUse(std::span<ValueIndex* const> indexes, std::span<const PyValue* const> values,
                 uint64_t smallest, const Bitmap* universe);
  CombinationUse(const CombinationUse&) = delete;
  CombinationUse& operator=(const CombinationUse&) = delete;

  // A superset of the conjunction's answer (ascending ids) from a current
  // combination, or nothing. Call with every posting list of the
  // conjunction read-locked: the combination is checked against them then.
  std::optional<std::span<const uint32_t>> candidates();
  // Owes the work to the combination when none answered, and builds it when
  // the work owed pays for it. Call with the posting lists released.
  void finish();

 private:
  std::shared_ptr<IndexState> state_;  // null: inert
  CombinationRegistry::Key key_;
  uint32_t sum_ = 0;
  uint64_t work_ = 0;
  const Bitmap* universe_ = nullptr;
  std::shared_ptr<const EqualityCombination> found_;
  bool stale_ = false;
  bool used_ = false;
};

}  // namespace qdx
