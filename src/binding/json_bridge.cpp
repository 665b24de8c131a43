#include "binding/json_bridge.hpp"

#include "binding/call.hpp"
#include "binding/text.hpp"

namespace tevra {

Ref json_dumps(PyObject* json_module, PyObject* value) { return call_method(json_module, "dumps", value); }

Ref json_loads(PyObject* json_module, PyObject* text) { return call_method(json_module, "loads", text); }

json::ParseResult to_json_tree(PyObject* json_module, PyObject* value) {
    Ref text = json_dumps(json_module, value);
    return json::parse(to_str(text.get()));
}

Ref tree_to_str(const json::Value& value) { return make_str(json::write(value)); }

}  // namespace tevra
