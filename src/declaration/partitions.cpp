#include "declaration/partitions.hpp"

#include "binding/boundary.hpp"
#include "binding/call.hpp"
#include "binding/classes.hpp"
#include "binding/convert.hpp"
#include "binding/json_bridge.hpp"
#include "binding/text.hpp"
#include "declaration/declaration.hpp"

#include <new>

namespace tevra {

namespace {

struct PartitionsObject {
    PyObject_HEAD
    json::Value values;  // always an array
};

PartitionsObject* as_partitions(PyObject* obj) noexcept { return reinterpret_cast<PartitionsObject*>(obj); }

Ref partitions_repr(PyObject* self) {
    const auto count = as_partitions(self)->values.as_array().size();
    return make_str("Partitions(" + std::to_string(count) + " values)");
}

void destroy_partitions(PyObject* self) {
    as_partitions(self)->values.~Value();
    free_instance(self);
}

PyType_Slot partitions_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(&unary<partitions_repr>)},
};

PyTypeObject* partitions_type_cell = nullptr;

constexpr std::string_view partitions_params[] = {"values"};
constexpr Signature partitions_signature{.display = "partitions()", .positional = partitions_params, .required = 1};

Ref partitions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto [arg] = bind<1>(partitions_signature, args, nargs, kwnames);
    PyObject* list = convert_arg("values", [&] { return expect_list(arg); });
    Ref json_module = import_module("json");

    json::Array values;
    const Py_ssize_t start_len = PyList_GET_SIZE(list);
    values.reserve(static_cast<std::size_t>(start_len));
    // Element code run by json.dumps may resize the list: never read past either length.
    for (Py_ssize_t i = 0; i < start_len && i < PyList_GET_SIZE(list); ++i) {
        Ref element = Ref::borrow(PyList_GET_ITEM(list, i));
        json::ParseResult parsed = to_json_tree(json_module.get(), element.get());
        if (!parsed) raise(PyExc_ValueError, "invalid partition value: " + parsed.error->detail());
        values.push_back(std::move(parsed.value));
    }

    json::Value stored = json::Value::array(std::move(values));
    PyTypeObject* type = partitions_type();
    Ref obj = allocate(type);
    new (&as_partitions(obj.get())->values) json::Value(std::move(stored));
    return obj;
}

}  // namespace

PyTypeObject* partitions_type() {
    return class_type(partitions_type_cell,
                      {.name = "Partitions",
                       .doc = "Marker type returned by `partitions([...])`. Stores the static values.",
                       .basicsize = sizeof(PartitionsObject),
                       .slots = partitions_slots,
                       .dealloc = &dealloc<destroy_partitions>});
}

bool is_partitions(PyObject* obj) noexcept {
    return partitions_type_cell && PyObject_TypeCheck(obj, partitions_type_cell);
}

const json::Value& partition_values(PyObject* partitions) noexcept { return as_partitions(partitions)->values; }

PyMethodDef partitions_def = fastcall_method<partitions>(
    "partitions",
    "partitions(values)\n"
    "--\n"
    "\n"
    "Declare a static partition universe for use with ``@asset(partitions=...)``.\n"
    "\n"
    "Example::\n"
    "\n"
    "    from tevra import asset, partitions\n"
    "\n"
    "    @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "    def prices(ticker: str): ...");

}  // namespace tevra
