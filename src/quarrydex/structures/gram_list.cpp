#include "structures/gram_list.hpp"

#include <algorithm>
#include <iterator>

namespace qdx {

void GramList::append(Encoded& list, uint32_t id) {
  uint32_t delta = id - list.last;
  while (delta >= 0x80) {
    list.bytes.push_back(static_cast<uint8_t>(delta | 0x80));
    delta >>= 7;
  }
  list.bytes.push_back(static_cast<uint8_t>(delta));
  list.last = id;
  ++list.count;
}

void GramList::decode(std::vector<uint32_t>& out) const {
  out.clear();
  if (const Bitmap* b = bitmap()) {
    out = b->to_vector();
    return;
  }
  const Encoded& list = std::get<Encoded>(data_);
  out.reserve(list.count);
  uint32_t id = 0;
  for (size_t at = 0; at < list.bytes.size();) {
    uint32_t delta = 0;
    for (unsigned shift = 0;; shift += 7) {
      const uint8_t b = list.bytes[at++];
      delta |= uint32_t{b & 0x7fu} << shift;
      if ((b & 0x80u) == 0) break;
    }
    id += delta;
    out.push_back(id);
  }
}

void GramList::assign(const std::vector<uint32_t>& ids, size_t encoded_max) {
  if (ids.size() > encoded_max) {
    Bitmap b;
    b.add_many(ids.data(), ids.size());
    data_ = std::move(b);
    return;
  }
  Encoded list;
  for (const uint32_t id : ids) append(list, id);
  data_ = std::move(list);
}

void GramList::add_many(std::span<const uint32_t> ids, size_t encoded_max) {
  if (ids.empty()) return;
  if (Bitmap* b = std::get_if<Bitmap>(&data_)) {
    b->add_many(ids.data(), ids.size());
    return;
  }
  Encoded& list = std::get<Encoded>(data_);
  if (list.count + ids.size() <= encoded_max && (list.count == 0 || ids.front() > list.last)) {
    // A run of a bulk insertion: room for two bytes an id up front, grown by
    // doubling so that many short runs still cost amortised constant time
    // (the insertion trims the lists at its end).
    const size_t need = list.bytes.size() + 2 * ids.size();
    if (need > list.bytes.capacity()) list.bytes.reserve(std::max(need, 2 * list.bytes.capacity()));
    for (const uint32_t id : ids) append(list, id);
    return;
  }
  std::vector<uint32_t> held;
  decode(held);
  std::vector<uint32_t> merged;
  merged.reserve(held.size() + ids.size());
  std::set_union(held.begin(), held.end(), ids.begin(), ids.end(), std::back_inserter(merged));
  assign(merged, encoded_max);
}

void GramList::add_all(const Bitmap& ids, size_t encoded_max) {
  if (Bitmap* b = std::get_if<Bitmap>(&data_)) {
    b->or_inplace(ids);
    return;
  }
  const std::vector<uint32_t> added = ids.to_vector();
  add_many(added, encoded_max);
}

void GramList::remove(uint32_t id) {
  if (Bitmap* b = std::get_if<Bitmap>(&data_)) {
    b->remove(id);
    return;
  }
  std::vector<uint32_t> held;
  decode(held);
  const auto at = std::lower_bound(held.begin(), held.end(), id);
  if (at == held.end() || *at != id) return;
  held.erase(at);
  Encoded list;
  list.bytes.reserve(std::get<Encoded>(data_).bytes.size());
  for (const uint32_t kept : held) append(list, kept);
  data_ = std::move(list);
}

void GramList::retain(const Bitmap& filter) {
  if (Bitmap* b = std::get_if<Bitmap>(&data_)) {
    b->and_inplace(filter);
    return;
  }
  std::vector<uint32_t> held;
  decode(held);
  std::erase_if(held, [&](uint32_t id) { return !filter.contains(id); });
  Encoded list;
  for (const uint32_t kept : held) append(list, kept);
  data_ = std::move(list);
}

uint64_t GramList::cardinality() const {
  if (const Bitmap* b = bitmap()) return b->cardinality();
  return std::get<Encoded>(data_).count;
}

Bitmap GramList::to_bitmap() const {
  if (const Bitmap* b = bitmap()) return b->clone();
  std::vector<uint32_t> ids;
  decode(ids);
  Bitmap result;
  result.add_many(ids.data(), ids.size());
  return result;
}

void GramList::shrink_to_fit() {
  if (Bitmap* b = std::get_if<Bitmap>(&data_)) {
    b->shrink_to_fit();
  } else {
    std::get<Encoded>(data_).bytes.shrink_to_fit();
  }
}

size_t GramList::memory_bytes() const {
  if (const Bitmap* b = bitmap()) return b->size_in_bytes();
  return std::get<Encoded>(data_).bytes.capacity();
}

}  // namespace qdx
