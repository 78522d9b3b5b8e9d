// Table description through the host connection, and decoding of fetched rows.
#include "common.hpp"
#include "methods.hpp"
#include "runtime/calls.hpp"
#include "runtime/depth.hpp"
#include "runtime/errors.hpp"
#include "runtime/fast.hpp"
#include "runtime/iter.hpp"
#include "runtime/lookups.hpp"
#include "runtime/objects.hpp"
#include "runtime/quiet.hpp"

#include <algorithm>
#include <cstring>

using namespace names;

namespace {

rt::Name n_execute("execute");
rt::Name n_fetchall("fetchall");

PyObject* describe_table_body(PyObject* const* a) {
    PyObject* self = a[0];
    rt::Text text;
    // The table name sits inside a quoted literal.
    text.lit("pragma table_info('");
    if (!text.inside_quotes(a[1], '\'')) return nullptr;
    text.lit("');");
    rt::Ref statement = text.build();
    if (!statement) return nullptr;
    rt::Ref cursor = rt::call_method(self, n_execute, {statement.get()});
    if (!cursor) return nullptr;
    rt::Ref rows = rt::call_method(cursor.get(), n_fetchall, {});
    if (!rows) return nullptr;
    rt::Ref description = rt::steal(PyDict_New());
    if (!description) return nullptr;
    rt::Items walk;
    if (!walk.start(rows.get())) return nullptr;
    rt::Ref row;
    while (walk.next(row)) {
        rt::Ref items[6];
        if (!rt::unpack(row.get(), items, 6)) return nullptr;
        if (PyDict_SetItem(description.get(), items[1].get(), items[2].get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return description.release();
}

// ---------------------------------------------------------------------------
// Row decoding.


rt::Name n_JSONDecodeError("JSONDecodeError");
rt::Name n_lower("lower");
rt::Name n_tobytes("tobytes");
rt::Name n_startswith("startswith");
rt::Literal t_f("f");
rt::Name n_address("address");
rt::Name n_class_version("class_version");
rt::Name n_object_version("object_version");
rt::Name n_reference_to("reference_to");
rt::Name n_referenced_by("referenced_by");
rt::Name n_object_id_key("_object_id");
rt::Name n_object_version_key("_object_version");
rt::Name n_field_reverse_map("_field_reverse_map");
rt::Name n_process_field("_process_field");


// With an exception set: 1 when it is a json.JSONDecodeError (exception
// cleared), 0 when it is not (still set), -1 when evaluating the handler
// itself failed (the new exception is set, chained to the old one).
int clear_if_json_decode_error() {
    rt::CaughtError caught;
    rt::Ref json = rt::global(n_json);
    rt::Ref cls = json ? rt::attr(json.get(), n_JSONDecodeError) : rt::Ref();
    if (cls && !rt::is_catchable(cls.get()))
        PyErr_SetString(PyExc_TypeError, "catching classes that do not inherit from BaseException is not allowed");
    if (!cls || PyErr_Occurred()) {
        caught.chain_into_current();
        return -1;
    }
    if (caught.matches(cls.get())) return 1;
    caught.restore();
    return 0;
}

// field_type.lower() == word, for a lower-case ASCII word; -1 on error.
int lower_equals(PyObject* s, const char* word, Py_ssize_t n) {
    if (PyUnicode_READY(s) < 0) return -1;
    if (PyUnicode_IS_ASCII(s)) {
        if (PyUnicode_GET_LENGTH(s) != n) return 0;
        const Py_UCS1* d = PyUnicode_1BYTE_DATA(s);
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS1 c = d[i];
            if (c >= 'A' && c <= 'Z') c = (Py_UCS1)(c + ('a' - 'A'));
            if (c != (Py_UCS1)word[i]) return 0;
        }
        return 1;
    }
    // Case mappings beyond ASCII: let str.lower decide.
    rt::Ref lowered = rt::call_method(s, n_lower, {});
    if (!lowered) return -1;
    return PyUnicode_Check(lowered.get()) && PyUnicode_CompareWithASCIIString(lowered.get(), word) == 0;
}

// The body of _process_field once field_type is known to be exactly a str.
// `ran_code` is set when it called anything that may run Python code.
rt::Ref decode_field(PyObject* field_type, PyObject* value, bool& ran_code) {
    const bool is_str = PyUnicode_Check(value);
    const bool is_bytes = !is_str && PyBytes_Check(value);
    const bool is_view = !is_str && !is_bytes && PyMemoryView_Check(value);
    if (!is_str && !is_bytes && !is_view) return rt::borrow(value);
    const int json_type = lower_equals(field_type, "json", 4);
    if (json_type < 0) return rt::Ref();
    if (json_type && !is_view) {
        ran_code = true;
        rt::Ref decoded = common::json_loads(value);
        if (decoded || is_bytes) return decoded;
        // Text that is not JSON stays text.
        const int caught = clear_if_json_decode_error();
        if (caught <= 0) return rt::Ref();
        return rt::borrow(value);
    }
    if (is_view) {
        const int bytea = lower_equals(field_type, "bytea", 5);
        if (bytea < 0) return rt::Ref();
        ran_code = true;
        if (bytea) return rt::call_method(value, n_tobytes, {});
    }
    return rt::borrow(value);
}

PyObject* process_field_body(PyObject* const* a) {
    bool ran_code = false;
    return decode_field(a[0], a[1], ran_code).release();
}

// `a != b` as Python evaluates it; -1 on error.
int not_equal(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        if (a == b) return 0;
        if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return 1;
        return PyUnicode_Compare(a, b) != 0;
    }
    rt::Ref r = rt::steal(PyObject_RichCompare(a, b, Py_NE));
    if (!r) return -1;
    return rt::truth(r.get());
}

// Equality of two objects known to be exactly str (ready, compact): equal
// texts have the same length and the same kind.
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (!PyUnicode_IS_READY(a) || !PyUnicode_IS_READY(b)) return PyUnicode_Compare(a, b) == 0;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)n * PyUnicode_KIND(a)) == 0;
}

