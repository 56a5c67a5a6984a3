#include "structures/string_interner/interner.hpp"

namespace qdx {

StringInterner::StringInterner() : published_(ImmutableInterner::make(NameTable{})) {}

AttributeId StringInterner::intern(std::string_view name) {
  const uint64_t hash = text_hash(name);
  {
    PublishedSnapshot::Borrow current(published_);
    if (auto id = current->table().find(name, hash)) return *id;
  }
  MutexGuard guard(master_.mutex());
  MutableInterner& master = master_.get(guard);
  if (auto id = master.find(guard, name, hash)) {
    // Another thread added it after our snapshot was taken. Every change is
    // published before the mutex is let go, so the current snapshot already
    // holds it and a second copy of the table would change nothing.
    return *id;
  }
  const AttributeId id = master.add(guard, name, hash);
  published_.publish(guard, master.freeze(guard));
  return id;
}

std::optional<AttributeId> StringInterner::get(std::string_view name) const {
  PublishedSnapshot::Borrow current(published_);
  return current->table().find(name, text_hash(name));
}

std::string StringInterner::resolve(AttributeId id) const {
  PublishedSnapshot::Borrow current(published_);
  return std::string(current->table().name(id));
}

StringInterner::Snapshot StringInterner::snapshot() const {
  return Snapshot(published_.load());
}

size_t StringInterner::size() const {
  PublishedSnapshot::Borrow current(published_);
  return current->table().size();
}

std::optional<AttributeId> StringInterner::Snapshot::get(std::string_view name) const {
  return ref_->table().find(name, text_hash(name));
}

std::string_view StringInterner::Snapshot::name(AttributeId id) const {
  return ref_->table().name(id);
}

StringInterner& interner() {
  static StringInterner* const instance = new StringInterner();
  return *instance;
}

}  // namespace qdx
