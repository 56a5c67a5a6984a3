#include "structures/hybrid_set.hpp"

#include <algorithm>

#include "base/panic.hpp"

namespace qdx {

namespace {

void add_run(Bitmap& bitmap, const CenteredArray& array) {
  const std::span<const uint32_t> run = array.run();
  bitmap.add_many(run.data(), run.size());
}

}  // namespace

HybridSet HybridSet::with_one(uint32_t id) {
  CenteredArray array;
  array.insert(id);
  return HybridSet(Data(array));
}

HybridSet HybridSet::of_sorted(const uint32_t* ids, size_t count) {
  HybridSet set;
  if (count < CenteredArray::kCapacity) {
    for (size_t i = 0; i < count; ++i) set.insert(ids[i]);
    return set;
  }
  Bitmap bitmap;
  bitmap.add_many(ids, count);
  return HybridSet(Data(std::move(bitmap)));
}

HybridSet::HybridSet(HybridSet&& other) noexcept : data_(std::move(other.data_)) {
  other.data_.emplace<std::monostate>();
}

HybridSet& HybridSet::operator=(HybridSet&& other) noexcept {
  if (this != &other) {
    data_ = std::move(other.data_);
    other.data_.emplace<std::monostate>();
  }
  return *this;
}

HybridSet HybridSet::clone() const {
  if (const Bitmap* bitmap = large()) return HybridSet(Data(bitmap->clone()));
  if (const CenteredArray* array = small()) return HybridSet(Data(*array));
  return HybridSet();
}

void HybridSet::insert(uint32_t id) {
  switch (variant()) {
    case Variant::kEmpty:
      data_.emplace<CenteredArray>().insert(id);
      return;
    case Variant::kSmall: {
      CenteredArray& array = std::get<CenteredArray>(data_);
      if (array.size() + 1 < CenteredArray::kCapacity) {
        array.insert(id);
        return;
      }
      // Converts even when `id` is already present: the array is kept for
      // at most three ids grown one by one.
      Bitmap bitmap;
      add_run(bitmap, array);
      bitmap.add(id);
      data_ = std::move(bitmap);
      return;
    }
    case Variant::kLarge:
      std::get<Bitmap>(data_).add(id);
      return;
  }
}

void HybridSet::remove(uint32_t id) {
  switch (variant()) {
    case Variant::kEmpty:
      panic("called remove on Empty");
    case Variant::kSmall:
      std::get<CenteredArray>(data_).remove(id);
      return;
    case Variant::kLarge:
      std::get<Bitmap>(data_).remove(id);
      return;
  }
}

Bitmap HybridSet::to_bitmap() const {
  if (const Bitmap* bitmap = large()) return bitmap->clone();
  Bitmap out;
  if (const CenteredArray* array = small()) add_run(out, *array);
  return out;
}

void HybridSet::or_into(Bitmap& out) const {
  if (const Bitmap* bitmap = large()) {
    out.or_inplace(*bitmap);
  } else if (const CenteredArray* array = small()) {
    add_run(out, *array);
  }
}

void HybridSet::union_with(const HybridSet& other) {
  if (&other == this) {
    // Works on a copy so that the variant rules below see two distinct sets.
    const HybridSet copy = other.clone();
    union_with(copy);
    return;
  }
  switch (variant()) {
    case Variant::kEmpty:
      *this = other.clone();
      return;
    case Variant::kSmall:
      union_into_small(std::get<CenteredArray>(data_), other);
      return;
    case Variant::kLarge:
      other.or_into(std::get<Bitmap>(data_));
      return;
  }
}

void HybridSet::union_into_small(CenteredArray& mine, const HybridSet& other) {
  if (const CenteredArray* theirs = other.small()) {
    // The sum of the lengths decides, not the size of the union.
    if (mine.size() + theirs->size() <= CenteredArray::kCapacity) {
      mine.merge(*theirs);
      return;
    }
    Bitmap bitmap;
    add_run(bitmap, mine);
    add_run(bitmap, *theirs);
    data_ = std::move(bitmap);
  } else if (const Bitmap* theirs_large = other.large()) {
    Bitmap bitmap = theirs_large->clone();
    add_run(bitmap, mine);
    data_ = std::move(bitmap);
  }
}

void HybridSet::retain(const Bitmap& filter) {
  if (Bitmap* bitmap = std::get_if<Bitmap>(&data_)) {
    if (bitmap != &filter) bitmap->and_inplace(filter);
  } else if (CenteredArray* array = std::get_if<CenteredArray>(&data_)) {
    CenteredArray kept;
    for (const uint32_t id : array->run()) {
      if (filter.contains(id)) kept.insert(id);
    }
    *array = kept;
  }
}

uint64_t HybridSet::cardinality() const {
  if (const Bitmap* bitmap = large()) return bitmap->cardinality();
  if (const CenteredArray* array = small()) return array->size();
  return 0;
}

bool HybridSet::contains(uint32_t id) const {
  if (const Bitmap* bitmap = large()) return bitmap->contains(id);
  if (const CenteredArray* array = small()) {
    const std::span<const uint32_t> run = array->run();
    return std::binary_search(run.begin(), run.end(), id);
  }
  return false;
}

bool HybridSet::empty() const {
  if (const Bitmap* bitmap = large()) return bitmap->empty();
  if (const CenteredArray* array = small()) return array->size() == 0;
  return true;
}

bool HybridSet::valid() const noexcept {
  const CenteredArray* array = small();
  return array == nullptr || array->valid();
}

}  // namespace qdx
