#include "structures/centered_array.hpp"

#include <algorithm>
#include <cstring>

#include "base/panic.hpp"

namespace qdx {

namespace {

constexpr size_t centred_start(size_t len) noexcept {
  return (CenteredArray::kCapacity - len) >> 1;
}

}  // namespace

std::span<const uint32_t> CenteredArray::run() const {
  // With start + len > 4 the last run slot is at 4 or beyond.
  if (start_ + len_ > kCapacity) check_index(start_ + len_ - 1, kCapacity);
  return {slots_.data() + start_, len_};
}

CenteredArray::Position CenteredArray::search(uint32_t id) const noexcept {
  if (len_ == 0) return {0, false};
  const uint32_t* run = slots_.data() + start_;
  size_t base = 0;
  size_t size = len_;
  while (size > 1) {
    const size_t half = size / 2;
    const size_t mid = base + half;
    if (run[mid] <= id) base = mid;
    size -= half;
  }
  if (run[base] == id) return {base, true};
  return {run[base] < id ? base + 1 : base, false};
}

void CenteredArray::move_run(size_t new_start) noexcept {
  std::memmove(slots_.data() + new_start, slots_.data() + start_, len_ * sizeof(uint32_t));
  start_ = new_start;
}

void CenteredArray::recentre() noexcept {
  const size_t k = centred_start(len_);
  if (k != start_) move_run(k);
}

void CenteredArray::insert(uint32_t id) {
  if (len_ > 3) panic("CenteredArray full");
  // Recentring before the search keeps a free slot on the side the gap will
  // open towards: a left shift needs start > 0, a right shift start + len <= 3.
  if (start_ == 0 || start_ + len_ >= kCapacity) recentre();
  const Position pos = search(id);
  if (pos.found) return;
  uint32_t* run = slots_.data() + start_;
  if (start_ > 0 && pos.index < len_ / 2) {
    std::copy(run, run + pos.index, run - 1);
    --start_;
  } else {
    std::copy_backward(run + pos.index, run + len_, run + len_ + 1);
  }
  slots_[start_ + pos.index] = id;
  ++len_;
}

void CenteredArray::remove(uint32_t id) {
  const Position pos = search(id);
  if (!pos.found) return;
  uint32_t* run = slots_.data() + start_;
  // The absolute slot of the id decides the side, compared with half the old
  // length; this keeps the run near the middle without a recentring pass.
  if (start_ + pos.index < len_ / 2) {
    std::copy_backward(run, run + pos.index, run + pos.index + 1);
    ++start_;
  } else {
    std::copy(run + pos.index + 1, run + len_, run + pos.index);
  }
  --len_;
}

void CenteredArray::merge(const CenteredArray& other) {
  const std::span<const uint32_t> a = run();
  const std::span<const uint32_t> b = other.run();
  std::array<uint32_t, kCapacity> scratch{};
  size_t n = 0;
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    check_index(n, kCapacity);
    const uint32_t x = a[i];
    const uint32_t y = b[j];
    scratch[n++] = std::min(x, y);
    if (x <= y) ++i;
    if (y <= x) ++j;
  }
  const std::span<const uint32_t> rest = i < a.size() ? a.subspan(i) : b.subspan(j);
  if (!rest.empty()) check_index(n + rest.size() - 1, kCapacity);
  std::copy(rest.begin(), rest.end(), scratch.begin() + n);
  n += rest.size();
  slots_ = scratch;
  start_ = 0;
  len_ = n;
  recentre();
}

bool CenteredArray::valid() const noexcept {
  if (start_ + len_ > kCapacity) return false;
  for (size_t i = start_ + 1; i < start_ + len_; ++i) {
    if (slots_[i - 1] >= slots_[i]) return false;
  }
  return true;
}

}  // namespace qdx
