// Rows made by one piece of code usually hold the very same key objects in
// the same order.  rt::RowShape remembers, within one call, the keys of the
// first such row and the values of every row that has exactly them, so that a
// row's values can be read by position while the row is unchanged.  All of
// it is defined here, so that the bulk insert's loops inline it: out of line
// the bulk insert took 7% more instructions.
#pragma once
#include "compat.hpp"
#include "ref.hpp"

#include <cstdint>
#include <vector>

namespace rt {

class RowShape {
public:
    explicit RowShape(Py_ssize_t rows) { rows_.reserve((size_t)rows); }
    RowShape(const RowShape&) = delete;
    RowShape& operator=(const RowShape&) = delete;

    // Called once for each row, in order.  True when the row is a plain dict
    // holding exactly the shape's key objects in the shape's order: its keys
    // then add nothing that the shape's first row did not.
    bool same_keys(PyObject* row);
    // Called after same_keys(row) said no: while there is no shape yet, a
    // plain dict row whose keys are all exact str becomes it.
    void learn(PyObject* row);

    // Where each column of a list sits in the shape (-1: not in it).  Reads
    // by position are made only when every column is an exact str: looking
    // such a column up finds the entry whose key equals it, and no Python
    // code runs either way.
    void map_columns(PyObject* columns);
    // True when row i had the shape and is unchanged since (its dict version);
    // value(j) then reads its value for column j (borrowed; None when absent).
    bool unchanged(size_t i, PyObject* row) {
        if (!usable_ || i >= rows_.size() || !rows_[i].noted ||
            !compat::dict_unchanged(row, rows_[i].version, compat::Keep::Call))
            return false;
        current_ = &values_[rows_[i].at];
        return true;
    }
    PyObject* value(size_t j) const {
        const Py_ssize_t at = positions_[j];
        return at < 0 ? Py_None : current_[at];
    }

private:
    struct Noted {
        bool noted = false;
        uint64_t version = 0;
        size_t at = 0;
    };
    bool note(PyObject* row);
    std::vector<Ref> keys_;
    std::vector<PyObject*> values_;  // borrowed; of the noted rows, in row order
    std::vector<Noted> rows_;
    std::vector<Py_ssize_t> positions_;
    PyObject* const* current_ = nullptr;
    bool usable_ = false;
};

inline bool RowShape::same_keys(PyObject* row) {
    rows_.push_back(Noted{});
    return !keys_.empty() && note(row);
}

inline void RowShape::learn(PyObject* row) {
    if (!keys_.empty() || !PyDict_CheckExact(row)) return;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(row, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k)) {
            keys_.clear();
            return;
        }
        keys_.push_back(borrow(k));
    }
    if (keys_.empty()) return;
    values_.reserve(keys_.size() * rows_.capacity());
    note(row);
}

// Notes the row's values when its keys are the shape's.
inline bool RowShape::note(PyObject* row) {
    if (!PyDict_CheckExact(row) || PyDict_GET_SIZE(row) != (Py_ssize_t)keys_.size()) return false;
    // Taken first: the walk below runs no Python code (it compares key identities).
    const uint64_t version = compat::dict_version(row, compat::Keep::Call);
    const size_t at = values_.size();
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (size_t i = 0; PyDict_Next(row, &pos, &k, &v); ++i) {
        if (i >= keys_.size() || k != keys_[i].get()) {
            values_.resize(at);
            return false;
        }
        values_.push_back(v);
    }
    if (values_.size() - at != keys_.size()) {
        values_.resize(at);
        return false;
    }
    rows_.back() = Noted{true, version, at};
    return true;
}

inline void RowShape::map_columns(PyObject* columns) {
    const Py_ssize_t n = PyList_GET_SIZE(columns);
    positions_.assign((size_t)n, -1);
    usable_ = !keys_.empty();
    for (Py_ssize_t j = 0; usable_ && j < n; ++j) {
        PyObject* column = PyList_GET_ITEM(columns, j);
        if (!PyUnicode_CheckExact(column)) usable_ = false;
        for (size_t i = 0; usable_ && i < keys_.size(); ++i)
            if (PyUnicode_Compare(column, keys_[i].get()) == 0) positions_[(size_t)j] = (Py_ssize_t)i;
    }
}

}  // namespace rt
