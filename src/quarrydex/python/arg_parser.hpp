// The one argument parser of every method, constructor and module function.
//
// Parameters are positional-or-keyword; the first `required` of them are
// required. A signature may collect surplus positional arguments (*args) or
// unknown keywords (**kwargs). Failures raise TypeError with the module's
// wording and throw PythonError:
//   "{F} takes {N} positional arguments but {M} were given" (or "from N to K",
//   "was" when M is 1), "{F} missing {N} required positional argument(s): 'a',
//   'b', and 'c'", "{F} got an unexpected keyword argument 'x'",
//   "{F} got multiple values for argument 'x'".
// All returned objects are borrowed from the call.
#pragma once

#include <Python.h>

#include <array>
#include <span>
#include <utility>
#include <vector>

namespace qdx {

struct Signature {
  const char* function;  // as shown in messages, e.g. "Index.add_object()"
  std::span<const char* const> names;
  size_t required;
  bool var_positional = false;
  bool var_keyword = false;
};

struct ParsedArguments {
  static constexpr size_t kMaxParameters = 4;
  std::array<PyObject*, kMaxParameters> values{};
  std::span<PyObject* const> extra_positional;
  std::vector<std::pair<PyObject*, PyObject*>> keywords;  // (name, value) for **kwargs

  PyObject* operator[](size_t i) const { return values[i]; }
};

ParsedArguments parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

// Parsing for tp_new-style (args tuple, kwargs dict) calls.
ParsedArguments parse_tuple_arguments(const Signature& signature, PyObject* args, PyObject* kwargs);

}  // namespace qdx
