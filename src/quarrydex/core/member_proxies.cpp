#include "core/member_proxies.hpp"

#include <vector>

#include "core/value_index.hpp"
#include "core/value_insert.hpp"

namespace qdx {
namespace {

// Members of a container value, containers nested in it flattened, each
// with a fresh proxy id.
void collect_members(const PyValue& container, std::vector<ProxyRecord>& out) {
  for (const PyValue& member : *container.as_iterable().members) {
    if (member.kind() == ValueKind::kIterable) {
      collect_members(member, out);
    } else {
      out.push_back({allocate_id(), member});
    }
  }
}

}  // namespace

void drop_proxies(ValueIndex& index, ObjectId owner) {
  std::vector<ProxyRecord> records;
  {
    WriteGuard guard(index.proxies.lock());
    Proxies& proxies = index.proxies.get(guard);
    auto it = proxies.by_owner.find(owner);
    if (it == proxies.by_owner.end()) return;
    records = std::move(it->second);
    proxies.by_owner.erase(it);
    for (const ProxyRecord& record : records) {
      proxies.owner_of.erase(record.proxy);
      proxies.set.remove(record.proxy);
    }
  }
  for (const ProxyRecord& record : records) {
    remove_from(index, record.proxy, record.member);
    release_id(record.proxy);
  }
}

void insert_members(ValueIndex& index, ObjectId owner, const PyValue& container) {
  // The same object added twice: its old members go first, so proxies never leak.
  drop_proxies(index, owner);
  std::vector<ProxyRecord> records;
  collect_members(container, records);
  if (records.empty()) return;
  {
    WriteGuard guard(index.proxies.lock());
    Proxies& proxies = index.proxies.get(guard);
    for (const ProxyRecord& record : records) {
      proxies.owner_of[record.proxy] = owner;
      proxies.set.add(record.proxy);
    }
    proxies.by_owner[owner] = records;
  }
  for (const ProxyRecord& record : records) insert_into(index, record.proxy, record.member);
}

}  // namespace qdx
