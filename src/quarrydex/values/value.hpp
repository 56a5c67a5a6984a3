// `PyValue`: the one value model of the module.
//
// Every attribute value, lookup value and query operand is reduced once, with
// the interpreter lock held, to a PyValue (value_convert.hpp). After that the
// record is immutable: hashing, equality and copying never call Python, so the
// index works on values with the interpreter lock released.
//
// The record is two words (attribute maps hold one per attribute, so its size
// is most of an object's cost):
//
//   word 0  low 3 bits: the kind. Otherwise the pointer to the PythonHandle
//           holder of the Python object the value was made from (holders are
//           16-aligned), or null; for inline text, bit 3 is set, bits 4..7
//           hold the length and bytes 1..7 the first text bytes.
//   word 1  the payload:
//
//   kind       payload                                  hash words
//   Int        int64_t                                  bits, 1
//   Float      double                                   bits, 2
//   Str        inline: the rest of the text             byte_digest, 0xff, 3
//              with a holder: the str's UTF-8 bytes (their length in the holder)
//              without one: a counted box of a copy of the text
//   Bool       0 or 1                                   0/1, 4
//   Iterable   counted box of the member list           address of the member list, 5
//   Ind        the record inside the object             address of the object, 6
//   Unknown    the object's Python hash                 that hash
//
// Text of up to 15 bytes with no Python object behind it is kept inline; longer
// text (and every operand's text) is read from the Python str itself, whose
// UTF-8 form is made before the record exists and never changes while the
// holder keeps the str alive, so the bytes are readable without the
// interpreter lock. Hashes are derived from the payload when an index needs
// them, except for Unknown values, whose Python hash needs the interpreter.
//
// Members of list, tuple and set values are converted together with the
// container (dict values record none), so the index can insert and remove them
// without the interpreter. Mutating the container afterwards is not tracked.
#pragma once

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "values/python_ref.hpp"

namespace qdx {

struct IndexAPI;
class PyValue;

enum class ValueKind : uint8_t { kInt = 1, kFloat, kStr, kBool, kIterable, kInd, kUnknown };
enum class IterableKind : uint8_t { kList, kDict, kTuple, kSet };

// The converted members of a container, with the container's kind beside
// them (one allocation; the value record keeps one pointer).
struct IterableMembers : std::vector<PyValue> {
  IterableKind kind = IterableKind::kList;
};

struct IterableValue {
  std::shared_ptr<const IterableMembers> members;
  IterableKind kind() const noexcept { return members->kind; }
};

class PyValue {
 public:
  using Holder = PythonHandle::Holder;
  static constexpr size_t kInlineText = 15;

  PyValue() noexcept = default;
  ~PyValue() { drop(); }
  PyValue(const PyValue& other) noexcept : tag_(other.tag_), word_(other.word_) { share(); }
  PyValue(PyValue&& other) noexcept : tag_(other.tag_), word_(other.word_) { other.forget(); }
  PyValue& operator=(const PyValue& other) noexcept {
    PyValue copy(other);
    return *this = std::move(copy);
  }
  PyValue& operator=(PyValue&& other) noexcept {
    if (this != &other) {
      drop();
      tag_ = other.tag_;
      word_ = other.word_;
      other.forget();
    }
    return *this;
  }

  // Scalars; `obj` is the Python object they came from, if it is kept.
  static PyValue of_int(int64_t v, PythonHandle obj = {}) noexcept;
  static PyValue of_float(double v, PythonHandle obj = {}) noexcept;
  static PyValue of_bool(bool v, PythonHandle obj = {}) noexcept;
  // Text with no Python object: inline up to kInlineText bytes, else a copy.
  static PyValue of_str(std::string_view v);
  // Text read from the Python str `obj`, whose UTF-8 form is `utf8` (it
  // stays valid while the str lives). `obj`'s holder is not shared yet.
  static PyValue of_python_str(PythonHandle obj, std::string_view utf8) noexcept;
  static PyValue of_iterable(PythonHandle obj, std::shared_ptr<const IterableMembers> members);
  // A nested object: `obj` holds the Indexable whose record is `record`, and
  // so keeps the record alive as long as the value.
  static PyValue of_ind(PythonHandle obj, const IndexAPI& record) noexcept;
  static PyValue of_unknown(PythonHandle obj, uint64_t python_hash) noexcept;

