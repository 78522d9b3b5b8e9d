#include "common.hpp"

#include "runtime/calls.hpp"
#include "runtime/fast.hpp"

namespace common {

namespace {
rt::Name n_Versions("Versions");
rt::Name n_LATEST("LATEST");
rt::Name n_fields_map("_fields_map");
rt::ClassAttr a_LATEST(n_LATEST);
}  // namespace

rt::Ref versions_latest() {
    rt::Ref versions = rt::global(n_Versions);
    if (!versions) return rt::Ref();
    return a_LATEST.get(versions.get());
}

rt::Ref map_field(PyObject* self, PyObject* table_name, PyObject* field_name) {
    rt::Ref latest = versions_latest();
    if (!latest) return rt::Ref();
    return rt::call_method(self, n_fields_map, {table_name, field_name, latest.get()});
}

static bool ends_with(PyObject* s, const char* suffix, Py_ssize_t n) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(s);
    if (len < n) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_READ(kind, data, len - n + i) != (Py_UCS4)(unsigned char)suffix[i]) return false;
    return true;
}

bool is_internal_table(PyObject* table_name) {
    return ends_with(table_name, "metadata", 8) || ends_with(table_name, "reference", 9);
}

}  // namespace common
