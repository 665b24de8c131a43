// inspect_modules(modules): imports user modules, finds their assets and describes them
// all in one compact JSON document.
#include "binding/asset_marker.hpp"
#include "binding/boundary.hpp"
#include "binding/call.hpp"
#include "binding/convert.hpp"
#include "binding/json_bridge.hpp"
#include "binding/text.hpp"
#include "discovery/discovery.hpp"
#include "json/json.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tevra {

namespace {

// The skip line goes straight to descriptor 2, whatever sys.stderr currently is, so it is
// neither buffered nor captured by Python code. A descriptor that refuses it is given up on.
void write_stderr_line(std::string line) {
    line.push_back('\n');
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::int64_t version_part(PyObject* version_info, const char* name) {
    Ref part = attr(version_info, name);
    const long long value = PyLong_AsLongLong(part.get());
    if (value == -1 && PyErr_Occurred()) throw_pending();
    return value;
}

std::string version_text(PyObject* sys) {
    Ref info = attr(sys, "version_info");
    const std::int64_t major = version_part(info.get(), "major");
    const std::int64_t minor = version_part(info.get(), "minor");
    const std::int64_t micro = version_part(info.get(), "micro");
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(micro);
}

// getsource, dedented and stripped, ending in exactly one line feed.
std::string source_text(PyObject* inspect, PyObject* textwrap, PyObject* obj) {
    Ref source = call_method(inspect, "getsource", obj);
    Ref dedented = call_method(textwrap, "dedent", source.get());
    Ref stripped = call_method(dedented.get(), "strip");
    const std::string_view view = to_str(stripped.get());
    std::string text;
    text.reserve(view.size() + 1);
    text.append(view);
    text.push_back('\n');
    return text;
}

// The resolved source file, or the empty text when the interpreter cannot say which file
// the target came from.
std::string file_path(PyObject* inspect, PyObject* pathlib, PyObject* target) {
    Ref getsourcefile = attr(inspect, "getsourcefile");
    Ref file = Ref::steal(PyObject_CallOneArg(getsourcefile.get(), target));
    if (!file) {
        discard_pending();
        return {};
    }
    return resolved_path(pathlib, file.get());
}

// Null when the target has no return annotation; a class by its name; anything else as str().
json::Value return_type(PyObject* inspect, PyObject* target) {
    Ref signature = call_method(inspect, "signature", target);
    Ref annotation = attr(signature.get(), "return_annotation");
    Ref signature_class = attr(inspect, "Signature");
    Ref empty = attr(signature_class.get(), "empty");
    if (annotation.get() == empty.get()) return json::Value::null();

    Ref builtins = import_module("builtins");
    Ref isinstance = attr(builtins.get(), "isinstance");
    Ref is_class = call(isinstance.get(), annotation.get(), reinterpret_cast<PyObject*>(&PyType_Type));
    if (check_status(PyObject_IsTrue(is_class.get()))) {
        Ref name = attr(annotation.get(), "__name__");
        return json::Value::string(to_string(name.get()));
    }
    Ref text = check(PyObject_Str(annotation.get()));
    return json::Value::string(to_lossy_string(text.get()));
}

struct ModuleContext {
    PyObject* inspect;
    PyObject* textwrap;
    PyObject* pathlib;
    PyObject* module;
    const json::Value& module_source;  // raw: the module's source, written once
    const std::string& version;
};

// The asset records, and the written module sources they show. A module's source is most of
// the document and the same in each of the module's records, so it is escaped once and each
// record holds it as raw text: escaping it again for each of a module's assets was most of
// this module's own work. A deque, so that the texts stay where the records point.
struct Records {
    std::deque<std::string> module_sources;
    json::Array assets;
};

json::Value asset_record(const ModuleContext& ctx, PyObject* member) {
    Ref metadata_obj = attr(member, "__tevra_metadata__");
    Ref json_module = import_module("json");
    json::ParseResult metadata = to_json_tree(json_module.get(), metadata_obj.get());
    if (!metadata) raise(PyExc_RuntimeError, "JSON parse error: " + metadata.error->detail());

    Ref target = asset_target(member);
    std::string function_source = source_text(ctx.inspect, ctx.textwrap, target.get());
    Ref name_obj = attr(target.get(), "__name__");
    std::string function_name = to_string(name_obj.get());
    std::string file = file_path(ctx.inspect, ctx.pathlib, target.get());
    json::Value returns = return_type(ctx.inspect, target.get());
    Ref module_name_obj = attr(ctx.module, "__name__");
    std::string module_name = to_string(module_name_obj.get());

    // Inserted in key order, which is also the order the writer emits.
    json::Object record;
    record.reserve(9);
    record.insert("decorator_metadata", std::move(metadata.value));
    record.insert("file_path", json::Value::string(std::move(file)));
    record.insert("function_name", json::Value::string(std::move(function_name)));
    record.insert("function_source", json::Value::string(std::move(function_source)));
    record.insert("kind", json::Value::string("asset"));
    record.insert("module_path", json::Value::string(std::move(module_name)));
    record.insert("module_source", ctx.module_source);
    record.insert("python_version", json::Value::string(ctx.version));
    record.insert("return_type", std::move(returns));
    return json::Value::object(std::move(record));
}

void scan_module(PyObject* inspect, PyObject* textwrap, PyObject* pathlib, PyObject* module,
                 const std::string& version, Records& out) {
    out.module_sources.push_back(json::write(json::Value::string(source_text(inspect, textwrap, module))));
    const json::Value module_source = json::Value::raw(out.module_sources.back());
    const ModuleContext ctx{inspect, textwrap, pathlib, module, module_source, version};

    Ref members = call_method(inspect, "getmembers", module);
    Ref iter = check(PyObject_GetIter(members.get()));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        Ref member = Ref::borrow(PyTuple_GetItem(expect_tuple(item.get()), 1));
        if (!member) throw_pending();
        if (is_asset(member.get())) out.assets.push_back(asset_record(ctx, member.get()));
    }
    if (PyErr_Occurred()) throw_pending();
}

// {"assets":[records]} in one write, into a buffer sized up front and left uninitialised: the
// document of a large scan runs to tens of megabytes, and growing a string by doubling would
// copy and touch it several times over (even a string's reserved room is zero-filled before
// it is written). Escapes (the line feeds and quotes of the function sources) make the text a
// little longer than the hint counts; should they make it longer still, it is written again
// into a string that grows.
Ref write_document(Records& r) {
    std::unique_ptr<char[]> buffer;
    std::string grown;
    std::string_view text;
    try {
        json::Object top;
        top.insert("assets", json::Value::array(std::move(r.assets)));
        const json::Value document = json::Value::object(std::move(top));
        const std::size_t hint = json::size_hint(document);
        const std::size_t room = hint + hint / 16;
        buffer = std::make_unique_for_overwrite<char[]>(room);
        if (const std::optional<std::size_t> length = json::write(document, buffer.get(), room)) {
            text = {buffer.get(), *length};
        } else {
            grown = json::write(document);
            text = grown;
        }
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        raise(PyExc_RuntimeError, std::string("JSON serialization error: ") + e.what());
    }
    return make_str(text);
}

constexpr std::string_view inspect_modules_params[] = {"modules"};
constexpr Signature inspect_modules_signature{
    .display = "inspect_modules()", .positional = inspect_modules_params, .required = 1};

Ref inspect_modules(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto [arg] = bind<1>(inspect_modules_signature, args, nargs, kwnames);
    const std::vector<std::string> names = convert_arg("modules", [&] { return to_str_list(arg); });

    Ref importlib = import_module("importlib");
    Ref inspect = import_module("inspect");
    Ref textwrap = import_module("textwrap");
    Ref sys = import_module("sys");
    Ref pathlib = import_module("pathlib");
    const std::string version = version_text(sys.get());

    Records records;
    for (const std::string& name : names) {
        Ref name_obj = make_str(name);
        Ref import_module = attr(importlib.get(), "import_module");
        Ref module = Ref::steal(PyObject_CallOneArg(import_module.get(), name_obj.get()));
        if (!module) {
            PyError error = PyError::fetch();
            write_stderr_line("tevra: skipping module '" + name + "': " + exception_text(error.value()));
            continue;
        }
        scan_module(inspect.get(), textwrap.get(), pathlib.get(), module.get(), version, records);
    }
    return write_document(records);
}

}  // namespace

PyMethodDef inspect_modules_def = fastcall_method<inspect_modules>(
    "inspect_modules",
    "inspect_modules(modules)\n"
    "--\n"
    "\n"
    "Inspect modules for tevra assets. Called by the `python -m tevra.inspect` CLI stub.\n"
    "\n"
    "Imports each module, finds functions with `__tevra_kind__ == \"asset\"`,\n"
    "extracts source and metadata, returns JSON string to stdout.");

}  // namespace tevra
