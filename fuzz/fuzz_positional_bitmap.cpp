// libFuzzer target: a stream of PositionalBitmap operations replayed against
// a std::map id -> string model with the byte semantics of ==, startswith,
// endswith and `in`. Any mismatch, broken layout invariant or unexpected
// panic aborts.
//
// Two structures are kept. The main one takes inserts (direct and buffered),
// removals, flushes, narrowing and queries; the side one collects strings on
// ids that are never reused and is united into the main one, so unions see
// frames of every relative width.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "structures/positional_bitmap.hpp"

namespace {

using qdx::Bitmap;
using qdx::PositionalBitmap;
using Model = std::map<uint32_t, std::string>;

[[noreturn]] void fail(const char* what, const std::string& pattern) {
  std::fprintf(stderr, "positional bitmap mismatch: %s, pattern of %zu bytes\n", what,
               pattern.size());
  std::abort();
}

struct Side {
  PositionalBitmap pb;
  Model model;
  bool buffered = false;  // unflushed buffered inserts may exist

  void flush() {
    pb.flush();
    buffered = false;
  }
};

bool matches(int kind, const std::string& s, const std::string& p) {
  switch (kind) {
    case 0:
      return s == p;
    case 1:
      return s.starts_with(p);
    case 2:
      return s.ends_with(p);
    default:
      return s.find(p) != std::string::npos;
  }
}

Bitmap query(const PositionalBitmap& pb, int kind, const std::string& p, const Bitmap* within) {
  switch (kind) {
    case 0:
      return within ? pb.equal_within(p, *within) : pb.equal(p);
    case 1:
      return within ? pb.starts_with_within(p, *within) : pb.starts_with(p);
    case 2:
      return within ? pb.ends_with_within(p, *within) : pb.ends_with(p);
    default:
      return within ? pb.contains_within(p, *within) : pb.contains(p);
  }
}

std::string pattern(FuzzedDataProvider& in, const Model& model) {
  if (model.empty() || in.ConsumeBool()) return in.ConsumeRandomLengthString(48);
  const std::string& s =
      std::next(model.begin(), in.ConsumeIntegralInRange<size_t>(0, model.size() - 1))->second;
  const size_t from = in.ConsumeIntegralInRange<size_t>(0, s.size());
  return s.substr(from, in.ConsumeIntegralInRange<size_t>(0, s.size() - from));
}

Bitmap subset(FuzzedDataProvider& in) {
  Bitmap out;
  const uint64_t mask = in.ConsumeIntegral<uint64_t>();
  for (uint32_t id = 0; id < 64; ++id)
    if ((mask >> id) & 1) out.add(id * 4 + (mask & 3));
  if (in.ConsumeBool()) out.add((1u << 20) + in.ConsumeIntegralInRange<uint32_t>(0, 255));
  return out;
}

void check_query(FuzzedDataProvider& in, Side& main) {
  if (main.buffered) main.flush();  // readers only run after a flush
  const int kind = in.ConsumeIntegralInRange<int>(0, 3);
  const std::string p = pattern(in, main.model);
  const bool restricted = in.ConsumeBool();
  const Bitmap within = restricted ? subset(in) : Bitmap();
  std::vector<uint32_t> want;
  for (const auto& [id, s] : main.model) {
    if (matches(kind, s, p) && (!restricted || within.contains(id))) want.push_back(id);
  }
  if (query(main.pb, kind, p, restricted ? &within : nullptr).to_vector() != want) {
    fail("query", p);
  }
}

void insert(FuzzedDataProvider& in, Side& side, uint32_t id, bool buffered) {
  if (auto it = side.model.find(id); it != side.model.end()) {
    if (side.buffered) side.flush();  // removal reads the bitmaps only
    side.pb.remove(id, it->second);
  }
  std::string s = in.ConsumeRandomLengthString(40);
  if (buffered) {
    side.pb.buffered_insert(id, s);
    side.buffered = true;
  } else {
    side.pb.insert(id, s);
  }
  side.model[id] = std::move(s);
}

void remove(FuzzedDataProvider& in, Side& main) {
  if (main.model.empty()) return;
  auto it =
      std::next(main.model.begin(), in.ConsumeIntegralInRange<size_t>(0, main.model.size() - 1));
  if (main.buffered) main.flush();
  const size_t width = main.pb.width();
  main.pb.remove(it->first, it->second);
  main.model.erase(it);
  if (main.pb.width() != width) fail("remove changed the width", "");
}

void narrow(FuzzedDataProvider& in, Side& main) {
  const Bitmap filter = subset(in);
  main.pb.narrow(filter);
  main.buffered = false;  // narrowing flushes
  std::erase_if(main.model, [&](const auto& entry) { return !filter.contains(entry.first); });
}

void unite(Side& main, Side& other) {
  if (main.buffered) main.flush();
  other.flush();
  main.pb.union_with(other.pb);
  main.model.insert(other.model.begin(), other.model.end());
  other = Side();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Side main;
  Side other;
  uint32_t next_other_id = 1u << 20;  // side ids are fresh, so a union never conflicts
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 8)) {
      case 0:
        insert(in, main, in.ConsumeIntegralInRange<uint32_t>(0, 255), false);
        break;
      case 1:
        insert(in, main, in.ConsumeIntegralInRange<uint32_t>(0, 255), true);
        break;
      case 2:
        remove(in, main);
        break;
      case 3:
        main.flush();
        break;
      case 4:
        narrow(in, main);
        break;
      case 5:
        insert(in, other, next_other_id++, in.ConsumeBool());
        break;
      case 6:
        unite(main, other);
        break;
      default:
        check_query(in, main);
        break;
    }
    main.pb.validate();
    other.pb.validate();
    if (main.pb.width() % 2 != 0 || main.pb.empty() != main.model.empty()) fail("shape", "");
  }
  return 0;
}
