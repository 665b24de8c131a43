// A deliberately plain JSON parser and writer for the fuzz target to hold the real ones
// against: one byte at a time, strtod for numbers, printf for doubles, no shortcuts. It is
// written from the rules of the format, not from the real parser, and is slow on purpose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace reference {

struct Member;

struct Value {
    enum class Kind { Null, Bool, UInt, Int, Double, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    std::uint64_t uint = 0;
    std::int64_t integer = 0;
    double number = 0;
    std::string text;
    std::vector<Value> items;
    std::vector<Member> members;  // ascending byte order, unique keys
};

struct Member {
    std::string key;
    Value value;
};

struct Result {
    bool ok = false;
    Value value;
    std::string message;     // on failure: one of the parser's messages
    std::size_t offset = 0;  // on failure: the byte the error points at
};

Result parse(std::string_view text);
std::string write(const Value& value);

}  // namespace reference
