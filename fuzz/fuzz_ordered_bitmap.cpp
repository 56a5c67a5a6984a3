// libFuzzer target: OrderedBitmap, and the numeric postings kept in step
// with it, against a brute-force map id -> number.
//
// The input is a stream of operations over ids 0..63; after every change the
// structure's invariant is validated, and every query is checked against a
// linear scan of the model with exact integer/double comparison.
//
// clang++ -std=c++20 -fsanitize=fuzzer,address -Isrc/quarrydex fuzz/fuzz_ordered_bitmap.cpp \
//   src/quarrydex/structures/{bitmap,order_key,ordered_bitmap,ordered_bitmap_gt,ordered_bitmap_lt}.cpp
//   \ src/quarrydex/base/panic.cpp -lroaring
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "structures/numeric_postings.hpp"
#include "structures/order_key.hpp"
#include "structures/ordered_bitmap.hpp"

namespace {

using qdx::Bitmap;
using qdx::Comparison;
using qdx::OrderedBitmap;
using qdx::OrderKey;

struct Num {
  bool is_int;
  int64_t i;
  double d;
  OrderKey key() const { return is_int ? OrderKey::from_int(i) : OrderKey::from_double(d); }
};

int compare_int_double(int64_t i, double d) {
  if (d >= 0x1p63) return -1;
  if (d < -0x1p63) return 1;
  const double whole = std::trunc(d);
  const auto w = static_cast<int64_t>(whole);
  if (i != w) return i < w ? -1 : 1;
  const double fraction = d - whole;
  return fraction > 0 ? -1 : (fraction < 0 ? 1 : 0);
}

int compare(const Num& a, const Num& b) {
  if (a.is_int && b.is_int) return (a.i > b.i) - (a.i < b.i);
  if (!a.is_int && !b.is_int) return (a.d > b.d) - (a.d < b.d);
  if (a.is_int) return compare_int_double(a.i, b.d);
  return -compare_int_double(b.i, a.d);
}

void require(bool ok) {
  if (!ok) std::abort();
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool done() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint64_t word() {
    uint64_t w = 0;
    for (int n = 0; n < 8; ++n) w = (w << 8) | byte();
    return w;
  }
  Num number() {
    static const double kEdges[] = {0.0,
                                    -0.0,
                                    1.0,
                                    1.5,
                                    3.0,
                                    0x1p53,
                                    0x1p63,
                                    DBL_MAX,
                                    DBL_MIN,
                                    5e-324,
                                    0x1p-1060,
                                    HUGE_VAL,
                                    0x1p-1022 - 0x1p-1074,
                                    0x1.8p-1023};
    const uint8_t tag = byte();
    switch (tag % 5) {
      case 0:
        return {true, static_cast<int64_t>(word()), 0};
      case 1: {
        double d;
        const uint64_t bits = word();
        std::memcpy(&d, &bits, sizeof d);
        return {false, 0, std::isnan(d) ? 0.0 : d};
      }
      case 2: {
        const double d = kEdges[byte() % (sizeof kEdges / sizeof kEdges[0])];
        return {false, 0, tag & 0x80 ? -d : d};
      }
      case 3:
        return {true, static_cast<int8_t>(byte()) / 8, 0};
      default:
        return {false, 0, static_cast<int8_t>(byte()) / 4.0};
    }
  }
  Bitmap id_set() {
    const uint64_t mask = word();
    Bitmap b;
    for (uint32_t id = 0; id < 64; ++id) {
      if ((mask >> id) & 1) b.add(id);
    }
    return b;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

using Model = std::map<uint32_t, Num>;

bool holds(Comparison op, int c) {
  switch (op) {
    case Comparison::kGreater:
      return c > 0;
    case Comparison::kGreaterOrEqual:
      return c >= 0;
    case Comparison::kLess:
      return c < 0;
    case Comparison::kLessOrEqual:
      return c <= 0;
  }
  return false;
}

void check_equal(const OrderedBitmap& ob, const Model& model, Num probe, const Bitmap* candidates) {
  Bitmap expected;
  for (const auto& [id, v] : model) {
    if (compare(v, probe) == 0 && (!candidates || candidates->contains(id))) expected.add(id);
  }
  const Bitmap got = candidates ? ob.equal_within(probe.key(), *candidates) : ob.equal(probe.key());
  require(got == expected);
}

void check_postings_equal(const qdx::NumericPostings& np, const Model& model, Num probe,
                          const Bitmap& candidates) {
  Bitmap expected;
  uint64_t count = 0;
  for (const auto& [id, v] : model) {
    if (compare(v, probe) != 0) continue;
    ++count;
    if (candidates.contains(id)) expected.add(id);
  }
  require(np.equal_within(probe.key(), candidates) == expected);
  require(np.count(probe.key()) == count);
}

// The walk of the keys a comparison selects gives the ids the scan selects.
void check_postings_range(const qdx::NumericPostings& np, const Model& model, Comparison op,
                          Num probe) {
  Bitmap expected;
  for (const auto& [id, v] : model) {
    if (holds(op, compare(v, probe))) expected.add(id);
  }
  const bool above = op == Comparison::kGreater || op == Comparison::kGreaterOrEqual;
  const bool inclusive = op == Comparison::kGreaterOrEqual || op == Comparison::kLessOrEqual;
  const std::optional<qdx::OrderKey> key = probe.key();
  const auto got = above ? np.collect_range(key, inclusive, std::nullopt, false, UINT64_MAX)
                         : np.collect_range(std::nullopt, false, key, inclusive, UINT64_MAX);
  require(got.has_value() && *got == expected);
}

void check_comparison(const OrderedBitmap& ob, const Model& model, Comparison op, Num probe,
                      const Bitmap& candidates, const Bitmap& seed) {
  Bitmap expected = seed.clone();
  for (const auto& [id, v] : model) {
    if (candidates.contains(id) && holds(op, compare(v, probe))) expected.add(id);
  }
  Bitmap got = seed.clone();
  ob.compare(op, probe.key(), candidates, got);
  require(got == expected);
  for (qdx::IsaLevel level : qdx::kIsaLevels) {
    if (!OrderedBitmap::isa_level_supported(level)) continue;
    Bitmap by_build = seed.clone();
    ob.compare_with_isa(level, op, probe.key(), candidates, by_build);
    require(by_build == expected);
  }
}

void check_ids(const OrderedBitmap& ob, const Model& model) {
  ob.validate();
  Bitmap expected;
  for (const auto& entry : model) expected.add(entry.first);
  require(ob.ids() == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  OrderedBitmap ob;
  qdx::NumericPostings np(4, 10);  // small tiers, so that 64 ids reach each
  Model model;
  Num previous{true, 0, 0};
  while (!in.done()) {
    const uint8_t op = in.byte();
    switch (op % 8) {
      case 0:
      case 1: {  // direct insert
        const uint32_t id = in.byte() % 64;
        const Num v = in.number();
        // Key order must agree with numeric order for any pair.
        const int c = compare(v, previous);
        const auto k = v.key() <=> previous.key();
        require((c < 0) == (k < 0) && (c == 0) == (k == 0));
        previous = v;
        if (model.count(id) == 0) {
          ob.insert(id, v.key());
          np.insert(v.key(), id);
          model[id] = v;
        }
        break;
      }
      case 2: {  // bulk insertion: buffered adds, then flush
        const unsigned count = in.byte() % 80;
        std::vector<std::pair<qdx::OrderKey, uint32_t>> items;
        for (unsigned n = 0; n < count && !in.done(); ++n) {
          const uint32_t id = in.byte() % 64;
          const Num v = in.number();
          if (model.count(id) == 0) {
            ob.buffered_insert(id, v.key());
            items.emplace_back(v.key(), id);
            model[id] = v;
          }
        }
        ob.flush();
        std::sort(items.begin(), items.end());
        np.insert_sorted(items);
        break;
      }
      case 3: {
        const uint32_t id = in.byte() % 64;
        auto it = model.find(id);
        if (it != model.end()) {
          ob.remove(id, it->second.key());
          np.remove(it->second.key(), id);
          model.erase(it);
        }
        break;
      }
      case 4: {
        const Num probe = in.number();
        check_equal(ob, model, probe, nullptr);
        check_postings_equal(np, model, probe, Bitmap::range(0, 64));
        break;
      }
      case 5: {
        const Bitmap candidates = in.id_set();
        const Num probe = in.number();
        check_equal(ob, model, probe, &candidates);
        check_postings_equal(np, model, probe, candidates);
        break;
      }
      case 6: {
        const auto cmp = static_cast<Comparison>(in.byte() % 4);
        const Bitmap candidates = in.id_set();
        const Bitmap seed = in.id_set();
        const Num probe = in.number();
        check_comparison(ob, model, cmp, probe, candidates, seed);
        check_postings_range(np, model, cmp, probe);
        break;
      }
      default: {
        const Bitmap filter = in.id_set();
        if (op & 0x80) {
          ob.narrow(filter);
          np.narrow(filter);
          std::erase_if(model, [&](const auto& entry) { return !filter.contains(entry.first); });
          require(!model.empty() || ob.empty());
        } else {  // union with a structure holding ids of filter not yet here
          OrderedBitmap other;
          const Num v = in.number();
          filter.for_each([&](uint32_t id) {
            if (model.count(id) == 0) {
              other.insert(id, v.key());
              np.insert(v.key(), id);
              model[id] = v;
            }
          });
          ob.union_with(other);
        }
        break;
      }
    }
    check_ids(ob, model);
    np.validate();
    require(np.size() <= model.size());
  }
  return 0;
}
