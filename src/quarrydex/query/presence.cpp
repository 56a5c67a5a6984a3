#include "query/presence.hpp"

#include <vector>

#include "core/value_index.hpp"

namespace qdx {
namespace {

Bitmap container_holders(ValueIndex& index) {
  ReadGuard guard(index.proxies.lock());
  const Proxies& proxies = index.proxies.get(guard);
  std::vector<uint32_t> owners;
  owners.reserve(proxies.by_owner.size());
  for (const auto& [owner, records] : proxies.by_owner) owners.push_back(owner);
  return Bitmap::of(owners);
}

}  // namespace

Bitmap presence_lookup(ValueIndex& index, const Bitmap& universe) {
  Bitmap found;
  {
    ReadGuard guard(index.numbers.lock());
    found.or_inplace(index.numbers.get(guard).ordered.ids());
  }
  {
    ReadGuard guard(index.strings.lock());
    found.or_inplace(index.strings.get(guard).positions.ids());
  }
  {
    ReadGuard guard(index.booleans.lock());
    found.or_inplace(index.booleans.get(guard).ids());
  }
  found.or_inplace(index.hashed.ids());
  found.or_inplace(container_holders(index));
  {
    ReadGuard guard(index.valueless.lock());
    found.or_inplace(index.valueless.get(guard));
  }
  found.and_inplace(universe);
  return found;
}

}  // namespace qdx