// dict lookup that holds the value found; false on error, `out` empty when missing.
bool dict_get(PyObject* dict, PyObject* key, rt::Ref& out) {
    out = rt::borrow(PyDict_GetItemWithError(dict, key));
    return out || !PyErr_Occurred();
}

// Keys dropped from a record: 33 characters starting with "f"; -1 on error.
int is_dropped_key(PyObject* key) {
    if (PyUnicode_CheckExact(key))
        return PyUnicode_GET_LENGTH(key) == 33 && PyUnicode_READ_CHAR(key, 0) == 'f';
    const Py_ssize_t n = PyObject_Length(key);
    if (n < 0) return -1;
    if (n != 33) return 0;
    rt::Ref starts = rt::call_method(key, n_startswith, {t_f.get()});
    if (!starts) return -1;
    return rt::truth(starts.get());
}

// M[key] = [json.loads(item) for item in M[key]] if key in M else []
bool normalise_references(PyObject* meta, PyObject* key) {
    const int has = PySequence_Contains(meta, key);
    if (has < 0) return false;
    rt::Ref decoded = rt::steal(PyList_New(0));
    if (!decoded) return false;
    if (has) {
        rt::Ref items = rt::steal(PyObject_GetItem(meta, key));
        if (!items) return false;
        rt::Items walk;
        if (!walk.start(items.get())) return false;
        rt::Ref item;
        while (walk.next(item)) {
            rt::Ref value = common::json_loads(item.get());
            if (!value || PyList_Append(decoded.get(), value.get()) < 0) return false;
        }
        if (PyErr_Occurred()) return false;
    }
    return PyObject_SetItem(meta, key, decoded.get()) == 0;
}

// The class version recorded in a row's metadata: metadata['address']['class_version'].
rt::Ref recorded_class_version(PyObject* metadata) {
    rt::Ref decoded = PyUnicode_Check(metadata) ? common::json_loads(metadata) : rt::borrow(metadata);
    if (!decoded) return rt::Ref();
    rt::Ref address = rt::steal(PyObject_GetItem(decoded.get(), n_address));
    if (!address) return rt::Ref();
    return rt::steal(PyObject_GetItem(address.get(), n_class_version));
}

