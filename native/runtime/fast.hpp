// Reads that the builders make for every value or field.  The ones that are
// remembered between calls are answered from what an earlier read found while
// nothing it depended on has changed (dict versions and type version tags, see
// compat.hpp); each gives exactly the result (and error) of the plain
// operation named in its comment, and whenever the remembered state cannot be
// shown to be unchanged it simply performs that operation.  A read is
// remembered only where that pays on the benchmark's workloads.
#pragma once
#include "names.hpp"

#include <cstdint>

namespace rt {

// True when every key is an exact str, so that looking a str up calls no Python code.
bool str_keys_only(PyObject* dict);

// isinstance(inst, cls): 1, 0, or -1 with an exception set.  When the
// metaclass's __instancecheck__ is type's own, the check that
// PyObject_IsInstance would reach through a bound method is made directly
// (with the same two recursion-depth checks); an instance of an exact str,
// int, float, bool, bytes or None needs only the subtype test.
int is_instance(PyObject* inst, PyObject* cls);

// Exact str, int, float, bool, bytes or None: types whose instances have no
// class but their type (no attributes can be set on these types, so __class__
// is always object's, which gives the type) and whose MRO never changes.
inline bool plain_builtin(PyTypeObject* t) {
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type ||
           t == Py_TYPE(Py_None) || t == &PyBytes_Type;
}

// True when n nested Py_EnterRecursiveCall calls made now would all pass (and
// so would change nothing).  False when that cannot be told.
bool recursion_room(int n);

// How isinstance(x, cls) is answered, for a caller that remembers it while
// the metaclass keeps its version: 0 when cls is an exact type (the subtype
// test, no recursion checks), 1 when the metaclass's __instancecheck__ is
// type's own (the subtype test inside two recursion checks), -1 otherwise.
int instancecheck_kind(PyObject* cls);

// `from <module> import <name>` as rt::import_from.  While builtins.__import__
// is the interpreter's own and sys.modules and the module's dict are
// unchanged, the name is the one found then; __spec__._initializing is tested
// at every call, as the import does (answered from memory while the __spec__ object's
// class and instance dict are unchanged).  Declare at file scope:
//   static rt::ImportedName i_ModelBase(n_models_base, n_ModelBase);
class ImportedName {
public:
    ImportedName(const Name& module, const Name& name) noexcept : module_(module), name_(name) {}
    ImportedName(const ImportedName&) = delete;
    ImportedName& operator=(const ImportedName&) = delete;
    Ref get();
    // The remembered value (borrowed) when get() would return it without
    // importing, after the same reads get() makes first; nullptr otherwise,
    // with no exception set.
    PyObject* cached();

private:
    const Name& module_;
    const Name& name_;
    PyObject* modules_ = nullptr;  // identity only; its version tells whether it is the same dict
    uint64_t modules_version_ = 0;
    Kept mod_;
    Kept dict_;
    uint64_t version_ = 0;
    Kept spec_;
    Kept value_;
    // __spec__._initializing answered from the instance dict of the __spec__ object.
    PyTypeObject* spec_type_ = nullptr;  // identity only
    uint64_t spec_type_version_ = 0;
    PyObject* spec_dict_ = nullptr;  // identity only
    uint64_t spec_dict_version_ = 0;
    bool spec_inline_ = false;  // attributes kept inline: the entry is read each time
    bool spec_known_ = false;
    bool spec_settled_now();
};

// True when t reads attributes with object's generic read, or with that read
// followed by a Python-level __getattr__ (a found attribute is then what the
// generic read finds).
bool reads_generically_first(PyTypeObject* t);

// What find_method found for a call obj.name(...).
enum class MethodLookup {
    Unbound,      // *found is the unbound method descriptor: call it with obj first
    FromDict,     // *found is the instance dict's entry: call it as is
    Failed,       // an exception is set
    NotApplied,   // this lookup does not apply (nothing was changed): make the plain call
};

// The method lookup of a call obj.name(...), made as the interpreter makes it
// for a class whose attribute read is object's generic read, or that read
// followed by a Python-level __getattr__ (as models have; a found attribute
// is then what the generic read finds): a method descriptor of the class,
// unless the instance dict holds the name.  *found is a new reference when
// one is found.  An instance whose attributes are kept inline (3.13) is read
// through the dict made from them.
MethodLookup find_method(PyObject* obj, PyObject* name, PyObject** found);

// getattr(obj, name) for an attribute that lives in the instance dict, such as
// a field of a model (filter.lookup, q.children).  For a class whose attribute
// read is the generic one, or the generic one followed by a Python-level
// __getattr__ (as models have), with nothing of that name anywhere in the
// class's MRO (both fixed by the class's version), the read is the generic
// read of the instance dict, made directly; a miss is read again as
// getattr(obj, name), which is then unobservable when the instance dict has
// only str keys.  Any other class is read with getattr(obj, name).  Declare
// at file scope:
//   static rt::InstanceAttr f_lookup(n_lookup);
class InstanceAttr {
public:
    explicit InstanceAttr(const Name& name) noexcept : name_(name) {}
    InstanceAttr(const InstanceAttr&) = delete;
    InstanceAttr& operator=(const InstanceAttr&) = delete;
    Ref get(PyObject* obj);
    // What get(obj) gives when that is the instance dict's entry, found
    // without running any code (a dict with only str keys, as above); empty,
    // with no exception set, otherwise: the caller then makes the full read.
    Ref peek(PyObject* obj);

private:
    // True when a read of the name on an instance of t is the instance dict's entry.
    bool reads_dict(PyTypeObject* t);
    const Name& name_;
    PyTypeObject* type_ = nullptr;  // identity only; the version tells whether it is the same class
    uint64_t version_ = 0;
};

// getattr(cls, name) for a class attribute read at every call, such as an
// enumeration member (Versions.LATEST, Lookup.NEQ).  A value found in the
// class itself, not a descriptor, with nothing of that name on the metaclass
// that could take precedence, is what every read gives while the class, the
// metaclass and the value's type keep their versions.  Otherwise the read is
// made as the metaclass makes it.  Declare at file scope:
//   static rt::ClassAttr a_LATEST(n_LATEST);
class ClassAttr {
public:
    explicit ClassAttr(const Name& name) noexcept : name_(name) {}
    ClassAttr(const ClassAttr&) = delete;
    ClassAttr& operator=(const ClassAttr&) = delete;
    Ref get(PyObject* cls);

private:
    const Name& name_;
    PyObject* cls_ = nullptr;  // identity only; the versions below tell whether it is the same class
    uint64_t cls_version_ = 0;
    uint64_t meta_version_ = 0;
    uint64_t value_version_ = 0;  // of the value's type
    Kept value_;
};

// getattr(module, name) for a module read at each use from the module
// namespace, such as json.loads.  For an exact module the attribute is the
// entry of the module's dict (the module type has no attribute of such a
// name); while that dict is unchanged and has only str keys (a lookup in it
// then runs no code) it is the entry found before.  Declare at file scope:
//   static rt::ModuleAttr a_loads(n_loads);
class ModuleAttr {
public:
    explicit ModuleAttr(const Name& name) noexcept : name_(name) {}
    ModuleAttr(const ModuleAttr&) = delete;
    ModuleAttr& operator=(const ModuleAttr&) = delete;
    Ref get(PyObject* module);

private:
    const Name& name_;
    PyObject* dict_ = nullptr;  // identity only; its version tells whether it is the same dict
    uint64_t version_ = 0;
    PyObject* value_ = nullptr;  // borrowed from dict_, which holds it while unchanged
};

// Whether a method call self.name(...) would reach this module's own function,
// for hooks that a subclass may override and the builders call for every
// column.  When a lookup found the module's function through the generic
// attribute read (or, when the caller asks, that read followed by a
// Python-level __getattr__, which a found method never reaches), what that
// depended on is remembered: the class (by its
// version) and the instance dict (by its version, and only while it has str
// keys alone, so that a lookup in it runs no code).  While both are unchanged
// the lookup would find the same function.  An instance whose attributes the
// interpreter keeps inline (3.13) is first given a dict with a table of its
// own, whose version tells of every change (compat::own_instance_dict_table);
// where that cannot be done (its dict is held elsewhere) the dict is looked
// at for the name each time while the class is unchanged.  Declare at file
// scope, one per hook.
class OwnMethod {
public:
    OwnMethod() noexcept = default;
    OwnMethod(const OwnMethod&) = delete;
    OwnMethod& operator=(const OwnMethod&) = delete;
    // True when a lookup of name on self would find the module's function found before.
    bool still_found(PyObject* self, PyObject* name) const;
    // Called after a lookup on self found the module's own function;
    // getattr_hook: also for a class with a Python-level __getattr__ (the
    // operators, models, are met again and again; a host's class has none).
    void found_own(PyObject* self, bool getattr_hook = false);
    // Called after a lookup found anything else.
    void found_other() noexcept { own_ = false; }

private:
    PyTypeObject* type_ = nullptr;  // identity only
    uint64_t type_version_ = 0;
    PyObject* dict_ = nullptr;  // identity only
    uint64_t dict_version_ = 0;
    bool inline_ = false;  // attributes kept inline: the dict is looked at each time
    bool own_ = false;
};

// getattr(obj, name) for a class attribute read through an instance (self's
// separators, its operator table).  When a read found the class's own value,
// a plain value (its type a builtin type that is no descriptor), on a class
// whose attribute read is the generic one, that value is what every read
// gives while the class is unchanged and the instance dict is unchanged (as
// rt::OwnMethod tells; a dict kept inline is looked at each time).  Declare
// at file scope:
//   static rt::SelfAttr c_COLUMN_SEPARATOR(n_COLUMN_SEPARATOR);
class SelfAttr {
public:
    explicit SelfAttr(const Name& name) noexcept : name_(name) {}
    SelfAttr(const SelfAttr&) = delete;
    SelfAttr& operator=(const SelfAttr&) = delete;
    Ref get(PyObject* obj);

private:
    const Name& name_;
    OwnMethod seen_;
    Kept value_;
};

// That no value of a plain builtin type (rt::plain_builtin) is an instance of
// any of a fixed list of classes, for a conversion that tests a value against
// them one by one.  learn() is called after a plain value passed every test;
// holds() answers while the very same classes are given (they are kept alive
// here, so an address is never reused), their metaclasses keep their
// versions, and the recursion checks that rt::is_instance makes around a
// metaclass's own __instancecheck__ would pass.
class PlainMisses {
public:
    static constexpr int kMaxClasses = 8;
    explicit PlainMisses(int n) noexcept : n_(n) {}
    PlainMisses(const PlainMisses&) = delete;
    PlainMisses& operator=(const PlainMisses&) = delete;
    bool holds(PyObject* const* classes) const;
    void learn(PyObject* const* classes);

private:
    int n_;
    bool known_ = false;
    bool needs_room_ = false;
    Kept cls_[kMaxClasses];
    PyTypeObject* meta_[kMaxClasses] = {};  // identity only; the versions tell whether it is unchanged
    uint64_t meta_version_[kMaxClasses] = {};
};

// getattr(cls, name) without the temporary method-wrapper of
// type.__getattribute__ that a metaclass with a Python-level __getattr__ (as
// the enumeration metaclass on 3.10) makes for every read.
Ref class_attr(PyObject* cls, const Name& name);

}  // namespace rt
