#include "common.hpp"

#include "runtime/calls.hpp"
#include "runtime/depth.hpp"
#include "runtime/fast.hpp"

namespace common {

namespace {
rt::Name n_Versions("Versions");
rt::Name n_LATEST("LATEST");
rt::Name n_fields_map("_fields_map");
rt::Name n_json("json");
rt::Name n_loads("loads");
rt::ClassAttr a_LATEST(n_LATEST);
rt::ModuleAttr a_loads(n_loads);
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

rt::Ref json_loads(PyObject* value) {
    rt::Ref json = rt::global(n_json);
    if (!json) return rt::Ref();
    rt::Ref loads = a_loads.get(json.get());
    if (!loads) return rt::Ref();
    if (!rt::nesting_fits(value, " while decoding JSON")) return rt::Ref();
    return rt::call(loads.get(), {value});
}

void append_placeholders(std::string& out, Py_ssize_t n, const char* separator) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i) out += separator;
        out += '?';
    }
}

namespace {
constexpr Py_ssize_t kMarkChunk = 256;
// "?, ?, ..., ?": kMarkChunk + 1 placeholders, so that every slice of
// 3 * k characters (k <= kMarkChunk) is k placeholders each followed by ", ".
const char* marks() {
    static const std::string text = [] {
        std::string s;
        append_placeholders(s, kMarkChunk + 1, ", ");
        return s;
    }();
    return text.data();
}
}  // namespace

void placeholders(rt::Text& text, Py_ssize_t n) {
    while (n > 0) {
        const Py_ssize_t k = n < kMarkChunk ? n : kMarkChunk;
        n -= k;
        text.lit(marks(), (size_t)(3 * k - (n == 0 ? 2 : 0)));
    }
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
