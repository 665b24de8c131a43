#include "binding/text.hpp"

namespace tevra {

namespace {

// The __qualname__ of a type; a class's may be any str, unpaired surrogates included.
std::string qualname(PyObject* type) {
    Ref name = check(PyObject_GetAttrString(type, "__qualname__"));
    return to_lossy_string(name.get());
}

}  // namespace

std::string_view to_str(PyObject* obj) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(expect_str(obj), &size);
    if (!utf8) throw_pending();
    return {utf8, static_cast<std::size_t>(size)};
}

std::string to_lossy_string(PyObject* obj) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(expect_str(obj), &size)) return std::string(utf8, size);
    discard_pending();
    Ref bytes = check(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
    Ref fixed = check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                           PyBytes_GET_SIZE(bytes.get()), "replace"));
    return to_string(fixed.get());
}

std::string str_text(PyObject* obj) {
    if (Ref s = Ref::steal(PyObject_Str(obj))) return to_lossy_string(s.get());
    PyError::fetch().restore();
    PyErr_WriteUnraisable(obj);
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (name && PyUnicode_Check(name.get())) return "<unprintable " + to_lossy_string(name.get()) + " object>";
    PyErr_Clear();
    return "<unprintable object>";
}

std::string exception_text(PyObject* exc) {
    std::string text = qualname(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    if (Ref s = Ref::steal(PyObject_Str(exc))) {
        text += ": ";
        text += to_lossy_string(s.get());
    } else {
        discard_pending();
        text += ": <exception str() failed>";
    }
    return text;
}

Ref make_str(std::string_view text) {
    return check_basic(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace tevra
