#include "structures/string_arena.hpp"

#include <algorithm>
#include <cstring>

#include "base/panic.hpp"

namespace qdx {

size_t StringArena::footprint(size_t length) {
  size_t header = 1;
  for (size_t rest = length >> 7; rest != 0; rest >>= 7) ++header;
  return (header + length + kAlign - 1) / kAlign * kAlign;
}

void StringArena::new_block(size_t need) {
  const size_t last = block_sizes_.empty() ? 0 : block_sizes_.back();
  size_t size = std::clamp(2 * last, kFirstBlock, kWindow);
  if (need > size) size = (need + kWindow - 1) / kWindow * kWindow;
  const size_t windows = (size + kWindow - 1) / kWindow;
  // References are addresses / kAlign in 32 bits.
  if ((windows_.size() + windows) * kWindow / kAlign > (uint64_t{1} << 32)) {
    panic("string arena: more than 16 GiB of strings in one attribute");
  }
  blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
  block_sizes_.push_back(size);
  for (size_t w = 0; w < windows; ++w) windows_.push_back(blocks_.back().get() + w * kWindow);
  fill_ = 0;
}

uint32_t StringArena::add(std::string_view s) {
  const size_t need = footprint(s.size());
  if (blocks_.empty() || fill_ + need > block_sizes_.back()) new_block(need);
  const size_t first_window = windows_.size() - (block_sizes_.back() + kWindow - 1) / kWindow;
  const uint64_t address = uint64_t{first_window} * kWindow + fill_;
  auto* p = reinterpret_cast<unsigned char*>(blocks_.back().get() + fill_);
  size_t length = s.size();
  do {
    const auto low = static_cast<unsigned char>(length & 0x7f);
    length >>= 7;
    *p++ = length != 0 ? (low | 0x80u) : low;
  } while (length != 0);
  if (!s.empty()) std::memcpy(p, s.data(), s.size());
  fill_ += need;
  used_ += need;
  return static_cast<uint32_t>(address / kAlign);
}

size_t StringArena::memory_bytes() const {
  size_t total = sizeof(*this) + windows_.capacity() * sizeof(char*) +
                 blocks_.capacity() * (sizeof(blocks_[0]) + sizeof(size_t));
  for (const size_t size : block_sizes_) total += size;
  return total;
}

}  // namespace qdx
