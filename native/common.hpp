// Helpers shared by the statement builders: the hooks every builder reaches
// through self, and the module names they read at each use.
#pragma once
#include "runtime/calls.hpp"
#include "runtime/names.hpp"
#include "runtime/objects.hpp"
#include "runtime/text.hpp"

#include <string>

// Names that more than one file reads, declared once (common.cpp).  Each
// file that reads them says `using namespace names;`.
namespace names {
// Module-level names.
extern rt::Name n_json;
extern rt::Name n_Versions;
extern rt::Name n_NoValue;
extern rt::Name n_Lookup;
extern rt::Name n_ADDRESS_FIELD;
extern rt::Name n_MODEL_TABLE_ALIAS;
extern rt::Name n_METADATA_TABLE_ALIAS;
extern rt::Name n_PRIMARY_PARTITION_KEY;
extern rt::Name n_SECONDARY_PARTITION_KEY;
// Attributes and hooks.
extern rt::Name n_LATEST;
extern rt::Name n_COLUMN_SEPARATOR;
extern rt::Name n_value;
extern rt::Name n_field_name;
extern rt::Name n_children;
extern rt::Name n_get;
extern rt::Name n_metadata;  // "_metadata"
extern rt::Name n_resolve_nested_field_name;
extern rt::Name n_get_conditions_statement;
}  // namespace names

namespace common {

// Hooks reached through self from more than one file, declared once: while
// the lookup would find this module's own function, it is called without
// the lookup (rt::SelfHook::call).
extern rt::SelfHook h_get_conditions_statement;
extern rt::SelfHook h_resolve_nested_field_name;

// self.<hook>(*args) through `hook`, whose default is this module's `def`
// (kwnames, if given, name the trailing arguments).  When the arguments are
// every parameter after self, in declaration order, and the lookup would
// find the default, its body runs without the call (rt::run_if_checked).
rt::Ref call_hook(PyObject* self, rt::SelfHook& hook, const rt::FuncDef& def, std::initializer_list<PyObject*> args,
                  PyObject* kwnames = nullptr);

// "", a new str.
inline rt::Ref empty_text() { return rt::steal(PyUnicode_New(0, 0)); }

// `a == b` as an if statement evaluates it: 1, 0, or -1 with an exception set.
// Both must be held by the caller.
inline int equals(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return a == b || PyUnicode_Compare(a, b) == 0;
    rt::Ref r = rt::steal(PyObject_RichCompare(a, b, Py_EQ));
    if (!r) return -1;
    return rt::truth(r.get());
}

// An exact str compared with an ASCII literal (no Python code runs).
inline bool text_is(PyObject* s, const char* literal) { return PyUnicode_CompareWithASCIIString(s, literal) == 0; }

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
// The same joined with "," (an IN list).
void tight_placeholders(rt::Text& text, Py_ssize_t n);

// True when the table is internal: its name ends with "metadata" or "reference".
bool is_internal_table(PyObject* table_name);

}  // namespace common
