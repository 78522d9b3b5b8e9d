// A hook that the class holds as a class method, looked up on self for
// every statement (self._to_sql_value).
#pragma once
#include "calls.hpp"
#include "fast.hpp"

namespace rt {

// What rt::SelfHook::find gives for a Binding::Class hook, remembered.  When
// a lookup found the module's own function bound to type(self) (the default
// a class method gives through an instance), through the generic read, with
// an exact classmethod as the class's entry, that is what every lookup finds
// while the class and the instance dict are unchanged (as rt::OwnMethod
// tells): a classmethod's function cannot be replaced, and its binding
// runs no code.  Declare at file scope, one per hook:
//   rt::ClassHook r_to_sql_value(h_to_sql_value, n_to_sql_value);
class ClassHook {
public:
    ClassHook(SelfHook& hook, const Name& name) noexcept : hook_(hook), name_(name) {}
    ClassHook(const ClassHook&) = delete;
    ClassHook& operator=(const ClassHook&) = delete;
    // The class the default is bound to (borrowed: self's type) when a
    // lookup on self would find the default; otherwise nullptr, with `out`
    // holding what the lookup found (as hook.find(self, out)).  False with
    // an exception set.
    bool find(PyObject* self, FoundHook& out, PyObject*& bound_to);

private:
    SelfHook& hook_;
    const Name& name_;
    OwnMethod seen_;
};

}  // namespace rt