bool is_metadata_key(PyObject* key) { return same_text(key, n_metadata); }

// The two hooks, reached through self for every column; while the lookup
// would find this module's own function, its body runs directly.
rt::SelfHook h_field_reverse_map(n_field_reverse_map, methods::field_reverse_map, rt::Binding::Method);
rt::SelfHook h_process_field(n_process_field, methods::process_field, rt::Binding::Static);

// The declared types of the columns of the rows decoded last.
rt::RowLookups g_column_types;

// The two hooks of one row: whether each is still the module's own
// function is asked once, and again only after Python code may have run.
struct RowHooks {
    rt::DefaultWhileQuiet reverse_map, process_field;
    explicit RowHooks(PyObject* self) noexcept : reverse_map(h_field_reverse_map, self), process_field(h_process_field, self) {}
    void code_may_have_run() noexcept {
        reverse_map.code_may_have_run();
        process_field.code_may_have_run();
    }
};

// self._field_reverse_map(table_name, name, class_version).  `own` is set
// when this module's identity mapping answered, so that no other code ran.
rt::Ref reverse_map(RowHooks& hooks, PyObject* self, PyObject* table_name, PyObject* name, PyObject* class_version,
                    bool& own) {
    own = false;
    if (PyUnicode_CheckExact(name) && hooks.reverse_map.still_default()) {
        own = true;
        return rt::borrow(name);
    }
    hooks.code_may_have_run();
    rt::FoundHook hook;
    if (!h_field_reverse_map.find(self, hook)) return rt::Ref();
    if (hook.is_default() && PyUnicode_CheckExact(name)) {
        own = Py_TYPE(self)->tp_getattro == PyObject_GenericGetAttr;
        return rt::borrow(name);
    }
    // The default given a name that is not a str raises the binding's TypeError.
    return hook.call({table_name, name, class_version});
}

// self._process_field(field_type, value)
rt::Ref process_field(RowHooks& hooks, PyObject* self, PyObject* field_type, PyObject* value) {
    if (!PyUnicode_CheckExact(field_type) || !hooks.process_field.still_default()) {
        hooks.code_may_have_run();
        rt::FoundHook hook;
        if (!h_process_field.find(self, hook)) return rt::Ref();
        if (!hook.is_default() || !PyUnicode_CheckExact(field_type)) return hook.call({field_type, value});
    }
    bool ran_code = false;
    rt::Ref decoded = decode_field(field_type, value, ran_code);
    if (ran_code) hooks.code_may_have_run();
    return decoded;
}

// A row being decoded into a record.
struct RowDecoding {
    PyObject* self;
    PyObject* table_name;
    PyObject* result;       // the fetched row: column name -> value
    PyObject* description;  // the table's declared types: column name -> type
    // Reads of the fetched row made again after the columns are decoded are
    // answered from what was seen before, while the row is unchanged since
    // and its keys are all exactly str (lookups in it then run no code).
    rt::UnchangedSince result_unchanged;
    rt::Ref primary = rt::Ref(), secondary = rt::Ref();  // PRIMARY_PARTITION_KEY, SECONDARY_PARTITION_KEY
    bool keys_text = false;                              // both are exactly str
    rt::Ref record = rt::Ref();
    rt::Ref record_metadata = rt::Ref();  // the record's "_metadata" entry, while known without a lookup
    bool record_keys_text = true;  // every key of the record is exactly a str
    bool may_drop = false;         // the record may hold keys that are dropped
    bool result_text = false;                   // known after the walk over the columns
    rt::Ref joined = rt::Ref();                 // the row's "_metadata", as first looked up
    rt::Ref primary_value = rt::Ref(), secondary_value = rt::Ref();  // the partition keys' entries, as walked
    bool reads_hold() const { return result_text && keys_text && result_unchanged.holds(); }
};

// The class version the field names are mapped for: the one recorded in the
// row's joined metadata, else Versions.LATEST (which is read either way).
rt::Ref row_class_version(RowDecoding& row) {
    rt::Ref latest = common::versions_latest();
    if (!latest) return rt::Ref();
    if (!dict_get(row.result, n_metadata, row.joined)) return rt::Ref();
    return row.joined ? recorded_class_version(row.joined.get()) : latest;
}

