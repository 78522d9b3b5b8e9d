// Nested-field resolution, the nested filter, single filters and condition trees.
#include "common.hpp"
#include "methods.hpp"

namespace {

PyObject* get_conditions_statement_body(PyObject* const*) { return not_implemented("_get_conditions_statement"); }
PyObject* get_filter_statement_body(PyObject* const*) { return not_implemented("_get_filter_statement"); }
PyObject* nested_filter_statement_body(PyObject* const*) { return not_implemented("_nested_filter_statement"); }
PyObject* resolve_nested_field_name_body(PyObject* const*) {
    return not_implemented("_resolve_nested_field_name");
}

}  // namespace

namespace methods {
using namespace params;
namespace {
Param text(const char* name) { return Param{name, "str", Check::Str}; }
}  // namespace

const rt::FuncDef get_conditions_statement{
    "_get_conditions_statement", "SqliteStatementsMixin._get_conditions_statement", get_conditions_statement_body,
    {self(), table_name(), Param{"conditions", "Q"}, flag("is_internal_table"), flag("use_internal_meta_tables"),
     flag("is_grouped")},
    "tuple[str, list[Any]]", "Build the WHERE text and parameters of a condition tree."};
const rt::FuncDef get_filter_statement{
    "_get_filter_statement", "SqliteStatementsMixin._get_filter_statement", get_filter_statement_body,
    {self(), table_name(), Param{"filter_item", "Filter"}, flag("is_internal_table"),
     flag("use_internal_meta_tables")},
    "tuple[str, Any]", "Build the condition text and value to bind of one filter."};
const rt::FuncDef nested_filter_statement{
    "_nested_filter_statement", "SqliteStatementsMixin._nested_filter_statement", nested_filter_statement_body,
    {self(), table_name(), text("field_name"), text("nested_fields"),
     Param{"sql_operator_template", "SqlOperatorTemplate"}, Param{"value", "Any"}, Param{"value_type", "Any"},
     flag("is_internal_table"), flag("use_internal_meta_tables")},
    "tuple[str, Any]", "Build the condition of a filter on a nested field path."};
const rt::FuncDef resolve_nested_field_name{
    "_resolve_nested_field_name", "SqliteStatementsMixin._resolve_nested_field_name",
    resolve_nested_field_name_body,
    {self(), table_name(), text("field_name"), text("nested_fields"),
     Param{"value_type", "Any", Check::Any, Default::StrType, true}, flag("is_internal_table"),
     flag("use_internal_meta_tables")},
    "str", "Resolve a nested field path to an SQL expression."};
}  // namespace methods
