#include "values/value.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/word_hash.hpp"
#include "values/index_api.hpp"

namespace qdx {
namespace {

uint64_t two_words(uint64_t a, uint64_t b) noexcept {
  WordHasher h;
  h.write(a);
  h.write(b);
  return h.finish();
}

std::string hex_address(const void* address) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "0x%llx",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
  return buffer;
}

// Shortest text that reads back as the same double, always with a point or
// an exponent so that it reads as a float.
std::string float_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
  std::string text(buffer, end);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

bool int_equals_double(int64_t i, double d) noexcept {
  return static_cast<double>(i) == d;
}

std::string payload_debug(const PyValue& value) {
  switch (value.kind()) {
    case ValueKind::kInt:
      return "Int(" + std::to_string(value.as_int()) + ")";
    case ValueKind::kFloat:
      return "Float(" + float_text(value.as_float()) + ")";
    case ValueKind::kStr:
      return "Str(\"" + escape_debug(value.as_str()) + "\")";
    case ValueKind::kBool:
      return value.as_bool() ? "Bool(true)" : "Bool(false)";
    case ValueKind::kIterable: {
      static const char* const kNames[] = {"List", "Dict", "Tuple", "Set"};
      const auto kind = static_cast<size_t>(value.as_iterable().kind());
      return std::string("Iterable(") + kNames[kind] + "(Py(" + hex_address(value.object()) + ")))";
    }
    case ValueKind::kInd:
      return "Ind(StoredIndexable { python_handle: Py(" + hex_address(value.object()) +
             "), owned_handle: " + value.as_ind().debug() + " })";
    case ValueKind::kUnknown:
      return "Unknown";
  }
  return "Unknown";
}

}  // namespace

PyValue PyValue::of_int(int64_t v, PythonHandle obj) noexcept {
  return PyValue(ValueKind::kInt, std::move(obj), static_cast<uint64_t>(v));
}
PyValue PyValue::of_float(double v, PythonHandle obj) noexcept {
  return PyValue(ValueKind::kFloat, std::move(obj), std::bit_cast<uint64_t>(v));
}
PyValue PyValue::of_bool(bool v, PythonHandle obj) noexcept {
  return PyValue(ValueKind::kBool, std::move(obj), v ? 1 : 0);
}

PyValue PyValue::of_str(std::string_view v) {
  PyValue value;
  if (v.size() <= kInlineText) {
    value.tag_ = static_cast<uintptr_t>(ValueKind::kStr) | kInlineBit | (v.size() << 4);
    std::memcpy(reinterpret_cast<char*>(&value) + 1, v.data(), v.size());
    return value;
  }
  auto* copy = new Box<std::string>{{1}, std::string(v)};
  value.tag_ = static_cast<uintptr_t>(ValueKind::kStr);
  value.word_ = reinterpret_cast<uintptr_t>(copy);
  return value;
}

PyValue PyValue::of_python_str(PythonHandle obj, std::string_view utf8) noexcept {
  obj.holder()->text_size = utf8.size();
  return PyValue(ValueKind::kStr, std::move(obj), reinterpret_cast<uintptr_t>(utf8.data()));
}

PyValue PyValue::of_iterable(PythonHandle obj, std::shared_ptr<const IterableMembers> members) {
  auto* box = new Box<IterableValue>{{1}, IterableValue{std::move(members)}};
  return PyValue(ValueKind::kIterable, std::move(obj), reinterpret_cast<uintptr_t>(box));
}

PyValue PyValue::of_ind(PythonHandle obj, const IndexAPI& record) noexcept {
  return PyValue(ValueKind::kInd, std::move(obj), reinterpret_cast<uintptr_t>(&record));
}

PyValue PyValue::of_unknown(PythonHandle obj, uint64_t python_hash) noexcept {
  return PyValue(ValueKind::kUnknown, std::move(obj), python_hash);
}

PythonHandle PyValue::obj() const noexcept {
  Holder* h = holder();
  PythonHandle::retain(h);
  return PythonHandle::adopt(h);
}

std::string_view PyValue::as_str() const noexcept {
  if (is_inline_text()) return {reinterpret_cast<const char*>(this) + 1, (tag_ >> 4) & 0xf};
  if (const Holder* h = holder()) return {reinterpret_cast<const char*>(word_), h->text_size};
  return box<std::string>()->value;
}

void PyValue::share() noexcept {
  PythonHandle::retain(holder());
  switch (kind()) {
    case ValueKind::kIterable:
      box<IterableValue>()->count.fetch_add(1, std::memory_order_relaxed);
      break;
    case ValueKind::kStr:
      if (is_text_copy()) box<std::string>()->count.fetch_add(1, std::memory_order_relaxed);
      break;
    default:
      break;
  }
}

namespace {
template <typename B>
void release_box(B* box) noexcept {
  if (box->count.fetch_sub(1, std::memory_order_acq_rel) == 1) delete box;
}
}  // namespace

