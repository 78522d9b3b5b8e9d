// Rows made by one piece of code usually hold the very same key objects in
// the same order.  rt::RowShape remembers, within one call, the keys of the
// first such row and the values of every row that has exactly them, so that a
// row's values can be read by position while the row is unchanged.
#pragma once
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
    bool unchanged(size_t i, PyObject* row);
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

}  // namespace rt
