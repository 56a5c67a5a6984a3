#include "structures/bitmap.hpp"

#include <roaring/roaring_array.h>

#include "base/panic.hpp"

namespace qdx {

Bitmap::Bitmap() {
  if (!ra_init_with_capacity(&bitmap_.high_low_container, 0)) panic(kBitmapInitFailure);
}

Bitmap::~Bitmap() {
  ra_clear(&bitmap_.high_low_container);
}

Bitmap::Bitmap(Bitmap&& other) noexcept : bitmap_(other.bitmap_) {
  ra_init(&other.bitmap_.high_low_container);
}

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
  if (this != &other) {
    ra_clear(&bitmap_.high_low_container);
    bitmap_ = other.bitmap_;
    ra_init(&other.bitmap_.high_low_container);
  }
  return *this;
}

Bitmap Bitmap::of(const std::vector<uint32_t>& ids) {
  Bitmap b;
  b.add_many(ids.data(), ids.size());
  return b;
}

Bitmap Bitmap::range(uint32_t first, uint64_t end_exclusive) {
  Bitmap b;
  if (end_exclusive > first) roaring_bitmap_add_range(&b.bitmap_, first, end_exclusive);
  return b;
}

Bitmap Bitmap::clone() const {
  Bitmap copy;
  copy.overwrite(*this);
  return copy;
}

void Bitmap::overwrite(const Bitmap& source) {
  if (this == &source) return;
  if (!roaring_bitmap_overwrite(&bitmap_, &source.bitmap_)) panic(kCloneFailure);
}

std::vector<uint32_t> Bitmap::to_vector() const {
  std::vector<uint32_t> out(cardinality());
  if (!out.empty()) roaring_bitmap_to_uint32_array(&bitmap_, out.data());
  return out;
}

}  // namespace qdx
