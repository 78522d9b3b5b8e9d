// Bounds on recursion over user structures: the interpreter's recursion limit,
// and the C stack actually left in the running thread.
#pragma once
#include "ref.hpp"

#include <cstddef>

namespace rt {

// Entered once per level of a recursion over user structures (condition
// trees, queryables that state trees).  A level is refused with RecursionError
// when the interpreter refuses it (Py_EnterRecursiveCall), when this module's
// own depth in the thread passes sys.getrecursionlimit() (from 3.12 the
// interpreter counts C levels against a limit of its own), or when less stack
// is left than one level and the Python code it calls may need.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) noexcept : ok_(enter_level(where)) {}
    ~RecursionGuard() {
        if (ok_) leave_level();
    }
    explicit operator bool() const noexcept { return ok_; }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    static bool enter_level(const char* where) noexcept;
    static void leave_level() noexcept;

private:
    bool ok_;
};

// Before a value goes to code that recurses over it on its own (the json
// encoder and decoder): false with RecursionError set when the value nests
// deeper than the stack left can hold.  The interpreter stops such code at a
// depth limit, which is a count, not a size: from 3.12 it is independent of
// sys.getrecursionlimit() and, in a thread with a small stack, more than the
// stack holds.  Lists, tuples and dicts are followed as stored; for str and
// bytes (JSON text) the brackets outside string literals are counted.  Only
// measured when the stack left is below what that limit could use.  `where`
// ends the message, as for Py_EnterRecursiveCall.
bool nesting_fits(PyObject* value, const char* where);

}  // namespace rt
