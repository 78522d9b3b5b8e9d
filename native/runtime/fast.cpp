#include "fast.hpp"

#include "compat.hpp"

namespace rt {

namespace {

Name n_instancecheck("__instancecheck__");
Name n_getattribute("__getattribute__");
Name n_getattr("__getattr__");
Name n_spec("__spec__");
Name n_initializing("_initializing");
Name n_path("__path__");
Name n_class("__class__");

bool has_tag(PyTypeObject* t) { return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG); }

// type.__instancecheck__, the entry of the type's own dict (lives as long as the interpreter).
PyObject* type_instancecheck() {
    static PyObject* entry = nullptr;
    if (!entry) entry = _PyType_Lookup(&PyType_Type, n_instancecheck);
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

// import_function_is_interpreters() == 1, answered from memory while the
// builtins dict is unchanged (and has only str keys, so the lookup runs no code).
bool import_unchanged() {
    static PyObject* builtins_seen = nullptr;  // identity only
    static uint64_t version_seen = 0;
    PyObject* bi = builtins();
    if (QUARNA_FAST_READS && bi && bi == builtins_seen && dict_version(bi) == version_seen)
        return true;
    builtins_seen = nullptr;
    const int own = import_function_is_interpreters();
    if (own != 1) {
        PyErr_Clear();
        return false;
    }
    if (QUARNA_FAST_READS && PyDict_CheckExact(bi) && str_keys_only(bi)) {
        builtins_seen = bi;
        version_seen = dict_version(bi);
    }
    return true;
}

// isinstance(inst, cls) as type.__instancecheck__ answers it for a type cls:
// the instance's type, then its __class__.
int real_is_instance(PyObject* inst, PyTypeObject* cls) {
    if (PyObject_TypeCheck(inst, cls)) return 1;
    PyObject* icls = nullptr;
    int r = compat::lookup_attr(inst, n_class, &icls);
    if (r > 0)
        r = icls != reinterpret_cast<PyObject*>(Py_TYPE(inst)) && PyType_Check(icls)
                ? PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(icls), cls)
                : 0;
    Py_XDECREF(icls);
    return r;
}

}  // namespace

bool recursion_room(int n) { return compat::recursion_room(n); }

int instancecheck_kind(PyObject* cls) {
    if (!PyType_Check(cls)) return -1;
    if (PyType_CheckExact(cls)) return 0;
    PyObject* checker = _PyType_Lookup(Py_TYPE(cls), n_instancecheck);
    return checker && checker == type_instancecheck() ? 1 : -1;
}

bool str_keys_only(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v))
        if (!PyUnicode_CheckExact(k)) return false;
    return true;
}

int is_instance(PyObject* inst, PyObject* cls) {
    PyTypeObject* t = Py_TYPE(inst);
    if (reinterpret_cast<PyObject*>(t) == cls) return 1;
    const int kind = instancecheck_kind(cls);
    if (kind < 0) return PyObject_IsInstance(inst, cls);
    PyTypeObject* c = reinterpret_cast<PyTypeObject*>(cls);
    if (kind == 0) {
        // PyObject_IsInstance: the subtype test, then the instance's __class__.
        if (plain_builtin(t)) return PyType_IsSubtype(t, c);
        return PyObject_IsInstance(inst, cls);
    }
    // PyObject_IsInstance calls the bound type.__instancecheck__ inside a
    // recursion check of its own, and the builtin call adds another.
    if (Py_EnterRecursiveCall(" in __instancecheck__")) return -1;
    int r = -1;
    if (!Py_EnterRecursiveCall(" while calling a Python object")) {
        r = plain_builtin(t) ? PyType_IsSubtype(t, c) : real_is_instance(inst, c);
        Py_LeaveRecursiveCall();
    }
    Py_LeaveRecursiveCall();
    return r;
}

PyObject* ImportedName::cached() {
    if (!QUARNA_FAST_READS || !mod_ || !import_unchanged()) return nullptr;
    PyObject* modules = PyImport_GetModuleDict();
    // sys.modules unchanged: the module is still its entry; its dict
    // unchanged: the name, __path__, __getattr__ and __spec__ are as found.
    if (modules == modules_ && PyDict_CheckExact(modules) && dict_version(modules) == modules_version_ &&
        PyModule_CheckExact(mod_) && dict_version(dict_) == version_ && spec_settled_now())
        return value_;
    return nullptr;
}