// The table's own columns, under their field names, each decoded by its type.
// While every key is exactly a str, the "_metadata" entry is noted here
// instead of being looked up again.
bool decode_columns(RowDecoding& row, PyObject* class_version) {
    row.record = rt::presized_dict(std::min<Py_ssize_t>(PyDict_GET_SIZE(row.result), 32) + 2);
    if (!row.record) return false;
    RowHooks hooks(row.self);
    rt::RowLookups::Row types(g_column_types, row.description);
    rt::DictItems items(row.result);
    rt::Ref name, value, field_type;
    bool all_text = true;
    while (items.next(name, value)) {
        const bool text = row.keys_text && PyUnicode_CheckExact(name.get());
        // Comparing keys that are not exactly str may run code.
        if (!text) {
            all_text = false;
            hooks.code_may_have_run();
        }
        if (text) {
            // Comparing str objects runs no code: test the partition keys first.
            const bool is_primary = same_text(name.get(), row.primary.get());
            const bool is_secondary = same_text(name.get(), row.secondary.get());
            if (is_primary) row.primary_value = value;
            if (is_secondary) row.secondary_value = value;
            if (is_primary || is_secondary) continue;
            PyObject* found = nullptr;
            bool quiet = false;
            if (!types.get(name.get(), &found, &quiet)) return false;
            // A lookup in a dict with keys that are not str may run code.
            if (!quiet) hooks.code_may_have_run();
            field_type = rt::borrow(found);
            if (!field_type) continue;
        } else {
            if (!dict_get(row.description, name.get(), field_type)) return false;
            if (!field_type) continue;
            int keep = not_equal(name.get(), row.primary.get());
            if (keep > 0) keep = not_equal(name.get(), row.secondary.get());
            if (keep < 0) return false;
            if (!keep) continue;
        }
        bool own = false;
        rt::Ref key = reverse_map(hooks, row.self, row.table_name, name.get(), class_version, own);
        if (!key) return false;
        if (!text || !own) {
            // Other code ran since the test: read the type again.
            if (!dict_get(row.description, name.get(), field_type)) return false;
            if (!field_type) {
                rt::Ref args = rt::steal(PyTuple_Pack(1, name.get()));
                if (args) PyErr_SetObject(PyExc_KeyError, args.get());
                return false;
            }
        }
        rt::Ref decoded = process_field(hooks, row.self, field_type.get(), value.get());
        if (!decoded) return false;
        if (PyDict_SetItem(row.record.get(), key.get(), decoded.get()) < 0) return false;
        if (PyUnicode_CheckExact(key.get())) {
            if (is_metadata_key(key.get())) row.record_metadata = decoded;
            if (!row.may_drop) row.may_drop = is_dropped_key(key.get()) != 0;
        } else {
            row.record_keys_text = false;
            row.may_drop = true;
        }
    }
    if (PyErr_Occurred()) return false;
    types.finish();
    row.result_text = all_text;
    return true;
}

// The record without the keys that are dropped (33 characters starting with "f").
bool drop_keys(RowDecoding& row) {
    if (!row.may_drop) return true;
    rt::Ref kept = rt::steal(PyDict_New());
    if (!kept) return false;
    rt::DictItems items(row.record.get());
    rt::Ref key, value;
    while (items.next(key, value)) {
        const int drop = is_dropped_key(key.get());
        if (drop < 0) return false;
        if (!drop && PyDict_SetItem(kept.get(), key.get(), value.get()) < 0) return false;
    }
    if (PyErr_Occurred()) return false;
    row.record = kept;
    return true;
}

// The record's "_metadata" entry, looked up again unless every key is a str.
bool find_record_metadata(RowDecoding& row) {
    return row.record_keys_text || dict_get(row.record.get(), n_metadata, row.record_metadata);
}

