#include "core/parent_map.hpp"

#include <algorithm>
#include <vector>

namespace qdx {

void ParentMap::record_pair(uint32_t holder, uint32_t child) {
  auto& holders = holders_[child];
  if (std::find(holders.begin(), holders.end(), holder) == holders.end()) holders.push_back(holder);
  children_.add(child);
}

bool ParentMap::remove_pair(uint32_t holder, uint32_t child) {
  const auto it = holders_.find(child);
  if (it == holders_.end()) return false;  // never recorded (e.g. refused as a cycle)
  auto& holders = it->second;
  const auto found = std::find(holders.begin(), holders.end(), holder);
  if (found == holders.end()) return false;
  holders.erase(found);
  if (!holders.empty()) return false;
  holders_.erase(it);
  children_.remove(child);
  return true;
}

Bitmap ParentMap::holders_of(const Bitmap& children) const {
  std::vector<uint32_t> found;
  children.for_each([&](uint32_t child) {
    const auto it = holders_.find(child);
    if (it != holders_.end()) found.insert(found.end(), it->second.begin(), it->second.end());
  });
  std::sort(found.begin(), found.end());
  return Bitmap::of(found);
}

Bitmap ParentMap::holders_of_one(uint32_t child) const {
  Bitmap result;
  const auto it = holders_.find(child);
  if (it != holders_.end()) result.add_many(it->second.data(), it->second.size());
  return result;
}

Bitmap ParentMap::children_of(const Bitmap& holders) const {
  Bitmap result;
  for (const auto& [child, list] : holders_) {
    for (uint32_t holder : list) {
      if (holders.contains(holder)) {
        result.add(child);
        break;
      }
    }
  }
  return result;
}

void ParentMap::retain_holders(const Bitmap& keep) {
  std::vector<uint32_t> orphans;
  for (auto& [child, list] : holders_) {
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](uint32_t holder) { return !keep.contains(holder); }),
               list.end());
    if (list.empty()) orphans.push_back(child);
  }
  for (uint32_t child : orphans) {
    holders_.erase(child);
    children_.remove(child);
  }
}

void ParentMap::union_with(const ParentMap& other) {
  for (const auto& [child, list] : other.holders_) {
    for (uint32_t holder : list) record_pair(holder, child);
  }
}

}  // namespace qdx
