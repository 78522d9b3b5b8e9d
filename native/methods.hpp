// The method table of SqliteStatementsMixin and the load-time builders that
// the module body calls.  Each definition lives in the file of its subsystem.
#pragma once
#include "runtime/fast.hpp"
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
// The SqlOperatorTemplate model class (operators.cpp).
rt::Ref make_template_class();
// The 14-entry operator table, built from the module's Lookup and SqlOperatorTemplate.
rt::Ref make_operator_map();
}  // namespace operators

namespace values {
// self._to_sql_value, fetched once per statement and applied to each value
// (values.cpp).  When the attribute is this module's own class method bound
// to a class, the conversion runs directly with that class; anything else
// (an override, an instance attribute) is called as fetched.
//
// A plain value (exact str, int, float, bool, bytes, None) that the
// conversion gives back unchanged is tested for that once; further plain
// values pass through until a conversion or the caller may have run Python
// code.  A caller that runs code between conversions says so with touch().
class SqlValue {
public:
    bool fetch(PyObject* self);  // false with an exception set
    // Empty with an exception set.
    rt::Ref convert(PyObject* value) {
        if (settled_ && rt::plain_builtin(Py_TYPE(value))) return rt::borrow(value);
        return convert_tested(value);
    }
    void touch() { settled_ = false; }

private:
    rt::Ref convert_tested(PyObject* value);
    rt::Ref hook_;
    PyObject* cls_ = nullptr;  // borrowed from hook_ on the direct path
    bool settled_ = false;
};
}  // namespace values

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

