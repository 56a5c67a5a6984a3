// Gathering the ids of the posting lists an ordered walk visits
// (numeric_postings.hpp, string_postings.hpp): a narrow range or prefix is
// answered by walking only the keys inside it, and the walk gives up after
// `limit` ids so that a broad one goes to the bit-sliced or positional
// structure, whose cost does not grow with the number of matches.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <absl/container/btree_map.h>
#include <algorithm>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "structures/bitmap.hpp"
#include "structures/hybrid_set.hpp"
#include "structures/id_sort.hpp"
#include "structures/order_key.hpp"

namespace qdx {

// Collects the ids of several posting lists, or gives up past a limit. Ids
// are gathered in one vector and sorted once (two counting passes for a
// large batch): merging each list into a growing bitmap would re-merge its
// containers again and again.
class IdCollector {
 public:
  explicit IdCollector(uint64_t limit) : limit_(limit) {}
  // False once the limit is passed.
  bool add(const HybridSet& set) {
    if (ids_.size() + set.cardinality() > limit_) return false;
    if (const CenteredArray* small = set.small()) {
      const auto run = small->run();
      ids_.insert(ids_.end(), run.begin(), run.end());
    } else if (const Bitmap* large = set.large()) {
      const size_t used = ids_.size();
      ids_.resize(used + large->cardinality());
      roaring_bitmap_to_uint32_array(large->raw(), ids_.data() + used);
    }
    return true;
  }
  // False once the limit is passed.
  bool add(uint32_t id) {
    if (ids_.size() >= limit_) return false;
    ids_.push_back(id);
    return true;
  }
  // Adds proj(*it) for every it in [first, last); false once the limit is
  // passed.
  template <typename It, typename Proj>
  bool add_run(It first, It last, Proj proj) {
    for (; first != last; ++first) {
      if (ids_.size() >= limit_) return false;
      ids_.push_back(proj(*first));
    }
    return true;
  }
  Bitmap finish() { return bitmap_of_ids(ids_); }

 private:
  uint64_t limit_;
  std::vector<uint32_t> ids_;
};

}  // namespace qdx
