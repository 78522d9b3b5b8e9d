// Conversion of data-model values to values SQLite can bind, as the
// statement builders apply it (values.cpp).
#pragma once
#include "runtime/calls.hpp"
#include "runtime/fast.hpp"
#include "runtime/ref.hpp"

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
    rt::FoundHook hook_;
    PyObject* cls_ = nullptr;  // on the direct path: borrowed from hook_, or self's type
    bool settled_ = false;
};
}  // namespace values
