#include "errors.hpp"

namespace rt {

CaughtError::CaughtError() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    type_ = steal(type);
    value_ = steal(value);
    tb_ = steal(tb);
}

void CaughtError::chain_into_current() {
    PyObject *t2, *v2, *tb2;
    PyErr_Fetch(&t2, &v2, &tb2);
    PyErr_NormalizeException(&t2, &v2, &tb2);
    PyObject* value = value_.get();
    if (v2 && value && v2 != value) {
        // Walk the old exception's chain (with a slower walker, so that a
        // cycle already in it ends the walk) and unlink the new exception.
        PyObject* o = value;
        PyObject* slow = value;
        bool step_slow = false;
        for (;;) {
            PyObject* context = PyException_GetContext(o);  // new reference
            if (!context) break;
            Py_DECREF(context);  // still held by o
            if (context == v2) {
                PyException_SetContext(o, nullptr);
                break;
            }
            o = context;
            if (o == slow) break;
            if (step_slow) {
                PyObject* next = PyException_GetContext(slow);
                Py_XDECREF(next);
                slow = next;
            }
            step_slow = !step_slow;
        }
        PyException_SetContext(v2, value_.release());  // steals it
    }
    type_ = Ref();
    value_ = Ref();
    tb_ = Ref();
    PyErr_Restore(t2, v2, tb2);
}

bool is_catchable(PyObject* cls) {
    if (PyTuple_Check(cls)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i)
            if (!PyExceptionClass_Check(PyTuple_GET_ITEM(cls, i))) return false;
        return true;
    }
    return PyExceptionClass_Check(cls);
}

}  // namespace rt
