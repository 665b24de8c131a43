// Calls into the interpreter: importing by name, reading attributes and calling objects, so
// that call sites neither build argument tuples and keyword dicts nor check results by hand.
#pragma once

#include "binding/error.hpp"
#include "binding/text.hpp"

#include <initializer_list>
#include <string_view>
#include <utility>

namespace tevra {

// Imports a module by name through the interpreter's import function, at every use.
inline Ref import_module(const char* name) {
    Ref text = make_str(name);
    return check(PyImport_Import(text.get()));
}

inline Ref attr(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }

// callable(args...) with positional arguments only, through vectorcall. The slot before
// the arguments is free for the callee to use (PY_VECTORCALL_ARGUMENTS_OFFSET), which
// saves a bound method a copy of the vector.
template <class... Args>
Ref call(PyObject* callable, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        return check(PyObject_CallNoArgs(callable));
    } else {
        PyObject* vector[] = {nullptr, static_cast<PyObject*>(args)...};
        return check(PyObject_Vectorcall(callable, vector + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
    }
}

// obj.name(args...), the attribute read afresh at each call.
template <class... Args>
Ref call_method(PyObject* obj, const char* name, Args... args) {
    Ref method = attr(obj, name);
    return call(method.get(), args...);
}

// callable(**kwargs) for a dict (subclasses accepted) of keyword arguments.
inline Ref call_with_kwargs(PyObject* callable, PyObject* kwargs) {
    return check(PyObject_VectorcallDict(callable, nullptr, 0, kwargs));
}

// callable(name=value, ...) with the keywords in the order given, collected into a new dict.
inline Ref call_with_keywords(PyObject* callable,
                              std::initializer_list<std::pair<const char*, PyObject*>> keywords) {
    Ref kwargs = check_basic(PyDict_New());
    for (const auto& [name, value] : keywords) check_status(PyDict_SetItemString(kwargs.get(), name, value));
    return call_with_kwargs(callable, kwargs.get());
}

// str(pathlib.Path(file).resolve()) as text: the absolute path of `file` (a path the
// interpreter gave, such as inspect.getsourcefile's) with its symbolic links resolved.
inline std::string resolved_path(PyObject* pathlib, PyObject* file) {
    Ref path = call_method(pathlib, "Path", file);
    Ref resolved = call_method(path.get(), "resolve");
    Ref text = check(PyObject_Str(resolved.get()));
    return to_string(text.get());
}

}  // namespace tevra
