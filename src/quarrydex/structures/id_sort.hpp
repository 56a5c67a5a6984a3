// `sort_ids`: ascending sort of a batch of 32-bit ids.
//
// Range and prefix answers gather the ids of many posting lists in key order
// and need them in id order to build a bitmap. A comparison sort costs about
// log2(n) passes over the batch; two counting passes over 16-bit digits cost
// two, whatever n. Small batches keep the comparison sort, which needs no
// scratch. Duplicates are kept. A pure function of its argument; no locking.
#pragma once

#include <cstdint>
#include <vector>

namespace qdx {

void sort_ids(std::vector<uint32_t>& ids);

}  // namespace qdx
