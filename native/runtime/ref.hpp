// Owning references to Python objects.  Feature code holds every object it
// uses through a Ref, so that every early return releases what it took.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

// noinline: the function is never inlined into its callers, so that its
// locals never enlarge the frame of a caller that recursion keeps on the stack.
#if defined(__GNUC__)
#define QUARNA_COLD __attribute__((noinline))
#else
#define QUARNA_COLD
#endif

namespace rt {

class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (may be NULL, which means an error is set).
    static Ref steal(PyObject* owned) noexcept { Ref r; r.p_ = owned; return r; }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return steal(borrowed);
    }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { PyObject* t = p_; p_ = nullptr; return t; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* o) const noexcept { return p_ == o; }

private:
    PyObject* p_ = nullptr;
};

// A reference held for the life of the process, such as the one module
// object.  It is never released at exit, when the interpreter that owns the
// object may already be gone, so it has no destructor.
class Kept {
public:
    PyObject* get() const noexcept { return p_; }
    // Holds o instead; the reference held before is handed back.
    Ref replace(PyObject* o) noexcept {
        Py_XINCREF(o);
        Ref old = Ref::steal(p_);
        p_ = o;
        return old;
    }
    void set(PyObject* o) noexcept { replace(o); }
    void clear() noexcept { replace(nullptr); }

private:
    PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* o) noexcept { return Ref::steal(o); }
inline Ref borrow(PyObject* o) noexcept { return Ref::borrow(o); }
inline Ref none() noexcept { return Ref::borrow(Py_None); }

}  // namespace rt
