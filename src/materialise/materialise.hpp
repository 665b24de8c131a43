// What the materialisation subsystem gives the module to register: materialize_asset(...).
#pragma once

#include "binding/ref.hpp"

namespace tevra {

extern PyMethodDef materialize_asset_def;

}  // namespace tevra
