// The method table of SqliteStatementsMixin and the load-time builders that
// the module body calls.  Each definition lives in the file of its subsystem.
#pragma once
#include "runtime/function.hpp"
#include "runtime/names.hpp"

namespace methods {
// frame (module.cpp)
extern const rt::FuncDef fields_map;
extern const rt::FuncDef field_reverse_map;
// writes.cpp
extern const rt::FuncDef build_insert_statement;
extern const rt::FuncDef build_bulk_insert_statement;
extern const rt::FuncDef build_delete_statement;
extern const rt::FuncDef build_bulk_delete_statement;
// reads.cpp
extern const rt::FuncDef build_select_statement;
extern const rt::FuncDef select_statement;
extern const rt::FuncDef select_with_internal_meta_statement;
extern const rt::FuncDef build_count_statement;
extern const rt::FuncDef build_order_by_statement;
// conditions.cpp
extern const rt::FuncDef get_conditions_statement;
extern const rt::FuncDef get_filter_statement;
extern const rt::FuncDef nested_filter_statement;
// paths.cpp
extern const rt::FuncDef resolve_nested_field_name;
// values.cpp
extern const rt::FuncDef convert_date_to_sql_value;
extern const rt::FuncDef to_sql_value;
// results.cpp
extern const rt::FuncDef describe_table;
extern const rt::FuncDef process_result;
extern const rt::FuncDef process_field;
}  // namespace methods

namespace operators {
// SqlOperatorTemplate's two methods (operators.cpp).
extern const rt::FuncDef build_statement;
extern const rt::FuncDef build_value;
// The SqlOperatorTemplate model class.
rt::Ref make_template_class();
// The 14-entry operator table, built from the module's Lookup and SqlOperatorTemplate.
rt::Ref make_operator_map();
}  // namespace operators

// Shorthands for parameter tables.
namespace params {
using rt::Check;
using rt::Default;
using rt::Param;
inline Param self() { return Param{"self", nullptr}; }
inline Param cls() { return Param{"cls", nullptr}; }
inline Param table_name() { return Param{"table_name", "str", Check::Str}; }
inline Param flag(const char* name) { return Param{name, "bool", Check::Any, Default::False, true}; }
}  // namespace params

