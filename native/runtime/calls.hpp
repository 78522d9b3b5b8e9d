// Calls with the interpreter's semantics, made through vectorcall.
#pragma once
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

}  // namespace rt
