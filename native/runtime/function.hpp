// The module's function type.  Every method and every anonymous callable of
// the module is one of these objects: vectorcall entry, binds like a Python
// function, carries __name__/__qualname__/__module__/__doc__/__annotations__/
// __defaults__/__kwdefaults__/__code__, so inspect and functools treat it as
// a function.  Feature code describes a function with a FuncDef and writes its
// body over already-bound, already-type-tested arguments.
#pragma once
#include "ref.hpp"

#include <vector>

namespace rt {

// Exact-type test made on entry, before the body runs.
enum class Check : unsigned char { Any, Str, Dict, List };

// Default value of a parameter.
enum class Default : unsigned char { Required, None, False, EmptyStr, Quote, StrType };

struct Param {
    const char* name;
    const char* annotation;  // nullptr: not annotated
    Check check = Check::Any;
    Default dflt = Default::Required;
    bool kwonly = false;
};

// The body: args holds every parameter in declaration order (self or cls
// first for methods), each a borrowed reference valid for the call.
// Returns a new reference, or NULL with an exception set.
using Body = PyObject* (*)(PyObject* const* args);

// A body's parameters by name: a body of more than three parameters declares
// a view of its arguments next to it, naming each,
//   struct SelectArgs : rt::Args {
//       using Args::Args;
//       PyObject* conditions() const { return a[3]; }
//   };
// and reads them as `const SelectArgs p(a);` then `p.conditions()`.  One
// pointer: it costs nothing and can be handed to helpers.
struct Args {
    explicit Args(PyObject* const* args) noexcept : a(args) {}

protected:
    PyObject* const* a;
};

struct FuncDef {
    const char* name;
    const char* qualname;
    Body body;
    std::vector<Param> params;
    const char* return_annotation;  // nullptr: no "return" annotation
    const char* doc = nullptr;
};

constexpr Py_ssize_t kMaxParams = 10;

// Creates the function object for a definition (a new reference).
Ref make_function(const FuncDef& def);

// A call of one of this module's function objects (fn), as its vectorcall entry makes it.
PyObject* call_function(PyObject* fn, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// What a call of a function object for `def` with exactly `args` (every
// parameter, in declaration order) returns, made without the call: when
// every exact-type test of the parameters passes, the body runs and
// *result is what it returned (NULL with an exception set).  False, with
// nothing run and no exception set, when a test fails: the caller then makes
// the call, which raises the test's error.
bool run_if_checked(const FuncDef& def, PyObject* const* args, PyObject** result);

// True when o is one of this module's function objects for `def`.
bool is_function(PyObject* o, const FuncDef& def);

// The type object, readied when the module loads.
bool ready_function_type();
extern PyTypeObject FunctionType;

// Appends a traceback entry "funcname" at `line` of `filename` to the current
// exception, as the interpreter does for a failing frame.
void add_traceback(const char* funcname, int line, const char* filename);

}  // namespace rt
