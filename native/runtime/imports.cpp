#include "imports.hpp"

#include "calls.hpp"
#include "compat.hpp"
#include "names.hpp"

namespace rt {

Name n_spec("__spec__");
Name n_initializing("_initializing");
Name n_path("__path__");
Name n_getattr("__getattr__");

void raise_cannot_import(PyObject* module, PyObject* name, PyObject* mod) {
    Ref path = steal(PyModule_GetFilenameObject(mod));
    if (!path) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (unknown location)", name, module);
    } else {
        PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (%S)", name, module, path.get());
    }
}

bool spec_settled(PyObject* spec) {
    PyObject* initializing = nullptr;
    const int found = compat::lookup_attr(spec, n_initializing, &initializing);
    Py_XDECREF(initializing);  // compared by identity only
    if (found < 0 || (found > 0 && initializing != Py_False)) {
        PyErr_Clear();
        return false;
    }
    return true;
}

namespace {
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
    // Still initialising, or an odd spec: the full import decides.
    if (!spec_settled(spec.get())) return Ref();
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
    PyObject* globals = module_dict();
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
    raise_cannot_import(module, name, mod.get());
    return Ref();
}

}  // namespace rt
