#include "binding/convert.hpp"

#include "binding/text.hpp"

#include <algorithm>

namespace tevra {

namespace {

[[noreturn]] void type_error(std::string message) { raise(PyExc_TypeError, std::move(message)); }

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

void check_missing(const Signature& sig, std::span<PyObject*> slots, std::size_t first,
                   std::span<const std::string_view> params, std::size_t required, const char* kind) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < required; ++i)
        if (!slots[first + i]) missing.push_back(params[i]);
    if (missing.empty()) return;
    type_error(std::string(sig.display) + " missing " + std::to_string(missing.size()) + " required " +
               kind + (missing.size() == 1 ? " argument: " : " arguments: ") + quoted_list(missing));
}

}  // namespace

void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          std::span<PyObject*> slots) {
    const std::size_t given = static_cast<std::size_t>(nargs);
    const std::size_t declared = sig.positional.size();
    if (given > declared) {
        std::string text = std::string(sig.display) + " takes ";
        if (sig.required != declared) text += "from " + std::to_string(sig.required) + " to ";
        text += std::to_string(declared) + " positional arguments but " + std::to_string(given) +
                (given == 1 ? " was given" : " were given");
        type_error(std::move(text));
    }
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
        std::size_t slot = slots.size();
        if (utf8) {
            const std::string_view name(utf8, static_cast<std::size_t>(size));
            for (std::size_t i = 0; i < sig.keyword_only.size(); ++i)
                if (sig.keyword_only[i] == name) slot = declared + i;
            for (std::size_t i = 0; slot == slots.size() && i < declared; ++i)
                if (sig.positional[i] == name) slot = i;
        } else {
            discard_pending();
        }
        if (slot == slots.size())
            type_error(std::string(sig.display) + " got an unexpected keyword argument '" + str_text(key) + "'");
        if (slots[slot])
            type_error(std::string(sig.display) + " got multiple values for argument '" +
                       std::string(slot < declared ? sig.positional[slot] : sig.keyword_only[slot - declared]) +
                       "'");
        slots[slot] = args[nargs + k];
    }

    if (given < sig.required) check_missing(sig, slots, 0, sig.positional, sig.required, "positional");
    check_missing(sig, slots, declared, sig.keyword_only, sig.required_keyword_only, "keyword");
}

std::optional<std::string_view> to_optional_str(PyObject* obj) {
    if (!obj || obj == Py_None) return std::nullopt;
    return to_str(obj);
}

std::vector<std::string> to_str_list(PyObject* obj) {
    if (PyUnicode_Check(obj)) type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) throw_conversion_error(obj, "Sequence");
    std::vector<std::string> items;
    // Only a hint: __len__ is the caller's code and may claim any size, so it never decides
    // more than a modest first allocation; the items themselves are what counts.
    constexpr Py_ssize_t max_reserved = 4096;
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0)
        discard_pending();
    else
        items.reserve(static_cast<std::size_t>(std::min(hint, max_reserved)));
    Ref iter = check(PyObject_GetIter(obj));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) items.emplace_back(to_str(item.get()));
    if (PyErr_Occurred()) throw_pending();
    return items;
}

PyError argument_error(std::string_view param, PyError& cause) {
    PyObject* original = cause.value();
    Ref message = make_str("argument '" + std::string(param) + "': " + str_text(original));
    Ref error = check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(error.get(), PyException_GetCause(original));
    return PyError::captured(std::move(error));
}

}  // namespace tevra
