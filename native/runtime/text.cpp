#include "text.hpp"

namespace rt {

namespace {
Literal* g_literals = nullptr;
}  // namespace

Literal::Literal(const char* text) noexcept : text_(text), next_(g_literals) { g_literals = this; }

bool Literal::make_all() {
    for (Literal* l = g_literals; l; l = l->next_) {
        if (l->obj_) continue;
        l->obj_ = PyUnicode_FromString(l->text_);
        if (!l->obj_) return false;
    }
    return true;
}

Ref format_text(PyObject* o) {
    if (PyUnicode_CheckExact(o)) return borrow(o);
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o)) return steal(PyObject_Str(o));
    static PyObject* empty = nullptr;
    if (!empty && !(empty = PyUnicode_FromStringAndSize("", 0))) return Ref();
    Ref r = steal(PyObject_Format(o, empty));
    if (r && !PyUnicode_Check(r.get())) {
        PyErr_Format(PyExc_TypeError, "__format__ must return a str, not %.200s", Py_TYPE(r.get())->tp_name);
        return Ref();
    }
    return r;
}

bool Text::formatted(PyObject* o) {
    if (PyUnicode_CheckExact(o)) { str(o); return true; }
    Ref s = format_text(o);
    if (!s) return false;
    str(s.get());
    return true;
}

void Text::slice(PyObject* s, Py_ssize_t start, Py_ssize_t end) {
    const Py_ssize_t n = end - start;
    if (n <= 0) return;
    Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
    if (m > maxchar_) {
        // A slice may need a narrower kind than its string: measure it, so
        // the result keeps the canonical (narrowest) representation.
        const int kind = PyUnicode_KIND(s);
        const void* data = PyUnicode_DATA(s);
        const Py_UCS4 top = m;
        m = 0;
        for (Py_ssize_t i = start; i < end && m < top; ++i) {
            Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c > m) m = c;
        }
    }
    push(Piece{s, nullptr, n, start});
    Py_INCREF(s);
    length_ += n;
    if (m > maxchar_) maxchar_ = m;
}

bool Text::inside_quotes(PyObject* name, PyObject* quote) {
    if (PyUnicode_Check(quote) && PyUnicode_GET_LENGTH(quote) == 1)
        return inside_quotes(name, PyUnicode_READ_CHAR(quote, 0));
    str(name);
    return true;
}

bool Text::doubling_quotes(PyObject* name, Py_UCS4 quote, Py_ssize_t at) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    Py_ssize_t start = 0;
    // Each piece ends with a quote, and the next one starts with it again.
    do {
        slice(name, start, at + 1);
        start = at;
    } while ((at = PyUnicode_FindChar(name, quote, at + 1, n, 1)) >= 0);
    if (at == -2) return false;
    slice(name, start, n);
    return true;
}

void Text::append(const Text& other) {
    for (const Piece* q = other.begin(); q != other.end(); ++q) {
        const Piece& p = *q;
        if (!p.obj) lit(p.ascii, (size_t)p.len);
        else if (p.start == 0 && p.len == PyUnicode_GET_LENGTH(p.obj)) str(p.obj);
        else slice(p.obj, p.start, p.start + p.len);
    }
}

Ref Text::build() const {
    PyObject* out = PyUnicode_New(length_, maxchar_);
    if (!out) return Ref();
    const int kind = PyUnicode_KIND(out);
    void* data = PyUnicode_DATA(out);
    Py_ssize_t pos = 0;
    for (const Piece* q = begin(); q != end(); ++q) {
        const Piece& p = *q;
        if (p.obj) {
            // Same kind: a plain copy; otherwise a loop (wider, or narrower for a slice).
            const int skind = PyUnicode_KIND(p.obj);
            const void* sdata = (const char*)PyUnicode_DATA(p.obj) + p.start * skind;
            if (skind == kind) {
                std::memcpy((char*)data + pos * kind, sdata, (size_t)(p.len * kind));
            } else {
                for (Py_ssize_t i = 0; i < p.len; ++i)
                    PyUnicode_WRITE(kind, data, pos + i, PyUnicode_READ(skind, sdata, i));
            }
        } else if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy((char*)data + pos, p.ascii, (size_t)p.len);
        } else {
            for (Py_ssize_t i = 0; i < p.len; ++i)
                PyUnicode_WRITE(kind, data, pos + i, (Py_UCS4)(unsigned char)p.ascii[i]);
        }
        pos += p.len;
    }
    return steal(out);
}

}  // namespace rt