Ref ImportedName::get() {
    if (PyObject* value = cached()) return borrow(value);
    Ref value = import_from(module_, name_);
    if (!value || !QUARNA_FAST_READS) return value;
    // Remember the answer when it is the loaded module's own dict entry, read
    // as import_from reads it directly (a plain module in a plain sys.modules,
    // no __path__, no module __getattr__), and both dicts have
    // only str keys, so that looking names up in them runs no Python code.
    PyObject* modules = PyImport_GetModuleDict();
    if (!modules || !PyDict_CheckExact(modules) || !str_keys_only(modules)) return value;
    PyObject* mod = PyDict_GetItem(modules, module_);
    if (!mod || !PyModule_CheckExact(mod)) return value;
    PyObject* dict = PyModule_GetDict(mod);
    if (!dict || !PyDict_CheckExact(dict) || !str_keys_only(dict)) return value;
    if (PyDict_GetItem(dict, n_path) || PyDict_GetItem(dict, n_getattr)) return value;
    PyObject* spec = PyDict_GetItem(dict, n_spec);
    if (!spec || PyDict_GetItem(dict, name_) != value.get()) return value;
    // The module __spec__ is tested at every use, as the import statement tests it.
    Py_INCREF(mod);
    Py_INCREF(dict);
    Py_INCREF(spec);
    Py_INCREF(value.get());
    Py_XSETREF(mod_, mod);
    Py_XSETREF(dict_, dict);
    Py_XSETREF(spec_, spec);
    Py_XSETREF(value_, value.get());
    spec_known_ = false;
    modules_ = modules;
    modules_version_ = dict_version(modules);
    version_ = dict_version(dict);
    return value;
}

// spec_settled(spec_), answered from memory while the __spec__ attribute read can
// only be a read of its instance dict and that dict is unchanged: a type with
// the generic attribute read and no "_initializing" anywhere in its MRO (both
// fixed by its version tag), an instance dict with only str keys.  The dict is
// reached through the instance's dict pointer, which on 3.10 is a plain slot.
bool ImportedName::spec_settled_now() {
#if QUARNA_FAST_READS && PY_VERSION_HEX < 0x030B0000
    PyTypeObject* t = Py_TYPE(spec_);
    PyObject** dictptr = t->tp_getattro == PyObject_GenericGetAttr ? _PyObject_GetDictPtr(spec_) : nullptr;
    PyObject* d = dictptr ? *dictptr : nullptr;
    if (spec_known_ && t == spec_type_ && has_tag(t) && t->tp_version_tag == spec_type_tag_ && d == spec_dict_ &&
        d && dict_version(d) == spec_dict_version_)
        return true;
    spec_known_ = false;
    if (!spec_settled(spec_)) return false;
    // The read ran no Python code that could have changed what is tested here
    // only when these hold; they are checked after it.
    t = Py_TYPE(spec_);
    if (t->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(t, n_initializing) || !has_tag(t))
        return true;
    dictptr = _PyObject_GetDictPtr(spec_);
    d = dictptr ? *dictptr : nullptr;
    if (!d || !PyDict_CheckExact(d) || !str_keys_only(d)) return true;
    spec_type_ = t;
    spec_type_tag_ = t->tp_version_tag;
    spec_dict_ = d;
    spec_dict_version_ = dict_version(d);
    spec_known_ = true;
    return true;
#else
    return spec_settled(spec_);
#endif
}

