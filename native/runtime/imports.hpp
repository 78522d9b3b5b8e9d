// `from <module> import <name>` made as the import statement makes it.
#pragma once
#include "names.hpp"
#include "ref.hpp"

namespace rt {
// `from <module> import <name>` with the import statement's result and errors.
Ref import_from(const Name& module, const Name& name);
// Records builtins.__import__ as the interpreter's own (at module load).
void remember_import_function();
// 1 when builtins.__import__ is still the interpreter's own, 0 when it was
// replaced, -1 with ImportError set when it is missing.
int import_function_is_interpreters();

// ImportError "cannot import name 'name' from 'module' (location)": the import
// statement's error when the module `mod` has no such attribute.
void raise_cannot_import(PyObject* module, PyObject* name, PyObject* mod);

// The module __spec__ test of the import statement's fast path: no
// "_initializing", or False.  False (an error of the read cleared, as there):
// the full import decides.
bool spec_settled(PyObject* spec);

// The names the import statement reads on a loaded module.
extern Name n_spec;          // __spec__
extern Name n_initializing;  // _initializing (on a module's __spec__ object)
extern Name n_path;          // __path__: a package
extern Name n_getattr;       // __getattr__: on a module, a module-level hook
}  // namespace rt
