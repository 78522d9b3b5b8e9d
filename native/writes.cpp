// INSERT and DELETE statements.
#include "common.hpp"
#include "methods.hpp"

namespace {

PyObject* build_insert_statement_body(PyObject* const*) { return not_implemented("_build_insert_statement"); }
PyObject* build_bulk_insert_statement_body(PyObject* const*) {
    return not_implemented("_build_bulk_insert_statement");
}
PyObject* build_delete_statement_body(PyObject* const*) { return not_implemented("_build_delete_statement"); }
PyObject* build_bulk_delete_statement_body(PyObject* const*) {
    return not_implemented("_build_bulk_delete_statement");
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
