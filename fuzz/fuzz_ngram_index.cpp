// libFuzzer target: a stream of NgramIndex operations (single and batched
// inserts, removals, narrowing, unions) replayed against a std::map
// id -> string model. The candidates of a pattern
// must be exactly the ids whose string holds each of the pattern's grams, and
// the ids containing the pattern once the positional structure (kept in step)
// has verified them. Any mismatch, broken invariant or unexpected panic aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "structures/ngram_index.hpp"
#include "structures/positional_bitmap.hpp"

namespace {

using qdx::Bitmap;
using qdx::NgramIndex;
using qdx::PositionalBitmap;
using Model = std::map<uint32_t, std::string>;

[[noreturn]] void fail(const char* what, const std::string& pattern) {
  std::fprintf(stderr, "n-gram index mismatch: %s, pattern of %zu bytes\n", what, pattern.size());
  std::abort();
}

std::string text(FuzzedDataProvider& in, size_t max_len);

struct Side {
  // Lists past four ids become bitmaps, so short inputs reach both forms.
  NgramIndex grams{4};
  PositionalBitmap positions;
  Model model;
  std::vector<std::pair<std::string, uint32_t>> batch;  // for one insert_many

  void flush() {
    std::vector<std::pair<std::string_view, uint32_t>> views(batch.begin(), batch.end());
    grams.insert_many(views);
    batch.clear();
    positions.flush();
  }
  void put(uint32_t id, std::string s, bool buffered) {
    if (auto it = model.find(id); it != model.end()) {
      flush();          // removal reads the bitmaps only
      if (!buffered) {  // a write changes only what differs
        grams.replace(id, it->second, s);
        positions.replace(id, it->second, s);
        it->second = std::move(s);
        return;
      }
      grams.remove(id, it->second);
      positions.remove(id, it->second);
    }
    if (buffered) {
      batch.emplace_back(s, id);
      positions.buffered_insert(id, s);
    } else {
      grams.insert(id, s);
      positions.insert(id, s);
    }
    model[id] = std::move(s);
  }
  // One string for several ids at once, as a batch adds a shared string.
  void put_all(FuzzedDataProvider& in) {
    const std::string s = text(in, 24);
    Bitmap ids;
    for (int k = in.ConsumeIntegralInRange<int>(1, 6); k > 0; --k) {
      const auto id = in.ConsumeIntegralInRange<uint32_t>(0, 255);
      if (!model.contains(id)) ids.add(id);
    }
    grams.insert_all(ids, s);
    positions.insert_all(ids, s);
    ids.for_each([&](uint32_t id) { model[id] = s; });
  }
};

// Mostly a four-byte alphabet so that grams repeat and patterns hit.
std::string text(FuzzedDataProvider& in, size_t max_len) {
  std::string s = in.ConsumeRandomLengthString(max_len);
  if (in.ConsumeBool()) {
    for (char& c : s) c = static_cast<char>('a' + (static_cast<unsigned char>(c) & 3));
  }
  return s;
}

std::string pattern(FuzzedDataProvider& in, const Model& model) {
  if (model.empty() || in.ConsumeBool()) return text(in, 8);
  const std::string& s =
      std::next(model.begin(), in.ConsumeIntegralInRange<size_t>(0, model.size() - 1))->second;
  const size_t from = in.ConsumeIntegralInRange<size_t>(0, s.size());
  return s.substr(from, in.ConsumeIntegralInRange<size_t>(0, s.size() - from));
}

bool holds_grams(const std::string& s, const std::string& p) {
  if (p.size() == 1) return s.find(p) != std::string::npos;
  for (size_t at = 0; at + NgramIndex::kGram <= p.size(); ++at) {
    if (s.find(p.substr(at, NgramIndex::kGram)) == std::string::npos) return false;
  }
  return true;
}

void check_query(FuzzedDataProvider& in, Side& main) {
  main.flush();
  main.grams.validate();
  const std::string p = pattern(in, main.model);
  if (!NgramIndex::serves(p.size())) return;
  Bitmap within;
  const uint64_t mask = in.ConsumeIntegral<uint64_t>();
  for (uint32_t id = 0; id < 64; ++id)
    if (mask == 0 || ((mask >> id) & 1)) within.add(id * 4 + (mask & 3));
  within.add((1u << 20) + in.ConsumeIntegralInRange<uint32_t>(0, 255));
  std::vector<uint32_t> want_candidates;
  std::vector<uint32_t> want_matches;
  for (const auto& [id, s] : main.model) {
    if (!within.contains(id)) continue;
    if (holds_grams(s, p)) want_candidates.push_back(id);
    if (s.find(p) != std::string::npos) want_matches.push_back(id);
  }
  const Bitmap found = main.grams.candidates_within(p, within);
  if (found.to_vector() != want_candidates) fail("candidates", p);
  if (NgramIndex::exact(p.size()) && want_candidates != want_matches) fail("exactness", p);
  if (main.positions.contains_within(p, found).to_vector() != want_matches) fail("verified", p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Side main;
  Side other;
  uint32_t next_other_id = 1u << 20;  // side ids are fresh, so a union never conflicts
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 8)) {
      case 8:
        main.put_all(in);
        break;
      case 0:
      case 1: {
        const auto id = in.ConsumeIntegralInRange<uint32_t>(0, 255);
        main.put(id, text(in, 24), in.ConsumeBool());
        break;
      }
      case 2:
        if (!main.model.empty()) {
          auto it = std::next(main.model.begin(),
                              in.ConsumeIntegralInRange<size_t>(0, main.model.size() - 1));
          main.flush();
          main.grams.remove(it->first, it->second);
          main.positions.remove(it->first, it->second);
          main.model.erase(it);
        }
        break;
      case 3: {
        Bitmap filter;
        const uint64_t mask = in.ConsumeIntegral<uint64_t>();
        for (uint32_t id = 0; id < 256; ++id)
          if ((mask >> (id % 64)) & 1) filter.add(id);
        main.flush();
        main.grams.narrow(filter);
        main.positions.narrow(filter);
        std::erase_if(main.model, [&](const auto& e) { return !filter.contains(e.first); });
        break;
      }
      case 4:
        other.put(next_other_id++, text(in, 24), in.ConsumeBool());
        break;
      case 5:
        main.flush();
        other.flush();
        main.grams.union_with(other.grams);
        main.positions.union_with(other.positions);
        main.model.insert(other.model.begin(), other.model.end());
        other = Side();
        break;
      default:
        check_query(in, main);
        break;
    }
  }
  main.flush();
  main.grams.validate();
  if (main.grams.empty() != std::all_of(main.model.begin(), main.model.end(),
                                        [](const auto& e) { return e.second.empty(); })) {
    fail("emptiness", "");
  }
  return 0;
}
