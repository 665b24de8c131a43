// asset(...): checks the declaration, builds its metadata record and returns the decorator.
#include "binding/asset_marker.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/dict_iter.hpp"
#include "declaration/declaration.hpp"
#include "declaration/metadata.hpp"
#include "declaration/partitions.hpp"
#include "declaration/wrapper.hpp"

#include <memory>

namespace tevra {

namespace {

constexpr const char* record_capsule_name = "tevra.asset_metadata";

const AssetMetadata& record_of(PyObject* capsule) {
    auto* record = static_cast<AssetMetadata*>(PyCapsule_GetPointer(capsule, record_capsule_name));
    if (!record) {
        PyErr_Clear();
        panic("asset_decorator lost its metadata record");
    }
    return *record;
}

void release_record(PyObject* capsule) { delete &record_of(capsule); }

// The decorator: wraps its one positional argument, whatever it is, with its own copy of
// the record. Keywords are accepted and ignored.
Ref decorate(PyObject* capsule, PyObject* args, PyObject*) {
    if (PyTuple_GET_SIZE(args) != 1)
        raise(PyExc_TypeError, "asset() decorator expects exactly one argument (the function)");
    return make_asset_wrapper(PyTuple_GET_ITEM(args, 0), record_of(capsule));
}

// No docstring: the decorator's __doc__ is None.
PyMethodDef decorator_def = {.ml_name = "asset_decorator",
                             .ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&ternary<decorate>)),
                             .ml_flags = METH_VARARGS | METH_KEYWORDS,
                             .ml_doc = nullptr};

std::string reference_of(PyObject* upstream) {
    if (is_asset(upstream)) return asset_reference(upstream);
    if (!PyUnicode_Check(upstream))
        raise(PyExc_TypeError, "inputs values must be @asset-decorated functions or asset ref strings");
    return to_string(upstream);
}

// Reads a dict in its own storage order, one entry at a time; the first refused entry ends
// the read, and a change to the dict is noticed before the next entry is taken.
template <class Entry>
auto read_dict(PyObject* obj, Entry&& entry) {
    std::vector<decltype(entry(nullptr, nullptr))> map;
    DictItems items(expect_dict(obj));
    Ref key, value;
    while (items.next(key, value)) map.push_back(entry(key.get(), value.get()));
    return map;
}

std::pair<std::string, std::string> input_entry(PyObject* key, PyObject* value) {
    std::string param(to_str(key));
    return {std::move(param), reference_of(value)};
}

std::pair<std::string, json::Value> partition_entry(PyObject* key, PyObject* value) {
    std::string dimension(to_str(key));
    if (!is_partitions(value)) raise(PyExc_TypeError, "partition values must be partitions([...]) instances");
    return {std::move(dimension), partition_values(value)};
}

constexpr std::string_view asset_keywords[] = {"name", "inputs", "partitions", "serializer"};
constexpr Signature asset_signature{
    .display = "asset()", .positional = {}, .required = 0, .keyword_only = asset_keywords};

Ref asset(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto [name_arg, inputs_arg, partitions_arg, serializer_arg] = bind<4>(asset_signature, args, nargs, kwnames);
    auto record = std::make_unique<AssetMetadata>();
    if (auto name = convert_arg("name", [&] { return to_optional_str(name_arg); })) record->name.emplace(*name);
    PyObject* inputs = to_optional(inputs_arg);
    PyObject* partitions = to_optional(partitions_arg);
    if (auto serializer = convert_arg("serializer", [&] { return to_optional_str(serializer_arg); }))
        record->serializer.emplace(*serializer);
    if (inputs) record->inputs = read_dict(inputs, input_entry);
    if (partitions) record->partitions = read_dict(partitions, partition_entry);

    Ref capsule = check(PyCapsule_New(record.get(), record_capsule_name, &dealloc<release_record>));
    record.release();  // the capsule owns it now
    return check(PyCFunction_NewEx(&decorator_def, capsule.get(), nullptr));
}

}  // namespace

PyMethodDef asset_def = fastcall_method<asset>(
    "asset",
    "asset(*, name=None, inputs=None, partitions=None, serializer=None)\n"
    "--\n"
    "\n"
    "Decorator that registers a Python function as a tevra asset.\n"
    "\n"
    "Usage\n"
    "-----\n"
    "    from tevra import asset\n"
    "\n"
    "    @asset()\n"
    "    def my_data():\n"
    "        return {\"value\": 42}\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "name : str, optional\n"
    "    Override the asset's display name / continuity key.\n"
    "    Defaults to ``\"<file>:<function_name>\"``.\n"
    "inputs : dict[str, asset], optional\n"
    "    Declare upstream dependencies.  Map parameter names to other\n"
    "    ``@asset``-decorated functions.  Tevra will materialize upstream\n"
    "    assets first and pass their values as keyword arguments.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        @asset()\n"
    "        def raw(): return [1, 2, 3]\n"
    "\n"
    "        @asset(inputs={\"data\": raw})\n"
    "        def processed(data): return [x * 2 for x in data]\n"
    "\n"
    "partitions : dict[str, partitions(...)], optional\n"
    "    Declare a partitioned asset.  Each dimension maps to a\n"
    "    ``partitions([...])`` call that enumerates the static partition keys.\n"
    "    Tevra will create one materialization job per partition combination.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        from tevra import asset, partitions\n"
    "\n"
    "        @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "        def prices(ticker: str):\n"
    "            return fetch_price(ticker)\n"
    "\n"
    "serializer : str, optional\n"
    "    Reserved for future use.  Leave unset.");

}  // namespace tevra
