#include "structures/bitmap.hpp"

#include <roaring/containers/containers.h>
#include <roaring/roaring_array.h>

#include <bit>
#include <cstring>

#include "base/panic.hpp"

namespace qdx {

Bitmap::Bitmap() {
  if (!ra_init_with_capacity(&bitmap_.high_low_container, 0)) panic(kBitmapInitFailure);
}

Bitmap::Bitmap(uint32_t chunks) {
  if (!ra_init_with_capacity(&bitmap_.high_low_container, chunks)) panic(kBitmapInitFailure);
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

void Bitmap::append_chunk(uint16_t high, const uint64_t* words) {
  int32_t cardinality = 0;
  for (size_t w = 0; w < kChunkWords; ++w) cardinality += std::popcount(words[w]);
  if (cardinality == 0) return;
  roaring_array_t* ra = &bitmap_.high_low_container;
  const int32_t size = ra_get_size(ra);
  if (size > 0 && ra_get_key_at_index(ra, static_cast<uint16_t>(size - 1)) >= high) {
    panic("Bitmap::append_chunk: chunk not above the bitmap's ids");
  }
  if (cardinality <= DEFAULT_MAX_SIZE) {
    array_container_t* array = array_container_create_given_capacity(cardinality);
    if (array == nullptr) panic("Memory allocation failure building roaring bitmap");
    uint16_t* out = array->array;
    for (size_t w = 0; w < kChunkWords; ++w) {
      for (uint64_t word = words[w]; word != 0; word &= word - 1) {
        *out++ = static_cast<uint16_t>(w * 64 + static_cast<size_t>(std::countr_zero(word)));
      }
    }
    array->cardinality = cardinality;
    ra_append(ra, high, array, ARRAY_CONTAINER_TYPE_CODE);
    return;
  }
  bitset_container_t* bitset = bitset_container_create();
  if (bitset == nullptr) panic("Memory allocation failure building roaring bitmap");
  std::memcpy(bitset->array, words, kChunkWords * sizeof(uint64_t));
  bitset->cardinality = cardinality;
  ra_append(ra, high, bitset, BITSET_CONTAINER_TYPE_CODE);
}

}  // namespace qdx
