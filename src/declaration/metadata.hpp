// The asset metadata record: what asset(...) declared besides the function itself.
#pragma once

#include "binding/ref.hpp"
#include "json/json.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tevra {

// Plain owned data, no Python objects, so copies are deep and independent. Both maps keep
// the storage order of the dict they were read from, which is the order the user wrote.
struct AssetMetadata {
    std::optional<std::string> name;
    std::optional<std::string> serializer;
    // parameter name -> asset reference
    std::optional<std::vector<std::pair<std::string, std::string>>> inputs;
    // dimension name -> partition values (an array)
    std::optional<std::vector<std::pair<std::string, json::Value>>> partitions;
};

// The reference naming an asset-decorated upstream: "<resolved source file>:<function name>"
// of the function it stands for.
std::string asset_reference(PyObject* upstream);

// A fresh dict {"kind", "name", "serializer", "inputs", "partitions"} describing `record`.
Ref metadata_dict(const AssetMetadata& record);

}  // namespace tevra
