// `sort_ids`: ascending sort of a batch of 32-bit ids.
//
// Range and prefix answers gather the ids of many posting lists in key order
// and need them in id order to build a bitmap. A comparison sort costs about
// log2(n) passes over the batch; two counting passes over 16-bit digits cost
// two, whatever n. Small batches keep the comparison sort, which needs no
// scratch. Duplicates are kept. A pure function of its argument; no locking.
//
// `bitmap_of_ids` builds the set of a batch in any order. A batch that fills
// the 2^16-id chunks it touches with a few hundred ids each is never sorted:
// its ids are set as bits in plain words spanning those chunks (one store an
// id, into a buffer that stays in cache) and each chunk becomes a container
// straight from its words. Sparser batches are sorted as above.
#pragma once

#include <cstdint>
#include <vector>

#include "structures/bitmap.hpp"

namespace qdx {

void sort_ids(std::vector<uint32_t>& ids);
// The ids as a bitmap; `ids` is left in an unspecified order.
Bitmap bitmap_of_ids(std::vector<uint32_t>& ids);

}  // namespace qdx
