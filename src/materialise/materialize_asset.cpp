// materialize_asset: runs one asset function and leaves value.json and result.json behind.
#include "binding/asset_marker.hpp"
#include "binding/boundary.hpp"
#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/json_bridge.hpp"
#include "binding/text.hpp"
#include "json/json.hpp"
#include "materialise/materialise.hpp"
#include "materialise/output_file.hpp"

#include <optional>
#include <string>

namespace tevra {

namespace {

constexpr std::string_view materialize_params[] = {"module_name", "function_name", "output_dir",
                                                   "input_kwargs_json"};
constexpr Signature materialize_signature{
    .display = "materialize_asset()", .positional = materialize_params, .required = 3};

constexpr std::string_view value_file = "value.json";
constexpr std::string_view result_file = "result.json";

Ref join(PyObject* directory, std::string_view file_name) {
    Ref name = make_str(file_name);
    return call_method(directory, "__truediv__", name.get());
}

std::string type_name(PyObject* obj) {
    Ref name = attr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
    return to_lossy_string(name.get());
}

struct Run {
    PyObject* module_name;
    PyObject* function_name;
    PyObject* kwargs_json;  // null when absent
    std::string_view module_text;
    std::string_view function_text;
    PyObject* importlib;
    PyObject* inspect;
    PyObject* json;
    PyObject* directory;
    const OutputDirectory& output;
    PyObject* result_path;
};

void run(const Run& r) {
    Ref module = call_method(r.importlib, "import_module", r.module_name);
    Ref target = check(PyObject_GetAttr(module.get(), r.function_name));
    // Whether or not it is an asset: any callable found under the name runs unchanged.
    Ref callable = asset_target(target.get());

    Ref value;
    if (!r.kwargs_json) {
        value = call(callable.get());
    } else {
        Ref kwargs = json_loads(r.json, r.kwargs_json);
        expect_dict(kwargs.get());
        value = call_with_kwargs(callable.get(), kwargs.get());
    }

    Ref value_path = join(r.directory, value_file);
    Ref text = json_dumps(r.json, value.get());
    const std::string_view value_json = to_str(text.get());
    Ref value_path_text = check(PyObject_Str(value_path.get()));
    r.output.replace_file(value_file, value_path_text.get(), value_json);

    Ref sig = call_method(r.inspect, "signature", callable.get());
    Ref sig_text = check(PyObject_Str(sig.get()));

    json::Object record;
    record.reserve(7);
    record.insert("artifact_format", json::Value::string("json"));
    record.insert("function_name", json::Value::string(r.function_text));
    record.insert("module_path", json::Value::string(r.module_text));
    record.insert("ok", json::Value::boolean(true));
    record.insert("result_type", json::Value::string(type_name(value.get())));
    record.insert("signature", json::Value::string(to_lossy_string(sig_text.get())));
    record.insert("value_path", json::Value::string(to_lossy_string(value_path_text.get())));
    r.output.replace_file(result_file, r.result_path, json::write(json::Value::object(std::move(record))));
}

void record_failure(PyError& error, const OutputDirectory& output, PyObject* result_path) {
    PyObject* exc = error.value();
    json::Object record;
    record.reserve(3);
    record.insert("error", json::Value::string(exception_text(exc)));
    record.insert("error_type", json::Value::string(type_name(exc)));
    record.insert("ok", json::Value::boolean(false));
    output.replace_file(result_file, result_path, json::write(json::Value::object(std::move(record))));
}

Ref materialize_asset(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto [module_arg, function_arg, dir_arg, kwargs_arg] = bind<4>(materialize_signature, args, nargs, kwnames);
    const std::string_view module_text = convert_arg("module_name", [&] { return to_str(module_arg); });
    const std::string_view function_text = convert_arg("function_name", [&] { return to_str(function_arg); });
    convert_arg("output_dir", [&] { return to_str(dir_arg); });
    const bool has_kwargs = convert_arg("input_kwargs_json", [&] { return to_optional_str(kwargs_arg); }).has_value();

    // Set-up: its errors reach the caller, and no file is written.
    Ref importlib = import_module("importlib");
    Ref inspect = import_module("inspect");
    Ref json_module = import_module("json");
    Ref pathlib = import_module("pathlib");
    Ref directory = call_method(pathlib.get(), "Path", dir_arg);
    Ref mkdir = attr(directory.get(), "mkdir");
    call_with_keywords(mkdir.get(), {{"parents", Py_True}, {"exist_ok", Py_True}});
    Ref result_path = join(directory.get(), result_file);
    Ref result_path_text = check(PyObject_Str(result_path.get()));
    const OutputDirectory output(result_path_text.get());
    // An earlier run's record must not outlive this run: should this one die before
    // writing its own, a reader finds no record rather than a stale success.
    output.remove_file(result_file, result_path_text.get());

    std::optional<PyError> failure;
    try {
        run({.module_name = module_arg,
             .function_name = function_arg,
             .kwargs_json = has_kwargs ? kwargs_arg : nullptr,
             .module_text = module_text,
             .function_text = function_text,
             .importlib = importlib.get(),
             .inspect = inspect.get(),
             .json = json_module.get(),
             .directory = directory.get(),
             .output = output,
             .result_path = result_path_text.get()});
        return Ref::borrow(Py_None);
    } catch (PyError& e) {
        failure.emplace(std::move(e));
    }

    // Every error of the run, BaseException subclasses included, ends as the record and
    // SystemExit(1); errors of this path itself are raised in its place.
    record_failure(*failure, output, result_path_text.get());
    failure.reset();
    Ref sys = import_module("sys");
    Ref code = check(PyLong_FromLong(1));
    call_method(sys.get(), "exit", code.get());
    return Ref::borrow(Py_None);
}

}  // namespace

PyMethodDef materialize_asset_def = fastcall_method<materialize_asset>(
    "materialize_asset",
    "materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)\n"
    "--\n"
    "\n"
    "Materialize a single asset function. Called by the `python -m tevra.worker` CLI stub.\n"
    "\n"
    "Imports the module, finds the function, calls the unwrapped original,\n"
    "serializes the result to JSON, writes value.json and result.json.\n"
    "\n"
    "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
    "passed as keyword arguments to the function.");

}  // namespace tevra
