// Argument conversions shared by the classes: objects to add, sequences of
// them, keyword maps, and the lists of stored objects handed back.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/index_state.hpp"
#include "core/stored_indexable.hpp"
#include "python/arg_parser.hpp"
#include "structures/bitmap.hpp"
#include "values/value.hpp"

namespace qdx {

// An Indexable argument as a store slot; TypeError "argument '<name>': ..." otherwise.
StoredIndexable indexable_argument(std::string_view name, PyObject* object);
// A sequence (not a str) of Indexable instances, fully converted.
std::vector<StoredIndexable> indexable_sequence_argument(std::string_view name, PyObject* object);
// **kwargs of a lookup: attribute names and converted values.
std::vector<std::pair<std::string, PyValue>> keyword_values(const ParsedArguments& arguments);

// A new list of the objects stored under `ids`, in ascending id order; ids
// without an object, and objects whose slot is stamped after `max_stamp`
// (see StoredIndexable), are skipped. The caller holds the interpreter lock.
PyObject* objects_list(IndexState& state, const Bitmap& ids, uint64_t max_stamp = UINT64_MAX);

// UTF-8 text of a str; throws PythonError when it cannot be encoded.
std::string_view utf8_view(PyObject* text);

}  // namespace qdx
