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

// isinstance(inst, cls): 1, 0, or -1 with an exception set.
inline int is_instance(PyObject* inst, PyObject* cls) { return PyObject_IsInstance(inst, cls); }

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
// unchanged, the name is the one found then; __spec__._initializing is read at
// every call, as the import does.  Declare at file scope:
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
    // Owned; kept for the life of the process.
    PyObject* mod_ = nullptr;
    PyObject* dict_ = nullptr;
    uint64_t version_ = 0;
    PyObject* spec_ = nullptr;
    PyObject* value_ = nullptr;
};

// getattr(obj, name) for a field read at every call (filter.lookup,
// q.children).  Declare at file scope:
//   static rt::InstanceAttr f_lookup(n_lookup);
class InstanceAttr {
public:
    explicit InstanceAttr(const Name& name) noexcept : name_(name) {}
    InstanceAttr(const InstanceAttr&) = delete;
    InstanceAttr& operator=(const InstanceAttr&) = delete;
    Ref get(PyObject* obj) const { return attr(obj, name_); }

private:
    const Name& name_;
};

// getattr(cls, name) for a class attribute read at every call, such as an
// enumeration member (Versions.LATEST, Lookup.NEQ).  Declare at file scope:
//   static rt::ClassAttr a_LATEST(n_LATEST);
class ClassAttr {
public:
    explicit ClassAttr(const Name& name) noexcept : name_(name) {}
    ClassAttr(const ClassAttr&) = delete;
    ClassAttr& operator=(const ClassAttr&) = delete;
    Ref get(PyObject* cls) const { return attr(cls, name_); }

private:
    const Name& name_;
};

}  // namespace rt
