// INSERT and DELETE statements.
#include "common.hpp"
#include "methods.hpp"
#include "values.hpp"
#include "runtime/calls.hpp"
#include "runtime/fast.hpp"
#include "runtime/iter.hpp"
#include "runtime/objects.hpp"
#include "runtime/shape.hpp"

#include <string>
#include <vector>

using namespace names;

namespace {

rt::Name n_keys("keys");
rt::Name n_values("values");
rt::Name n_extend("extend");

// A name between backquotes, formatted as text (a backquote inside it doubled).
bool quoted_name(rt::Text& text, PyObject* name) {
    rt::Ref s = rt::format_text(name);
    return s && text.inside_quotes(s.get(), '`');
}

// A tuple filled in order.  Sized up front from the expected count; grows or
// shrinks only when Python code changed the container being read.
class TupleFill {
public:
    bool init(Py_ssize_t size) {
        tuple_ = rt::steal(PyTuple_New(size));
        size_ = size;
        return (bool)tuple_;
    }
    bool push(rt::Ref item) {
        if (!item) return false;
        if (used_ == size_ && !resize(size_ * 2 + 8)) return false;
        PyTuple_SET_ITEM(tuple_.get(), used_++, item.release());
        return true;
    }
    rt::Ref finish() {
        if (used_ != size_ && !resize(used_)) return rt::Ref();
        return std::move(tuple_);
    }

private:
    bool resize(Py_ssize_t size) {
        if (!rt::resize_tuple(tuple_, size)) return false;
        size_ = size;
        return true;
    }
    rt::Ref tuple_;
    Py_ssize_t size_ = 0;
    Py_ssize_t used_ = 0;
};

// self._to_sql_value applied to each value of a dict, in order.
rt::Ref converted_values(PyObject* self, PyObject* dict) {
    values::SqlValue conv;
    if (!conv.fetch(self)) return rt::Ref();
    TupleFill params;
    if (!params.init(PyDict_GET_SIZE(dict))) return rt::Ref();
    rt::DictItems items(dict);
    rt::Ref key, value;
    while (items.next(key, value))
        if (!params.push(conv.convert(value.get()))) return rt::Ref();
    if (PyErr_Occurred()) return rt::Ref();
    return params.finish();
}

// Appends "`column`" for each key, joined with ", ".  Returns the count, -1 on error.
Py_ssize_t insert_columns(rt::Text& text, PyObject* dict) {
    Py_ssize_t n = 0;
    rt::DictItems items(dict);
    rt::Ref key, value;
    while (items.next(key, value)) {
        if (n++) text.lit("`, `"); else text.lit("`");
        if (!quoted_name(text, key.get())) return -1;
    }
    if (PyErr_Occurred()) return -1;
    if (n) text.lit("`");
    return n;
}

PyObject* build_insert_statement_body(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* table = a[1];
    rt::Ref data = rt::borrow(a[2]);
    rt::Text text;
    text.lit("INSERT INTO `");
    if (!quoted_name(text, table)) return nullptr;
    text.lit("` (");
    const Py_ssize_t n = insert_columns(text, data.get());
    if (n < 0) return nullptr;
    text.lit(") VALUES (");
    common::placeholders(text, n);
    text.lit(")");
    rt::Ref sql = text.build();
    if (!sql) return nullptr;
    return rt::pair(std::move(sql), converted_values(self, data.get())).release();
}

// Calls take(key) for every key of a row, in order: a plain dict's own keys,
// anything else's row.keys().  False with an exception set on error.
template <class Take>
bool each_key(PyObject* row, Take take) {
    rt::Ref key, value;
    if (PyDict_CheckExact(row)) {
        rt::DictItems items(row);
        while (items.next(key, value))
            if (!take(key.get())) return false;
        return !PyErr_Occurred();
    }
    rt::Ref keys = rt::call_method(row, n_keys, {});
    if (!keys) return false;
    rt::Items items;
    if (!items.start(keys.get())) return false;
    while (items.next(key))
        if (!take(key.get())) return false;
    return !PyErr_Occurred();
}

// Adds every key of the row to the set.
bool add_row_keys(PyObject* columns, PyObject* row) {
    return each_key(row, [columns](PyObject* key) { return PySet_Add(columns, key) == 0; });
}

// row.get(column, None)
rt::Ref row_get(PyObject* row, PyObject* column) {
    if (PyDict_CheckExact(row)) {
        PyObject* v = PyDict_GetItemWithError(row, column);
        if (v) return rt::borrow(v);
        if (PyErr_Occurred()) return rt::Ref();
        return rt::none();
    }
    return rt::call_method(row, n_get, {column, Py_None});
}

// The rows as they are now (held here, not in a Python list): hooks run later
// may change the caller's list, and the row groups and the parameters must
// describe the same rows.
std::vector<rt::Ref> rows_now(PyObject* list) {
    std::vector<rt::Ref> rows;
    rows.reserve((size_t)PyList_GET_SIZE(list));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) rows.push_back(rt::borrow(PyList_GET_ITEM(list, i)));
    return rows;
}

