// Python functions of other libraries that the builders reach for every leaf
// or tree (a property of a filter, the truth of a condition tree), recognised
// by their code so that what they compute is computed here without a frame.
//
// Why: such a function is one line of Python, yet each call of it makes a
// frame (about 1,500 instructions on 3.10, against a hundred for the reads
// it makes).  A function is recognised when its code is exactly the code that
// a given source compiles to on this interpreter: the same bytecode, names,
// constants (of the same types), locals and argument shape, no free
// variables.  The caller then makes the reads that code makes, in its order,
// as long as each is known to run no Python code and to raise nothing, and
// makes the plain call otherwise (nothing observable has happened by then).
// A call left out is one no trace or profile function would have seen and
// whose recursion checks would have passed (rt::frame_unseen).
#pragma once
#include "names.hpp"

#include <cstdint>

namespace rt {

// The code of one def statement.  Declare at file scope:
//   rt::KnownCode k_is_nested(
//       "class Filter:\n"
//       "    def is_nested_selection(self):\n"
//       "        return NESTED_SEPARATOR in self.field_name\n",
//       "is_nested_selection");
// The source is compiled on first use; the function named is the def of
// that name in it (a method in a class body, as a method compiles).
class KnownCode {
public:
    KnownCode(const char* source, const char* name) noexcept : source_(source), name_(name) {}
    KnownCode(const KnownCode&) = delete;
    KnownCode& operator=(const KnownCode&) = delete;
    // True when func is a plain function (exact type) whose code is the source's.
    bool is(PyObject* func);

private:
    bool compile();
    const char* source_;
    const char* name_;
    Kept reference_;  // the compiled code
    Kept seen_;       // the last code found to be the same (code objects never change)
    bool failed_ = false;
};

// The getter that a read obj.name calls, when the read is the generic one
// (rt::reads_generically_first) and the class holds under that name a
// property of the exact property type whose getter is a plain function: that
// function, held; empty otherwise (no exception set, no code run).
Ref property_getter(PyObject* obj, const Name& name);

// The function that the truth test of obj calls, when obj's class takes its
// truth from a __bool__ defined in Python and that is a plain function (called
// with obj, as the slot calls it): borrowed from the class; nullptr otherwise.
PyObject* bool_method(PyObject* obj);

// True when a call of a Python function made now would be seen by no trace
// or profile function and would pass the recursion checks of its frame.
bool frame_unseen();

// A global name as the code of a function reads it: the function's globals,
// then its builtins.  Declare at file scope, one per name:
//   rt::FunctionGlobal g_NESTED_SEPARATOR(n_NESTED_SEPARATOR);
class FunctionGlobal {
public:
    explicit FunctionGlobal(const Name& name) noexcept : name_(name) {}
    FunctionGlobal(const FunctionGlobal&) = delete;
    FunctionGlobal& operator=(const FunctionGlobal&) = delete;
    // The value (borrowed) when both lookups are plain dict lookups that run
    // no code (exact dicts with only str keys, remembered while unchanged);
    // nullptr otherwise, or when the name is in neither (no exception set).
    PyObject* peek(PyObject* func);

private:
    struct Seen {
        PyObject* dict = nullptr;  // identity only; the version tells whether it is the same dict
        uint64_t version = 0;
        PyObject* value = nullptr;  // borrowed from dict; nullptr: not there
    };
    // The entry of d, remembered in seen; false when it cannot be told.
    bool lookup(PyObject* d, Seen& seen, PyObject** value);
    const Name& name_;
    Seen globals_;
    Seen builtins_;
};

}  // namespace rt
