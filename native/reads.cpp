// ORDER BY, the plain select, the select joined with the metadata table, the
// select entry point and COUNT.
#include "common.hpp"
#include "methods.hpp"

namespace {

PyObject* build_select_statement_body(PyObject* const*) { return not_implemented("_build_select_statement"); }
PyObject* select_statement_body(PyObject* const*) { return not_implemented("_select_statement"); }
PyObject* select_with_internal_meta_statement_body(PyObject* const*) {
    return not_implemented("_select_with_internal_meta_statement");
}
PyObject* build_count_statement_body(PyObject* const*) { return not_implemented("_build_count_statement"); }
PyObject* build_order_by_statement_body(PyObject* const*) { return not_implemented("_build_order_by_statement"); }

}  // namespace

namespace methods {
using namespace params;
namespace {
Param opt(const char* name, const char* annotation) { return Param{name, annotation, Check::Any, Default::None}; }
Param select_only() { return Param{"select_only", "str", Check::Str}; }
const char* const kConditions = "Q | None";
const char* const kPagination = "NumberPaginator | CursorPaginator | None";
const char* const kOrderBy = "list[OrderBy] | None";
}  // namespace

const rt::FuncDef build_select_statement{
    "_build_select_statement", "SqliteStatementsMixin._build_select_statement", build_select_statement_body,
    {self(), table_name(), opt("query_specifier", "QuerySpecifier | None"), opt("conditions", kConditions),
     opt("pagination", kPagination), opt("order_by", kOrderBy), flag("use_internal_meta_tables")},
    "tuple[str, list[Any]]", "Build the SELECT statement for a query."};
const rt::FuncDef select_statement{
    "_select_statement", "SqliteStatementsMixin._select_statement", select_statement_body,
    {self(), table_name(), select_only(), opt("conditions", kConditions), opt("pagination", kPagination),
     opt("order_by", kOrderBy), flag("is_internal_table")},
    "tuple[str, list[Any]]", "Build a SELECT over one table."};
const rt::FuncDef select_with_internal_meta_statement{
    "_select_with_internal_meta_statement", "SqliteStatementsMixin._select_with_internal_meta_statement",
    select_with_internal_meta_statement_body,
    {self(), table_name(), select_only(), opt("conditions", kConditions), opt("pagination", kPagination),
     opt("order_by", kOrderBy)},
    "tuple[str, list[Any]]", "Build a SELECT over a model table joined with the metadata table."};
const rt::FuncDef build_count_statement{
    "_build_count_statement", "SqliteStatementsMixin._build_count_statement", build_count_statement_body,
    {self(), table_name(), opt("conditions", kConditions), flag("use_internal_meta_tables")},
    "tuple[str, list[Any]]", "Build the COUNT statement for a condition tree."};
const rt::FuncDef build_order_by_statement{
    "_build_order_by_statement", "SqliteStatementsMixin._build_order_by_statement", build_order_by_statement_body,
    {self(), table_name(), Param{"order_by", kOrderBy}, flag("is_internal_table"), flag("use_internal_meta_tables")},
    "str", "Build the ORDER BY clause of an ordering."};
}  // namespace methods
