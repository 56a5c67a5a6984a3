// `ExactValues<Key>`: a posting list per exact value, beside the numeric and
// string structures of an attribute.
//
// Equality on the bit-sliced and positional structures costs one bitmap
// intersection per key bit or byte position; looking the value up here costs
// one hash probe and hands back the id set directly. Numbers are keyed by
// their OrderKey (so 1, 1.0 and True-free numeric equality, 0 == -0.0, hold
// exactly as in the ordered structure), strings by their bytes.
//
// Invariant: id is in the set of key k exactly when the companion structure
// holds id under k. A key whose set becomes empty is erased. Guarded by the
// lock of the companion structure's owner.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <absl/container/flat_hash_map.h>
#include <absl/hash/hash.h>

#include "structures/bitmap.hpp"
#include "structures/hybrid_set.hpp"
#include "structures/order_key.hpp"

namespace qdx {

struct OrderKeyHash {
  size_t operator()(const OrderKey& k) const noexcept {
    return absl::HashOf(k.mantissa, static_cast<uint16_t>(k.exponent & OrderKey::kExponentMask));
  }
};

struct BytesHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return absl::HashOf(s); }
};
struct BytesEq {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

template <typename Key, typename LookupKey, typename Hash, typename Eq = std::equal_to<>>
class ExactValues {
 public:
  void insert(const LookupKey& key, uint32_t id) {
    auto it = map_.find(key);
    if (it == map_.end()) {
      map_.emplace(Key(key), HybridSet::with_one(id));
    } else {
      it->second.insert(id);
    }
  }
  void remove(const LookupKey& key, uint32_t id) {
    auto it = map_.find(key);
    if (it == map_.end() || it->second.variant() == HybridSet::Variant::kEmpty) return;
    it->second.remove(id);
    if (it->second.empty()) map_.erase(it);
  }
  const HybridSet* find(const LookupKey& key) const {
    auto it = map_.find(key);
    return it == map_.end() ? nullptr : &it->second;
  }
  void narrow(const Bitmap& filter) {
    for (auto it = map_.begin(); it != map_.end();) {
      it->second.retain(filter);
      if (it->second.empty()) {
        map_.erase(it++);
      } else {
        ++it;
      }
    }
  }
  size_t size() const noexcept { return map_.size(); }

 private:
  absl::flat_hash_map<Key, HybridSet, Hash, Eq> map_;
};

using ExactNumbers = ExactValues<OrderKey, OrderKey, OrderKeyHash>;
using ExactStrings = ExactValues<std::string, std::string_view, BytesHash, BytesEq>;

}  // namespace qdx
