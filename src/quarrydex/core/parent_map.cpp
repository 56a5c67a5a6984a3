#include "core/parent_map.hpp"

#include <algorithm>

namespace qdx {

bool ParentMap::record_pair(uint32_t holder, uint32_t child) {
  auto& holders = holders_[child];
  if (std::find(holders.begin(), holders.end(), holder) != holders.end()) return false;
  holders.push_back(holder);
  return true;
}

bool ParentMap::remove_pair(uint32_t holder, uint32_t child) {
  const auto it = holders_.find(child);
  if (it == holders_.end()) return false;
  auto& holders = it->second;
  const auto found = std::find(holders.begin(), holders.end(), holder);
  if (found == holders.end()) return false;
  holders.erase(found);
  if (holders.empty()) holders_.erase(it);
  return true;
}

Bitmap ParentMap::holders_of(const Bitmap& children) const {
  std::vector<uint32_t> found;
  auto collect = [&](uint32_t child) {
    const auto it = holders_.find(child);
    if (it != holders_.end()) found.insert(found.end(), it->second.begin(), it->second.end());
  };
  // Few pairs and many children (a leaf that matched most of the nested
  // objects): walk the pairs instead of probing each child.
  if (children.cardinality() > holders_.size()) {
    for (const auto& [child, holders] : holders_) {
      if (children.contains(child)) found.insert(found.end(), holders.begin(), holders.end());
    }
  } else {
    children.for_each(collect);
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return Bitmap::of(found);
}

void ParentMap::remove_holders(const Bitmap& holders, std::vector<uint32_t>& children) {
  for (auto it = holders_.begin(); it != holders_.end();) {
    auto& list = it->second;
    const auto kept = std::remove_if(list.begin(), list.end(), [&](uint32_t holder) {
      if (!holders.contains(holder)) return false;
      children.push_back(it->first);
      return true;
    });
    list.erase(kept, list.end());
    if (list.empty()) {
      holders_.erase(it++);
    } else {
      ++it;
    }
  }
}

}  // namespace qdx
