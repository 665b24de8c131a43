// Argument binding for fast-convention calls and the conversions of bound arguments.
#pragma once

#include "binding/text.hpp"

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tevra {

// How one callable takes its arguments; no parameter is positional-only.
struct Signature {
    std::string_view display;  // "materialize_asset()"
    std::span<const std::string_view> positional;
    std::size_t required;
    std::span<const std::string_view> keyword_only = {};
    std::size_t required_keyword_only = 0;
};

// Binds a fast-convention call: slots[i] is the borrowed argument for parameter i
// (positional parameters first, then keyword-only), or null when it was not given.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> slots);

template <std::size_t N>
std::array<PyObject*, N> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    std::array<PyObject*, N> slots{};
    bind(sig, args, nargs, kwnames, slots);
    return slots;
}

// Absent (not given, or None) or a str.
std::optional<std::string_view> to_optional_str(PyObject* obj);
// A sequence of str that is not itself a str.
std::vector<std::string> to_str_list(PyObject* obj);
// Absent (not given, or None) or any object.
inline PyObject* to_optional(PyObject* obj) { return obj == Py_None ? nullptr : obj; }

// The argument error for parameter `param` standing for a TypeError from its conversion.
PyError argument_error(std::string_view param, PyError& cause);

// Runs a conversion of parameter `param`; an exact TypeError from it is re-raised as
// TypeError "argument 'P': ..." keeping the original's __cause__.
template <class Convert>
auto convert_arg(std::string_view param, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (PyError& e) {
        if (e.type() != PyExc_TypeError) throw;
        throw argument_error(param, e);
    }
}

}  // namespace tevra
