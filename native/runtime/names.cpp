#include "names.hpp"

#include "compat.hpp"
#include "fast.hpp"

#include <cstring>

namespace rt {

namespace {
Name* g_names = nullptr;
KwNames* g_kwnames = nullptr;
PyObject* g_module_dict = nullptr;  // borrowed from the module object, which lives for the process
PyObject* g_builtins = nullptr;     // owned, for the life of the process
}  // namespace

Name::Name(const char* text) noexcept : text_(text), next_(g_names) { g_names = this; }

bool Name::intern_all() {
    for (Name* n = g_names; n; n = n->next_) {
        if (n->obj_) continue;
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (!n->obj_) return false;
    }
    return true;
}

KwNames::KwNames(std::initializer_list<const char*> names) noexcept : count_(0), next_(g_kwnames) {
    for (const char* n : names) names_[count_++] = n;
    g_kwnames = this;
}

bool KwNames::build_all() {
    for (KwNames* k = g_kwnames; k; k = k->next_) {
        if (k->tuple_) continue;
        PyObject* t = PyTuple_New(k->count_);
        if (!t) return false;
        for (Py_ssize_t i = 0; i < k->count_; ++i) {
            PyObject* s = PyUnicode_InternFromString(k->names_[i]);
            if (!s) { Py_DECREF(t); return false; }
            PyTuple_SET_ITEM(t, i, s);
        }
        k->tuple_ = t;
    }
    return true;
}

PyObject* module_dict() { return g_module_dict; }
void set_module_dict(PyObject* dict) {
    g_module_dict = dict;
    compat::start_dict_versions();
    if (!dict || g_builtins) return;
    // The importing machinery's own: a module's code runs with those.
    PyObject* b = PyEval_GetBuiltins();
    if (b && PyDict_Check(b)) g_builtins = Py_NewRef(b);
}

PyObject* builtins() {
    if (!g_builtins) {
        PyObject* mod = PyImport_ImportModule("builtins");
        if (mod) g_builtins = Py_NewRef(PyModule_GetDict(mod));
        Py_XDECREF(mod);
        PyErr_Clear();
    }
    return g_builtins;
}

PyObject* module_name() {
    static PyObject* name = nullptr;
    if (!name) name = PyUnicode_InternFromString(
        "quarna_data.connections.implementations.mixins.sqlite_statements_mixin");
    return name;
}

PyObject* cached_global(const Name& name) {
    PyObject* d = g_module_dict;
    if (d && d == name.global_dict_ && compat::dict_unchanged(d, name.global_version_))
        return name.global_value_;
    return nullptr;
}

Ref global(const Name& name) {
    if (PyObject* v = cached_global(name)) return borrow(v);
    if (PyObject* d = g_module_dict) {
        // With only str keys, the lookup runs no Python code: the version taken
        // after it vouches for what it found.
        PyObject* v = PyDict_GetItemWithError(d, name);
        if (v) {
            if (PyDict_CheckExact(d) && str_keys_only(d)) {
                name.global_dict_ = d;
                name.global_version_ = compat::dict_version(d);
                name.global_value_ = v;
            }
            return borrow(v);
        }
        if (PyErr_Occurred()) return Ref();
    }
    PyObject* bi = builtins();
    if (bi) {
        PyObject* v = PyDict_GetItemWithError(bi, name);
        if (v) return borrow(v);
        if (PyErr_Occurred()) return Ref();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    return Ref();
}

}  // namespace rt
