// libFuzzer target for the JSON parser and writer, held against the plain reference in
// reference_json.*: every input must be accepted or refused alike, with the same message at
// the same place; an accepted one must give the same tree, doubles bit for bit, and the same
// compact text, also when written into a fixed buffer. The written text must then read back
// as the same tree.
#include "json/json.hpp"
#include "reference_json.hpp"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "oracle failed: %s\n", what);
    std::abort();
}

using tevra::json::Value;

bool same(const reference::Value& r, const Value& v) {
    using K = reference::Value::Kind;
    switch (r.kind) {
    case K::Null: return v.kind() == Value::Kind::Null;
    case K::Bool: return v.kind() == Value::Kind::Bool && v.as_bool() == r.boolean;
    case K::UInt: return v.kind() == Value::Kind::UInt && v.as_uint() == r.uint;
    case K::Int: return v.kind() == Value::Kind::Int && v.as_int() == r.integer;
    case K::Double:
        return v.kind() == Value::Kind::Double &&
               std::bit_cast<std::uint64_t>(v.as_double()) == std::bit_cast<std::uint64_t>(r.number);
    case K::String: return v.kind() == Value::Kind::String && v.as_string() == r.text;
    case K::Array: {
        if (v.kind() != Value::Kind::Array || v.as_array().size() != r.items.size()) return false;
        for (std::size_t i = 0; i < r.items.size(); ++i)
            if (!same(r.items[i], v.as_array()[i])) return false;
        return true;
    }
    case K::Object: {
        if (v.kind() != Value::Kind::Object || v.as_object().size() != r.members.size()) return false;
        auto it = v.as_object().begin();
        for (const reference::Member& m : r.members) {
            if (it->key != m.key || !same(m.value, it->value)) return false;
            ++it;
        }
        return true;
    }
    }
    return false;
}

// Line and column, from 1, of byte `offset`.
std::pair<std::size_t, std::size_t> locate(std::string_view text, std::size_t offset) {
    std::size_t line = 1, start = 0;
    for (std::size_t i = 0; i < offset; ++i)
        if (text[i] == '\n') ++line, start = i + 1;
    return {line, offset - start + 1};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const tevra::json::ParseResult got = tevra::json::parse(text);
    const reference::Result want = reference::parse(text);
    if (!want.ok) {
        if (got) fail("accepted an input the reference refuses");
        if (got.error->message != want.message) fail("error message differs from the reference");
        const auto [line, column] = locate(text, want.offset);
        if (got.error->line != line || got.error->column != column) fail("error location differs from the reference");
        return 0;
    }
    if (!got) fail("refused an input the reference accepts");
    if (!same(want.value, got.value)) fail("tree differs from the reference");
    const std::string written = tevra::json::write(got.value);
    if (written != reference::write(want.value)) fail("written text differs from the reference");
    // Into a fixed buffer: the same text given the writer's few bytes of working room, and
    // nothing, rather than a cut text or an overrun, given less than the text.
    std::vector<char> buffer(written.size() + 32);
    const std::optional<std::size_t> length = tevra::json::write(got.value, buffer.data(), buffer.size());
    if (!length || std::string_view(buffer.data(), *length) != written) fail("fixed-buffer text differs");
    buffer.resize(written.size() - 1);
    if (tevra::json::write(got.value, buffer.data(), buffer.size())) fail("fixed-buffer write claims a short buffer");
    const tevra::json::ParseResult again = tevra::json::parse(written);
    if (!again || !same(want.value, again.value)) fail("written text does not read back as the same tree");
    return 0;
}
