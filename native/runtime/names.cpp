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

namespace {
constexpr size_t kMaxCallArgs = 12;
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    PyObject* stack[kMaxCallArgs + 1];
    size_t n = 0;
    for (PyObject* a : args) stack[1 + n++] = a;
    size_t npos = n - (kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0);
    return steal(PyObject_Vectorcall(callable, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_method(PyObject* self, const Name& name, std::initializer_list<PyObject*> args,
                PyObject* kwnames) {
    PyObject* stack[kMaxCallArgs + 1];
    size_t n = 0;
    stack[n++] = self;
    for (PyObject* a : args) stack[n++] = a;
    size_t npos = n - (kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* found = nullptr;
    switch (find_method(self, name, &found)) {
        case 1: {
            Ref method = steal(found);
            return steal(PyObject_Vectorcall(method.get(), stack, npos, kwnames));
        }
        case 0: {
            Ref method = steal(found);
            return steal(PyObject_Vectorcall(method.get(), stack + 1, (npos - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             kwnames));
        }
        case -2:
            return Ref();
        default:
            return steal(PyObject_VectorcallMethod(name, stack, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }
}

bool expect_exact(PyObject* o, PyTypeObject* type, const char* type_text) {
    if (Py_IS_TYPE(o, type) || o == Py_None) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type_text, Py_TYPE(o)->tp_name);
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

void raise_none_attr(const char* attr_name) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", attr_name);
}

Ref pair(Ref a, Ref b) {
    if (!a || !b) return Ref();
    PyObject* t = PyTuple_New(2);
    if (!t) return Ref();
    PyTuple_SET_ITEM(t, 0, a.release());
    PyTuple_SET_ITEM(t, 1, b.release());
    return steal(t);
}

}  // namespace rt

namespace rt {

namespace {
Name n_spec("__spec__");
Name n_initializing("_initializing");
Name n_path("__path__");
Name n_getattr("__getattr__");
Name n_import("__import__");
PyObject* g_interpreter_import = nullptr;  // builtins.__import__ when the module loaded

// The import statement's own result when the module is already loaded and
// nothing about it can make the full machinery act differently: a plain,
// initialised module in a plain sys.modules, no package (no __path__), no
// module __getattr__, and the name bound on the module.  In that state the
// full import only reads the module from sys.modules and then the attribute,
// at the cost of two attribute errors raised and cleared inside it.  Empty,
// with no exception set, whenever any of that does not hold.
Ref loaded_module_attr(const Name& module, const Name& name) {
    PyObject* modules = PyImport_GetModuleDict();
    if (!modules || !PyDict_CheckExact(modules)) return Ref();
    Ref mod = borrow(PyDict_GetItemWithError(modules, module));
    if (!mod || !PyModule_CheckExact(mod.get())) { PyErr_Clear(); return Ref(); }
    PyObject* dict = PyModule_GetDict(mod.get());  // borrowed, kept by mod
    if (PyDict_GetItemWithError(dict, n_path) || PyDict_GetItemWithError(dict, n_getattr)) {
        PyErr_Clear();
        return Ref();
    }
    if (PyErr_Occurred()) { PyErr_Clear(); return Ref(); }
    Ref spec = borrow(PyDict_GetItemWithError(dict, n_spec));
    if (!spec) { PyErr_Clear(); return Ref(); }
    PyObject* initializing = nullptr;
    const int found = compat::lookup_attr(spec.get(), n_initializing, &initializing);
    Py_XDECREF(initializing);  // only compared by identity below
    if (found < 0 || (found > 0 && initializing != Py_False)) {
        // Still initialising, or an odd spec: the full import decides.
        PyErr_Clear();
        return Ref();
    }
    // The attribute read that the import statement makes; a failure is left
    // to the full import, which gives the statement's own error.
    Ref value = steal(PyObject_GetAttr(mod.get(), name));
    if (!value) PyErr_Clear();
    return value;
}
}  // namespace

void remember_import_function() {
    if (g_interpreter_import) return;
    PyObject* bi = builtins();
    PyObject* f = bi ? PyDict_GetItemWithError(bi, n_import) : nullptr;
    if (f) g_interpreter_import = Py_NewRef(f);
    PyErr_Clear();
}

int import_function_is_interpreters() {
    PyObject* bi = builtins();
    PyObject* f = bi ? PyDict_GetItemWithError(bi, n_import) : nullptr;
    if (f) return f == g_interpreter_import;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    return -1;
}

Ref import_from(const Name& module, const Name& name) {
    // The import statement calls builtins.__import__; when that has been
    // replaced, so do we.
    const int own = import_function_is_interpreters();
    if (own < 0) return Ref();
    if (own) {
        if (Ref value = loaded_module_attr(module, name)) return value;
    }
    Ref fromlist = steal(PyTuple_Pack(1, name.get()));
    if (!fromlist) return Ref();
    PyObject* globals = g_module_dict;
    Ref mod;
    if (own) {
        mod = steal(PyImport_ImportModuleLevelObject(module, globals, nullptr, fromlist.get(), 0));
    } else {
        Ref f = borrow(PyDict_GetItemWithError(builtins(), n_import));
        Ref level = steal(PyLong_FromLong(0));
        if (!f || !level) return Ref();
        mod = call(f.get(), {module.get(), globals ? globals : Py_None, Py_None, fromlist.get(), level.get()});
    }
    if (!mod) return Ref();
    Ref value = steal(PyObject_GetAttr(mod.get(), name));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    // A submodule that is imported but not bound as an attribute.
    Ref full = steal(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
    if (!full) return Ref();
    PyObject* sub = PyImport_GetModule(full.get());  // new reference or NULL
    if (sub) return steal(sub);
    if (PyErr_Occurred()) return Ref();
    Ref path = steal(PyModule_GetFilenameObject(mod.get()));
    if (!path) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (unknown location)", name.get(),
                     module.get());
    } else {
        PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (%S)", name.get(), module.get(),
                     path.get());
    }
    return Ref();
}

}  // namespace rt
