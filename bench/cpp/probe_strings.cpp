// Bytes per structure of a string attribute, and its bulk build time.
//
//   probe_strings NAMES_FILE
//
// NAMES_FILE holds one string per line, the value of ids 0, 1, 2, ...; the
// strings workload's names are written by
//   python -c 'import sys; sys.path.insert(0, "bench"); from workloads import strings_records
//   print("\n".join(r["name"] for r in strings_records(500000)))' > names.txt
// The strings are inserted
// as a bulk insertion does, in slices of 2^17 ids, and each structure's heap
// bytes are read as the drop in the allocator's in-use count when it alone is
// emptied.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "core/value_index.hpp"

namespace {

size_t in_use() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: probe_strings NAMES_FILE\n";
    return 2;
  }
  std::vector<std::string> names;
  {
    std::ifstream in(argv[1]);
    for (std::string line; std::getline(in, line);) names.push_back(line);
  }
  const double n = static_cast<double>(names.size());
  qdx::StringValues values;
  const size_t before = in_use();
  // PROBE_SLICE=n inserts in slices of n ids instead.
  const char* slice_env = std::getenv("PROBE_SLICE");
  const size_t kSlice = slice_env != nullptr ? std::stoul(slice_env) : size_t{1} << 17;
  std::vector<std::pair<std::string_view, uint32_t>> items;
  const std::clock_t start = std::clock();
  for (size_t begin = 0; begin < names.size(); begin += kSlice) {
    items.clear();
    for (size_t i = begin; i < std::min(names.size(), begin + kSlice); ++i) {
      items.emplace_back(names[i], static_cast<uint32_t>(i));
    }
    values.insert_many(items);
  }
  const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
  items = {};
  const size_t held = in_use() - before;
  std::printf("records %zu  build %.3f s CPU  held %.1f B/record\n", names.size(), seconds,
              static_cast<double>(held) / n);
  auto drop = [&](const char* name, auto& part) {
    const size_t used = in_use();
    part = std::remove_reference_t<decltype(part)>();
    std::printf("  %-10s %6.1f B/record\n", name, static_cast<double>(used - in_use()) / n);
  };
  drop("positions", values.positions);
  drop("grams", values.grams);
  drop("exact", values.exact);
  return 0;
}
