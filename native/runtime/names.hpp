// Interned identifiers, keyword-name tuples and module-global lookup.
#pragma once
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

}  // namespace rt
