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

// Walks any iterable as a for loop does: an exact list by index, re-reading
// its length at every step; an exact tuple by index; anything else through
// iter().  Every step hands out an owned reference.
class Items {
public:
    // False with iter()'s error set when the object is not iterable.
    bool start(PyObject* iterable) {
        if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
            seq_ = borrow(iterable);
            return true;
        }
        iter_ = steal(PyObject_GetIter(iterable));
        return bool(iter_);
    }
    // True with the next item; false at the end or on error (check PyErr_Occurred()).
    bool next(Ref& item) {
        if (iter_) {
            item = steal(PyIter_Next(iter_.get()));
            return bool(item);
        }
        PyObject* seq = seq_.get();
        if (i_ >= Py_SIZE(seq)) return false;
        item = borrow(PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, i_) : PyTuple_GET_ITEM(seq, i_));
        ++i_;
        return true;
    }

private:
    Ref seq_;
    Ref iter_;
    Py_ssize_t i_ = 0;
};

}  // namespace rt
