// Calls with the interpreter's semantics, made through vectorcall.
#pragma once
#include "fast.hpp"
#include "function.hpp"
#include "names.hpp"
#include "ref.hpp"

#include <initializer_list>

namespace rt {

// callable(*args).  `args` are borrowed; kwnames, if given, name the trailing arguments.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);
// self.name(*args) as Python's method call: no bound-method object when the
// attribute is a plain function on the type.
Ref call_method(PyObject* self, const Name& name, std::initializer_list<PyObject*> args,
                PyObject* kwnames = nullptr);

// self.name(*args) as rt::call_method makes it, for a method that is not
// this module's own (a cached wrapper of one, say) and is called for every
// column.  When the lookup found a method descriptor of the class, on a class
// whose read is the generic one, the same descriptor is what the lookup finds
// while the class and the instance dict are unchanged (as rt::OwnMethod
// tells): it is then called without the lookup.  Declare at file scope:
//   rt::SelfMethod m_describe_table(n_describe_table);
class SelfMethod {
public:
    explicit SelfMethod(const Name& name) noexcept : name_(name) {}
    SelfMethod(const SelfMethod&) = delete;
    SelfMethod& operator=(const SelfMethod&) = delete;
    Ref call(PyObject* self, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

private:
    const Name& name_;
    OwnMethod seen_;
    Kept found_;
};

// How a class holds the default of a hook: as a method, a static method or a class method.
enum class Binding { Method, Static, Class };

// What one lookup of a hook on self found (SelfHook::find).  Holds what it
// found; self is borrowed (the caller's argument outlives it).
class FoundHook {
public:
    // The module's own function, bound as the class binds the default, was
    // found: the caller may run its body directly.
    bool is_default() const { return default_; }
    // The class a class method found as the default is bound to (borrowed
    // from what was found); nullptr for anything else.
    PyObject* bound_to() const { return bound_to_; }
    // What was found, called with these arguments (self first when the
    // lookup gave the unbound function, as a method call passes it);
    // kwnames, if given, name the trailing arguments.
    Ref call(std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) const;

private:
    friend class SelfHook;
    Ref hook_;
    PyObject* self_ = nullptr;
    PyObject* bound_to_ = nullptr;
    bool unbound_ = false;
    bool default_ = false;
};

// A hook reached through self, self.<name>(...), whose default is this
// module's function `def` held by the class as `binding` says, and which a
// subclass or an instance may replace.  Builders that call a hook for every
// column or value use this instead of rt::call_method, so that the default's
// body runs directly while it is what the lookup finds.  Declare at file
// scope, one per hook:
//   rt::SelfHook h_process_field(n_process_field, methods::process_field, rt::Binding::Static);
class SelfHook {
public:
    SelfHook(const Name& name, const FuncDef& def, Binding binding) noexcept
        : name_(name), def_(def), binding_(binding) {}
    SelfHook(const SelfHook&) = delete;
    SelfHook& operator=(const SelfHook&) = delete;
    // True, with no lookup made, while a lookup on self would find the
    // default that the last find() found (remembered as rt::OwnMethod does;
    // a method or a static method only, a class method is never remembered).
    bool still_default(PyObject* self) const { return seen_.still_found(self, name_); }
    // Looks the hook up on self: a method as a method call does (the unbound
    // function, no bound method), a static or class method as getattr(self,
    // name).  False with an exception set.
    bool find(PyObject* self, FoundHook& out);
    // self.<name>(*args) as rt::call_method makes it (kwnames, if given, name
    // the trailing arguments).  While a lookup would find the default that
    // the last lookup found (still_default; a method only), that function is
    // called as the method call would call it, without the lookup.
    Ref call(PyObject* self, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr);

private:
    const Name& name_;
    const FuncDef& def_;
    Binding binding_;
    OwnMethod seen_;
    // The default the last lookup found (a method): what a lookup finds
    // while still_default holds, since the class is unchanged.
    Kept default_fn_;
};

// A method of objects that the builders are handed rather than reach
// through self (the operators of the operator map, one per lookup), whose
// default is this module's function `def`, called obj.<name>(*args) with
// every parameter after self.  While a lookup on the object would find the
// default (remembered as rt::OwnMethod does, for the last kSeen objects), its
// body runs directly (rt::run_if_checked); otherwise the call is made as
// rt::call_method makes it.  Declare at file scope, one per method:
//   rt::ObjectMethod m_build_value(n_build_value, operators::build_value);
class ObjectMethod {
public:
    static constexpr size_t kSeen = 16;
    ObjectMethod(const Name& name, const FuncDef& def) noexcept : name_(name), def_(def) {}
    ObjectMethod(const ObjectMethod&) = delete;
    ObjectMethod& operator=(const ObjectMethod&) = delete;
    Ref call(PyObject* obj, std::initializer_list<PyObject*> args);

private:
    struct Seen {
        PyObject* obj = nullptr;  // identity only; `method` tells whether it is the same object
        OwnMethod method;
    };
    void remember(PyObject* obj);
    const Name& name_;
    const FuncDef& def_;
    Seen seen_[kSeen];
    size_t next_ = 0;
};

}  // namespace rt
