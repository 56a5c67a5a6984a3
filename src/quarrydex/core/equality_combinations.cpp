#include "core/equality_combinations.hpp"

#include <algorithm>

#include "core/value_index.hpp"

namespace qdx {

bool EqualityCombination::current() const noexcept {
  for (size_t i = 0; i < attributes.size(); ++i) {
    const ValueIndex& index = *attributes[i];
    const std::array<uint64_t, 3> now{index.numbers.lock().writes(), index.strings.lock().writes(),
                                      index.booleans.lock().writes()};
    if (now != writes[i]) return false;
  }
  return true;
}

CombinationRegistry::Slot* CombinationRegistry::slot_of(std::vector<Slot>& slots, const Key& key) {
  const auto it =
      std::find_if(slots.begin(), slots.end(), [&](const Slot& s) { return s.key == key; });
  if (it == slots.end()) return nullptr;
  it->last_use = ++clock_;
  return &*it;
}

std::shared_ptr<const EqualityCombination> CombinationRegistry::find(const Key& key) {
  MutexGuard guard(slots_.mutex());
  Slot* slot = slot_of(slots_.get(guard), key);
  return slot != nullptr ? slot->made : nullptr;
}

bool CombinationRegistry::owe(const Key& key, uint64_t work, uint64_t build_work,
                              const EqualityCombination* stale) {
  MutexGuard guard(slots_.mutex());
  std::vector<Slot>& slots = slots_.get(guard);
  Slot* slot = slot_of(slots, key);
  if (slot == nullptr) {
    if (slots.size() == kSlots) {
      auto oldest = slots.end();
      for (auto it = slots.begin(); it != slots.end(); ++it) {
        if (!it->building && (oldest == slots.end() || it->last_use < oldest->last_use))
          oldest = it;
      }
      if (oldest == slots.end()) return false;  // every slot is being built
      slots.erase(oldest);
    }
    slots.push_back(Slot{key, nullptr, 0, ++clock_, false});
    slot = &slots.back();
  }
  if (stale != nullptr && slot->made.get() == stale) slot->made.reset();
  slot->owed += work;
  if (slot->building || slot->made != nullptr || slot->owed < build_work) return false;
  slot->building = true;
  slot->owed = 0;
  return true;
}

void CombinationRegistry::built(const Key& key, std::shared_ptr<const EqualityCombination> made) {
  MutexGuard guard(slots_.mutex());
  if (Slot* slot = slot_of(slots_.get(guard), key)) {
    slot->building = false;
    slot->made = std::move(made);
  }
}

}  // namespace qdx
