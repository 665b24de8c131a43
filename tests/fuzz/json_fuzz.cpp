// libFuzzer target for the JSON parser and writer.
// Any input either parses or fails with one of the parser's messages at a place inside the
// input; a parsed tree written and parsed again gives the same tree, and writing is idempotent.
#include "json/json.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 21> messages = {
    "EOF while parsing a list", "EOF while parsing an object", "EOF while parsing a string",
    "EOF while parsing a value", "expected `:`", "expected `,` or `]`", "expected `,` or `}`",
    "expected ident", "expected value", "invalid escape", "invalid number", "number out of range",
    "invalid unicode code point", "control character (\\u0000-\\u001F) found while parsing a string",
    "key must be a string", "lone leading surrogate in hex escape", "trailing comma",
    "trailing characters", "unexpected end of hex escape", "recursion limit exceeded", "expected `\"`",
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "oracle failed: %s\n", what);
    std::abort();
}

// The error must point at a line of the input, at most one column past that line's end.
bool inside(std::string_view text, std::size_t line, std::size_t column) {
    if (line == 0 || column == 0) return false;
    std::size_t start = 0;
    for (std::size_t l = 1; l < line; ++l) {
        const auto nl = text.find('\n', start);
        if (nl == std::string_view::npos) return false;
        start = nl + 1;
    }
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    return column <= end - start + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    tevra::json::ParseResult first = tevra::json::parse(text);
    if (!first) {
        const auto& e = *first.error;
        if (std::find(messages.begin(), messages.end(), e.message) == messages.end()) fail("unknown message");
        if (!inside(text, e.line, e.column)) fail("error location outside the input");
        return 0;
    }
    const std::string written = tevra::json::write(first.value);
    tevra::json::ParseResult second = tevra::json::parse(written);
    if (!second) fail("written text does not parse");
    if (!(second.value == first.value)) fail("round trip changed the tree");
    if (tevra::json::write(second.value) != written) fail("writing is not idempotent");
    return 0;
}
