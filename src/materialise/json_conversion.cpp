#include "materialise/json_conversion.hpp"

#include "binding/convert.hpp"

namespace tevra {

json::ParseResult to_json_tree(PyObject* json_module, PyObject* value) {
    Ref dumps = check(PyObject_GetAttrString(json_module, "dumps"));
    Ref text = check(PyObject_CallOneArg(dumps.get(), value));
    return json::parse(to_str(text.get()));
}

}  // namespace tevra
