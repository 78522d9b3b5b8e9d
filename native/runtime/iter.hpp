// Iteration over containers that Python code may change while we read them.
#pragma once
#include "ref.hpp"

namespace rt {

// Walks a dict's items in order.  Every step hands out owned references; a
// change of size since the start, or more entries than the dict had (keys
// replaced meanwhile), raises RuntimeError, as a for loop does.
class DictItems {
public:
    explicit DictItems(PyObject* dict) noexcept : dict_(borrow(dict)), size_(PyDict_GET_SIZE(dict)) {}
    // True with key and value set; false at the end or on error (check PyErr_Occurred()).
    bool next(Ref& key, Ref& value) {
        if (PyDict_GET_SIZE(dict_.get()) != size_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return false;
        }
        PyObject *k, *v;
        if (!PyDict_Next(dict_.get(), &pos_, &k, &v)) return false;
        if (seen_++ == size_) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
            return false;
        }
        // Both are held before the previous pair is released: releasing a
        // key may run its __del__, which may change the dict and free v.
        Ref new_key = borrow(k), new_value = borrow(v);
        key = std::move(new_key);
        value = std::move(new_value);
        return true;
    }

private:
    Ref dict_;
    Py_ssize_t size_;
    Py_ssize_t pos_ = 0;
    Py_ssize_t seen_ = 0;
};

// Walks a list by index, re-reading its length at every step.
class ListItems {
public:
    explicit ListItems(PyObject* list) noexcept : list_(borrow(list)) {}
    bool next(Ref& item) {
        if (i_ >= PyList_GET_SIZE(list_.get())) return false;
        item = borrow(PyList_GET_ITEM(list_.get(), i_++));
        return true;
    }

private:
    Ref list_;
    Py_ssize_t i_ = 0;
};

}  // namespace rt
