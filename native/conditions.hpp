// Condition trees (conditions.cpp), as the selects ask for their WHERE text.
#pragma once
#include "runtime/ref.hpp"

namespace conditions {
// text, params = self._get_conditions_statement(table_name, conditions,
//     is_internal_table=..., use_internal_meta_tables=...)
// into parts[0] and parts[1].  While the lookup would find this module's own
// method, its work is done without the call and without a pair to take
// apart.  False with an exception set.
bool tree_parts(PyObject* self, PyObject* table_name, PyObject* conditions, PyObject* is_internal_table,
                PyObject* use_internal_meta_tables, rt::Ref* parts);
}  // namespace conditions
