// Iteration over a dict's own storage (bypassing any methods a subclass overrides) that
// refuses to go on when the dict is changed underneath it.
#pragma once

#include "binding/error.hpp"

namespace tevra {

class DictItems {
public:
    explicit DictItems(PyObject* dict) noexcept
        : dict_(dict), expected_size_(PyDict_GET_SIZE(dict)), remaining_(expected_size_) {}

    // The next (key, value) as new references; false at the end.
    bool next(Ref& key, Ref& value) {
        if (PyDict_GET_SIZE(dict_) != expected_size_) panic("dictionary changed size during iteration");
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        if (!PyDict_Next(dict_, &pos_, &k, &v)) return false;
        // An entry beyond the size it had is one that replaced another: refused before the
        // caller reads it, so nothing of it (a key of the wrong type, say) is looked at.
        if (remaining_ == 0) panic("dictionary keys changed during iteration");
        --remaining_;
        // User code run on an item may delete it from the dict: hold our own references.
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return true;
    }

private:
    PyObject* dict_;
    Py_ssize_t expected_size_;
    Py_ssize_t remaining_;
    Py_ssize_t pos_ = 0;
};

}  // namespace tevra
