// Answers that hold within one call while no Python code has run since they
// were given.  A builder that calls a hook for every column asks once whether
// the hook is still the module's own function, and asks again only after it
// ran something that may have changed that: only Python code can change a
// class or an instance dict.
#pragma once
#include "calls.hpp"

namespace rt {

// Whether self.<hook> still resolves to this module's own function
// (SelfHook::still_default), asked once and taken as still true until the
// caller says that Python code may have run since (code_may_have_run).  Only
// a true answer is kept: a false one leads to the full lookup, which may run
// code itself.  Lives for one call; self is borrowed (the caller's argument).
class DefaultWhileQuiet {
public:
    DefaultWhileQuiet(const SelfHook& hook, PyObject* self) noexcept : hook_(hook), self_(self) {}
    DefaultWhileQuiet(const DefaultWhileQuiet&) = delete;
    DefaultWhileQuiet& operator=(const DefaultWhileQuiet&) = delete;
    bool still_default() {
        if (!known_) known_ = hook_.still_default(self_);
        return known_;
    }
    void code_may_have_run() noexcept { known_ = false; }

private:
    const SelfHook& hook_;
    PyObject* self_;
    bool known_ = false;
};

}  // namespace rt
