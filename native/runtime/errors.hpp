// An exception taken out of the interpreter to be handled, as an except
// clause holds it, so that feature code can test it, drop it, put it back, or
// raise a new one while handling it, without touching reference counts.
#pragma once
#include "ref.hpp"

namespace rt {

class CaughtError {
public:
    // Takes the exception that is set (normalised, its traceback attached).
    CaughtError();
    CaughtError(const CaughtError&) = delete;
    CaughtError& operator=(const CaughtError&) = delete;

    // `except cls:` would catch it: cls is an exception class or a tuple of them.
    bool matches(PyObject* cls) const { return PyErr_GivenExceptionMatches(type_.get(), cls) != 0; }
    // Sets it again, as a bare `raise` in the handler would.
    void restore() { PyErr_Restore(type_.release(), value_.release(), tb_.release()); }
    // The exception set now was raised while this one was handled: it gets
    // this one as __context__, as in an except clause.  An exception is never
    // its own context, and a context chain that would lead back to the new
    // exception is cut where it would.
    void chain_into_current();

private:
    Ref type_, value_, tb_;
};

// cls may follow `except`: an exception class, or a tuple of them.
bool is_catchable(PyObject* cls);

}  // namespace rt
