// Partitions: the marker object partitions([...]) returns, holding static partition keys.
#pragma once

#include "binding/ref.hpp"
#include "json/json.hpp"

namespace tevra {

// Whether `obj` is a Partitions instance.
bool is_partitions(PyObject* obj) noexcept;
// The stored values, an array, in the order partitions() was given them.
const json::Value& partition_values(PyObject* partitions) noexcept;

}  // namespace tevra
