// Nested field paths ("_metadata__address__object_id"): what
// _resolve_nested_field_name makes of one, the SQL expression that reads it.
// Filters on nested fields (conditions.cpp) and ORDER BY (reads.cpp) reach it
// through self.
#include "paths.hpp"

#include "common.hpp"
#include "methods.hpp"
#include "runtime/calls.hpp"
#include "runtime/objects.hpp"

#include <cstring>

using namespace names;

namespace paths {
rt::Name n_separator("__");
}  // namespace paths

namespace {

using common::equals;
using common::text_is;
using rt::Ref;
using paths::n_separator;

rt::Name n_METADATA_FIELD("METADATA_FIELD");
rt::Literal s_dot(".");

// Index of "__" in an exact str, -1 when absent, -2 on error.
Py_ssize_t find_sep(PyObject* s) { return PyUnicode_Find(s, n_separator, 0, PyUnicode_GET_LENGTH(s), 1); }

struct ResolveArgs : rt::Args {
    using Args::Args;
    PyObject* self() const { return a[0]; }
    PyObject* table_name() const { return a[1]; }
    PyObject* field_name() const { return a[2]; }
    PyObject* nested_fields() const { return a[3]; }
    PyObject* value_type() const { return a[4]; }
    PyObject* is_internal_table() const { return a[5]; }
    PyObject* use_internal_meta_tables() const { return a[6]; }
};

// field == f"{METADATA_TABLE_ALIAS}.{ADDRESS_FIELD}"
int is_metadata_address(PyObject* field) {
    Ref alias = rt::global(n_METADATA_TABLE_ALIAS);
    if (!alias) return -1;
    Ref address = rt::global(n_ADDRESS_FIELD);
    if (!address) return -1;
    if (PyUnicode_CheckExact(field) && PyUnicode_CheckExact(alias.get()) && PyUnicode_CheckExact(address.get())) {
        // Compared piece by piece, without building the joined text.
        const Py_ssize_t n = PyUnicode_GET_LENGTH(field), na = PyUnicode_GET_LENGTH(alias.get()),
                         nb = PyUnicode_GET_LENGTH(address.get());
        if (n != na + 1 + nb) return 0;
        if (PyUnicode_READ_CHAR(field, na) != '.') return 0;
        Py_ssize_t head = PyUnicode_Tailmatch(field, alias.get(), 0, na, -1);
        if (head != 1) return head < 0 ? -1 : 0;
        Py_ssize_t tail = PyUnicode_Tailmatch(field, address.get(), na + 1, n, 1);
        return tail < 0 ? -1 : (int)tail;
    }
    rt::Text text;
    if (!text.formatted(alias.get())) return -1;
    text.lit(".");
    if (!text.formatted(address.get())) return -1;
    Ref joined = text.build();
    if (!joined) return -1;
    return equals(field, joined.get());
}

// f"{ALIAS}.'{column}'" with the alias read from the module now (quotes in
// the column name doubled).
Ref aliased_column(const rt::Name& alias_name, PyObject* column) {
    Ref alias = rt::global(alias_name);
    if (!alias) return Ref();
    rt::Text text;
    if (!text.formatted(alias.get())) return Ref();
    text.lit(".'");
    Ref name = rt::format_text(column);
    if (!name || !text.inside_quotes(name.get(), '\'')) return Ref();
    text.lit("'");
    return text.build();
}

// The address and metadata paths of a model table.  Sets `result` when the
// path resolves here; otherwise may rewrite field and nested, which the
// caller then resolves.  False with an exception set on failure.
bool resolve_special(ResolveArgs p, Ref& field, Ref& nested, Ref& result) {
    // use_internal_meta_tables is tested for its truth at each branch, as the
    // Python code tests it: its __bool__ may answer differently each time.
    PyObject* use_meta_flag = p.use_internal_meta_tables();
    Ref address = rt::global(n_ADDRESS_FIELD);
    if (!address) return false;
    int is_address = equals(field.get(), address.get());
    if (is_address < 0) return false;
    if (is_address) {
        if (text_is(nested.get(), "object_id")) {
            int use_meta = rt::truth(use_meta_flag);
            if (use_meta < 0) return false;
            if (use_meta) {
                Ref key = rt::global(n_PRIMARY_PARTITION_KEY);
                if (!key) return false;
                result = aliased_column(n_MODEL_TABLE_ALIAS, key.get());
                return bool(result);
            }
            Ref key = rt::global(n_PRIMARY_PARTITION_KEY);
            if (!key || !rt::expect_str(key.get())) return false;
            result = key;
            return true;
        }
        int use_meta = rt::truth(use_meta_flag);
        if (use_meta < 0) return false;
        if (use_meta && text_is(nested.get(), "object_version")) {
            Ref key = rt::global(n_SECONDARY_PARTITION_KEY);
            if (!key) return false;
            result = aliased_column(n_MODEL_TABLE_ALIAS, key.get());
            return bool(result);
        }
        use_meta = rt::truth(use_meta_flag);
        if (use_meta < 0) return false;
        if (!use_meta) {
            result = common::empty_text();
            return bool(result);
        }
    }
    int use_meta = rt::truth(use_meta_flag);
    if (use_meta < 0) return false;
    if (!use_meta) return true;
    Ref metadata = rt::global(n_METADATA_FIELD);
    if (!metadata) return false;
    int is_metadata = equals(field.get(), metadata.get());
    if (is_metadata <= 0) return is_metadata == 0;
    // One key of the metadata record is one column of the metadata table;
    // a longer path is extracted from that column.
    const Py_ssize_t sep = find_sep(nested.get());
    if (sep == -2) return false;
    if (sep < 0) {
        result = aliased_column(n_METADATA_TABLE_ALIAS, nested.get());
        return bool(result);
    }
    Ref first = rt::steal(PyUnicode_Substring(nested.get(), 0, sep));
    if (!first) return false;
    Ref rest = rt::steal(PyUnicode_Substring(nested.get(), sep + 2, PyUnicode_GET_LENGTH(nested.get())));
    if (!rest) return false;
    field = aliased_column(n_METADATA_TABLE_ALIAS, first.get());
    if (!field) return false;
    nested = rest;
    return true;
}

PyObject* resolve_nested_field_name_body(PyObject* const* a) {
    const ResolveArgs p(a);
    PyObject* value_type = p.value_type();
    Ref field = common::map_field(p.self(), p.table_name(), p.field_name());
    if (!field || !rt::expect_str(field.get())) return nullptr;
    Ref nested = rt::borrow(p.nested_fields());

    int internal = rt::truth(p.is_internal_table());
    if (internal < 0) return nullptr;
    if (!internal) {
        Ref result;
        if (!resolve_special(p, field, nested, result)) return nullptr;
        if (result) return result.release();
    }

    const char* cast_type = "text";
    int is_int = equals(value_type, reinterpret_cast<PyObject*>(&PyLong_Type));
    if (is_int < 0) return nullptr;
    if (!is_int) {
        is_int = equals(value_type, reinterpret_cast<PyObject*>(&PyBool_Type));
        if (is_int < 0) return nullptr;
    }
    if (is_int) cast_type = "integer";
    else if (value_type == reinterpret_cast<PyObject*>(&PyFloat_Type)) cast_type = "real";

    // The JSON path "$" + "".join("." + key for key in nested.split("__")):
    // every separator becomes a dot.
    const Py_ssize_t sep = find_sep(nested.get());
    if (sep == -2) return nullptr;
    Ref path = sep < 0 ? nested : rt::steal(PyUnicode_Replace(nested.get(), n_separator, s_dot, -1));
    if (!path) return nullptr;

    int metadata_address = is_metadata_address(field.get());
    if (metadata_address < 0) return nullptr;
    if (metadata_address) {
        const char* column = text_is(path.get(), "object_id")        ? ".object_id"
                             : text_is(path.get(), "object_version") ? ".object_version"
                                                                     : nullptr;
        if (column) {
            Ref alias = rt::global(n_METADATA_TABLE_ALIAS);
            if (!alias) return nullptr;
            rt::Text text;
            if (!text.formatted(alias.get())) return nullptr;
            text.lit(column, std::strlen(column));
            return text.build().release();
        }
    }

    rt::Text text;
    text.lit("cast(json_extract(");
    if (!text.formatted(field.get())) return nullptr;
    // The path sits inside an SQL string literal.
    text.lit(", '$.");
    if (!text.inside_quotes(path.get(), '\'')) return nullptr;
    text.lit("') as ");
    text.lit(cast_type, std::strlen(cast_type));
    text.lit(")");
    return text.build().release();
}


}  // namespace

namespace methods {
using namespace params;
const rt::FuncDef resolve_nested_field_name{
    "_resolve_nested_field_name", "SqliteStatementsMixin._resolve_nested_field_name",
    resolve_nested_field_name_body,
    {self(), table_name(), Param{"field_name", "str", Check::Str}, Param{"nested_fields", "str", Check::Str},
     Param{"value_type", "Any", Check::Any, Default::StrType, true}, flag("is_internal_table"),
     flag("use_internal_meta_tables")},
    "str", "Resolve a nested field path to an SQL expression."};
}  // namespace methods
