// The four conversions between Python values, JSON text and the module's JSON value tree.
// Python values become text and back only through the host's json module, passed in by the
// caller (imported by name at its moment of use); the tree is read and written by the JSON
// core. Exceptions of json.dumps and json.loads propagate unchanged.
#pragma once

#include "binding/ref.hpp"
#include "json/json.hpp"

namespace tevra {

// json.dumps(value) with default options: the str it returns.
Ref json_dumps(PyObject* json_module, PyObject* value);
// json.loads(text): the Python value it returns.
Ref json_loads(PyObject* json_module, PyObject* text);
// json.dumps(value), then the strict parser; a parse failure is returned for the caller to
// report in its own terms.
json::ParseResult to_json_tree(PyObject* json_module, PyObject* value);
// The compact writer's text of a tree, as a str.
Ref tree_to_str(const json::Value& value);

}  // namespace tevra
