#include "fast.hpp"

#include "calls.hpp"
#include "compat.hpp"
#include "imports.hpp"

namespace rt {

namespace {

Name n_instancecheck("__instancecheck__");
Name n_getattribute("__getattribute__");
Name n_class("__class__");

// type.__instancecheck__, the entry of the type's own dict (lives as long as the interpreter).
PyObject* type_instancecheck() {
    static PyObject* entry = nullptr;
    if (!entry) entry = compat::type_lookup(&PyType_Type, n_instancecheck);
    return entry;
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

// True when a getattribute entry found on a type is object's (or type's) own generic read.
bool wraps(PyObject* getattribute, getattrofunc slot) {
    return getattribute && compat::wrapped_slot(getattribute) == reinterpret_cast<void*>(slot);
}

// import_function_is_interpreters() == 1, answered from memory while the
// builtins dict is unchanged (and has only str keys, so the lookup runs no code).
bool import_unchanged() {
    static PyObject* builtins_seen = nullptr;  // identity only
    static uint64_t version_seen = 0;
    PyObject* bi = builtins();
    if (bi && bi == builtins_seen && compat::dict_unchanged(bi, version_seen)) return true;
    builtins_seen = nullptr;
    const int own = import_function_is_interpreters();
    if (own != 1) {
        PyErr_Clear();
        return false;
    }
    if (PyDict_CheckExact(bi) && str_keys_only(bi)) {
        builtins_seen = bi;
        version_seen = compat::dict_version(bi);
    }
    return true;
}

// For an instance whose attributes the interpreter keeps inline (3.13): its dict has no
// version that tells of every change (stores into the inline values bypass the dict's
// watchers), so the entry is read each time, from the dict that object's generic read
// consults (made once from the inline values).  1 with value set, 0 when the instance has
// no entry of the name, -1 when that cannot be told here (no exception set: the caller
// makes the full read).
int inline_entry(PyObject* obj, PyObject* name, Ref& value) {
    const Ref dict = steal(PyObject_GenericGetDict(obj, nullptr));
    PyObject* found = nullptr;
    const int has = dict && PyDict_CheckExact(dict.get()) ? compat::dict_get_ref(dict.get(), name, &found) : -1;
    if (has < 0) PyErr_Clear();
    value = steal(found);
    return has;
}

// inline_entry's test alone: true when the instance dict (as above) has no entry of the
// name; false when it has one or when that cannot be told (no exception set).  A
// membership test: a miss, the usual answer, needs no look at the thread's error state.
bool inline_lacks(PyObject* obj, PyObject* name) {
    const Ref dict = steal(PyObject_GenericGetDict(obj, nullptr));
    const int has = dict && PyDict_CheckExact(dict.get()) ? PyDict_Contains(dict.get(), name) : -1;
    if (has < 0) PyErr_Clear();
    return has == 0;
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
    if (!mod_.get() || !import_unchanged()) return nullptr;
    // sys.modules unchanged: the module is still its entry; its dict
    // unchanged: the name, __path__, __getattr__ and __spec__ are as found.
    PyObject* modules = PyImport_GetModuleDict();
    if (modules == modules_ && compat::dict_unchanged(modules, modules_version_) && PyModule_CheckExact(mod_.get()) &&
        compat::dict_unchanged(dict_.get(), version_) && spec_settled_now())
        return value_.get();
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
    // What was held before is released once everything is in place.
    const Ref before[] = {mod_.replace(mod), dict_.replace(dict), spec_.replace(spec),
                          value_.replace(value.get())};
    spec_known_ = false;
    modules_ = modules;
    modules_version_ = modules_version;
    version_ = version;
    return value;
}

// spec_settled(spec_), answered from memory while the __spec__ attribute read
// can only be a read of its instance dict and that dict is unchanged: a class
// with the generic attribute read and no "_initializing" anywhere in its MRO
// (both fixed by its version), an instance dict with only str keys.
bool ImportedName::spec_settled_now() {
    PyTypeObject* t = Py_TYPE(spec_.get());
    if (spec_known_ && t == spec_type_ && compat::type_version(t) == spec_type_version_) {
        if (spec_inline_) {
            Ref initializing;
            const int found = inline_entry(spec_.get(), n_initializing, initializing);
            if (found == 0 || (found > 0 && initializing.get() == Py_False)) return true;
        } else {
            PyObject** dictptr = compat::instance_dict_ptr(spec_.get());
            if (dictptr && *dictptr == spec_dict_ && compat::dict_unchanged(spec_dict_, spec_dict_version_))
                return true;
        }
    }
    spec_known_ = false;
    if (!spec_settled(spec_.get())) return false;
    // The read ran no Python code that could have changed what is tested here
    // only when these hold; they are checked after it.
    t = Py_TYPE(spec_.get());
    if (t->tp_getattro != PyObject_GenericGetAttr || compat::type_lookup(t, n_initializing)) return true;
    const uint64_t type_version = compat::type_version(t);
    if (!type_version) return true;
    // Kept inline (3.13): a dict with a table of its own tells of every change.
    PyObject** dictptr = compat::own_instance_dict_table(spec_.get()) ? compat::instance_dict_ptr(spec_.get()) : nullptr;
    if (!dictptr && t->tp_dictoffset != 0) {
        // Attributes kept inline: the class is remembered, the entry read each time.
        spec_type_ = t;
        spec_type_version_ = type_version;
        spec_inline_ = true;
        spec_known_ = true;
        return true;
    }
    PyObject* d = dictptr ? *dictptr : nullptr;
    if (!d || !PyDict_CheckExact(d) || !str_keys_only(d)) return true;
    spec_type_ = t;
    spec_type_version_ = type_version;
    spec_dict_ = d;
    spec_dict_version_ = compat::dict_version(d);
    spec_inline_ = false;
    spec_known_ = spec_dict_version_ != 0;
    return true;
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
// last few classes (a builder meets the classes of a condition tree in turn:
// filters, their groups) while each keeps its version.
bool hook_reads_generically(PyTypeObject* t) {
    struct Seen {
        PyTypeObject* type = nullptr;  // identity only; the version tells whether it is the same class
        uint64_t version = 0;
        bool answer = false;
    };
    static Seen seen[4];
    static unsigned next = 0;
    getattrofunc hook = getattr_hook_slot();
    if (!hook || t->tp_getattro != hook) return false;
    const uint64_t version = compat::type_version(t);
    for (const Seen& s : seen)
        if (s.type == t && version && s.version == version) return s.answer;
    const bool answer = compat::type_lookup(t, n_getattr) &&
                        wraps(compat::type_lookup(t, n_getattribute), PyObject_GenericGetAttr);
    if (version) {
        Seen* slot = nullptr;
        for (Seen& s : seen)
            if (s.type == t) slot = &s;
        if (!slot) slot = &seen[next++ % 4];
        *slot = Seen{t, version, answer};
    }
    return answer;
}

}  // namespace

namespace {
// The instance dict that object's generic read consults for obj, in *out (empty when the
// instance has none).  An instance whose attributes the interpreter keeps inline (3.13) is
// read through the dict made from them, which reads the same.  False with an exception set.
bool generic_instance_dict(PyObject* obj, Ref& out) {
    PyTypeObject* t = Py_TYPE(obj);
    if (t->tp_dictoffset == 0) return true;
    if (PyObject** slot = compat::plain_dict_slot(obj)) {
        out = borrow(*slot);
        return true;
    }
    if (PyObject** slot = compat::instance_dict_ptr(obj)) {
        out = borrow(*slot);
        return true;
    }
    out = steal(PyObject_GenericGetDict(obj, nullptr));
    return bool(out);
}
}  // namespace

bool reads_generically_first(PyTypeObject* t) {
    return t->tp_getattro == PyObject_GenericGetAttr || hook_reads_generically(t);
}

bool InstanceAttr::reads_dict(PyTypeObject* t) {
    const uint64_t version = compat::type_version(t);
    if (t == type_ && version && version == version_) return true;
    type_ = nullptr;
    getattrofunc hook = getattr_hook_slot();
    if (t->tp_getattro != PyObject_GenericGetAttr && (!hook || t->tp_getattro != hook)) return false;
    if (t->tp_getattro == hook && !hook_reads_generically(t)) return false;
    if (compat::type_lookup(t, name_)) return false;
    // The lookup gave the type its version when it had none.
    const uint64_t assigned = compat::type_version(t);
    if (!assigned) return false;
    type_ = t;
    version_ = assigned;
    return true;
}

Ref InstanceAttr::get(PyObject* obj) {
    PyTypeObject* t = Py_TYPE(obj);
    if (!reads_dict(t)) return attr(obj, name_);
    // Nothing of the name on the class: the generic read is the instance dict's entry.
    Ref dict;
    if (PyObject** slot = compat::plain_dict_slot(obj)) {
        dict = borrow(*slot);
    } else if (PyObject** managed = t->tp_dictoffset != 0 ? compat::instance_dict_ptr(obj) : nullptr) {
        dict = borrow(*managed);
    } else if (t->tp_dictoffset != 0) {
        // Attributes kept inline: read through the dict made from them (made once).
        dict = steal(PyObject_GenericGetDict(obj, nullptr));
        if (!dict) PyErr_Clear();  // the generic read below decides
    }
    if (dict && PyDict_Check(dict.get())) {
        PyObject* found = PyDict_GetItemWithError(dict.get(), name_);
        if (found) return borrow(found);
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
        return attr(obj, name_);
    }
    PyObject* value = compat::generic_getattr_or_null(obj, name_);
    if (value) return steal(value);
    if (PyErr_Occurred()) return Ref();
    return attr(obj, name_);
}

Ref InstanceAttr::peek(PyObject* obj) {
    if (!reads_dict(Py_TYPE(obj))) return Ref();
    Ref dict;
    if (!generic_instance_dict(obj, dict)) {
        PyErr_Clear();  // the caller's full read decides
        return Ref();
    }
    if (!dict || !PyDict_Check(dict.get())) return Ref();
    PyObject* found = PyDict_GetItemWithError(dict.get(), name_);
    if (!found) {
        PyErr_Clear();  // as above
        return Ref();
    }
    return borrow(found);
}

MethodLookup find_method(PyObject* obj, PyObject* name, PyObject** found) {
    PyTypeObject* t = Py_TYPE(obj);
    if (t->tp_getattro != PyObject_GenericGetAttr && !hook_reads_generically(t)) return MethodLookup::NotApplied;
    PyObject* descr = compat::type_lookup(t, name);
    if (!descr || !PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR))
        return MethodLookup::NotApplied;
    // The generic read: a method descriptor is no data descriptor, so the
    // instance dict comes first.  As the generic read, the descriptor found
    // first is used even if code run by the lookup changed the class.
    Ref keep_descr = borrow(descr);
    Ref dict;
    if (!generic_instance_dict(obj, dict)) return MethodLookup::Failed;
    if (dict) {
        if (!PyDict_Check(dict.get())) return MethodLookup::NotApplied;
        PyObject* attr_value = nullptr;
        const int has = compat::dict_get_ref(dict.get(), name, &attr_value);
        if (has > 0) {
            *found = attr_value;
            return MethodLookup::FromDict;
        }
        if (has < 0) {
            // Only an AttributeError would go on to __getattr__: left to the full read.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return MethodLookup::Failed;
            PyErr_Clear();
            return MethodLookup::NotApplied;
        }
    }
    *found = keep_descr.release();
    return MethodLookup::Unbound;
}

Ref class_attr(PyObject* cls, const Name& name) {
    PyTypeObject* meta = Py_TYPE(cls);
    if (!PyType_Check(cls) || meta->tp_getattro == PyType_Type.tp_getattro) return attr(cls, name);
    if (!wraps(compat::type_lookup(meta, n_getattribute), PyType_Type.tp_getattro)) return attr(cls, name);
    Ref getattr = borrow(compat::type_lookup(meta, n_getattr));
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
    if (cls == cls_ && value_.get() && PyType_Check(cls)) {
        PyTypeObject* meta = Py_TYPE(cls);
        const uint64_t c = compat::type_version(reinterpret_cast<PyTypeObject*>(cls));
        if (c && c == cls_version_ && compat::type_version(meta) == meta_version_ &&
            compat::type_version(Py_TYPE(value_.get())) == value_version_) {
            if (meta->tp_getattro != PyType_Type.tp_getattro) {
                // The recursion check of the call of type.__getattribute__ (see class_attr).
                if (Py_EnterRecursiveCall(" while calling a Python object")) return Ref();
                Py_LeaveRecursiveCall();
            }
            return borrow(value_.get());
        }
    }
    Ref value = class_attr(cls, name_);
    if (!value || !PyType_Check(cls)) return value;
    PyTypeObject* c = reinterpret_cast<PyTypeObject*>(cls);
    PyTypeObject* meta = Py_TYPE(cls);
    PyTypeObject* vt = Py_TYPE(value.get());
    // Found in the class, not a descriptor, nothing of the name on the
    // metaclass, and a metaclass whose reads are type's own (directly or
    // through the bound type.__getattribute__ that class_attr calls).
    if (compat::type_lookup(c, name_) != value.get() || vt->tp_descr_get || compat::type_lookup(meta, name_))
        return value;
    if (meta->tp_getattro != PyType_Type.tp_getattro &&
        (!PyType_HasFeature(meta, Py_TPFLAGS_HEAPTYPE) ||
         !wraps(compat::type_lookup(meta, n_getattribute), PyType_Type.tp_getattro)))
        return value;
    const uint64_t cls_version = compat::type_version_assigned(c, name_);
    const uint64_t meta_version = compat::type_version_assigned(meta, name_);
    const uint64_t value_version = compat::type_version_assigned(vt, name_);
    if (!cls_version || !meta_version || !value_version) return value;
    const Ref before = value_.replace(value.get());
    cls_ = cls;
    cls_version_ = cls_version;
    meta_version_ = meta_version;
    value_version_ = value_version;
    return value;
}

Ref ModuleAttr::get(PyObject* module) {
    if (!PyModule_CheckExact(module)) return attr(module, name_);
    PyObject* d = PyModule_GetDict(module);
    if (d && d == dict_ && compat::dict_unchanged(d, version_)) return borrow(value_);
    dict_ = nullptr;
    Ref value = attr(module, name_);
    if (!value || !d || !PyDict_CheckExact(d) || !str_keys_only(d)) return value;
    if (compat::type_lookup(&PyModule_Type, name_)) return value;
    const uint64_t version = compat::dict_version(d);
    if (version && PyDict_GetItem(d, name_) == value.get()) {
        dict_ = d;
        version_ = version;
        value_ = value.get();
    }
    return value;
}

bool OwnMethod::still_found(PyObject* self, PyObject* name) const {
    if (!own_) return false;
    PyTypeObject* t = Py_TYPE(self);
    if (t != type_ || compat::type_version(t) != type_version_) return false;
    if (inline_) return inline_lacks(self, name);
    PyObject** slot = compat::instance_dict_ptr(self);
    PyObject* d = slot ? *slot : nullptr;
    if (!slot && t->tp_dictoffset != 0) return false;
    return d == dict_ && (!d || compat::dict_unchanged(d, dict_version_));
}

void OwnMethod::found_own(PyObject* self, bool getattr_hook) {
    own_ = false;
    PyTypeObject* t = Py_TYPE(self);
    const uint64_t version = compat::type_version(t);
    if ((t->tp_getattro != PyObject_GenericGetAttr && !(getattr_hook && hook_reads_generically(t))) || !version)
        return;
    // Kept inline (3.13): a dict with a table of its own tells of every change.
    const bool versioned = compat::own_instance_dict_table(self);
    PyObject** slot = versioned ? compat::instance_dict_ptr(self) : nullptr;
    if (!slot && t->tp_dictoffset != 0) {
        // Kept inline (3.13) and the dict shared: it is looked at each time.
        type_ = t;
        type_version_ = version;
        dict_ = nullptr;
        inline_ = true;
        own_ = true;
        return;
    }
    PyObject* d = slot ? *slot : nullptr;
    if (d && (!PyDict_CheckExact(d) || !str_keys_only(d))) return;
    type_ = t;
    type_version_ = version;
    dict_ = d;
    dict_version_ = d ? compat::dict_version(d) : 0;
    inline_ = false;
    own_ = !d || dict_version_ != 0;
}

Ref SelfAttr::get(PyObject* obj) {
    if (value_.get() && seen_.still_found(obj, name_)) return borrow(value_.get());
    Ref value = attr(obj, name_);
    if (!value) return value;
    PyTypeObject* t = Py_TYPE(obj);
    PyTypeObject* vt = Py_TYPE(value.get());
    // Checked after the read: had it run code that changed the class, the
    // class's entry would no longer be the value read.
    if (t->tp_getattro == PyObject_GenericGetAttr && !PyType_HasFeature(vt, Py_TPFLAGS_HEAPTYPE) &&
        !vt->tp_descr_get && compat::type_lookup(t, name_) == value.get()) {
        const Ref before = value_.replace(value.get());
        seen_.found_own(obj);
    } else {
        seen_.found_other();
    }
    return value;
}

bool PlainMisses::holds(PyObject* const* classes) const {
    if (!known_) return false;
    for (int i = 0; i < n_; ++i) {
        if (classes[i] != cls_[i].get()) return false;
        PyTypeObject* meta = Py_TYPE(classes[i]);
        if (meta != meta_[i]) return false;
        if (meta != &PyType_Type && compat::type_version(meta) != meta_version_[i]) return false;
    }
    return !needs_room_ || recursion_room(2);
}

void PlainMisses::learn(PyObject* const* classes) {
    known_ = false;
    if (n_ < 0 || n_ > kMaxClasses) return;  // more classes than it can hold: never known
    static PyTypeObject* const plain[] = {&PyUnicode_Type, &PyLong_Type, &PyFloat_Type,
                                          &PyBool_Type, Py_TYPE(Py_None), &PyBytes_Type};
    bool needs_room = false;
    for (int i = 0; i < n_; ++i) {
        const int kind = instancecheck_kind(classes[i]);
        if (kind < 0) return;
        PyTypeObject* meta = Py_TYPE(classes[i]);
        if (kind == 1) {
            needs_room = true;
            if (!compat::type_version_assigned(meta, n_instancecheck)) return;
        }
        for (PyTypeObject* t : plain)
            if (PyType_IsSubtype(t, reinterpret_cast<PyTypeObject*>(classes[i]))) return;
    }
    // The classes held before are released once everything is in place.
    Ref before[kMaxClasses];
    for (int i = 0; i < n_; ++i) {
        before[i] = cls_[i].replace(classes[i]);
        meta_[i] = Py_TYPE(classes[i]);
        meta_version_[i] = meta_[i] == &PyType_Type ? 0 : compat::type_version(meta_[i]);
    }
    needs_room_ = needs_room;
    known_ = true;
}

}  // namespace rt
