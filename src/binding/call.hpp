// The few interpreter operations every subsystem performs on Python objects by name.
#pragma once

#include "binding/error.hpp"
#include "binding/text.hpp"

namespace tevra {

// Imports a module by name through the interpreter's import function, at every use.
inline Ref import_module(const char* name) {
    Ref text = make_str(name);
    return check(PyImport_Import(text.get()));
}

inline Ref attr(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }

inline Ref call(PyObject* callable, PyObject* arg) { return check(PyObject_CallOneArg(callable, arg)); }

// obj.name(arg), the attribute read afresh at each call.
inline Ref call_method(PyObject* obj, const char* name, PyObject* arg) {
    Ref method = attr(obj, name);
    return call(method.get(), arg);
}

}  // namespace tevra
