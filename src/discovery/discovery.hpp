// What the discovery subsystem gives the module to register: inspect_modules(modules).
#pragma once

#include "binding/ref.hpp"

namespace tevra {

extern PyMethodDef inspect_modules_def;

}  // namespace tevra
