// Python values to the module's JSON value tree, through the host's json module.
#pragma once

#include "binding/ref.hpp"
#include "json/json.hpp"

namespace tevra {

// json.dumps(value) with default options, then the strict parser. Exceptions of json.dumps
// propagate; a parse failure is returned for the caller to report in its own terms.
json::ParseResult to_json_tree(PyObject* json_module, PyObject* value);

}  // namespace tevra
