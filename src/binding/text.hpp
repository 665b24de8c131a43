// Python str objects as UTF-8 text and back, and the rendering of objects and exceptions as
// text. Every str the module reads goes through one of these.
#pragma once

#include "binding/error.hpp"

#include <string>
#include <string_view>

namespace tevra {

// The UTF-8 text of a str (subclasses accepted), else the conversion error for "PyString":
// a view into the str's own buffer, valid while it lives. An unpaired surrogate fails with
// the interpreter's UnicodeEncodeError.
std::string_view to_str(PyObject* obj);
// The same text, owned.
inline std::string to_string(PyObject* obj) { return std::string(to_str(obj)); }
// The same for text that must come out whatever it holds: each unpaired surrogate becomes
// U+FFFD replacement characters instead of an error.
std::string to_lossy_string(PyObject* obj);

// str() of any object; when str() raises, the failure goes to the unraisable hook and the
// text is "<unprintable T object>".
std::string str_text(PyObject* obj);
// "Q: S" for an exception: its class's __qualname__ and str() of it.
std::string exception_text(PyObject* exc);

// Creates a str from UTF-8 text the module made itself.
Ref make_str(std::string_view text);

}  // namespace tevra