// Every key of every row, once, as a list in a set's order; this list is
// private, so its items stay put.  A row with the first row's very key
// objects adds nothing to the set: `shape` learns them.
rt::Ref all_columns(const std::vector<rt::Ref>& rows, rt::RowShape& shape) {
    rt::Ref column_set = rt::steal(PySet_New(nullptr));
    if (!column_set) return rt::Ref();
    for (const rt::Ref& row : rows) {
        if (shape.same_keys(row.get())) continue;
        if (!add_row_keys(column_set.get(), row.get())) return rt::Ref();
        shape.learn(row.get());
    }
    return rt::steal(PySequence_List(column_set.get()));
}

// "INSERT INTO `table` (`a`, `b`) VALUES (?, ?), (?, ?), ..."
rt::Ref bulk_insert_text(PyObject* table, PyObject* columns, Py_ssize_t nrows) {
    const Py_ssize_t ncols = PyList_GET_SIZE(columns);
    std::string group = "(";
    common::append_placeholders(group, ncols, ", ");
    group += ")";
    rt::Text text;
    text.lit("INSERT INTO `");
    if (!quoted_name(text, table)) return rt::Ref();
    text.lit("` (");
    for (Py_ssize_t j = 0; j < ncols; ++j) {
        if (j) text.lit("`, `"); else text.lit("`");
        if (!quoted_name(text, PyList_GET_ITEM(columns, j))) return rt::Ref();
    }
    if (ncols) text.lit("`");
    text.lit(") VALUES ");
    // The row groups are all alike: the first is written, then ", " and a
    // group, then that pair copied for the other rows.
    if (nrows > 0) text.lit(group.data(), group.size());
    if (nrows > 1) {
        const Py_ssize_t pair_start = text.length();
        text.lit(", ");
        text.lit(group.data(), group.size());
        text.repeat_tail(pair_start, nrows - 2);
    }
    return text.build();
}

// self._to_sql_value(row.get(column, None)) for every row and column, in order.
rt::Ref bulk_insert_params(PyObject* self, const std::vector<rt::Ref>& rows, PyObject* columns,
                           rt::RowShape& shape) {
    const Py_ssize_t ncols = PyList_GET_SIZE(columns);
    values::SqlValue conv;
    if (!conv.fetch(self)) return rt::Ref();
    // Kept in locals: calls that may run Python code do not make the loop read them again.
    const size_t nrows = rows.size();
    const rt::Ref* const row_refs = rows.data();
    TupleFill params;
    if (!params.init((Py_ssize_t)nrows * ncols)) return rt::Ref();
    shape.map_columns(columns);
    for (size_t i = 0; i < nrows; ++i) {
        const rt::Ref& row = row_refs[i];
        if (shape.unchanged(i, row.get())) {
            for (Py_ssize_t j = 0; j < ncols; ++j) {
                // A conversion that ran Python code may have changed the row: read it again.
                rt::Ref value;
                if (shape.unchanged(i, row.get())) {
                    value = rt::borrow(shape.value((size_t)j));
                } else {
                    value = row_get(row.get(), PyList_GET_ITEM(columns, j));
                    conv.touch();  // the lookup may have compared keys with Python code
                }
                if (!value) return rt::Ref();
                if (!params.push(conv.convert(value.get()))) return rt::Ref();
            }
            continue;
        }
        for (Py_ssize_t j = 0; j < ncols; ++j) {
            PyObject* column = PyList_GET_ITEM(columns, j);
            rt::Ref value = row_get(row.get(), column);
            if (!value) return rt::Ref();
            // row.get of a dict subclass, or a lookup that meets a key whose hash or
            // comparison is Python code, may run code.
            conv.touch();
            if (!params.push(conv.convert(value.get()))) return rt::Ref();
        }
    }
    return params.finish();
}

PyObject* build_bulk_insert_statement_body(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* table = a[1];
    const std::vector<rt::Ref> rows = rows_now(a[2]);
    rt::RowShape shape((Py_ssize_t)rows.size());
    rt::Ref columns = all_columns(rows, shape);
    if (!columns) return nullptr;
    rt::Ref sql = bulk_insert_text(table, columns.get(), (Py_ssize_t)rows.size());
    if (!sql) return nullptr;
    return rt::pair(std::move(sql), bulk_insert_params(self, rows, columns.get(), shape)).release();
}

