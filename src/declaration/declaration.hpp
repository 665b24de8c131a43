// What the declaration subsystem gives the module to register: asset(...) and
// partitions(...), and the classes AssetWrapper and Partitions.
#pragma once

#include "binding/ref.hpp"

namespace tevra {

PyTypeObject* asset_wrapper_type();
PyTypeObject* partitions_type();

extern PyMethodDef asset_def;
extern PyMethodDef partitions_def;

}  // namespace tevra
