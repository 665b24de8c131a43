// How failures travel inside the module: a Python exception to raise (PyError) or an
// internal failure of the module's own code (InternalError). Both are C++ exceptions
// and cross into Python only at the boundary (boundary.hpp).
#pragma once

#include "binding/ref.hpp"

#include <source_location>
#include <string>
#include <string_view>

namespace tevra {

class PyError {
public:
    // Takes the interpreter's pending exception after a failed call. A PanicException
    // that travelled through Python code resumes as an internal failure instead.
    static PyError fetch();
    // An exception of `type` (an exception class the module owns a static reference to)
    // with one message, created only when raised or inspected.
    static PyError made(PyObject* type, std::string message) {
        return PyError(Ref(), type, std::move(message));
    }
    static PyError captured(Ref exception) { return PyError(std::move(exception), nullptr, {}); }

    // The exception's class (borrowed).
    PyObject* type() const noexcept;
    // The exception object; a made error is instantiated on the first call.
    PyObject* value();
    // Raises this error in the interpreter.
    void restore() &&;

private:
    PyError(Ref exc, PyObject* type, std::string message)
        : exc_(std::move(exc)), type_(type), message_(std::move(message)) {}
    Ref exc_;
    PyObject* type_;  // made errors only, until instantiated
    std::string message_;
};

struct InternalError {
    std::string message;
};

// Reports an internal failure on standard error and throws it.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Throws the pending exception (or the fetch rule's SystemError when none is set).
[[noreturn]] void throw_pending();

// Result of an interpreter call returning a new reference, or null on failure.
inline Ref check(PyObject* result) {
    if (!result) throw_pending();
    return Ref::steal(result);
}
// Result of an interpreter call returning -1 on failure.
inline int check_status(int status) {
    if (status < 0) throw_pending();
    return status;
}
// Drops the pending exception where the module deliberately carries on without it.
void discard_pending();

// For creations the module cannot go on without (str, tuple, list, dict): prints the
// pending exception and fails internally.
Ref check_basic(PyObject* result, std::source_location where = std::source_location::current());

[[noreturn]] inline void raise(PyObject* type, std::string message) {
    throw PyError::made(type, std::move(message));
}

// The conversion error for an object of the wrong type: TypeError "'T' object cannot be
// converted to 'X'", T the __qualname__ of its type, X the `target` name.
[[noreturn]] void throw_conversion_error(PyObject* obj, std::string_view target);

// The object itself when it has the type the module requires there (subclasses accepted),
// else the conversion error for that type's name.
inline PyObject* expect_str(PyObject* obj) {
    if (!PyUnicode_Check(obj)) throw_conversion_error(obj, "PyString");
    return obj;
}
inline PyObject* expect_list(PyObject* obj) {
    if (!PyList_Check(obj)) throw_conversion_error(obj, "PyList");
    return obj;
}
inline PyObject* expect_dict(PyObject* obj) {
    if (!PyDict_Check(obj)) throw_conversion_error(obj, "PyDict");
    return obj;
}
inline PyObject* expect_tuple(PyObject* obj) {
    if (!PyTuple_Check(obj)) throw_conversion_error(obj, "PyTuple");
    return obj;
}

// The PanicException class, created once per process.
PyObject* panic_exception_type();

}  // namespace tevra
