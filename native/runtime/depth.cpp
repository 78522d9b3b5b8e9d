#include "depth.hpp"

#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

// The thread's stack bounds come from pthread_getattr_np and pthread_attr_getstack.  glibc 2.32
// and 2.34 moved both from libpthread into libc under new symbol versions, which a module linked
// against a newer glibc would then require, though every glibc since 2.2.5 (x86_64; 2.17 on
// aarch64, its first) has them.  Built against a newer glibc, the module binds to those first
// versions, and so loads on the oldest glibc its wheels are tagged for: there the interpreter,
// which creates threads, has libpthread loaded, and later glibcs keep the old versions.  Weak
// references: where neither is found, the bounds are unknown and only the recursion limit counts.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 32) && (defined(__x86_64__) || defined(__aarch64__))
#if defined(__x86_64__)
#define QUARNA_GLIBC_FIRST "GLIBC_2.2.5"
#else
#define QUARNA_GLIBC_FIRST "GLIBC_2.17"
#endif
extern "C" {
int quarna_pthread_getattr_np(pthread_t, pthread_attr_t*) __attribute__((weak));
int quarna_pthread_attr_getstack(const pthread_attr_t*, void**, size_t*) __attribute__((weak));
}
__asm__(".symver quarna_pthread_getattr_np, pthread_getattr_np@" QUARNA_GLIBC_FIRST);
__asm__(".symver quarna_pthread_attr_getstack, pthread_attr_getstack@" QUARNA_GLIBC_FIRST);
#define QUARNA_GETATTR_NP quarna_pthread_getattr_np
#define QUARNA_ATTR_GETSTACK quarna_pthread_attr_getstack
#elif defined(__linux__)
#define QUARNA_GETATTR_NP pthread_getattr_np
#define QUARNA_ATTR_GETSTACK pthread_attr_getstack
#endif

namespace rt {

namespace {

// Stack kept free below the deepest level: room for the Python code one level
// calls (hooks, model validation) and for raising the error itself.
constexpr size_t kReserve = 64 * 1024;
// Stack one level of the json encoder or decoder takes, rounded up (about
// 150 bytes measured on 3.13).
constexpr size_t kForeignLevelBytes = 256;

struct ThreadStack {
    bool known = false;
    uintptr_t low = 0;  // lowest usable address; 0 when unknown
    uintptr_t high = 0;
    size_t reserve = kReserve;
    long depth = 0;     // levels of RecursionGuard entered in this thread
};

// Initial-exec: the state is reached at a fixed offset from the thread pointer, with no
// __tls_get_addr call per level.  In a library loaded with dlopen this takes a few dozen bytes
// of the static TLS surplus that glibc reserves for such libraries.
#if defined(__GNUC__) && defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local ThreadStack t_stack;

void find_bounds(ThreadStack& s) {
    s.known = true;
#if defined(QUARNA_GETATTR_NP)
#if defined(QUARNA_GLIBC_FIRST)
    if (!QUARNA_GETATTR_NP || !QUARNA_ATTR_GETSTACK) return;
#endif
    pthread_attr_t attr;
    if (QUARNA_GETATTR_NP(pthread_self(), &attr) != 0) return;
    void* addr = nullptr;
    size_t size = 0;
    if (QUARNA_ATTR_GETSTACK(&attr, &addr, &size) == 0 && addr && size) {
        s.low = reinterpret_cast<uintptr_t>(addr);
        s.high = s.low + size;
        // A small stack keeps a quarter of itself free rather than all of it.
        if (size / 4 < s.reserve) s.reserve = size / 4;
    }
    pthread_attr_destroy(&attr);
#endif
}

ThreadStack& thread_stack() {
    ThreadStack& s = t_stack;
    if (!s.known) find_bounds(s);
    return s;
}

// The frame address, not the address of a local: under AddressSanitizer
// locals may live on a heap-allocated fake stack.
inline uintptr_t here() { return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)); }

// Bytes of stack left below sp; SIZE_MAX when unknown.  Code running on a
// stack of its own (a coroutine library's) is outside the
// thread's bounds: unknown, as on a system without them.
size_t left_of(const ThreadStack& s, uintptr_t sp) {
    if (!s.low || sp < s.low || sp >= s.high) return SIZE_MAX;
    return (size_t)(sp - s.low);
}

void raise_depth(const char* where) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
}

}  // namespace

