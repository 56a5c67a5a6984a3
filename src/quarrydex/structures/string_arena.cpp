#include "structures/string_arena.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "base/panic.hpp"
#include "structures/scratch_allocator.hpp"

namespace qdx {

size_t StringArena::footprint(size_t length) {
  size_t header = 1;
  for (size_t rest = length >> 7; rest != 0; rest >>= 7) ++header;
  return (header + length + kAlign - 1) / kAlign * kAlign;
}

StringArena::Block::Block(size_t size) : size_(size), mapped_(size >= kMapFrom) {
  if (!mapped_) {
    data_ = static_cast<char*>(::operator new(size));
    return;
  }
  data_ = ScratchAllocator<char>().allocate(size);
}

StringArena::Block::Block(Block&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(other.mapped_) {}

StringArena::Block& StringArena::Block::operator=(Block&& other) noexcept {
  if (this != &other) {
    free();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = other.mapped_;
  }
  return *this;
}

StringArena::Block::~Block() {
  free();
}

void StringArena::Block::free() noexcept {
  if (data_ == nullptr) return;
  if (mapped_) {
    ScratchAllocator<char>().deallocate(data_, size_);
  } else {
    ::operator delete(data_);
  }
  data_ = nullptr;
}

void StringArena::Block::shrink(size_t keep) noexcept {
  if (!mapped_) return;
  const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  // At least one page stays, so a block is never empty.
  const size_t kept = std::max((keep + page - 1) / page * page, page);
  if (kept >= size_) return;
  munmap(data_ + kept, size_ - kept);
  size_ = kept;
}

void StringArena::push_block(size_t size) {
  const size_t windows = windows_of(size);
  // References are addresses / kAlign in 32 bits.
  if ((windows_.size() + windows) * kWindow / kAlign > (uint64_t{1} << 32)) {
    panic("string arena: more than 16 GiB of strings in one attribute");
  }
  blocks_.emplace_back(size);
  for (size_t w = 0; w < windows; ++w) windows_.push_back(blocks_.back().data() + w * kWindow);
  fill_ = 0;
}

void StringArena::new_block(size_t need) {
  const size_t last = blocks_.empty() ? 0 : blocks_.back().size();
  size_t size = std::clamp(2 * last, kFirstBlock, kWindow);
  if (need > size) size = (need + kWindow - 1) / kWindow * kWindow;
  push_block(size);
}

void StringArena::reserve(size_t bytes) {
  if (!blocks_.empty()) panic("string arena: reserve on a used arena");
  if (bytes != 0) push_block(std::max(bytes, kFirstBlock));
}

void StringArena::shrink_to_fit() {
  if (blocks_.empty()) return;
  Block& last = blocks_.back();
  const size_t before = windows_of(last.size());
  last.shrink(fill_);
  windows_.resize(windows_.size() - before + windows_of(last.size()));
}

uint32_t StringArena::add(std::string_view s) {
  const size_t need = footprint(s.size());
  if (blocks_.empty() || fill_ + need > blocks_.back().size()) new_block(need);
  const size_t first_window = windows_.size() - windows_of(blocks_.back().size());
  const uint64_t address = uint64_t{first_window} * kWindow + fill_;
  auto* p = reinterpret_cast<unsigned char*>(blocks_.back().data() + fill_);
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
  size_t total =
      sizeof(*this) + windows_.capacity() * sizeof(char*) + blocks_.capacity() * sizeof(Block);
  for (const Block& block : blocks_) total += block.size();
  return total;
}

}  // namespace qdx
