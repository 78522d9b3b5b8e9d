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

namespace {
int kind_for(Py_UCS4 maxchar) {
    return maxchar < 256 ? PyUnicode_1BYTE_KIND : maxchar < 65536 ? PyUnicode_2BYTE_KIND : PyUnicode_4BYTE_KIND;
}
}  // namespace

void Text::grow(Py_ssize_t need, int kind) {
    Py_ssize_t cap = capacity_ * kind_ / kind;
    if (cap < 64) cap = 64;
    while (cap < need) cap *= 2;
    std::unique_ptr<unsigned char[]> bigger(new unsigned char[(size_t)(cap * kind)]);
    if (kind == kind_) {
        std::memcpy(bigger.get(), data_, (size_t)(length_ * kind));
    } else {
        for (Py_ssize_t i = 0; i < length_; ++i)
            PyUnicode_WRITE(kind, bigger.get(), i, PyUnicode_READ(kind_, data_, i));
    }
    heap_ = std::move(bigger);
    data_ = heap_.get();
    capacity_ = cap;
    kind_ = kind;
}

void Text::widen(Py_UCS4 maxchar) {
    const int kind = kind_for(maxchar);
    if (kind != kind_) {
        if (length_ == 0 && data_ == inline_) {
            kind_ = kind;
            capacity_ = kInlineBytes / kind;
        } else {
            grow(length_, kind);
        }
    }
    maxchar_ = maxchar;
}

void Text::widen_ascii(const char* s, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i)
        PyUnicode_WRITE(kind_, data_, length_ + i, (Py_UCS4)(unsigned char)s[i]);
}

void Text::widen_copy(int skind, const void* src, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) PyUnicode_WRITE(kind_, data_, length_ + i, PyUnicode_READ(skind, src, i));
}

void Text::slice(PyObject* s, Py_ssize_t start, Py_ssize_t end) {
    const Py_ssize_t n = end - start;
    if (n <= 0) return;
    const int skind = PyUnicode_KIND(s);
    const void* sdata = (const char*)PyUnicode_DATA(s) + start * skind;
    Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
    if (m > maxchar_) {
        // A slice may need a narrower kind than its string: measure it, so
        // the result keeps the canonical (narrowest) representation.
        const Py_UCS4 top = m;
        m = 0;
        for (Py_ssize_t i = 0; i < n && m < top; ++i) {
            Py_UCS4 c = PyUnicode_READ(skind, sdata, i);
            if (c > m) m = c;
        }
        if (m > maxchar_) widen(m);
    }
    if (skind <= kind_) {
        put(skind, sdata, n);
        return;
    }
    // Wider storage than the characters taken need: each is read as it is.
    room(n);
    for (Py_ssize_t i = 0; i < n; ++i) PyUnicode_WRITE(kind_, data_, length_ + i, PyUnicode_READ(skind, sdata, i));
    length_ += n;
}

void Text::repeat_tail(Py_ssize_t from, Py_ssize_t times) {
    const Py_ssize_t unit = length_ - from;
    if (unit <= 0 || times <= 0) return;
    room(unit * times);
    Py_ssize_t done = 1;  // copies of the unit from `from` on
    while (times > 0) {
        const Py_ssize_t k = times < done ? times : done;
        std::memcpy(data_ + length_ * kind_, data_ + from * kind_, (size_t)(k * unit * kind_));
        length_ += k * unit;
        done += k;
        times -= k;
    }
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

Ref Text::build() const {
    PyObject* out = PyUnicode_New(length_, maxchar_);
    if (!out) return Ref();
    // PyUnicode_New chose the kind from maxchar_ as kind_for does.
    std::memcpy(PyUnicode_DATA(out), data_, (size_t)(length_ * kind_));
    return steal(out);
}

}  // namespace rt
