// AssetWrapper: what @asset(...) leaves in place of the decorated function.
#pragma once

#include "declaration/metadata.hpp"

namespace tevra {

// A new wrapper holding a strong reference to `wrapped` and owning `record`.
Ref make_asset_wrapper(PyObject* wrapped, AssetMetadata record);

}  // namespace tevra
