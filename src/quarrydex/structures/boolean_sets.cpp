#include "structures/boolean_sets.hpp"

namespace qdx {

void BooleanSets::flush() {
  cell(true).flush();
  cell(false).flush();
}

void BooleanSets::narrow(const Bitmap& filter) {
  for (Cell& c : cells_) {
    if (&c.bitmap() != &filter) c.bitmap().and_inplace(filter);
  }
}

void BooleanSets::union_with(const BooleanSets& other) {
  if (&other == this) return;  // x ∪ x = x
  for (size_t i = 0; i < 2; ++i) cells_[i].bitmap().or_inplace(other.cells_[i].bitmap());
}

Bitmap BooleanSets::ids() const {
  Bitmap out = set(true).clone();
  out.or_inplace(set(false));
  return out;
}

}  // namespace qdx
