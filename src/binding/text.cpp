#include "binding/text.hpp"

#include "binding/convert.hpp"
#include "binding/error.hpp"

namespace tevra {

std::string utf8_lossy(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(utf8, size);
    discard_pending();
    Ref bytes = check(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    Ref fixed = check(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                           PyBytes_GET_SIZE(bytes.get()), "replace"));
    return std::string(as_utf8(fixed.get()));
}

std::string str_text(PyObject* obj) {
    if (Ref s = Ref::steal(PyObject_Str(obj))) return utf8_lossy(s.get());
    PyError::fetch().restore();
    PyErr_WriteUnraisable(obj);
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (name && PyUnicode_Check(name.get())) return "<unprintable " + utf8_lossy(name.get()) + " object>";
    PyErr_Clear();
    return "<unprintable object>";
}

std::string qualname(PyObject* type) {
    Ref name = check(PyObject_GetAttrString(type, "__qualname__"));
    // A class's __qualname__ may be any str, unpaired surrogates included.
    if (!PyUnicode_Check(name.get())) throw_conversion_error(name.get(), "PyString");
    return utf8_lossy(name.get());
}

std::string exception_text(PyObject* exc) {
    std::string text = qualname(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    if (Ref s = Ref::steal(PyObject_Str(exc))) {
        text += ": ";
        text += utf8_lossy(s.get());
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
