// Python objects and exceptions rendered as UTF-8 text.
#pragma once

#include "binding/ref.hpp"

#include <string>
#include <string_view>

namespace tevra {

// The UTF-8 text of a str; each unpaired surrogate becomes U+FFFD replacement characters.
std::string utf8_lossy(PyObject* str);
// str() of any object; when str() raises, the failure goes to the unraisable hook and the
// text is "<unprintable T object>".
std::string str_text(PyObject* obj);
// "Q: S" for an exception: its class's __qualname__ and str() of it.
std::string exception_text(PyObject* exc);
// The __qualname__ of a type, as text with each unpaired surrogate replaced.
std::string qualname(PyObject* type);
// Creates a str from UTF-8 text the module made itself.
Ref make_str(std::string_view text);

}  // namespace tevra
