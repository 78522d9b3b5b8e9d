// The one place where the runtime uses interfaces of the interpreter that are
// not public or not stable, each with its form on every supported version
// (CPython 3.10 to 3.13).  native/README.md lists them and says why each is
// needed.  Code outside this header uses public interfaces only.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rt {
namespace compat {

// getattr(o, name) that reports a missing attribute without raising:
// 1 with *out set, 0 when missing (no exception), -1 on error.
inline int lookup_attr(PyObject* o, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(o, name, out);
#else
    return _PyObject_LookupAttr(o, name, out);
#endif
}

// The method lookup of obj.name(...): 1 with *out the unbound function (call
// it with obj first), 0 with *out the attribute to call as it is, and *out
// NULL with an exception set on error.
inline int get_method(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = PyObject_GetAttr(obj, name);
    *out = found;
    if (found && PyMethod_Check(found) && PyMethod_GET_SELF(found) == obj) {
        *out = Py_NewRef(PyMethod_GET_FUNCTION(found));
        Py_DECREF(found);
        return 1;
    }
    return 0;
#else
    return _PyObject_GetMethod(obj, name, out);
#endif
}

}  // namespace compat
}  // namespace rt
