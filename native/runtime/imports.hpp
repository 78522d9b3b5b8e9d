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
}  // namespace rt
