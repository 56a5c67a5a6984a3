#include "python/arg_parser.hpp"

#include <string>

#include "python/errors.hpp"

namespace qdx {
namespace {

std::string quoted_list(const std::vector<std::string>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

[[noreturn]] void too_many_positional(const Signature& s, Py_ssize_t given) {
  const size_t max = s.names.size();
  std::string text = std::string(s.function) + " takes ";
  text += s.required == max ? std::to_string(max)
                            : "from " + std::to_string(s.required) + " to " + std::to_string(max);
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
          " given";
  throw_type_error(text);
}

[[noreturn]] void missing_required(const Signature& s, const std::vector<std::string>& missing) {
  const std::string noun = missing.size() == 1 ? "argument" : "arguments";
  throw_type_error(std::string(s.function) + " missing " + std::to_string(missing.size()) +
                   " required positional " + noun + ": " + quoted_list(missing));
}

std::string utf8_of(PyObject* name) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return std::string(text, static_cast<size_t>(size));
}

int parameter_index(const Signature& s, PyObject* name) {
  for (size_t i = 0; i < s.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, s.names[i]) == 0) return static_cast<int>(i);
  }
  return -1;
}

void take_keyword(const Signature& s, ParsedArguments& out, PyObject* name, PyObject* value,
                  Py_ssize_t positional) {
  const int index = parameter_index(s, name);
  if (index < 0) {
    if (!s.var_keyword) {
      throw_type_error(std::string(s.function) + " got an unexpected keyword argument '" +
                       utf8_of(name) + "'");
    }
    out.keywords.emplace_back(name, value);
    return;
  }
  if (index < positional || out.values[index] != nullptr) {
    throw_type_error(std::string(s.function) + " got multiple values for argument '" +
                     utf8_of(name) + "'");
  }
  out.values[index] = value;
}

void check_required(const Signature& s, const ParsedArguments& out) {
  std::vector<std::string> missing;
  for (size_t i = 0; i < s.required; ++i) {
    if (out.values[i] == nullptr) missing.emplace_back(s.names[i]);
  }
  if (!missing.empty()) missing_required(s, missing);
}

ParsedArguments take_positional(const Signature& s, PyObject* const* args, Py_ssize_t nargs) {
  ParsedArguments out;
  const auto max = static_cast<Py_ssize_t>(s.names.size());
  if (nargs > max && !s.var_positional) too_many_positional(s, nargs);
  const Py_ssize_t named = nargs < max ? nargs : max;
  for (Py_ssize_t i = 0; i < named; ++i) out.values[i] = args[i];
  if (nargs > max) out.extra_positional = std::span<PyObject* const>(args + max, nargs - max);
  return out;
}

}  // namespace

ParsedArguments parse_arguments(const Signature& s, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  ParsedArguments out = take_positional(s, args, nargs);
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    take_keyword(s, out, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], nargs);
  }
  check_required(s, out);
  return out;
}

ParsedArguments parse_tuple_arguments(const Signature& s, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  ParsedArguments out =
      take_positional(s, args != nullptr ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *name, *value;
    while (PyDict_Next(kwargs, &pos, &name, &value)) take_keyword(s, out, name, value, nargs);
  }
  check_required(s, out);
  return out;
}

}  // namespace qdx
