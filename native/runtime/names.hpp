// Interned identifiers, module-global lookup, calls and the small checks that
// generated-code conventions fix (result types, unpacking).
#pragma once
#include "depth.hpp"
#include "ref.hpp"

#include <cstdint>
#include <initializer_list>

namespace rt {

// An identifier interned once when the module loads.  Declare at file scope:
//   static rt::Name n_fields_map("_fields_map");
class Name {
public:
    explicit Name(const char* text) noexcept;
    PyObject* get() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }
    const char* text() const noexcept { return text_; }
    // Interns every declared name; false with an exception set on failure.
    static bool intern_all();

private:
    friend Ref global(const Name& name);
    friend PyObject* cached_global(const Name& name);
    const char* text_;
    PyObject* obj_ = nullptr;
    Name* next_;
    // What global() last found in the module dict (borrowed from it), with
    // the dict's version then: valid while the dict keeps that version.
    mutable PyObject* global_dict_ = nullptr;  // identity only
    mutable uint64_t global_version_ = 0;
    mutable PyObject* global_value_ = nullptr;
};

// A tuple of keyword names for vectorcall, built when the module loads.
class KwNames {
public:
    KwNames(std::initializer_list<const char*> names) noexcept;
    PyObject* get() const noexcept { return tuple_; }
    Py_ssize_t size() const noexcept { return count_; }
    static bool build_all();

private:
    const char* names_[8];
    Py_ssize_t count_;
    PyObject* tuple_ = nullptr;
    KwNames* next_;
};

// The module namespace (borrowed); set once the module object exists.
PyObject* module_dict();
void set_module_dict(PyObject* dict);
// The builtins of the module's functions (borrowed): those in effect when the
// module loaded, as a function defined in the module would have them, never
// the caller's.
PyObject* builtins();
PyObject* module_name();  // full dotted name, borrowed

// Reads a module-level name the way Python code does: module dict, then
// builtins, else NameError.  While the module dict is unchanged (and has only
// str keys, so a lookup runs no Python code), a name found there is the object
// found then; names that come from builtins are read afresh.
Ref global(const Name& name);
// The object global(name) would give from the module dict without a lookup
// (borrowed), or nullptr (no exception set).
PyObject* cached_global(const Name& name);

// Attribute access with the interpreter's semantics.
inline Ref attr(PyObject* o, const Name& name) { return steal(PyObject_GetAttr(o, name)); }

// Calls.  `args` are borrowed; kwnames, if given, name the trailing arguments.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);
// self.name(*args) as Python's method call: no bound-method object when the
// attribute is a plain function on the type.
Ref call_method(PyObject* self, const Name& name, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr);

// "Expected %s, got %.200s": a delegated result must have exactly this type (None passes).
bool expect_exact(PyObject* o, PyTypeObject* type, const char* type_text);
inline bool expect_str(PyObject* o) { return expect_exact(o, &PyUnicode_Type, "unicode"); }
inline bool expect_tuple(PyObject* o) { return expect_exact(o, &PyTuple_Type, "tuple"); }
inline bool expect_list(PyObject* o) { return expect_exact(o, &PyList_Type, "list"); }

// Unpacks an iterable into exactly n owned items, with the interpreter's messages.
bool unpack(PyObject* o, Ref* out, Py_ssize_t n);

// "'NoneType' object has no attribute ..." and friends are raised by
// attribute lookup itself; this one is for methods called on a known type.
void raise_none_attr(const char* attr_name);

// Python truth value: 1, 0, or -1 with an exception set.
inline int truth(PyObject* o) { return PyObject_IsTrue(o); }

// Tuples and lists built from owned parts.
Ref pair(Ref a, Ref b);

}  // namespace rt

namespace rt {
// `from <module> import <name>` with the import statement's result and errors.
Ref import_from(const Name& module, const Name& name);
// Records builtins.__import__ as the interpreter's own (at module load).
void remember_import_function();
// 1 when builtins.__import__ is still the interpreter's own, 0 when it was
// replaced, -1 with ImportError set when it is missing.
int import_function_is_interpreters();
}  // namespace rt
