#include "declaration/metadata.hpp"

#include "binding/asset_marker.hpp"
#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/json_bridge.hpp"
#include "binding/text.hpp"

namespace tevra {

namespace {

void set_item(PyObject* dict, const char* key, Ref value) {
    check_status(PyDict_SetItemString(dict, key, value.get()));
}

void set_item(PyObject* dict, const std::string& key, Ref value) {
    Ref k = make_str(key);
    check_status(PyDict_SetItem(dict, k.get(), value.get()));
}

Ref optional_text(const std::optional<std::string>& text) {
    return text ? make_str(*text) : Ref::borrow(Py_None);
}

Ref partition_descriptor(const json::Value& values) {
    Ref descriptor = check_basic(PyDict_New());
    set_item(descriptor.get(), "kind", make_str("inline"));
    set_item(descriptor.get(), "values_json", tree_to_str(values));
    return descriptor;
}

}  // namespace

std::string asset_reference(PyObject* upstream) {
    Ref target = asset_target(upstream);
    Ref inspect = import_module("inspect");
    Ref pathlib = import_module("pathlib");

    Ref source = call_method(inspect.get(), "getsourcefile", target.get());
    std::string reference = resolved_path(pathlib.get(), source.get());
    Ref name = attr(target.get(), "__name__");
    reference += ':';
    reference += to_str(name.get());
    return reference;
}

Ref metadata_dict(const AssetMetadata& record) {
    Ref dict = check_basic(PyDict_New());
    set_item(dict.get(), "kind", make_str("asset"));
    set_item(dict.get(), "name", optional_text(record.name));
    set_item(dict.get(), "serializer", optional_text(record.serializer));

    if (record.inputs) {
        Ref inputs = check_basic(PyDict_New());
        for (const auto& [param, reference] : *record.inputs) set_item(inputs.get(), param, make_str(reference));
        set_item(dict.get(), "inputs", std::move(inputs));
    } else {
        set_item(dict.get(), "inputs", Ref::borrow(Py_None));
    }

    if (record.partitions) {
        Ref partitions = check_basic(PyDict_New());
        for (const auto& [dimension, values] : *record.partitions)
            set_item(partitions.get(), dimension, partition_descriptor(values));
        set_item(dict.get(), "partitions", std::move(partitions));
    } else {
        set_item(dict.get(), "partitions", Ref::borrow(Py_None));
    }
    return dict;
}

}  // namespace tevra