  ValueKind kind() const noexcept { return static_cast<ValueKind>(tag_ & kKindMask); }
  // The Python object the value was made from, if kept.
  PythonHandle obj() const noexcept;
  PyObject* object() const noexcept {
    const Holder* h = holder();
    return h != nullptr ? h->ref.get() : nullptr;
  }
  uint64_t hash() const noexcept;

  bool is_number() const noexcept {
    return kind() == ValueKind::kInt || kind() == ValueKind::kFloat;
  }
  int64_t as_int() const noexcept { return static_cast<int64_t>(word_); }
  double as_float() const noexcept { return std::bit_cast<double>(word_); }
  // Integer or float as a double.
  double as_double() const noexcept;
  std::string_view as_str() const noexcept;
  bool as_bool() const noexcept { return word_ != 0; }
  const IterableValue& as_iterable() const noexcept { return box<IterableValue>()->value; }
  const IndexAPI& as_ind() const noexcept {
    return *reinterpret_cast<const IndexAPI*>(static_cast<uintptr_t>(word_));
  }

  friend bool operator==(const PyValue& a, const PyValue& b) noexcept;

  // Diagnostic text, e.g. `PyValue { obj: Some(Py(0x...)), primitave: Int(5), hash: 123 }`.
  std::string debug() const;

  static uint64_t hash_int(int64_t v) noexcept;
  static uint64_t hash_float(double v) noexcept;
  static uint64_t hash_str(std::string_view v) noexcept;
  static uint64_t hash_bool(bool v) noexcept;
  static uint64_t hash_identity(const void* address, ValueKind kind) noexcept;

 private:
  // A heap payload shared by copies of one record (containers, text
  // copies); the last copy frees it.
  template <typename T>
  struct Box {
    std::atomic<uint32_t> count{1};
    T value;
  };

  static constexpr uintptr_t kKindMask = 0x7;
  static constexpr uintptr_t kInlineBit = 0x8;
  static constexpr uintptr_t kPointerMask = ~uintptr_t{0xf};
  static_assert(PythonHandle::kHolderAlignment > (kKindMask | kInlineBit));
  static constexpr uintptr_t kEmpty = static_cast<uintptr_t>(ValueKind::kUnknown);

  PyValue(ValueKind kind, PythonHandle obj, uint64_t word) noexcept
      : tag_(reinterpret_cast<uintptr_t>(obj.take_holder()) | static_cast<uintptr_t>(kind)),
        word_(word) {}

  bool is_inline_text() const noexcept { return (tag_ & kInlineBit) != 0; }
  Holder* holder() const noexcept {
    return is_inline_text() ? nullptr : reinterpret_cast<Holder*>(tag_ & kPointerMask);
  }
  template <typename T>
  Box<T>* box() const noexcept {
    return reinterpret_cast<Box<T>*>(static_cast<uintptr_t>(word_));
  }
  // True when word 1 points to a text copy (text with no Python str behind it).
  bool is_text_copy() const noexcept {
    return kind() == ValueKind::kStr && !is_inline_text() && holder() == nullptr;
  }
  void share() noexcept;
  void drop() noexcept;
  void forget() noexcept {
    tag_ = kEmpty;
    word_ = 0;
  }

  uintptr_t tag_ = kEmpty;  // byte 0 first in memory: inline text continues into word_
  uint64_t word_ = 0;
};

static_assert(sizeof(PyValue) == 16, "attribute maps hold one record per attribute");
static_assert(std::endian::native == std::endian::little, "inline text follows the tag byte");
static_assert(std::is_nothrow_move_constructible_v<PyValue>);

// Escapes text the way query reprs show it: backslash and double quote are
// escaped, tab/CR/LF/NUL as \t \r \n \0, other non-printables as \u{hex}.
std::string escape_debug(std::string_view utf8);

// Which code points escape_debug shows as they are. Defaults to "not a
// control character"; the module installs the interpreter's own test
// (str.isprintable) when it loads.
void set_printable_test(bool (*is_printable)(uint32_t code_point));

// Hasher for containers keyed by PyValue: places a value by its stored hash.
struct PyValueHash {
  size_t operator()(const PyValue& v) const noexcept { return v.hash(); }
};

}  // namespace qdx
