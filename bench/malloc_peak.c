/* LD_PRELOAD shim for bench/memory.py: counts the bytes held in malloc'd blocks (as
 * malloc_usable_size reports them) and their peak, so that a measurement sees the allocations
 * of native code (C++ new, std::vector) too, not only those tracemalloc traces. Run Python with
 * PYTHONMALLOC=malloc so that its objects go through malloc as well.
 * Build: gcc -O2 -shared -fPIC malloc_peak.c -o malloc_peak.so */
#define _GNU_SOURCE
#include <errno.h>
#include <malloc.h>
#include <stddef.h>

extern void *__libc_malloc(size_t);
extern void __libc_free(void *);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);

static size_t current, peak;

static void held(void *p) {
    if (p) {
        size_t now = __atomic_add_fetch(&current, malloc_usable_size(p), __ATOMIC_RELAXED);
        if (now > peak) peak = now;
    }
}
static void released(void *p) {
    if (p) __atomic_sub_fetch(&current, malloc_usable_size(p), __ATOMIC_RELAXED);
}

void *malloc(size_t n) { void *p = __libc_malloc(n); held(p); return p; }
void *calloc(size_t a, size_t b) { void *p = __libc_calloc(a, b); held(p); return p; }
void free(void *p) { released(p); __libc_free(p); }
void *realloc(void *q, size_t n) {
    size_t old = q ? malloc_usable_size(q) : 0;
    void *p = __libc_realloc(q, n);
    if (p) {
        __atomic_sub_fetch(&current, old, __ATOMIC_RELAXED);
        held(p);
    } else if (q && n == 0) {
        __atomic_sub_fetch(&current, old, __ATOMIC_RELAXED);
    }
    return p;
}
void *memalign(size_t align, size_t n) { void *p = __libc_memalign(align, n); held(p); return p; }
void *aligned_alloc(size_t align, size_t n) { return memalign(align, n); }
int posix_memalign(void **out, size_t align, size_t n) {
    void *p = __libc_memalign(align, n);
    if (!p) return ENOMEM;
    held(p);
    *out = p;
    return 0;
}
void *valloc(size_t n) { return memalign(4096, n); }

/* Read by memory.py through ctypes. */
size_t malloc_peak_current(void) { return current; }
size_t malloc_peak_peak(void) { return peak; }
void malloc_peak_reset(void) { peak = current; }
