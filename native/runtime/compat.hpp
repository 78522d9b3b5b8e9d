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

// True when n nested Py_EnterRecursiveCall calls made now in this thread
// would all pass; false when that cannot be told.  Read from the thread
// state's counter, whose name and sense change with the version: 3.10 counts
// the depth up to the limit, 3.11 counts the calls left, 3.12 and 3.13 count
// the C calls left against a limit of their own.  3.14 and later check the
// stack itself: unknown here.
inline bool recursion_room(int n) {
#if PY_VERSION_HEX >= 0x030E0000
    (void)n;
    return false;
#elif PY_VERSION_HEX >= 0x030C0000
    return PyThreadState_Get()->c_recursion_remaining > n;
#elif PY_VERSION_HEX >= 0x030B0000
    return PyThreadState_Get()->recursion_remaining > n;
#else
    return PyThreadState_Get()->recursion_depth + n <= Py_GetRecursionLimit();
#endif
}

}  // namespace compat
}  // namespace rt
