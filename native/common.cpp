#include "common.hpp"

#include "methods.hpp"

#include "runtime/calls.hpp"
#include "runtime/depth.hpp"
#include "runtime/fast.hpp"
#include "runtime/json_loads.hpp"

namespace names {
rt::Name n_json("json");
rt::Name n_Versions("Versions");
rt::Name n_NoValue("NoValue");
rt::Name n_Lookup("Lookup");
rt::Name n_ADDRESS_FIELD("ADDRESS_FIELD");
rt::Name n_MODEL_TABLE_ALIAS("MODEL_TABLE_ALIAS");
rt::Name n_METADATA_TABLE_ALIAS("METADATA_TABLE_ALIAS");
rt::Name n_PRIMARY_PARTITION_KEY("PRIMARY_PARTITION_KEY");
rt::Name n_SECONDARY_PARTITION_KEY("SECONDARY_PARTITION_KEY");
rt::Name n_LATEST("LATEST");
rt::Name n_COLUMN_SEPARATOR("COLUMN_SEPARATOR");
rt::Name n_value("value");
rt::Name n_field_name("field_name");
rt::Name n_children("children");
rt::Name n_get("get");
rt::Name n_metadata("_metadata");
rt::Name n_resolve_nested_field_name("_resolve_nested_field_name");
rt::Name n_get_conditions_statement("_get_conditions_statement");
}  // namespace names

using namespace names;

namespace common {

rt::SelfHook h_get_conditions_statement(n_get_conditions_statement, methods::get_conditions_statement,
                                        rt::Binding::Method);
rt::SelfHook h_resolve_nested_field_name(n_resolve_nested_field_name, methods::resolve_nested_field_name,
                                         rt::Binding::Method);

namespace {
rt::Name n_fields_map("_fields_map");
rt::Name n_loads("loads");
rt::ClassAttr a_LATEST(n_LATEST);
rt::ModuleAttr a_loads(n_loads);
rt::SelfHook h_fields_map(n_fields_map, methods::fields_map, rt::Binding::Method);
}  // namespace

rt::Ref call_hook(PyObject* self, rt::SelfHook& hook, const rt::FuncDef& def, std::initializer_list<PyObject*> args,
                  PyObject* kwnames) {
    if (args.size() + 1 == def.params.size() && args.size() < rt::kMaxParams && hook.still_default(self)) {
        PyObject* all[rt::kMaxParams];
        size_t n = 0;
        all[n++] = self;
        for (PyObject* a : args) all[n++] = a;
        PyObject* result;
        if (rt::run_if_checked(def, all, &result)) return rt::steal(result);
    }
    return hook.call(self, args, kwnames);
}

rt::Ref versions_latest() {
    rt::Ref versions = rt::global(n_Versions);
    if (!versions) return rt::Ref();
    return a_LATEST.get(versions.get());
}

rt::Ref map_field(PyObject* self, PyObject* table_name, PyObject* field_name) {
    rt::Ref latest = versions_latest();
    if (!latest) return rt::Ref();
    // While the lookup would find this module's own method, its body runs
    // without the call (the same arguments, tested the same way).
    if (h_fields_map.still_default(self)) {
        PyObject* args[] = {self, table_name, field_name, latest.get()};
        PyObject* result;
        if (rt::run_if_checked(methods::fields_map, args, &result)) return rt::steal(result);
    }
    return h_fields_map.call(self, {table_name, field_name, latest.get()});
}

rt::Ref json_loads(PyObject* value) {
    rt::Ref json = rt::global(n_json);
    if (!json) return rt::Ref();
    rt::Ref loads = a_loads.get(json.get());
    if (!loads) return rt::Ref();
    if (!rt::nesting_fits(value, " while decoding JSON")) return rt::Ref();
    // The standard loads of a str is scanned without its frames (runtime/json_loads.hpp).
    rt::Ref decoded;
    const int done = rt::standard_json_loads(loads.get(), value, decoded);
    if (done > 0) return decoded;
    if (done < 0) return rt::Ref();
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
std::string mark_run(const char* separator) {
    std::string s;
    append_placeholders(s, kMarkChunk + 1, separator);
    return s;
}
const char* marks() {
    static const std::string text = mark_run(", ");
    return text.data();
}
// "?,?,...,?", the same for the separator ",".
const char* tight_marks() {
    static const std::string text = mark_run(",");
    return text.data();
}

void append_marks(rt::Text& text, Py_ssize_t n, const char* marks, Py_ssize_t step) {
    while (n > 0) {
        const Py_ssize_t k = n < kMarkChunk ? n : kMarkChunk;
        n -= k;
        text.lit(marks, (size_t)(step * k - (n == 0 ? step - 1 : 0)));
    }
}
}  // namespace

void placeholders(rt::Text& text, Py_ssize_t n) { append_marks(text, n, marks(), 3); }

void tight_placeholders(rt::Text& text, Py_ssize_t n) { append_marks(text, n, tight_marks(), 2); }

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
