// Table description through the host connection, and decoding of fetched rows.
#include "common.hpp"
#include "methods.hpp"

namespace {

rt::Name n_execute("execute");
rt::Name n_fetchall("fetchall");
rt::Name n_quote("'");
rt::Name n_two_quotes("''");

// The table name sits inside a quoted literal: quotes in it are doubled so the
// name cannot end the literal early.
rt::Ref quote_literal_text(PyObject* text) {
    if (PyUnicode_FindChar(text, '\'', 0, PyUnicode_GET_LENGTH(text), 1) < 0) return rt::borrow(text);
    return rt::steal(PyUnicode_Replace(text, n_quote, n_two_quotes, -1));
}

PyObject* describe_table_body(PyObject* const* a) {
    PyObject* self = a[0];
    rt::Ref table = quote_literal_text(a[1]);
    if (!table) return nullptr;
    rt::Text text;
    text.lit("pragma table_info('");
    text.str(table.get());
    text.lit("');");
    rt::Ref statement = text.build();
    if (!statement) return nullptr;
    rt::Ref cursor = rt::call_method(self, n_execute, {statement.get()});
    if (!cursor) return nullptr;
    rt::Ref rows = rt::call_method(cursor.get(), n_fetchall, {});
    if (!rows) return nullptr;
    rt::Ref description = rt::steal(PyDict_New());
    rt::Ref it = rt::steal(PyObject_GetIter(rows.get()));
    if (!description || !it) return nullptr;
    while (rt::Ref row = rt::steal(PyIter_Next(it.get()))) {
        rt::Ref items[6];
        if (!rt::unpack(row.get(), items, 6)) return nullptr;
        if (PyDict_SetItem(description.get(), items[1].get(), items[2].get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return description.release();
}

PyObject* process_result_body(PyObject* const*) { return not_implemented("_process_result"); }
PyObject* process_field_body(PyObject* const*) { return not_implemented("_process_field"); }

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
