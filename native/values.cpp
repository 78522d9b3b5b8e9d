// Conversion of data-model values to values SQLite can bind.
#include "common.hpp"
#include "methods.hpp"

namespace {

PyObject* convert_date_to_sql_value_body(PyObject* const* a) {
    (void)a;
    return not_implemented("_convert_date_to_sql_value");
}

PyObject* to_sql_value_body(PyObject* const* a) {
    (void)a;
    return not_implemented("_to_sql_value");
}

}  // namespace

namespace methods {
using namespace params;
const rt::FuncDef convert_date_to_sql_value{
    "_convert_date_to_sql_value", "SqliteStatementsMixin._convert_date_to_sql_value",
    convert_date_to_sql_value_body, {cls(), Param{"value", "date | datetime"}}, "int",
    "Convert a date or date-time to whole seconds since the epoch, UTC."};
const rt::FuncDef to_sql_value{
    "_to_sql_value", "SqliteStatementsMixin._to_sql_value", to_sql_value_body, {cls(), Param{"value", "Any"}},
    "Any", "Convert a data-model value to a value SQLite can bind."};
}  // namespace methods
