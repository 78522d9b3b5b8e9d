// Helpers shared by the statement builders: the hooks every builder reaches
// through self, and the module names they read at each use.
#pragma once
#include "runtime/names.hpp"
#include "runtime/text.hpp"

#include <string>

namespace common {

// Versions.LATEST, read from the module namespace now.
rt::Ref versions_latest();

// self._fields_map(table_name, field_name, Versions.LATEST)
rt::Ref map_field(PyObject* self, PyObject* table_name, PyObject* field_name);

// json.loads(value), with `json` read from the module namespace now.
rt::Ref json_loads(PyObject* value);

// Appends n "?" placeholders joined with `separator` (", " in INSERT texts,
// "," in an IN list).  Every placeholder of a statement is written here.
void append_placeholders(std::string& out, Py_ssize_t n, const char* separator);

// n placeholders joined with ", ", as append_placeholders writes them, handed
// to `text` in slices of a buffer made once (no allocation per statement).
void placeholders(rt::Text& text, Py_ssize_t n);

// True when the table is internal: its name ends with "metadata" or "reference".
bool is_internal_table(PyObject* table_name);

}  // namespace common
