// libFuzzer target: a stream of StringPostings operations (inserts, removals,
// sorted batches, narrowing) replayed against a std::map string -> id set
// model, under tier and compaction thresholds the input picks. Equality,
// counts, prefixes, suffixes and ordered walks must match the model; any
// mismatch, broken invariant or unexpected panic aborts.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "structures/string_postings.hpp"

namespace {

using qdx::Bitmap;
using qdx::HybridSet;
using qdx::StringPostings;
using Ids = std::vector<uint32_t>;

[[noreturn]] void fail(const char* what, const std::string& s) {
  std::fprintf(stderr, "string postings mismatch: %s, string of %zu bytes\n", what, s.size());
  std::abort();
}

struct Model {
  std::map<std::string, std::set<uint32_t>> ids_of;
  std::map<uint32_t, std::string> value_of;

  void put(const std::string& s, uint32_t id) {
    ids_of[s].insert(id);
    value_of[id] = s;
  }
  void drop(uint32_t id) {
    const std::string s = value_of.at(id);
    ids_of[s].erase(id);
    if (ids_of[s].empty()) ids_of.erase(s);
    value_of.erase(id);
  }
};

// Mostly short strings over a few bytes, so that values, prefixes and
// suffixes repeat.
std::string text(FuzzedDataProvider& in) {
  std::string s = in.ConsumeRandomLengthString(6);
  for (char& c : s) c = static_cast<char>("ab\xff\x00"[static_cast<unsigned char>(c) % 4]);
  return s;
}

void check(const StringPostings& postings, const Model& model, const std::string& s) {
  std::set<uint32_t> held, starting, ending;
  if (const auto it = model.ids_of.find(s); it != model.ids_of.end()) held = it->second;
  for (const auto& [t, ids] : model.ids_of) {
    if (t.starts_with(s)) starting.insert(ids.begin(), ids.end());
    if (t.ends_with(s)) ending.insert(ids.begin(), ids.end());
  }
  if (postings.count(s) != held.size()) fail("count", s);
  if (postings.equal_all(s).to_vector() != Ids(held.begin(), held.end())) fail("equality", s);
  if (postings.collect_prefix(s, UINT64_MAX)->to_vector() != Ids(starting.begin(), starting.end()))
    fail("prefix", s);
  if (postings.collect_suffix(s, UINT64_MAX)->to_vector() != Ids(ending.begin(), ending.end()))
    fail("suffix", s);
  std::vector<std::pair<std::string, Ids>> walked;
  postings.walk(true, [&](std::string_view t, const auto& ids) {
    if constexpr (std::is_same_v<std::decay_t<decltype(ids)>, HybridSet>) {
      walked.emplace_back(t, ids.to_bitmap().to_vector());
    } else {
      walked.emplace_back(t, Ids(ids.begin(), ids.end()));
    }
    return true;
  });
  std::vector<std::pair<std::string, Ids>> expected;
  for (auto it = model.ids_of.rbegin(); it != model.ids_of.rend(); ++it) {
    expected.emplace_back(it->first, Ids(it->second.begin(), it->second.end()));
  }
  if (walked != expected) fail("descending walk", s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  StringPostings postings(in.ConsumeIntegralInRange<uint64_t>(1, 5),
                          in.ConsumeBool() ? 0 : StringPostings::kCompactFrom);
  Model model;
  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
      case 0: {
        const auto id = in.ConsumeIntegralInRange<uint32_t>(0, 63);
        if (model.value_of.contains(id)) break;
        const std::string s = text(in);
        postings.insert(s, id);
        model.put(s, id);
        break;
      }
      case 1:
        if (!model.value_of.empty()) {
          const auto it = std::next(model.value_of.begin(), in.ConsumeIntegralInRange<size_t>(
                                                                0, model.value_of.size() - 1));
          postings.remove(it->second, it->first);
          model.drop(it->first);
        }
        break;
      case 2: {
        std::vector<std::pair<std::string, uint32_t>> batch;
        for (int k = in.ConsumeIntegralInRange<int>(0, 12); k > 0; --k) {
          const auto id = in.ConsumeIntegralInRange<uint32_t>(0, 63);
          if (model.value_of.contains(id)) continue;
          batch.emplace_back(text(in), id);
          model.put(batch.back().first, id);
        }
        std::sort(batch.begin(), batch.end());
        const std::vector<std::pair<std::string_view, uint32_t>> views(batch.begin(), batch.end());
        postings.insert_sorted(views);
        break;
      }
      case 3: {
        Bitmap filter;
        const uint64_t mask = in.ConsumeIntegral<uint64_t>();
        for (uint32_t id = 0; id < 64; ++id) {
          if ((mask >> id) & 1) filter.add(id);
        }
        postings.narrow(filter);
        std::vector<uint32_t> gone;
        for (const auto& [id, s] : model.value_of) {
          if (!filter.contains(id)) gone.push_back(id);
        }
        for (const uint32_t id : gone) model.drop(id);
        break;
      }
      default:
        check(postings, model, text(in));
        break;
    }
  }
  postings.validate();
  if (postings.size() != model.ids_of.size()) fail("size", "");
  return 0;
}
