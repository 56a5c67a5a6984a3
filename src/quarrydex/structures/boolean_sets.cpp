#include "structures/boolean_sets.hpp"

namespace qdx {

const Bitmap& BooleanSets::empty_bitmap() noexcept {
  static const Bitmap* empty = new Bitmap();  // shared, never written
  return *empty;
}

void BooleanSets::flush() {
  if (!cells_) return;
  cell(true).flush();
  cell(false).flush();
}

void BooleanSets::narrow(const Bitmap& filter) {
  if (!cells_) return;
  for (Cell& c : *cells_) {
    if (&c.bitmap() != &filter) c.bitmap().and_inplace(filter);
  }
}

void BooleanSets::union_with(const BooleanSets& other) {
  if (&other == this || !other.cells_) return;  // x ∪ x = x
  for (size_t i = 0; i < 2; ++i) {
    cell(i == 0).bitmap().or_inplace((*other.cells_)[i].bitmap());
  }
}

Bitmap BooleanSets::ids() const {
  Bitmap out = set(true).clone();
  out.or_inplace(set(false));
  return out;
}

}  // namespace qdx
