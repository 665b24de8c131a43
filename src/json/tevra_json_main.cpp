// tevra-json: parses standard input with the strict parser and prints the
// compact form, or the parse error, so outside suites and fuzzers can drive both.
#include "json/json.hpp"

#include <cstdio>
#include <string>

int main() {
    std::string input;
    char chunk[1 << 16];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) input.append(chunk, n);
    if (std::ferror(stdin)) {
        std::fputs("cannot read standard input\n", stderr);
        return 2;
    }

    tevra::json::ParseResult result = tevra::json::parse(input);
    if (!result) {
        std::string detail = result.error->detail() + "\n";
        std::fwrite(detail.data(), 1, detail.size(), stderr);
        return 1;
    }
    std::string out = tevra::json::write(result.value);
    out.push_back('\n');
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) return 2;
    return 0;
}
