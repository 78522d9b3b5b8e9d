// Statement text builder: collects pieces, then allocates the result once.
// Pieces are ASCII literals or str objects (held owned until build()); no
// UTF-8 round trip, so any code point, lone surrogates included, is kept.
#pragma once
#include "ref.hpp"

#include <cstring>
#include <vector>

namespace rt {

class Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    // ASCII text that stays in place until build(): a literal, or a buffer
    // that outlives the builder's use.
    template <size_t N>
    void lit(const char (&s)[N]) { lit(s, N - 1); }
    void lit(const char* s, size_t n) {
        if (n == 0) return;
        push(Piece{nullptr, s, (Py_ssize_t)n});
        length_ += (Py_ssize_t)n;
    }
    // A str object (exact or subclass); a reference is kept until build().
    void str(PyObject* s) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if (n == 0) return;
        push(Piece{s, nullptr, n});  // may throw std::bad_alloc: nothing taken yet
        Py_INCREF(s);
        length_ += n;
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(s);
        if (m > maxchar_) maxchar_ = m;
    }
    // The characters [start, end) of a str object, kept referenced until
    // build(); the result is only as wide as the characters taken need.
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
    // Appends everything collected by another builder.
    void append(const Text& other);

    Py_ssize_t length() const { return length_; }
    bool empty() const { return length_ == 0; }

    // The finished text as a new str, or NULL with an exception set.
    Ref build() const;

    ~Text() {
        for (const Piece* p = begin(); p != end(); ++p) Py_XDECREF(p->obj);
    }

private:
    // inside_quotes once a quote was found at `at`.
    bool doubling_quotes(PyObject* name, Py_UCS4 quote, Py_ssize_t at);
    struct Piece {
        PyObject* obj;
        const char* ascii;
        Py_ssize_t len;
        Py_ssize_t start = 0;  // first character taken from obj
    };
    // Most texts have a few pieces: those stay in the builder itself, so a
    // builder costs no allocation until it outgrows them.
    static constexpr size_t kInline = 8;
    void push(const Piece& p) {
        if (count_ < kInline) {
            inline_[count_++] = p;
            return;
        }
        if (count_ == kInline) {
            more_.reserve(8 * kInline);
            more_.assign(inline_, inline_ + kInline);
        }
        more_.push_back(p);
        ++count_;
    }
    const Piece* begin() const { return count_ <= kInline ? inline_ : more_.data(); }
    const Piece* end() const { return begin() + count_; }
    Piece inline_[kInline];
    std::vector<Piece> more_;
    size_t count_ = 0;
    Py_ssize_t length_ = 0;
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
