#include "known.hpp"

#include "compat.hpp"
#include "fast.hpp"

namespace rt {

namespace {

Name n_fget("fget");
Name n_bool_slot("__bool__");

// The code object named `name` among the constants of `code`, searched depth
// first (a class body holds its methods' code); borrowed from `code`.
PyObject* find_code(PyObject* code, const char* name) {
    Ref consts = steal(PyObject_GetAttrString(code, "co_consts"));
    if (!consts || !PyTuple_Check(consts.get())) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); ++i) {
        PyObject* c = PyTuple_GET_ITEM(consts.get(), i);
        if (!PyCode_Check(c)) continue;
        Ref co_name = steal(PyObject_GetAttrString(c, "co_name"));
        if (co_name && PyUnicode_Check(co_name.get()) && PyUnicode_CompareWithASCIIString(co_name.get(), name) == 0)
            return c;
        if (PyObject* inner = find_code(c, name)) return inner;
    }
    return nullptr;
}

// a.<attr> == b.<attr>; false on any error (cleared).
bool same_attr(PyObject* a, PyObject* b, const char* attr) {
    Ref x = steal(PyObject_GetAttrString(a, attr));
    Ref y = steal(PyObject_GetAttrString(b, attr));
    if (!x || !y) return false;
    return PyObject_RichCompareBool(x.get(), y.get(), Py_EQ) == 1;
}

// The constants of two codes: the same number, each of the same type and equal
// (True and 1 are equal but do not load the same); no code objects.
bool same_consts(PyObject* a, PyObject* b) {
    Ref x = steal(PyObject_GetAttrString(a, "co_consts"));
    Ref y = steal(PyObject_GetAttrString(b, "co_consts"));
    if (!x || !y || !PyTuple_CheckExact(x.get()) || !PyTuple_CheckExact(y.get())) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(x.get());
    if (PyTuple_GET_SIZE(y.get()) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* p = PyTuple_GET_ITEM(x.get(), i);
        PyObject* q = PyTuple_GET_ITEM(y.get(), i);
        if (Py_TYPE(p) != Py_TYPE(q) || PyCode_Check(p)) return false;
        if (p != q && PyObject_RichCompareBool(p, q, Py_EQ) != 1) return false;
    }
    return true;
}

// The flags that say how a code runs (the __future__ flags of its module apart).
bool same_run_flags(PyObject* a, PyObject* b) {
    Ref x = steal(PyObject_GetAttrString(a, "co_flags"));
    Ref y = steal(PyObject_GetAttrString(b, "co_flags"));
    if (!x || !y) return false;
    const long fx = PyLong_AsLong(x.get()), fy = PyLong_AsLong(y.get());
    return fx != -1 && fy != -1 && (fx & 0xFFFF) == (fy & 0xFFFF);
}

bool same_code(PyObject* a, PyObject* b) {
    static const char* const attrs[] = {
        "co_code", "co_names", "co_varnames", "co_freevars", "co_cellvars", "co_argcount",
        "co_posonlyargcount", "co_kwonlyargcount", "co_nlocals", "co_stacksize",
#if PY_VERSION_HEX >= 0x030B0000
        "co_exceptiontable",
#endif
    };
    for (const char* attr : attrs)
        if (!same_attr(a, b, attr)) return false;
    return same_consts(a, b) && same_run_flags(a, b);
}

// The truth slot a class with a __bool__ defined in Python gets, taken from a
// probe class made once.
inquiry python_bool_slot() {
    static inquiry slot = nullptr;
    static bool tried = false;
    if (tried) return slot;
    tried = true;
    PyObject* dict = PyDict_New();
    PyObject* len = dict ? PyDict_GetItemString(builtins(), "len") : nullptr;
    if (len && PyDict_SetItemString(dict, "__bool__", len) == 0) {
        PyObject* probe = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "probe", dict);
        PyTypeObject* t = probe ? reinterpret_cast<PyTypeObject*>(probe) : nullptr;
        if (t && t->tp_as_number) slot = t->tp_as_number->nb_bool;
        Py_XDECREF(probe);
    }
    Py_XDECREF(dict);
    if (PyErr_Occurred()) PyErr_Clear();
    return slot;
}

}  // namespace

bool KnownCode::compile() {
    Ref module = steal(Py_CompileString(source_, "<known>", Py_file_input));
    PyObject* code = module ? find_code(module.get(), name_) : nullptr;
    if (!code) {
        PyErr_Clear();
        failed_ = true;
        return false;
    }
    reference_.set(code);
    return true;
}

bool KnownCode::is(PyObject* func) {
    if (!Py_IS_TYPE(func, &PyFunction_Type) || PyFunction_GET_CLOSURE(func)) return false;
    PyObject* code = PyFunction_GET_CODE(func);
    if (code == seen_.get()) return true;
    if (failed_ || (!reference_.get() && !compile())) return false;
    const bool same = same_code(code, reference_.get());
    if (PyErr_Occurred()) PyErr_Clear();
    // Held, so that its address is never another code's.
    if (same) seen_.set(code);
    return same;
}

Ref property_getter(PyObject* obj, const Name& name) {
    PyTypeObject* t = Py_TYPE(obj);
    if (!reads_generically_first(t)) return Ref();
    // A property is a data descriptor: the generic read calls it before it
    // looks at the instance dict.
    PyObject* descr = compat::type_lookup(t, name);
    if (!descr || !Py_IS_TYPE(descr, &PyProperty_Type)) return Ref();
    // A member of the builtin property type: the read runs no code.
    Ref getter = steal(PyObject_GetAttr(descr, n_fget));
    if (!getter) {
        PyErr_Clear();
        return Ref();
    }
    if (!Py_IS_TYPE(getter.get(), &PyFunction_Type)) return Ref();
    return getter;
}

PyObject* bool_method(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    const inquiry slot = python_bool_slot();
    if (!slot || !t->tp_as_number || t->tp_as_number->nb_bool != slot) return nullptr;
    PyObject* method = compat::type_lookup(t, n_bool_slot);
    return method && Py_IS_TYPE(method, &PyFunction_Type) ? method : nullptr;
}

bool frame_unseen() { return compat::python_frame_unseen(); }

bool FunctionGlobal::lookup(PyObject* d, Seen& seen, PyObject** value) {
    if (d && d == seen.dict && compat::dict_unchanged(d, seen.version)) {
        *value = seen.value;
        return true;
    }
    seen.dict = nullptr;
    // With only str keys, the lookup compares no objects of other types: no code runs.
    if (!d || !PyDict_CheckExact(d) || !str_keys_only(d)) return false;
    const uint64_t version = compat::dict_version(d);
    PyObject* v = PyDict_GetItemWithError(d, name_);
    if (!v && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (version) seen = Seen{d, version, v};
    *value = v;
    return true;
}

PyObject* FunctionGlobal::peek(PyObject* func) {
    if (!PyFunction_Check(func)) return nullptr;
    PyObject* value = nullptr;
    if (!lookup(PyFunction_GET_GLOBALS(func), globals_, &value)) return nullptr;
    if (value) return value;
    if (!lookup(compat::function_builtins(func), builtins_, &value)) return nullptr;
    return value;
}

}  // namespace rt
