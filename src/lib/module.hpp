// What each subsystem gives the module for registration.
#pragma once

#include "binding/ref.hpp"

namespace tevra {

PyTypeObject* asset_wrapper_type();
PyTypeObject* partitions_type();

extern PyMethodDef asset_def;
extern PyMethodDef partitions_def;
extern PyMethodDef inspect_modules_def;
extern PyMethodDef materialize_asset_def;

}  // namespace tevra
