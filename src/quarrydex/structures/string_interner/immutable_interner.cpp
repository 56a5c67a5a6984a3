#include "structures/string_interner/immutable_interner.hpp"

#include <cstring>
#include <limits>
#include <string>

#include "base/panic.hpp"

namespace qdx {

// ---------------------------------------------------------------------------
// NameTable

NameTable::NameTable(size_t names, size_t keys) {
  strings_.reserve(names);
  index_.reserve(keys);
}

std::optional<AttributeId> NameTable::find(std::string_view name, uint64_t text_hash) const {
  const auto entry = index_.find(NameKey{text_hash, static_cast<uint32_t>(name.size())});
  if (entry == index_.end()) return std::nullopt;
  for (const AttributeId id : entry->second) {
    if (strings_[id].view() == name) return id;
  }
  return std::nullopt;
}

AttributeId NameTable::append(std::string_view name, uint64_t text_hash) {
  // Past 2^32 names an id would repeat; refuse instead of aliasing two names.
  if (strings_.size() > std::numeric_limits<AttributeId>::max()) {
    panic("attribute name space exhausted");
  }
  const auto id = static_cast<AttributeId>(strings_.size());
  auto bytes = std::make_shared_for_overwrite<char[]>(name.size());
  if (!name.empty()) std::memcpy(bytes.get(), name.data(), name.size());
  strings_.push_back(Text{std::move(bytes), name.size()});
  index_[NameKey{text_hash, static_cast<uint32_t>(name.size())}].push_back(id);
  return id;
}

std::string_view NameTable::name(AttributeId id) const {
  check_index(id, strings_.size());
  return strings_[id].view();
}

SnapshotRef ImmutableInterner::make(NameTable table) {
  return SnapshotRef::adopt(new ImmutableInterner(std::move(table)));
}

// ---------------------------------------------------------------------------
// Borrow slots

struct alignas(64) BorrowSlot {
  std::atomic<uintptr_t> held{0};
  std::atomic<bool> owned{false};
  BorrowSlot* next = nullptr;  // fixed once the slot is on the list
};

namespace {

constexpr uintptr_t kEmpty = 0;
// Snapshots are heap records aligned to at least 8, so no address equals 1.
constexpr uintptr_t kPaid = 1;

// Every slot ever made; slots are reused, never freed.
constinit std::atomic<BorrowSlot*> all_slots{nullptr};

uintptr_t address_of(const ImmutableInterner* snapshot) {
  return reinterpret_cast<uintptr_t>(snapshot);
}

BorrowSlot* claim_slot() {
  for (BorrowSlot* s = all_slots.load(std::memory_order_seq_cst); s != nullptr; s = s->next) {
    bool expected = false;
    if (!s->owned.load(std::memory_order_relaxed) &&
        s->owned.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
      return s;
    }
  }
  auto* s = new BorrowSlot;
  s->owned.store(true, std::memory_order_relaxed);
  BorrowSlot* head = all_slots.load(std::memory_order_relaxed);
  do {
    s->next = head;
  } while (!all_slots.compare_exchange_weak(head, s, std::memory_order_seq_cst,
                                            std::memory_order_relaxed));
  return s;
}

void return_slot(BorrowSlot* slot) {
  slot->owned.store(false, std::memory_order_release);
}

// The calling thread's own slot. The pointer and flags are trivially
// destructible so that a borrow made from another thread-local destructor,
// after `ThreadSlotReturn` ran, still works (through a spare slot).
thread_local BorrowSlot* thread_slot = nullptr;
thread_local bool thread_slot_busy = false;
thread_local bool thread_exiting = false;

struct ThreadSlotReturn {
  ~ThreadSlotReturn() {
    thread_exiting = true;
    if (thread_slot != nullptr) return_slot(std::exchange(thread_slot, nullptr));
  }
};
thread_local ThreadSlotReturn thread_slot_return;

// Claims the thread's slot on first use; `spare` tells the caller to return a
// slot claimed for this borrow alone.
BorrowSlot* take_slot(bool& spare) {
  spare = thread_exiting || thread_slot_busy;
  if (spare) return claim_slot();
  if (thread_slot == nullptr) {
    (void)&thread_slot_return;  // registers the return at thread exit
    thread_slot = claim_slot();
  }
  thread_slot_busy = true;
  return thread_slot;
}

void give_slot(BorrowSlot* slot, bool spare) {
  if (spare) {
    return_slot(slot);
  } else {
    thread_slot_busy = false;
  }
}

// Clears the slot; when a publisher paid this borrow, drops the count it gave.
void withdraw(BorrowSlot* slot, const ImmutableInterner* snapshot) {
  if (slot->held.exchange(kEmpty, std::memory_order_acq_rel) == kPaid) snapshot->release();
}

}  // namespace

// ---------------------------------------------------------------------------
// PublishedSnapshot

PublishedSnapshot::Borrow::Borrow(const PublishedSnapshot& cell) : slot_(take_slot(spare_)) {
  for (;;) {
    const ImmutableInterner* p = cell.current_.load(std::memory_order_seq_cst);
    slot_->held.store(address_of(p), std::memory_order_seq_cst);
    if (cell.current_.load(std::memory_order_seq_cst) == p) {
      snapshot_ = p;
      return;
    }
    // A publish came in between; p may be gone already, so it is never read.
    withdraw(slot_, p);
  }
}

PublishedSnapshot::Borrow::~Borrow() {
  withdraw(slot_, snapshot_);
  give_slot(slot_, spare_);
}

SnapshotRef PublishedSnapshot::load() const {
  Borrow borrow(*this);
  borrow->acquire();
  return SnapshotRef::adopt(&*borrow);
}

void PublishedSnapshot::publish(const MutexGuard&, SnapshotRef fresh) {
  const ImmutableInterner* old = current_.exchange(fresh.leak(), std::memory_order_seq_cst);
  const uintptr_t target = address_of(old);
  for (BorrowSlot* s = all_slots.load(std::memory_order_seq_cst); s != nullptr; s = s->next) {
    if (s->held.load(std::memory_order_seq_cst) != target) continue;
    old->acquire();
    uintptr_t expected = target;
    if (!s->held.compare_exchange_strong(expected, kPaid, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
      old->release();  // the reader let go first; our own count keeps `old` alive here
    }
  }
  old->release();
}

size_t PublishedSnapshot::slot_count() noexcept {
  size_t n = 0;
  for (BorrowSlot* s = all_slots.load(std::memory_order_acquire); s != nullptr; s = s->next) ++n;
  return n;
}

}  // namespace qdx
