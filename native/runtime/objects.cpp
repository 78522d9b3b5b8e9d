#include "objects.hpp"

#include "calls.hpp"
#include "compat.hpp"

namespace rt {

namespace {
Name n_split("split");
}

bool expect_exact(PyObject* o, PyTypeObject* type, const char* type_text) {
    if (Py_IS_TYPE(o, type) || o == Py_None) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type_text, Py_TYPE(o)->tp_name);
    return false;
}

bool expect_concat_str(PyObject* piece) {
    if (PyUnicode_Check(piece)) return true;
    PyErr_Format(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", Py_TYPE(piece)->tp_name);
    return false;
}

static void too_many(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

static void need_more(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

bool unpack(PyObject* o, Ref* out, Py_ssize_t n) {
    if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
        Py_ssize_t size = Py_SIZE(o);
        if (size != n) {
            if (size > n) too_many(n); else need_more(size);
            return false;
        }
        PyObject** items = PyTuple_CheckExact(o) ? &PyTuple_GET_ITEM(o, 0) : &PyList_GET_ITEM(o, 0);
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = borrow(items[i]);
        return true;
    }
    if (o == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
        return false;
    }
    Ref it = steal(PyObject_GetIter(o));
    if (!it) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[i] = steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) need_more(i);
            return false;
        }
    }
    Ref extra = steal(PyIter_Next(it.get()));
    if (extra) { too_many(n); return false; }
    return !PyErr_Occurred();
}

bool split_once(PyObject* o, PyObject* sep, Ref* parts) {
    Ref split;
    if (PyUnicode_CheckExact(o)) {
        split = steal(PyUnicode_Split(o, sep, 1));
    } else {
        Ref one = steal(PyLong_FromLong(1));
        if (!one) return false;
        split = call_method(o, n_split, {sep, one.get()});
    }
    return split && unpack(split.get(), parts, 2);
}

void raise_none_attr(const char* attr_name) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attr_name);
}

bool set_item(PyObject* dict, const char* key, Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

Ref pair(Ref a, Ref b) {
    if (!a || !b) return Ref();
    PyObject* t = PyTuple_New(2);
    if (!t) return Ref();
    PyTuple_SET_ITEM(t, 0, a.release());
    PyTuple_SET_ITEM(t, 1, b.release());
    return steal(t);
}

Ref presized_dict(Py_ssize_t n) { return steal(compat::new_presized_dict(n)); }

bool resize_tuple(Ref& t, Py_ssize_t size) {
    PyObject* raw = t.release();
    if (compat::resize_tuple(&raw, size) < 0) return false;  // raw is released on failure
    t = steal(raw);
    return true;
}

}  // namespace rt
