// Statement text builder: characters are copied in as they come, into a
// buffer as wide as the widest character so far (1, 2 or 4 bytes, as the
// finished str will be), so that build() is one allocation and one copy.  No
// UTF-8 round trip: any code point, lone surrogates included, is kept.
#pragma once
#include "ref.hpp"

#include <cstring>
#include <memory>

namespace rt {

class Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    // ASCII text, copied now.
    template <size_t N>
    void lit(const char (&s)[N]) { lit(s, N - 1); }
    void lit(const char* s, size_t n) {
        if (n == 0) return;
        room((Py_ssize_t)n);
        if (kind_ == PyUnicode_1BYTE_KIND) std::memcpy(data_ + length_, s, n);
        else widen_ascii(s, (Py_ssize_t)n);
        length_ += (Py_ssize_t)n;
    }
    // A str object (exact or subclass), copied now.
    void str(PyObject* s) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (n == 0) return;
        const Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
        if (m > maxchar_) widen(m);
        put(PyUnicode_KIND(s), PyUnicode_DATA(s), n);
    }
    // The characters [start, end) of a str object; the result is only as
    // wide as the characters taken need.
    void slice(PyObject* s, Py_ssize_t start, Py_ssize_t end);
    // An object "formatted as text": a str as itself, an exact int or float
    // through str(), anything else through format(o, '').
    bool formatted(PyObject* o);
    // A name (a str) written between two quote characters: each occurrence
    // of the quote character inside it is doubled, so that it cannot end
    // the quoted name or literal early.  This is the one place a quote is
    // doubled.  The first form doubles only when `quote` is a
    // one-character str; any other quote leaves the name as it is.  False
    // with an exception set on error.
    bool inside_quotes(PyObject* name, PyObject* quote);
    bool inside_quotes(PyObject* name, Py_UCS4 quote) {
        const Py_ssize_t at = PyUnicode_FindChar(name, quote, 0, PyUnicode_GET_LENGTH(name), 1);
        if (at == -1) {
            str(name);
            return true;
        }
        return at >= 0 && doubling_quotes(name, quote, at);
    }
    // Appends `times` more copies of the characters written from `from` on
    // (a run of equal groups, copied in doubling blocks).
    void repeat_tail(Py_ssize_t from, Py_ssize_t times);
    // Appends everything collected by another builder.
    void append(const Text& other) {
        if (other.length_ == 0) return;
        if (other.maxchar_ > maxchar_) widen(other.maxchar_);
        put(other.kind_, other.data_, other.length_);
    }

    Py_ssize_t length() const { return length_; }
    bool empty() const { return length_ == 0; }

    // The finished text as a new str, or NULL with an exception set.
    Ref build() const;

private:
    // inside_quotes once a quote was found at `at`.
    bool doubling_quotes(PyObject* name, Py_UCS4 quote, Py_ssize_t at);
    // Room for n more characters.  May throw std::bad_alloc (the function
    // boundary turns it into MemoryError); nothing is changed then.
    void room(Py_ssize_t n) {
        if (length_ + n > capacity_) grow(length_ + n, kind_);
    }
    // Copies n characters of kind `skind` (no wider than the buffer's).
    void put(int skind, const void* src, Py_ssize_t n) {
        room(n);
        if (skind == kind_) std::memcpy(data_ + length_ * kind_, src, (size_t)(n * kind_));
        else widen_copy(skind, src, n);
        length_ += n;
    }
    void grow(Py_ssize_t need, int kind);
    void widen(Py_UCS4 maxchar);
    void widen_ascii(const char* s, Py_ssize_t n);
    void widen_copy(int skind, const void* src, Py_ssize_t n);

    // Most texts are short: those stay in the builder itself, so a builder
    // costs no allocation until it outgrows this.
    static constexpr Py_ssize_t kInlineBytes = 232;
    alignas(4) unsigned char inline_[kInlineBytes];
    std::unique_ptr<unsigned char[]> heap_;
    unsigned char* data_ = inline_;
    Py_ssize_t length_ = 0;             // characters
    Py_ssize_t capacity_ = kInlineBytes;  // characters of the current kind
    int kind_ = PyUnicode_1BYTE_KIND;
    Py_UCS4 maxchar_ = 127;
};

// Formats one object as text, as Text::formatted does.
Ref format_text(PyObject* o);

// A str made once when the module loads from ASCII text that is not an
// identifier (identifiers are rt::Name): statement text or a pattern handed
// out as an object, a separator.  Declare at file scope:
//   rt::Literal t_count_star("COUNT(*)");
class Literal {
public:
    explicit Literal(const char* text) noexcept;
    Literal(const Literal&) = delete;
    Literal& operator=(const Literal&) = delete;
    PyObject* get() const noexcept { return obj_; }
    operator PyObject*() const noexcept { return obj_; }
    // Makes every declared literal; false with an exception set on failure.
    static bool make_all();

private:
    const char* text_;
    PyObject* obj_ = nullptr;  // owned, for the life of the process
    Literal* next_;
};

}  // namespace rt
