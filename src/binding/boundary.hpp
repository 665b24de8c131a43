// The one place where failures cross into Python. Every entry from the interpreter (module
// functions, type slots, getters, destructors) runs its body through enter() or one of the
// adapters below, which turn a thrown PyError or InternalError into a raised exception.
#pragma once

#include "binding/error.hpp"

namespace tevra {

namespace detail {
// Raises what the body threw. Anything thrown while doing so cannot be reported any more.
void raise_current() noexcept;
}  // namespace detail

// Runs body() -> Ref; returns its new reference, or null with an exception set.
template <class Body>
PyObject* enter(Body&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        detail::raise_current();
        return nullptr;
    }
}

// Same for slots that return an int status (0 on success, -1 with an exception set).
template <class Body>
int enter_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        detail::raise_current();
        return -1;
    }
}

// For instance destructors: a failure is reported through the unraisable hook and the
// destructor always completes.
template <class Body>
void enter_dealloc(PyObject* self, Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        detail::raise_current();
        PyErr_WriteUnraisable(self);
    }
}

// C entry points generated from C++ bodies.
template <Ref (*Body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return enter([&] { return Body(self, args, nargs, kwnames); });
}
// The method record of a module function taking the fast calling convention with keywords.
template <Ref (*Body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyMethodDef fastcall_method(const char* name, const char* doc) {
    return {.ml_name = name,
            .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&fastcall<Body>)),
            .ml_flags = METH_FASTCALL | METH_KEYWORDS,
            .ml_doc = doc};
}
template <Ref (*Body)(PyObject*, PyObject*, PyObject*)>
PyObject* ternary(PyObject* a, PyObject* b, PyObject* c) noexcept {
    return enter([&] { return Body(a, b, c); });
}
template <Ref (*Body)(PyObject*)>
PyObject* unary(PyObject* self) noexcept {
    return enter([&] { return Body(self); });
}
template <Ref (*Body)(PyObject*)>
PyObject* getter(PyObject* self, void*) noexcept {
    return enter([&] { return Body(self); });
}
template <void (*Body)(PyObject*)>
void dealloc(PyObject* self) noexcept {
    enter_dealloc(self, [&] { Body(self); });
}

}  // namespace tevra