bool RecursionGuard::enter_level(const char* where) noexcept {
    ThreadStack& s = thread_stack();
    if (left_of(s, here()) < s.reserve || s.depth >= Py_GetRecursionLimit()) {
        raise_depth(where);
        return false;
    }
    if (Py_EnterRecursiveCall(where)) return false;
    ++s.depth;
    return true;
}

void RecursionGuard::leave_level() noexcept {
    --t_stack.depth;
    Py_LeaveRecursiveCall();
}

namespace {

// Deepest nesting of brackets outside string literals in JSON text, counted
// until it passes `allowed`.
template <class Char>
bool text_nesting_fits(const Char* p, Py_ssize_t n, size_t allowed) {
    size_t depth = 0;
    bool in_string = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Char c = p[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > allowed) return false;
        } else if ((c == ']' || c == '}') && depth) {
            --depth;
        }
    }
    return true;
}

bool is_container(PyObject* o) { return PyList_Check(o) || PyTuple_Check(o) || PyDict_Check(o); }

// Walks lists, tuples and dict values depth first (no Python code runs, so
// nothing changes under the walk).  1: within `allowed`; 0: deeper; -1: no
// memory.  A container met again on the current path is a cycle: that is the
// encoder's own error to report, so the walk stops there and lets it.
int value_nesting_fits(PyObject* root, size_t allowed) {
    struct Level {
        PyObject* container;
        Py_ssize_t pos;
    };
    Level* path = PyMem_New(Level, allowed + 1);
    if (!path) return -1;
    size_t top = 0;
    path[0] = Level{root, 0};
    int result = 1;
    for (;;) {
        Level& level = path[top];
        PyObject* o = level.container;
        PyObject* child = nullptr;
        if (PyDict_Check(o)) {
            PyObject* key;
            while (!child && PyDict_Next(o, &level.pos, &key, &child))
                if (!is_container(child)) child = nullptr;
        } else if (PyList_Check(o)) {
            while (!child && level.pos < PyList_GET_SIZE(o)) {
                child = PyList_GET_ITEM(o, level.pos++);
                if (!is_container(child)) child = nullptr;
            }
        } else {
            while (!child && level.pos < PyTuple_GET_SIZE(o)) {
                child = PyTuple_GET_ITEM(o, level.pos++);
                if (!is_container(child)) child = nullptr;
            }
        }
        if (!child) {
            if (top == 0) break;
            --top;
            continue;
        }
        if (top == allowed) {
            result = 0;
            for (size_t i = 0; i <= top; ++i)
                if (path[i].container == child) result = 1;
            break;
        }
        path[++top] = Level{child, 0};
    }
    PyMem_Free(path);
    return result;
}

}  // namespace

bool nesting_fits(PyObject* value, const char* where) {
    const ThreadStack& s = thread_stack();
    const size_t left = left_of(s, here());
    if (left == SIZE_MAX) return true;
    size_t limit = (size_t)Py_GetRecursionLimit();
#if PY_VERSION_HEX >= 0x030C0000
    // From 3.12 the encoder and decoder stop at the interpreter's C recursion
    // limit (at most 10,000 levels), whatever sys.getrecursionlimit() says.
    if (limit < 10000) limit = 10000;
#endif
    if (left >= s.reserve && (left - s.reserve) / kForeignLevelBytes >= limit) return true;
    const size_t allowed = left > s.reserve ? (left - s.reserve) / kForeignLevelBytes : 0;
    bool fits = true;
    if (PyUnicode_Check(value)) {
        const void* data = PyUnicode_DATA(value);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
        switch (PyUnicode_KIND(value)) {
            case PyUnicode_1BYTE_KIND: fits = text_nesting_fits(static_cast<const Py_UCS1*>(data), n, allowed); break;
            case PyUnicode_2BYTE_KIND: fits = text_nesting_fits(static_cast<const Py_UCS2*>(data), n, allowed); break;
            default: fits = text_nesting_fits(static_cast<const Py_UCS4*>(data), n, allowed); break;
        }
    } else if (PyBytes_Check(value)) {
        fits = text_nesting_fits(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(value)),
                                 PyBytes_GET_SIZE(value), allowed);
    } else if (is_container(value)) {
        const int r = value_nesting_fits(value, allowed);
        if (r < 0) {
            PyErr_NoMemory();
            return false;
        }
        fits = r == 1;
    }
    if (!fits) raise_depth(where);
    return fits;
}

}  // namespace rt
