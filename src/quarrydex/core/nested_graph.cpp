#include "core/nested_graph.hpp"

#include <algorithm>
#include <exception>
#include <utility>
#include <vector>

#include "core/index_state.hpp"
#include "core/object_membership.hpp"
#include "core/value_index.hpp"

namespace qdx {
namespace {

// An object whose holder count changed: its slot when the change may bring
// it in (a recorded pair), an empty slot when it can only take it out.
struct Pending {
  std::shared_ptr<IndexState> nested;
  ObjectId id;
  StoredIndexable slot;
};

thread_local std::vector<Pending> t_pending;

// Sweeps run when this many suspects (and at least a quarter of the nested
// index's size) have piled up.
constexpr uint64_t kMinSuspects = 64;

void count_pair(IndexState& nested, ObjectId child, bool from_root, int delta) {
  MutexGuard guard(nested.graph.counts.mutex());
  HolderCounts& counts = nested.graph.counts.get(guard);
  HolderCount& count = counts.by_object[child];
  uint32_t& side = from_root ? count.from_root : count.from_nested;
  QDX_DEBUG_CHECK(delta > 0 || side > 0, "holder count below zero");
  side = delta > 0 ? side + 1 : side - 1;
  if (count.total() == 0) {
    counts.by_object.erase(child);
    counts.suspects.remove(child);
  } else if (delta < 0) {
    counts.suspects.add(child);
  }
}

bool wanted(IndexState& nested, ObjectId id) {
  MutexGuard guard(nested.graph.counts.mutex());
  return nested.graph.counts.get(guard).by_object.contains(id);
}

// Brings one object in or out of `nested` to match its holder count.
void reconcile(Pending& item) {
  IndexState& nested = *item.nested;
  MutexGuard guard(nested.graph.reconcile);
  const bool want = wanted(nested, item.id);
  const bool member = holds_id(nested, item.id);
  if (want && !member && !item.slot.empty()) {
    add_object_unsettled(item.nested, std::move(item.slot), true);
  } else if (!want && member) {
    remove_object(nested, item.id);
  }
}

bool sweep_due(IndexState& nested) {
  uint64_t suspects;
  {
    MutexGuard guard(nested.graph.counts.mutex());
    suspects = nested.graph.counts.get(guard).suspects.cardinality();
  }
  if (suspects < kMinSuspects) return false;
  ReadGuard guard(nested.all_ids->lock());
  return suspects * 4 >= nested.all_ids->get(guard).cardinality();
}

// holder -> nested objects, proxies mapped to the objects holding the containers.
using Edges = absl::flat_hash_map<ObjectId, std::vector<ObjectId>>;

void collect_edges(ValueIndex& index, Edges& edges) {
  ReadGuard parents_guard(index.parents.lock());
  ReadGuard proxies_guard(index.proxies.lock());
  const Proxies& proxies = index.proxies.get(proxies_guard);
  index.parents.get(parents_guard).for_each_pair([&](uint32_t holder, uint32_t child) {
    const auto owner = proxies.owner_of.find(holder);
    edges[owner == proxies.owner_of.end() ? holder : owner->second].push_back(child);
  });
}

}  // namespace

void record_nested_pair(ValueIndex& index, ObjectId holder, const PyValue& value) {
  const std::shared_ptr<IndexState> owner = index.owner.lock();
  if (owner == nullptr) return;
  std::shared_ptr<IndexState> nested = owner->nested_index(true);
  const ObjectId child = value.as_ind().id;
  {
    WriteGuard guard(index.parents.lock());
    if (!index.parents.get(guard).record_pair(holder, child)) return;
    count_pair(*nested, child, !owner->is_nested, +1);
  }
  t_pending.push_back({std::move(nested), child, StoredIndexable::shared(value.obj())});
}

void drop_nested_pair(ValueIndex& index, ObjectId holder, const PyValue& value) {
  const std::shared_ptr<IndexState> owner = index.owner.lock();
  if (owner == nullptr) return;
  std::shared_ptr<IndexState> nested = owner->nested_index(false);
  if (nested == nullptr) return;
  const ObjectId child = value.as_ind().id;
  {
    WriteGuard guard(index.parents.lock());
    if (!index.parents.get(guard).remove_pair(holder, child)) return;
    count_pair(*nested, child, !owner->is_nested, -1);
  }
  t_pending.push_back({std::move(nested), child, StoredIndexable{}});
}

void drop_nested_holders(ValueIndex& index, const Bitmap& holders) {
  const std::shared_ptr<IndexState> owner = index.owner.lock();
  if (owner == nullptr) return;
  std::shared_ptr<IndexState> nested = owner->nested_index(false);
  if (nested == nullptr) return;
  std::vector<uint32_t> children;
  {
    WriteGuard guard(index.parents.lock());
    index.parents.get(guard).remove_holders(holders, children);
    for (uint32_t child : children) count_pair(*nested, child, !owner->is_nested, -1);
  }
  for (uint32_t child : children) t_pending.push_back({nested, child, StoredIndexable{}});
}

void settle_nested() {
  if (t_pending.empty()) return;  // most writes link and unlink no nested object
  // A failure leaves the queue to no one: drop it rather than let the next
  // operation of this thread act on the state of a failed one.
  struct ClearOnFailure {
    int exceptions = std::uncaught_exceptions();
    ~ClearOnFailure() {
      if (std::uncaught_exceptions() > exceptions) t_pending.clear();
    }
  } clear_on_failure;
  std::vector<std::shared_ptr<IndexState>> touched;
  while (!t_pending.empty()) {
    Pending item = std::move(t_pending.back());
    t_pending.pop_back();
    reconcile(item);
    if (touched.empty() || touched.back() != item.nested) touched.push_back(item.nested);
  }
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  for (const auto& nested : touched) {
    if (sweep_due(*nested)) sweep_nested(nested);
  }
}

void sweep_nested(const std::shared_ptr<IndexState>& nested) {
  Bitmap garbage;
  {
    MutexGuard guard(nested->graph.reconcile);
    std::vector<ObjectId> frontier;
    {
      MutexGuard counts_guard(nested->graph.counts.mutex());
      HolderCounts& counts = nested->graph.counts.get(counts_guard);
      counts.suspects.clear();
      for (const auto& [id, count] : counts.by_object) {
        if (count.from_root > 0) frontier.push_back(id);
      }
    }
    Edges edges;
    AttributeTable table;
    {
      ReadGuard table_guard(nested->attributes->lock());
      table = nested->attributes->get(table_guard);
    }
    for (const auto& index : table) {
      if (index != nullptr) collect_edges(*index, edges);
    }
    Bitmap reached;
    for (ObjectId id : frontier) reached.add(id);
    while (!frontier.empty()) {
      const ObjectId id = frontier.back();
      frontier.pop_back();
      const auto it = edges.find(id);
      if (it == edges.end()) continue;
      for (ObjectId child : it->second) {
        if (reached.contains(child)) continue;
        reached.add(child);
        frontier.push_back(child);
      }
    }
    {
      ReadGuard ids_guard(nested->all_ids->lock());
      garbage = nested->all_ids->get(ids_guard).clone();
    }
    garbage.andnot_inplace(reached);
    // Each removal drops the pairs its values made; the counts of what they
    // name fall with them (to zero for the rest of an unreachable cycle).
    garbage.for_each([&](uint32_t id) { remove_object(*nested, id); });
  }
  // The pairs the removals dropped queued their objects; all are out already
  // or still held, which the queue confirms.
  while (!t_pending.empty()) {
    Pending item = std::move(t_pending.back());
    t_pending.pop_back();
    reconcile(item);
  }
}

}  // namespace qdx
