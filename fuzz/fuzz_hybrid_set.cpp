// libFuzzer target: a stream of HybridSet operations replayed against a
// std::set model, with the variant predicted from the transition rules. Any
// mismatch, broken array invariant or unexpected panic aborts.
//
// Input: a sequence of records, each an op byte followed by operand bytes.
// Two sets are kept so that unions and retains see every pair of variants.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "base/panic.hpp"
#include "structures/hybrid_set.hpp"

namespace {

using qdx::Bitmap;
using qdx::HybridSet;
using Variant = HybridSet::Variant;

struct Model {
  HybridSet set;
  std::set<uint32_t> ids;
  Variant variant = Variant::kEmpty;
};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "hybrid set mismatch: %s\n", what);
  std::abort();
}

void check(const Model& m) {
  if (!m.set.valid()) fail("array invariant");
  if (m.set.variant() != m.variant) fail("variant");
  if (m.set.cardinality() != m.ids.size()) fail("cardinality");
  if (m.set.empty() != m.ids.empty()) fail("empty");
  const std::vector<uint32_t> got = m.set.to_bitmap().to_vector();
  if (!std::equal(got.begin(), got.end(), m.ids.begin(), m.ids.end())) fail("contents");
}

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // Ids mostly from a small range so that operations collide, sometimes a
  // full 32-bit value to reach other containers and the top of the id space.
  uint32_t id() {
    const uint8_t tag = byte();
    if (tag < 192) return tag % 16;
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    return v;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

void insert(Model& m, uint32_t id) {
  if (m.variant == Variant::kEmpty) {
    m.variant = Variant::kSmall;
  } else if (m.variant == Variant::kSmall && m.ids.size() >= 3) {
    m.variant = Variant::kLarge;
  }
  m.set.insert(id);
  m.ids.insert(id);
}

void remove(Model& m, uint32_t id) {
  if (m.variant == Variant::kEmpty) {
    try {
      m.set.remove(id);
    } catch (const qdx::Panic& p) {
      if (std::strcmp(p.what(), "called remove on Empty") != 0) fail("remove panic text");
      return;
    }
    fail("remove on Empty did not panic");
  }
  m.set.remove(id);
  m.ids.erase(id);
}

void union_with(Model& m, const Model& other) {
  if (m.variant == Variant::kEmpty) {
    m.variant = other.variant;
  } else if (m.variant == Variant::kSmall && other.variant == Variant::kSmall) {
    if (m.ids.size() + other.ids.size() > 4) m.variant = Variant::kLarge;
  } else if (other.variant == Variant::kLarge) {
    m.variant = Variant::kLarge;
  }
  m.set.union_with(other.set);
  if (&other != &m) m.ids.insert(other.ids.begin(), other.ids.end());
}

void retain(Model& m, const std::set<uint32_t>& keep) {
  m.set.retain(Bitmap::of(std::vector<uint32_t>(keep.begin(), keep.end())));
  std::erase_if(m.ids, [&](uint32_t id) { return !keep.contains(id); });
}

void step(Model (&models)[2], Reader& in) {
  const uint8_t op = in.byte();
  Model& m = models[op & 1];
  Model& other = models[(op & 1) ^ 1];
  switch ((op >> 1) % 7) {
    case 0:
    case 1:
      insert(m, in.id());
      break;
    case 2:
      remove(m, in.id());
      break;
    case 3:
      union_with(m, other);
      break;
    case 4:
      union_with(m, m.ids.size() % 2 ? other : m);
      break;
    case 5: {
      std::set<uint32_t> keep;
      for (uint8_t n = in.byte() % 8; n > 0; --n) keep.insert(in.id());
      retain(m, keep);
      break;
    }
    case 6: {
      // Continue with a clone; the original is dropped or reset to Empty by
      // a move, which must leave it empty and usable.
      HybridSet copy = m.set.clone();
      other.set = std::move(m.set);
      other.ids = m.ids;
      other.variant = m.variant;
      if (m.set.variant() != Variant::kEmpty || !m.set.empty()) fail("moved-from set");
      m.set = std::move(copy);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Model models[2];
  Reader in(data, size);
  try {
    while (!in.done()) {
      step(models, in);
      check(models[0]);
      check(models[1]);
    }
  } catch (const qdx::Panic& p) {
    std::fprintf(stderr, "unexpected panic: %s\n", p.what());
    std::abort();
  }
  return 0;
}