// "`column` = ?" for one field name, the name passed through self._fields_map.
bool equality_test(rt::Text& text, PyObject* self, PyObject* table, PyObject* field, bool first) {
    rt::Ref column = common::map_field(self, table, field);
    if (!column) return false;
    if (first) text.lit("`"); else text.lit(" AND `");
    if (!quoted_name(text, column.get())) return false;
    text.lit("` = ?");
    return true;
}

PyObject* build_delete_statement_body(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* table = a[1];
    rt::Ref data = rt::borrow(a[2]);
    rt::Text text;
    text.lit("DELETE FROM ");
    text.str(table);
    text.lit(" WHERE ");
    {
        bool first = true;
        rt::DictItems items(data.get());
        rt::Ref key, value;
        while (items.next(key, value)) {
            if (!equality_test(text, self, table, key.get(), first)) return nullptr;
            first = false;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    rt::Ref sql = text.build();
    if (!sql) return nullptr;
    return rt::pair(std::move(sql), converted_values(self, data.get())).release();
}

// One entry of the bulk delete: its tests into the text, its values into `values`.
bool delete_group(rt::Text& text, PyObject* values, PyObject* self, PyObject* table, PyObject* entry) {
    bool first = true;
    const bool tested = each_key(entry, [&](PyObject* key) {
        if (!equality_test(text, self, table, key, first)) return false;
        first = false;
        return true;
    });
    if (!tested) return false;
    if (PyDict_CheckExact(entry)) {
        rt::DictItems items(entry);
        rt::Ref key, value;
        while (items.next(key, value))
            if (PyList_Append(values, value.get()) < 0) return false;
        return !PyErr_Occurred();
    }
    rt::Ref entry_values = rt::call_method(entry, n_values, {});
    if (!entry_values) return false;
    return (bool)rt::call_method(values, n_extend, {entry_values.get()});
}

PyObject* build_bulk_delete_statement_body(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* table = a[1];
    rt::Ref data = rt::borrow(a[2]);
    rt::Ref values = rt::steal(PyList_New(0));
    if (!values) return nullptr;
    rt::Text text;
    text.lit("DELETE FROM ");
    text.str(table);
    text.lit(" WHERE ");
    {
        bool first = true;
        rt::ListItems entries(data.get());
        rt::Ref entry;
        while (entries.next(entry)) {
            if (first) text.lit("("); else text.lit(" OR (");
            first = false;
            if (!delete_group(text, values.get(), self, table, entry.get())) return nullptr;
            text.lit(")");
        }
    }
    rt::Ref sql = text.build();
    if (!sql) return nullptr;

    // Every name is mapped before the first value is converted.
    values::SqlValue conv;
    if (!conv.fetch(self)) return nullptr;
    // The collected list is private: nothing else can change it.
    const Py_ssize_t n = PyList_GET_SIZE(values.get());
    rt::Ref params = rt::steal(PyTuple_New(n));
    if (!params) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        rt::Ref converted = conv.convert(PyList_GET_ITEM(values.get(), i));
        if (!converted) return nullptr;
        PyTuple_SET_ITEM(params.get(), i, converted.release());
    }
    return rt::pair(std::move(sql), std::move(params)).release();
}

}  // namespace

namespace methods {
using namespace params;
const rt::FuncDef build_insert_statement{
    "_build_insert_statement", "SqliteStatementsMixin._build_insert_statement", build_insert_statement_body,
    {self(), table_name(), Param{"data", "dict[str, Any]", Check::Dict}}, "tuple[str, tuple[Any, ...]]",
    "Build the INSERT statement for one row."};
const rt::FuncDef build_bulk_insert_statement{
    "_build_bulk_insert_statement", "SqliteStatementsMixin._build_bulk_insert_statement",
    build_bulk_insert_statement_body, {self(), table_name(), Param{"data", "list[dict[str, Any]]", Check::List}},
    "tuple[str, tuple[Any, ...]]", "Build one INSERT statement for many rows."};
const rt::FuncDef build_delete_statement{
    "_build_delete_statement", "SqliteStatementsMixin._build_delete_statement", build_delete_statement_body,
    {self(), table_name(), Param{"data", "dict[str, Any]", Check::Dict}}, "tuple[str, tuple[Any, ...]]",
    "Build the DELETE statement for the rows matching one set of column values."};
const rt::FuncDef build_bulk_delete_statement{
    "_build_bulk_delete_statement", "SqliteStatementsMixin._build_bulk_delete_statement",
    build_bulk_delete_statement_body, {self(), table_name(), Param{"data", "list[dict[str, Any]]", Check::List}},
    "tuple[str, tuple[Any, ...]]", "Build the DELETE statement for the rows matching any of several sets."};
}  // namespace methods