// Metadata stored in a column of the table is decoded if it is still text;
// otherwise metadata joined from the metadata table becomes the record's, with
// its reference lists decoded.
bool decode_metadata(RowDecoding& row) {
    if (!find_record_metadata(row)) return false;
    const bool own_metadata = bool(row.record_metadata);
    if (own_metadata && PyUnicode_Check(row.record_metadata.get())) {
        row.record_metadata = common::json_loads(row.record_metadata.get());
        if (!row.record_metadata || PyDict_SetItem(row.record.get(), n_metadata, row.record_metadata.get()) < 0)
            return false;
    }
    rt::Ref joined = row.joined;
    if (!row.reads_hold() && !dict_get(row.result, n_metadata, joined)) return false;
    if (!joined || own_metadata) return true;
    row.record_metadata = PyUnicode_Check(joined.get()) ? common::json_loads(joined.get()) : joined;
    if (!row.record_metadata || PyDict_SetItem(row.record.get(), n_metadata, row.record_metadata.get()) < 0)
        return false;
    return normalise_references(row.record_metadata.get(), n_reference_to) &&
           normalise_references(row.record_metadata.get(), n_referenced_by);
}

// The object's address under "_object_id" and "_object_version": the
// partition keys of the row, the version falling back to the one recorded in
// the metadata.
bool add_address(RowDecoding& row) {
    const bool reads_hold = row.reads_hold();
    rt::Ref found = row.primary_value;
    if (!reads_hold && !dict_get(row.result, row.primary.get(), found)) return false;
    if (found && PyDict_SetItem(row.record.get(), n_object_id_key, found.get()) < 0) return false;
    found = row.secondary_value;
    if (!(reads_hold && row.reads_hold()) && !dict_get(row.result, row.secondary.get(), found)) return false;
    if (found) return PyDict_SetItem(row.record.get(), n_object_version_key, found.get()) == 0;
    if (!find_record_metadata(row)) return false;
    if (!row.record_metadata) return true;
    int use = rt::truth(row.record_metadata.get());
    if (use > 0) use = PySequence_Contains(row.record_metadata.get(), n_address);
    if (use <= 0) return use == 0;
    rt::Ref address = rt::steal(PyObject_GetItem(row.record_metadata.get(), n_address));
    if (!address) return false;
    rt::Ref version = rt::steal(PyObject_GetItem(address.get(), n_object_version));
    return version && PyDict_SetItem(row.record.get(), n_object_version_key, version.get()) == 0;
}

struct ProcessResultArgs : rt::Args {
    using Args::Args;
    PyObject* self() const { return a[0]; }
    PyObject* table_name() const { return a[1]; }
    PyObject* result() const { return a[2]; }
    PyObject* description() const { return a[3]; }
};

PyObject* process_result_body(PyObject* const* a) {
    const ProcessResultArgs p(a);
    RowDecoding row{p.self(), p.table_name(), p.result(), p.description(), rt::UnchangedSince(p.result())};
    rt::Ref class_version = row_class_version(row);
    if (!class_version) return nullptr;
    row.primary = rt::global(n_PRIMARY_PARTITION_KEY);
    if (!row.primary) return nullptr;
    row.secondary = rt::global(n_SECONDARY_PARTITION_KEY);
    if (!row.secondary) return nullptr;
    row.keys_text = PyUnicode_CheckExact(row.primary.get()) && PyUnicode_CheckExact(row.secondary.get());
    if (!decode_columns(row, class_version.get()) || !drop_keys(row) || !decode_metadata(row) || !add_address(row))
        return nullptr;
    return row.record.release();
}

}  // namespace

namespace methods {
using namespace params;
const rt::FuncDef describe_table{
    "_describe_table", "SqliteStatementsMixin._describe_table", describe_table_body, {self(), table_name()},
    "dict[str, str]", "Return the declared column types of a table, read once per connection and table."};
const rt::FuncDef process_result{
    "_process_result", "SqliteStatementsMixin._process_result", process_result_body,
    {self(), table_name(), Param{"result", "dict[str, Any]", Check::Dict},
     Param{"table_description", "dict[str, str]", Check::Dict}},
    "dict[str, Any]", "Decode one fetched row into a record."};
const rt::FuncDef process_field{
    "_process_field", "SqliteStatementsMixin._process_field", process_field_body,
    {Param{"field_type", "str", Check::Str}, Param{"value", "Any"}}, "Any",
    "Decode one column value by its declared type."};
}  // namespace methods