void PyValue::drop() noexcept {
  switch (kind()) {
    case ValueKind::kIterable:
      release_box(box<IterableValue>());
      break;
    case ValueKind::kStr:
      if (is_text_copy()) release_box(box<std::string>());
      break;
    default:
      break;
  }
  PythonHandle::release(holder());
}

uint64_t PyValue::hash() const noexcept {
  switch (kind()) {
    case ValueKind::kInt:
      return hash_int(as_int());
    case ValueKind::kFloat:
      return hash_float(as_float());
    case ValueKind::kStr:
      return hash_str(as_str());
    case ValueKind::kBool:
      return hash_bool(as_bool());
    case ValueKind::kIterable:
      return hash_identity(as_iterable().members.get(), ValueKind::kIterable);
    case ValueKind::kInd:
      return hash_identity(object(), ValueKind::kInd);
    case ValueKind::kUnknown:
      break;
  }
  return word_;
}

double PyValue::as_double() const noexcept {
  return kind() == ValueKind::kInt ? static_cast<double>(as_int()) : as_float();
}

uint64_t PyValue::hash_int(int64_t v) noexcept {
  return two_words(static_cast<uint64_t>(v), 1);
}
uint64_t PyValue::hash_float(double v) noexcept {
  return two_words(std::bit_cast<uint64_t>(v), 2);
}
uint64_t PyValue::hash_str(std::string_view v) noexcept {
  WordHasher h;
  h.write(byte_digest(v));
  h.write(0xff);
  h.write(3);
  return h.finish();
}
uint64_t PyValue::hash_bool(bool v) noexcept {
  return two_words(v ? 1 : 0, 4);
}
uint64_t PyValue::hash_identity(const void* address, ValueKind kind) noexcept {
  return two_words(reinterpret_cast<uintptr_t>(address), static_cast<uint64_t>(kind));
}

bool operator==(const PyValue& a, const PyValue& b) noexcept {
  const ValueKind ka = a.kind();
  const ValueKind kb = b.kind();
  // Equal text has equal hashes, so text skips the digest. Every other pair
  // compares hashes first: that is what keeps 0.0 apart from -0.0 and an int
  // apart from a float whose hash differs.
  if (ka == ValueKind::kStr || kb == ValueKind::kStr) {
    return ka == kb && a.as_str() == b.as_str();
  }
  if (a.hash() != b.hash()) return false;
  switch (ka) {
    case ValueKind::kInt:
      if (kb == ValueKind::kInt) return a.as_int() == b.as_int();
      if (kb == ValueKind::kFloat) return int_equals_double(a.as_int(), b.as_float());
      if (kb == ValueKind::kBool) return a.as_int() == (b.as_bool() ? 1 : 0);
      return false;
    case ValueKind::kFloat:
      if (kb == ValueKind::kFloat) return a.as_float() == b.as_float();
      if (kb == ValueKind::kInt) return int_equals_double(b.as_int(), a.as_float());
      return false;
    case ValueKind::kStr:
      return kb == ValueKind::kStr && a.as_str() == b.as_str();
    case ValueKind::kBool:
      if (kb == ValueKind::kBool) return a.as_bool() == b.as_bool();
      if (kb == ValueKind::kInt) return b.as_int() == (a.as_bool() ? 1 : 0);
      return false;
    case ValueKind::kIterable:
      return &a == &b;
    case ValueKind::kInd:
    case ValueKind::kUnknown:
      return kb == ka && a.object() == b.object();
  }
  return false;
}

std::string PyValue::debug() const {
  std::string obj_text = holder() != nullptr ? "Some(Py(" + hex_address(object()) + "))" : "None";
  return "PyValue { obj: " + obj_text + ", primitave: " + payload_debug(*this) +
         ", hash: " + std::to_string(hash()) + " }";
}

namespace {
bool default_printable(uint32_t cp) {
  return !(cp < 0x20 || cp == 0x7f || (cp >= 0x80 && cp < 0xa0));
}
bool (*g_is_printable)(uint32_t) = default_printable;
}  // namespace

void set_printable_test(bool (*is_printable)(uint32_t code_point)) {
  g_is_printable = is_printable;
}

std::string escape_debug(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  for (size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    // Decode one UTF-8 sequence (the text is valid UTF-8: it came from a str).
    uint32_t cp = c;
    size_t len = 1;
    if (c >= 0xf0) {
      cp = c & 0x07, len = 4;
    } else if (c >= 0xe0) {
      cp = c & 0x0f, len = 3;
    } else if (c >= 0xc0) {
      cp = c & 0x1f, len = 2;
    }
    for (size_t k = 1; k < len && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3f);
    }
    switch (cp) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (!g_is_printable(cp)) {
          char buffer[16];
          std::snprintf(buffer, sizeof buffer, "\\u{%x}", cp);
          out += buffer;
        } else {
          out.append(utf8.substr(i, len));
        }
    }
    i += len;
  }
  return out;
}

}  // namespace qdx
