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
#include <exception>
#include <new>
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
    std::size_t source_index;
    const std::string& version;
};

// A record is held in two parts around the place of "module_source" in key order, and the
// module source once per module, not once per record: it is most of the document, and
// escaping it again for each of a module's assets was most of this module's own work.
struct PendingRecord {
    json::Value before;  // "decorator_metadata" up to "module_path"
    std::size_t source_index;
    json::Value after;  // "python_version" and "return_type"
};

struct Records {
    std::vector<json::Value> module_sources;
    std::vector<PendingRecord> records;
    std::size_t text_size = 0;  // the records' own strings, without the module sources
};

// What one record adds to the document text beyond its strings: keys, punctuation and a
// typical metadata object.
constexpr std::size_t record_overhead = 512;

PendingRecord asset_record(const ModuleContext& ctx, PyObject* member, std::size_t& text_size) {
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

    text_size += record_overhead + function_source.size() + function_name.size() + file.size() +
                 module_name.size() + ctx.version.size();

    // Inserted in key order, which is also the order the writer emits.
    json::Object before;
    before.reserve(6);
    before.insert("decorator_metadata", std::move(metadata.value));
    before.insert("file_path", json::Value::string(std::move(file)));
    before.insert("function_name", json::Value::string(std::move(function_name)));
    before.insert("function_source", json::Value::string(std::move(function_source)));
    before.insert("kind", json::Value::string("asset"));
    before.insert("module_path", json::Value::string(std::move(module_name)));
    json::Object after;
    after.reserve(2);
    after.insert("python_version", json::Value::string(ctx.version));
    after.insert("return_type", std::move(returns));
    return {json::Value::object(std::move(before)), ctx.source_index, json::Value::object(std::move(after))};
}

void scan_module(PyObject* inspect, PyObject* textwrap, PyObject* pathlib, PyObject* module,
                 const std::string& version, Records& out) {
    out.module_sources.push_back(json::Value::string(source_text(inspect, textwrap, module)));
    const ModuleContext ctx{inspect, textwrap, pathlib, module, out.module_sources.size() - 1, version};

    Ref members = call_method(inspect, "getmembers", module);
    Ref iter = check(PyObject_GetIter(members.get()));
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        Ref member = Ref::borrow(PyTuple_GetItem(expect_tuple(item.get()), 1));
        if (!member) throw_pending();
        if (is_asset(member.get())) out.records.push_back(asset_record(ctx, member.get(), out.text_size));
    }
    if (PyErr_Occurred()) throw_pending();
}

constexpr std::string_view source_key = ",\"module_source\":";

// The compact writer's text of {"assets":[records]}: each record is its first part's object
// without the closing brace, the module source member, and its second part's object without
// the opening brace. The buffer is sized up front (the document of a large scan runs to tens
// of megabytes, and growing it by doubling would copy and touch it several times over);
// escapes make the records' own text somewhat longer than their strings.
std::string write_document(const Records& r) {
    try {
        std::vector<std::string> sources;
        sources.reserve(r.module_sources.size());
        for (const json::Value& source : r.module_sources) sources.push_back(json::write(source));
        std::size_t size = 128 + r.text_size + r.text_size / 16;
        for (const PendingRecord& record : r.records) size += source_key.size() + sources[record.source_index].size();

        std::string text;
        text.reserve(size);
        text.append("{\"assets\":[");
        std::string piece;
        bool first = true;
        for (const PendingRecord& record : r.records) {
            if (!first) text.push_back(',');
            first = false;
            piece.clear();
            json::write(record.before, piece);
            text.append(piece, 0, piece.size() - 1);
            text.append(source_key);
            text.append(sources[record.source_index]);
            text.push_back(',');
            piece.clear();
            json::write(record.after, piece);
            text.append(piece, 1);
        }
        text.append("]}");
        return text;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        raise(PyExc_RuntimeError, std::string("JSON serialization error: ") + e.what());
    }
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
    return make_str(write_document(records));
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
