#include "fast.hpp"

#include "compat.hpp"

namespace rt {

namespace {

Name n_instancecheck("__instancecheck__");
Name n_getattr("__getattr__");
Name n_spec("__spec__");
Name n_initializing("_initializing");
Name n_path("__path__");

// type.__instancecheck__, the entry of the type's own dict (lives as long as the interpreter).
PyObject* type_instancecheck() {
    static PyObject* entry = nullptr;
    if (!entry) entry = compat::type_lookup(&PyType_Type, n_instancecheck);
    return entry;
}

// The module __spec__ test of the import statement's fast path: no "_initializing", or False.
// False: the full import decides (an error of the read is cleared, as there).
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

}  // namespace

bool recursion_room(int n) { return compat::recursion_room(n); }

int instancecheck_kind(PyObject* cls) {
    if (!PyType_Check(cls)) return -1;
    if (PyType_CheckExact(cls)) return 0;
    PyObject* checker = compat::type_lookup(Py_TYPE(cls), n_instancecheck);
    return checker && checker == type_instancecheck() ? 1 : -1;
}

bool str_keys_only(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v))
        if (!PyUnicode_CheckExact(k)) return false;
    return true;
}

PyObject* ImportedName::cached() {
    if (!mod_) return nullptr;
    const int own = import_function_is_interpreters();
    if (own != 1) {
        PyErr_Clear();
        return nullptr;
    }
    // sys.modules unchanged: the module is still its entry; its dict
    // unchanged: the name, __path__, __getattr__ and __spec__ are as found.
    PyObject* modules = PyImport_GetModuleDict();
    if (modules == modules_ && compat::dict_unchanged(modules, modules_version_) && PyModule_CheckExact(mod_) &&
        compat::dict_unchanged(dict_, version_) && spec_settled(spec_))
        return value_;
    return nullptr;
}

Ref ImportedName::get() {
    if (PyObject* value = cached()) return borrow(value);
    // Versions are taken before the reads they vouch for (see compat.hpp).
    PyObject* modules = PyImport_GetModuleDict();
    const uint64_t modules_version = modules && PyDict_CheckExact(modules) ? compat::dict_version(modules) : 0;
    Ref value = import_from(module_, name_);
    if (!value || !modules_version) return value;
    // Remember the answer when it is the loaded module's own dict entry, read
    // as import_from reads it directly (a plain module in a plain sys.modules,
    // no __path__, no module __getattr__), and both dicts have
    // only str keys, so that looking names up in them runs no Python code.
    if (!str_keys_only(modules)) return value;
    PyObject* mod = PyDict_GetItem(modules, module_);
    if (!mod || !PyModule_CheckExact(mod)) return value;
    PyObject* dict = PyModule_GetDict(mod);
    if (!dict || !PyDict_CheckExact(dict) || !str_keys_only(dict)) return value;
    const uint64_t version = compat::dict_version(dict);
    if (PyDict_GetItem(dict, n_path) || PyDict_GetItem(dict, n_getattr)) return value;
    PyObject* spec = PyDict_GetItem(dict, n_spec);
    if (!spec || PyDict_GetItem(dict, name_) != value.get()) return value;
    // Nothing since import_from ran code: both versions still hold.
    if (!compat::dict_unchanged(modules, modules_version) || !version) return value;
    // The module __spec__ is tested at every use, as the import statement tests it.
    Py_INCREF(mod);
    Py_INCREF(dict);
    Py_INCREF(spec);
    Py_INCREF(value.get());
    Py_XSETREF(mod_, mod);
    Py_XSETREF(dict_, dict);
    Py_XSETREF(spec_, spec);
    Py_XSETREF(value_, value.get());
    modules_ = modules;
    modules_version_ = modules_version;
    version_ = version;
    return value;
}

}  // namespace rt
