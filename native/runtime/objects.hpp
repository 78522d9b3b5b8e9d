// Small operations on objects that generated-code conventions fix: exact
// result types, unpacking, truth, pairs, with the messages of the
// compiled-extension convention.
#pragma once
#include "ref.hpp"

namespace rt {

// "Expected %s, got %.200s": a delegated result must have exactly this type (None passes).
bool expect_exact(PyObject* o, PyTypeObject* type, const char* type_text);
inline bool expect_str(PyObject* o) { return expect_exact(o, &PyUnicode_Type, "unicode"); }
inline bool expect_tuple(PyObject* o) { return expect_exact(o, &PyTuple_Type, "tuple"); }
inline bool expect_list(PyObject* o) { return expect_exact(o, &PyList_Type, "list"); }
// A piece added to str text must be a str: "can only concatenate str (not ...) to str".
bool expect_concat_str(PyObject* piece);

// Unpacks an iterable into exactly n owned items, with the messages of the
// compiled-extension convention.
bool unpack(PyObject* o, Ref* out, Py_ssize_t n);

// `head, rest = o.split(sep, 1)` into parts[0] and parts[1]; an exact str is
// split without the method call.
bool split_once(PyObject* o, PyObject* sep, Ref* parts);

// "'NoneType' object has no attribute ..." and friends are raised by
// attribute lookup itself; this one is for methods called on a known type.
void raise_none_attr(const char* attr_name);

// Python truth value: 1, 0, or -1 with an exception set.
inline int truth(PyObject* o) { return PyObject_IsTrue(o); }

// dict[key] = value for a value just made; false with an exception set when
// making it failed (empty value) or the store did.
bool set_item(PyObject* dict, const char* key, Ref value);

// An empty dict with room for n items without growing.
Ref presized_dict(Py_ssize_t n);

// Resizes a tuple made here that nothing else refers to yet.  False with an
// exception set, and t empty, on failure.
bool resize_tuple(Ref& t, Py_ssize_t size);

// The tuple (a, b) from owned parts; empty when either is.
Ref pair(Ref a, Ref b);

}  // namespace rt
