#include "binding/error.hpp"

#include "binding/text.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>

namespace tevra {

namespace {

PyObject* panic_type_cell = nullptr;

constexpr const char* panic_doc =
    "Raised when native code called from Python fails an internal assertion.\n"
    "\n"
    "It derives from BaseException, like SystemExit, so that `except Exception` does\n"
    "not catch it and it usually propagates all the way up and ends the interpreter.";

bool is_panic_exception(PyObject* exc) {
    return panic_type_cell && PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(panic_type_cell));
}

// Trims the build's absolute path so the diagnostic names the source file as in the tree.
std::string_view source_name(const char* file) {
    std::string_view f(file);
    if (auto pos = f.rfind("/src/"); pos != std::string_view::npos) return f.substr(pos + 1);
    return f;
}

}  // namespace

PyObject* panic_exception_type() {
    if (!panic_type_cell) {
        PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                                      PyExc_BaseException, nullptr);
        if (!created) {
            PyErr_Clear();
            panic("Failed to initialize new exception type.");
        }
        // Filled under the interpreter lock; a racing creation keeps the first class.
        if (panic_type_cell)
            Py_DECREF(created);
        else
            panic_type_cell = created;
    }
    return panic_type_cell;
}

void panic(std::string message, std::source_location where) {
    char thread[32] = "?";
    pthread_getname_np(pthread_self(), thread, sizeof thread);
    std::fprintf(stderr, "tevra: internal failure on thread '%s' at %.*s:%u: %s\n", thread,
                 static_cast<int>(source_name(where.file_name()).size()),
                 source_name(where.file_name()).data(), static_cast<unsigned>(where.line()),
                 message.c_str());
    std::fflush(stderr);
    throw InternalError{std::move(message)};
}

PyError PyError::fetch() {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc) return made(PyExc_SystemError, "attempted to fetch exception but none was set");
    if (is_panic_exception(exc.get())) {
        std::string message = "Unwrapped panic from Python code";
        if (Ref s = Ref::steal(PyObject_Str(exc.get())))
            message = to_lossy_string(s.get());
        else
            PyErr_Clear();
        std::fputs("tevra: resuming an internal failure after fetching a PanicException from Python\n"
                   "Python stack trace below:\n",
                   stderr);
        std::fflush(stderr);
        // An exception that is also a SystemExit would make PyErr_PrintEx end the process
        // instead of printing it; here it is only shown, and the failure goes on.
        if (PyErr_GivenExceptionMatches(exc.get(), PyExc_SystemExit)) {
            PyErr_DisplayException(exc.get());
        } else {
            PyErr_SetRaisedException(exc.release());
            PyErr_PrintEx(0);
        }
        throw InternalError{std::move(message)};
    }
    return captured(std::move(exc));
}

void throw_pending() { throw PyError::fetch(); }

void throw_conversion_error(PyObject* obj, std::string_view target) {
    std::string type_name = "<failed to extract type name>";
    if (Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)))) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size))
            type_name.assign(utf8, static_cast<std::size_t>(size));
        else
            discard_pending();
    } else {
        discard_pending();
    }
    raise(PyExc_TypeError, "'" + type_name + "' object cannot be converted to '" + std::string(target) + "'");
}

void discard_pending() { (void)PyError::fetch(); }

Ref check_basic(PyObject* result, std::source_location where) {
    if (!result) {
        PyErr_Print();
        panic("Python API call failed", where);
    }
    return Ref::steal(result);
}

PyObject* PyError::type() const noexcept {
    return exc_ ? reinterpret_cast<PyObject*>(Py_TYPE(exc_.get())) : type_;
}

PyObject* PyError::value() {
    if (!exc_) {
        Ref message = check_basic(PyUnicode_FromStringAndSize(message_.data(),
                                                              static_cast<Py_ssize_t>(message_.size())));
        exc_ = check(PyObject_CallOneArg(type_, message.get()));
    }
    return exc_.get();
}

void PyError::restore() && {
    if (exc_) {
        PyErr_SetRaisedException(exc_.release());
        return;
    }
    Ref message = check_basic(PyUnicode_FromStringAndSize(message_.data(),
                                                          static_cast<Py_ssize_t>(message_.size())));
    PyErr_SetObject(type_, message.get());
}

}  // namespace tevra
