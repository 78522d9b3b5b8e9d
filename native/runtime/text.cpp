#include "text.hpp"

namespace rt {

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

void Text::append(const Text& other) {
    for (const Piece& p : other.pieces_) {
        if (p.obj) str(p.obj); else lit(p.ascii, (size_t)p.len);
    }
}

Ref Text::build() const {
    PyObject* out = PyUnicode_New(length_, maxchar_);
    if (!out) return Ref();
    const int kind = PyUnicode_KIND(out);
    void* data = PyUnicode_DATA(out);
    Py_ssize_t pos = 0;
    for (const Piece& p : pieces_) {
        if (p.obj) {
            // Same or wider kind: a plain copy or a widening loop.
            const int skind = PyUnicode_KIND(p.obj);
            const void* sdata = PyUnicode_DATA(p.obj);
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
