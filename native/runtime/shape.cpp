#include "shape.hpp"

#include "compat.hpp"

namespace rt {

bool RowShape::same_keys(PyObject* row) {
    rows_.push_back(Noted{});
    return !keys_.empty() && note(row);
}

void RowShape::learn(PyObject* row) {
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
bool RowShape::note(PyObject* row) {
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

void RowShape::map_columns(PyObject* columns) {
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

bool RowShape::unchanged(size_t i, PyObject* row) {
    if (!usable_ || i >= rows_.size() || !rows_[i].noted ||
        !compat::dict_unchanged(row, rows_[i].version, compat::Keep::Call))
        return false;
    current_ = &values_[rows_[i].at];
    return true;
}

}  // namespace rt
