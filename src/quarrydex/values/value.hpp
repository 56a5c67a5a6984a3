// `PyValue`: the one value model of the module.
//
// Every attribute value, lookup value and query operand is reduced once, with
// the interpreter lock held, to a PyValue (value_convert.hpp). After that the
// record is immutable: hashing, equality and copying never call Python, so the
// index works on values with the interpreter lock released.
//
// Fields: `obj` shares the Python object the value was made from; `payload`
// is the classified value. The hash is not kept in the record (attribute maps
// hold many records and most are never looked up by hash): `hash()` derives
// it from the payload each time an index needs it, except for Unknown values,
// whose Python hash is taken once at conversion (it needs the interpreter) and
// kept in the payload.
//
//   kind       payload                        hash words
//   Int        int64_t                        bits, 1
//   Float      double                         bits, 2
//   Str        SmallString (UTF-8)            byte_digest, 0xff, 3
//   Bool       bool                           0/1, 4
//   Iterable   IterableValue (members)        address of the member list, 5
//   Ind        shared IndexAPI copy           address of the object, 6
//   Unknown    (none; reached through obj)    the object's Python hash
//
// Members of list, tuple and set values are converted together with the
// container (dict values record none), so the index can insert and remove them
// without the interpreter. Mutating the container afterwards is not tracked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "values/python_ref.hpp"
#include "values/small_string.hpp"

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

struct IndValue {
  std::shared_ptr<const IndexAPI> record;  // shares the object's maps; does not own the id
};

struct UnknownValue {
  uint64_t hash = 0;  // the object's Python hash
};

class PyValue {
 public:
  using Payload =
      std::variant<int64_t, double, SmallString, bool, IterableValue, IndValue, UnknownValue>;

  PyValue() : payload_(UnknownValue{}) {}
  PyValue(PythonHandle obj, Payload payload) : obj_(std::move(obj)), payload_(std::move(payload)) {}

  // Value records for C++ callers and tests (no Python object behind them).
  static PyValue of_int(int64_t v);
  static PyValue of_float(double v);
  static PyValue of_str(std::string_view v);
  static PyValue of_bool(bool v);

  ValueKind kind() const noexcept { return static_cast<ValueKind>(payload_.index() + 1); }
  const PythonHandle& obj() const noexcept { return obj_; }
  uint64_t hash() const noexcept;

  bool is_number() const noexcept {
    return kind() == ValueKind::kInt || kind() == ValueKind::kFloat;
  }
  int64_t as_int() const { return std::get<int64_t>(payload_); }
  double as_float() const { return std::get<double>(payload_); }
  // Integer or float as a double.
  double as_double() const;
  std::string_view as_str() const { return std::get<SmallString>(payload_).view(); }
  bool as_bool() const { return std::get<bool>(payload_); }
  const IterableValue& as_iterable() const { return std::get<IterableValue>(payload_); }
  const IndexAPI& as_ind() const { return *std::get<IndValue>(payload_).record; }
  const std::shared_ptr<const IndexAPI>& ind_record() const {
    return std::get<IndValue>(payload_).record;
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
  PythonHandle obj_;
  Payload payload_;
};

static_assert(sizeof(PyValue) <= 32, "attribute maps hold one record per attribute");

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
