#include "class_hook.hpp"

#include "compat.hpp"

namespace rt {

bool ClassHook::find(PyObject* self, FoundHook& out, PyObject*& bound_to) {
    PyTypeObject* t = Py_TYPE(self);
    if (seen_.still_found(self, name_)) {
        bound_to = reinterpret_cast<PyObject*>(t);
        return true;
    }
    bound_to = nullptr;
    if (!hook_.find(self, out)) return false;
    if (!out.is_default()) {
        seen_.found_other();
        return true;
    }
    bound_to = out.bound_to();
    // Checked after the lookup: had it run code that changed the class, the
    // class's entry would no longer be the one it found.
    PyObject* entry = compat::type_lookup(t, name_);
    if (bound_to == reinterpret_cast<PyObject*>(t) && entry && Py_IS_TYPE(entry, &PyClassMethod_Type))
        seen_.found_own(self);
    else
        seen_.found_other();
    return true;
}

}  // namespace rt
