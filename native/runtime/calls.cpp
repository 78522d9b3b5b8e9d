#include "calls.hpp"

#include "compat.hpp"
#include "fast.hpp"

namespace rt {

namespace {
constexpr size_t kMaxCallArgs = 12;

// The call obj.name(...) on stack (obj first; npos positional, kwnames naming
// the rest), after find_method found `kind` (`found`, a new reference).
Ref finish_method_call(MethodLookup kind, PyObject* found, const Name& name, PyObject** stack, size_t npos,
                       PyObject* kwnames) {
    Ref method = steal(found);
    switch (kind) {
        case MethodLookup::Unbound:
            // This module's own function: its entry directly, as the call would reach it.
            if (Py_IS_TYPE(method.get(), &FunctionType))
                return steal(call_function(method.get(), stack, npos, kwnames));
            return steal(PyObject_Vectorcall(method.get(), stack, npos, kwnames));
        case MethodLookup::FromDict:
            return steal(PyObject_Vectorcall(method.get(), stack + 1, (npos - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                             kwnames));
        case MethodLookup::Failed:
            return Ref();
        case MethodLookup::NotApplied:
            break;
    }
    return steal(PyObject_VectorcallMethod(name, stack, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}
}  // namespace

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
    const MethodLookup kind = find_method(self, name, &found);
    return finish_method_call(kind, found, name, stack, npos, kwnames);
}

Ref SelfMethod::call(PyObject* self, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    PyObject* stack[kMaxCallArgs + 1];
    size_t n = 0;
    stack[n++] = self;
    for (PyObject* a : args) stack[n++] = a;
    const size_t npos = n - (kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0);
    if (found_.get() && seen_.still_found(self, name_)) {
        // Held for the call: a call made meanwhile may remember another function here.
        Ref method = borrow(found_.get());
        if (Py_IS_TYPE(method.get(), &FunctionType)) return steal(call_function(method.get(), stack, npos, kwnames));
        return steal(PyObject_Vectorcall(method.get(), stack, npos, kwnames));
    }
    PyObject* found = nullptr;
    const MethodLookup kind = find_method(self, name_, &found);
    if (kind == MethodLookup::Unbound) {
        found_.set(found);
        seen_.found_own(self);
    } else {
        seen_.found_other();
    }
    return finish_method_call(kind, found, name_, stack, npos, kwnames);
}

Ref ObjectMethod::call(PyObject* obj, std::initializer_list<PyObject*> args) {
    PyObject* stack[kMaxCallArgs + 1];
    size_t n = 0;
    stack[n++] = obj;
    for (PyObject* a : args) stack[n++] = a;
    for (const Seen& s : seen_) {
        if (s.obj != obj) continue;
        PyObject* result;
        if (n == def_.params.size() && s.method.still_found(obj, name_) && run_if_checked(def_, stack, &result))
            return steal(result);
        break;
    }
    PyObject* found = nullptr;
    const MethodLookup kind = find_method(obj, name_, &found);
    if (kind == MethodLookup::Unbound && is_function(found, def_)) remember(obj);
    return finish_method_call(kind, found, name_, stack, n, nullptr);
}

void ObjectMethod::remember(PyObject* obj) {
    Seen* slot = nullptr;
    for (Seen& s : seen_)
        if (s.obj == obj) slot = &s;
    if (!slot) slot = &seen_[next_++ % kSeen];
    slot->obj = obj;
    slot->method.found_own(obj, true);
}

Ref FoundHook::call(std::initializer_list<PyObject*> args, PyObject* kwnames) const {
    // stack[0] is the slot that PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee use.
    PyObject* stack[kMaxCallArgs + 2];
    size_t n = 0;
    stack[1 + n++] = self_;
    for (PyObject* a : args) stack[1 + n++] = a;
    const size_t nkw = kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0;
    if (unbound_) {
        // This module's own function: its entry directly, as the call would reach it.
        if (Py_IS_TYPE(hook_.get(), &FunctionType)) return steal(call_function(hook_.get(), stack + 1, n - nkw, kwnames));
        return steal(PyObject_Vectorcall(hook_.get(), stack + 1, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    }
    return steal(PyObject_Vectorcall(hook_.get(), stack + 2, (n - 1 - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref SelfHook::call(PyObject* self, std::initializer_list<PyObject*> args, PyObject* kwnames) {
    if (binding_ == Binding::Method && default_fn_.get() && still_default(self)) {
        PyObject* stack[kMaxCallArgs + 1];
        size_t n = 0;
        stack[n++] = self;
        for (PyObject* a : args) stack[n++] = a;
        const size_t nkw = kwnames ? (size_t)PyTuple_GET_SIZE(kwnames) : 0;
        return steal(call_function(default_fn_.get(), stack, n - nkw, kwnames));
    }
    FoundHook hook;
    if (!find(self, hook)) return Ref();
    return hook.call(args, kwnames);
}

bool SelfHook::find(PyObject* self, FoundHook& out) {
    out.self_ = self;
    out.bound_to_ = nullptr;
    out.unbound_ = false;
    out.default_ = false;
    if (binding_ == Binding::Method) {
        PyObject* found = nullptr;
        switch (find_method(self, name_, &found)) {
            case MethodLookup::Unbound: out.unbound_ = true; break;
            case MethodLookup::FromDict: break;
            case MethodLookup::Failed: return false;
            case MethodLookup::NotApplied: out.unbound_ = compat::get_method(self, name_, &found) == 1; break;
        }
        out.hook_ = steal(found);
    } else {
        out.hook_ = attr(self, name_);
    }
    if (!out.hook_) return false;
    PyObject* h = out.hook_.get();
    switch (binding_) {
        case Binding::Method: out.default_ = out.unbound_ && is_function(h, def_); break;
        case Binding::Static: out.default_ = is_function(h, def_); break;
        case Binding::Class:
            out.default_ = PyMethod_Check(h) && is_function(PyMethod_GET_FUNCTION(h), def_);
            if (out.default_) out.bound_to_ = PyMethod_GET_SELF(h);  // kept alive by the bound method
            return true;
    }
    if (out.default_) {
        if (binding_ == Binding::Method) default_fn_.set(h);
        seen_.found_own(self);
    } else {
        seen_.found_other();
    }
    return true;
}

}  // namespace rt