namespace {
// The attribute-read slot that a class with a Python-level __getattr__ gets,
// taken from a probe class made once.
getattrofunc getattr_hook_slot() {
    static getattrofunc slot = nullptr;
    static bool tried = false;
    if (tried) return slot;
    tried = true;
    PyObject* dict = PyDict_New();
    PyObject* len = dict ? PyDict_GetItemString(builtins(), "len") : nullptr;
    if (len && PyDict_SetItemString(dict, "__getattr__", len) == 0) {
        PyObject* probe = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "probe", dict);
        if (probe) slot = reinterpret_cast<PyTypeObject*>(probe)->tp_getattro;
        Py_XDECREF(probe);
    }
    Py_XDECREF(dict);
    if (PyErr_Occurred()) PyErr_Clear();
    if (slot == PyObject_GenericGetAttr) slot = nullptr;
    return slot;
}
// True when t reads attributes with the slot of a Python-level __getattr__
// whose first step is object's generic read (__getattribute__ is object's):
// a found attribute is then what the generic read finds.  Remembered for the
// last class while its version tag is unchanged.
bool hook_reads_generically(PyTypeObject* t) {
    static PyTypeObject* seen = nullptr;  // identity only; the tag tells whether it is the same class
    static unsigned int seen_tag = 0;
    static bool seen_answer = false;
    getattrofunc hook = getattr_hook_slot();
    if (!hook || t->tp_getattro != hook) return false;
    if (t == seen && has_tag(t) && t->tp_version_tag == seen_tag) return seen_answer;
    PyObject* getattribute = _PyType_Lookup(t, n_getattribute);
    const bool answer = _PyType_Lookup(t, n_getattr) && getattribute &&
                        Py_IS_TYPE(getattribute, &PyWrapperDescr_Type) &&
                        reinterpret_cast<PyWrapperDescrObject*>(getattribute)->d_wrapped ==
                            reinterpret_cast<void*>(PyObject_GenericGetAttr);
    if (has_tag(t)) {
        seen = t;
        seen_tag = t->tp_version_tag;
        seen_answer = answer;
    }
    return answer;
}

}  // namespace

Ref InstanceAttr::get(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (!QUARNA_FAST_READS) return attr(obj, name_);
    if (!(t == type_ && has_tag(t) && t->tp_version_tag == tag_)) {
        type_ = nullptr;
        getattrofunc hook = getattr_hook_slot();
        if (t->tp_getattro != PyObject_GenericGetAttr && (!hook || t->tp_getattro != hook)) return attr(obj, name_);
        if (t->tp_getattro == hook && !hook_reads_generically(t)) return attr(obj, name_);
        if (_PyType_Lookup(t, name_) || !has_tag(t)) return attr(obj, name_);
        type_ = t;
        tag_ = t->tp_version_tag;
    }
    // Nothing of the name on the class: the generic read is the instance dict's entry.
#if PY_VERSION_HEX < 0x030B0000
    // On 3.10 the instance dict is a plain slot, read as the generic read reads it.
    if (t->tp_dictoffset > 0) {
        PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + t->tp_dictoffset);
        if (dict) {
            Ref held = borrow(dict);
            PyObject* found = PyDict_GetItemWithError(dict, name_);
            if (found) return borrow(found);
            if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
            PyErr_Clear();
            return attr(obj, name_);
        }
    }
#endif
    PyObject* value = _PyObject_GenericGetAttrWithDict(obj, name_, nullptr, 1);
    if (value) return steal(value);
    if (PyErr_Occurred()) return Ref();
    return attr(obj, name_);
}

int find_method(PyObject* obj, PyObject* name, PyObject** found) {
#if QUARNA_FAST_READS && PY_VERSION_HEX < 0x030B0000
    PyTypeObject* t = Py_TYPE(obj);
    if (!hook_reads_generically(t) || t->tp_dictoffset <= 0) return -1;
    PyObject* descr = _PyType_Lookup(t, name);
    if (!descr || !PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) return -1;
    // The generic read: a method descriptor is no data descriptor, so the
    // instance dict comes first.  On 3.10 the dict is a plain slot.
    PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + t->tp_dictoffset);
    if (dict) {
        Ref held = borrow(dict);
        Ref keep_descr = borrow(descr);
        PyObject* attr_value = PyDict_GetItemWithError(dict, name);
        if (attr_value) {
            *found = Py_NewRef(attr_value);
            return 0;
        }
        if (PyErr_Occurred()) {
            // Only an AttributeError would go on to __getattr__: left to the full read.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -2;
            PyErr_Clear();
            return -1;
        }
        // As the generic read, the descriptor found first is used even if
        // code run by the lookup changed the class.
        *found = keep_descr.release();
        return 1;
    }
    *found = Py_NewRef(descr);
    return 1;
