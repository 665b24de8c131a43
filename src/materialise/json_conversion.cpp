#include "materialise/json_conversion.hpp"

#include "binding/call.hpp"
#include "binding/convert.hpp"

namespace tevra {

json::ParseResult to_json_tree(PyObject* json_module, PyObject* value) {
    Ref text = call_method(json_module, "dumps", value);
    return json::parse(to_str(text.get()));
}

}  // namespace tevra
