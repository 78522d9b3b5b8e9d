#include "calls.hpp"

#include "fast.hpp"

namespace rt {

namespace {
constexpr size_t kMaxCallArgs = 12;
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    PyObject* stack[kMaxCallArgs + 1];
    size_t n = 0;
    for (PyObject* a : args) stack[1 + n++] = a;
    size_t npos = n - (kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0);
    return steal(PyObject_Vectorcall(callable, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref call_method(PyObject* self, const Name& name, std::initializer_list<PyObject*> args,
                PyObject* kwnames) {
    PyObject* stack[kMaxCallArgs + 1];
    size_t n = 0;
    stack[n++] = self;
    for (PyObject* a : args) stack[n++] = a;
    size_t npos = n - (kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0);
    PyObject* found = nullptr;
    switch (find_method(self, name, &found)) {
        case MethodLookup::Unbound: {
            Ref method = steal(found);
            return steal(PyObject_Vectorcall(method.get(), stack, npos, kwnames));
        }
        case MethodLookup::FromDict: {
            Ref method = steal(found);
            return steal(PyObject_Vectorcall(method.get(), stack + 1, (npos - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             kwnames));
        }
        case MethodLookup::Failed:
            return Ref();
        case MethodLookup::NotApplied:
            break;
    }
    return steal(PyObject_VectorcallMethod(name, stack, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace rt