#else
    (void)obj;
    (void)name;
    (void)found;
    return -1;
#endif
}

Ref class_attr(PyObject* cls, const Name& name) {
    PyTypeObject* meta = Py_TYPE(cls);
    if (!PyType_Check(cls) || meta->tp_getattro == PyType_Type.tp_getattro) return attr(cls, name);
    PyObject* getattribute = _PyType_Lookup(meta, n_getattribute);
    if (!getattribute || !Py_IS_TYPE(getattribute, &PyWrapperDescr_Type) ||
        reinterpret_cast<PyWrapperDescrObject*>(getattribute)->d_wrapped !=
            reinterpret_cast<void*>(PyType_Type.tp_getattro))
        return attr(cls, name);
    Ref getattr = borrow(_PyType_Lookup(meta, n_getattr));
    if (!getattr) return attr(cls, name);
    // The metaclass slot calls the bound type.__getattribute__, a call that
    // makes a recursion check.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return Ref();
    Ref value = steal(PyType_Type.tp_getattro(cls, name));
    Py_LeaveRecursiveCall();
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    descrgetfunc get = Py_TYPE(getattr.get())->tp_descr_get;
    if (!get) return call(getattr.get(), {cls, name.get()});
    Ref bound = steal(get(getattr.get(), cls, reinterpret_cast<PyObject*>(meta)));
    if (!bound) return Ref();
    return call(bound.get(), {name.get()});
}

Ref ClassAttr::get(PyObject* cls) {
    if (QUARNA_FAST_READS && cls == cls_ && value_) {
        PyTypeObject* c = reinterpret_cast<PyTypeObject*>(cls);
        PyTypeObject* meta = Py_TYPE(cls);
        PyTypeObject* vt = Py_TYPE(value_);
        if (PyType_Check(cls) && has_tag(c) && has_tag(meta) && has_tag(vt) && c->tp_version_tag == cls_tag_ &&
            meta->tp_version_tag == meta_tag_ && vt->tp_version_tag == value_tag_) {
            if (meta->tp_getattro != PyType_Type.tp_getattro) {
                // The recursion check of the call of type.__getattribute__ (see class_attr).
                if (Py_EnterRecursiveCall(" while calling a Python object")) return Ref();
                Py_LeaveRecursiveCall();
            }
            return borrow(value_);
        }
    }
    Ref value = class_attr(cls, name_);
    if (!value || !QUARNA_FAST_READS || !PyType_Check(cls)) return value;
    PyTypeObject* c = reinterpret_cast<PyTypeObject*>(cls);
    PyTypeObject* meta = Py_TYPE(cls);
    PyTypeObject* vt = Py_TYPE(value.get());
    // Found in the class, not a descriptor, nothing of the name on the
    // metaclass, and a metaclass whose reads are type's own (directly or
    // through the bound type.__getattribute__ that class_attr calls).
    if (_PyType_Lookup(c, name_) != value.get() || vt->tp_descr_get || _PyType_Lookup(meta, name_)) return value;
    if (meta->tp_getattro != PyType_Type.tp_getattro) {
        PyObject* getattribute = _PyType_Lookup(meta, n_getattribute);
        if (!PyType_HasFeature(meta, Py_TPFLAGS_HEAPTYPE) || !getattribute ||
            !Py_IS_TYPE(getattribute, &PyWrapperDescr_Type) ||
            reinterpret_cast<PyWrapperDescrObject*>(getattribute)->d_wrapped !=
                reinterpret_cast<void*>(PyType_Type.tp_getattro))
            return value;
    }
    // Assigns the tags when a type has none yet.
    if (!PyType_HasFeature(vt, Py_TPFLAGS_VALID_VERSION_TAG)) _PyType_Lookup(vt, name_);
    if (!has_tag(c) || !has_tag(meta) || !has_tag(vt)) return value;
    Py_INCREF(value.get());
    Py_XSETREF(value_, value.get());
    cls_ = cls;
    cls_tag_ = c->tp_version_tag;
    meta_tag_ = meta->tp_version_tag;
    value_tag_ = vt->tp_version_tag;
    return value;
}

}  // namespace rt
