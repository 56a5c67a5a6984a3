#include "structures/gram_list.hpp"

#include <algorithm>
#include <iterator>

namespace qdx {

namespace {

// LEB128 of one delta into `out`; returns its length (at most 5 bytes).
size_t put_varint(uint8_t* out, uint32_t delta) {
  size_t n = 0;
  while (delta >= 0x80) {
    out[n++] = static_cast<uint8_t>(delta | 0x80);
    delta >>= 7;
  }
  out[n++] = static_cast<uint8_t>(delta);
  return n;
}

// The delta that starts at bytes[at]; moves `at` past it.
uint32_t get_varint(const std::vector<uint8_t>& bytes, size_t& at) {
  uint32_t delta = 0;
  for (unsigned shift = 0;; shift += 7) {
    const uint8_t b = bytes[at++];
    delta |= uint32_t{b & 0x7fu} << shift;
    if ((b & 0x80u) == 0) return delta;
  }
}

// Where an encoded list meets `id`: the first element not below it, the byte
// span [begin, end) of its delta and the element before it (0 for none).
// `begin == bytes.size()` when every element is below `id`.
struct Position {
  size_t begin = 0;
  size_t end = 0;
  uint32_t before = 0;
  uint32_t value = 0;
};

Position seek(const EncodedIds& list, uint32_t id) {
  Position at;
  while (at.end < list.bytes.size()) {
    at.begin = at.end;
    at.value = at.before + get_varint(list.bytes, at.end);
    if (at.value >= id) return at;
    at.before = at.value;
  }
  at.begin = at.end;
  return at;
}

// Replaces bytes [begin, end) by `with`, growing capacity by an eighth at a
// time: single writes into a bulk-built list stay amortised constant without
// doubling a trimmed list's footprint.
void splice(std::vector<uint8_t>& bytes, size_t begin, size_t end, std::span<const uint8_t> with) {
  const size_t old_len = end - begin;
  if (with.size() > old_len) {
    const size_t grown = bytes.size() + (with.size() - old_len);
    if (grown > bytes.capacity()) bytes.reserve(grown + grown / 8 + 8);
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(end), with.size() - old_len, 0);
  } else {
    bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(begin + with.size()),
                bytes.begin() + static_cast<std::ptrdiff_t>(end));
  }
  std::copy(with.begin(), with.end(), bytes.begin() + static_cast<std::ptrdiff_t>(begin));
}

}  // namespace

void GramList::append(Encoded& list, uint32_t id) {
  uint8_t buf[5];
  const size_t n = put_varint(buf, id - list.last);
  list.bytes.insert(list.bytes.end(), buf, buf + n);
  list.last = id;
  ++list.count;
}

// Splits the delta of the first element above `id` in two, in place: the
// list is scanned once and no id is decoded into a vector.
bool GramList::insert_encoded(Encoded& list, uint32_t id) {
  if (list.count == 0 || id > list.last) {
    append(list, id);
    return true;
  }
  const Position at = seek(list, id);
  if (at.value == id) return false;
  uint8_t buf[10];
  size_t n = put_varint(buf, id - at.before);
  n += put_varint(buf + n, at.value - id);
  splice(list.bytes, at.begin, at.end, {buf, n});
  ++list.count;
  return true;
}

// Joins the deltas around `id` into one, in place.
void GramList::erase_encoded(Encoded& list, uint32_t id) {
  if (list.count == 0 || id > list.last) return;
  const Position at = seek(list, id);
  if (at.begin == list.bytes.size() || at.value != id) return;
  --list.count;
  if (at.end == list.bytes.size()) {  // the greatest id goes
    list.bytes.resize(at.begin);
    list.last = at.before;
    return;
  }
  size_t next_end = at.end;
  const uint32_t next = id + get_varint(list.bytes, next_end);
  uint8_t buf[5];
  const size_t n = put_varint(buf, next - at.before);
  splice(list.bytes, at.begin, next_end, {buf, n});
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
    id += get_varint(list.bytes, at);
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
  if (ids.size() <= kSpliceMax) {
    for (const uint32_t id : ids) insert_encoded(list, id);
    if (list.count > encoded_max) {
      std::vector<uint32_t> held;
      decode(held);
      assign(held, encoded_max);
    }
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
  erase_encoded(std::get<Encoded>(data_), id);
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
