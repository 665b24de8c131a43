#include "json/json.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <string>

namespace {

using tevra::json::Value;
using Kind = Value::Kind;

// Locations name the byte where parsing stopped: the offending byte, the last
// byte of a token refused as a whole, or the last byte of the input when it
// ran out. Columns count bytes from 1 within the line.
struct ErrorCase {
    std::string text;
    std::string detail;
};

// Parameters are printed by their text: gtest would otherwise dump their raw
// bytes, the strings' unused buffer bytes included, which memory checkers flag.
void PrintTo(const ErrorCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class ParseErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrorTest, ReportsMessageAndLocation) {
    const auto result = tevra::json::parse(GetParam().text);
    ASSERT_FALSE(result) << GetParam().text;
    EXPECT_EQ(result.error->detail(), GetParam().detail);
    EXPECT_EQ(result.value.kind(), Kind::Null);
}

INSTANTIATE_TEST_SUITE_P(
    EveryMessage, ParseErrorTest,
    testing::Values(
        ErrorCase{"[1", "EOF while parsing a list at line 1 column 2"},
        ErrorCase{"[", "EOF while parsing a list at line 1 column 1"},
        ErrorCase{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        ErrorCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        ErrorCase{"{\"a\":1,", "EOF while parsing an object at line 1 column 7"},
        ErrorCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
        ErrorCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        ErrorCase{"", "EOF while parsing a value at line 1 column 1"},
        ErrorCase{" \t", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"[1,", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        ErrorCase{"tru", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        ErrorCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        ErrorCase{"[1}", "expected `,` or `]` at line 1 column 3"},
        ErrorCase{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        // A byte that cannot open any value where a key belongs...
        ErrorCase{"{\"a\":1,x:2}", "expected `\"` at line 1 column 8"},
        ErrorCase{"{:1}", "expected `\"` at line 1 column 2"},
        // ...and a value of another type there.
        ErrorCase{"{1:2}", "key must be a string at line 1 column 2"},
        ErrorCase{"{\"a\":1,[]:2}", "key must be a string at line 1 column 8"},
        ErrorCase{"nulx", "expected ident at line 1 column 4"},
        ErrorCase{"tRue", "expected ident at line 1 column 2"},
        ErrorCase{"NaN", "expected value at line 1 column 1"},
        ErrorCase{"Infinity", "expected value at line 1 column 1"},
        ErrorCase{"[,1]", "expected value at line 1 column 2"},
        ErrorCase{".5", "expected value at line 1 column 1"},
        ErrorCase{"+1", "expected value at line 1 column 1"},
        ErrorCase{"\"\\x\"", "invalid escape at line 1 column 3"},
        ErrorCase{"\"\\U0041\"", "invalid escape at line 1 column 3"},
        ErrorCase{"-Infinity", "invalid number at line 1 column 2"},
        ErrorCase{"-", "invalid number at line 1 column 1"},
        ErrorCase{"01", "invalid number at line 1 column 2"},
        ErrorCase{"-01", "invalid number at line 1 column 3"},
        ErrorCase{"1.", "invalid number at line 1 column 2"},
        ErrorCase{"1.e5", "invalid number at line 1 column 3"},
        ErrorCase{"1e", "invalid number at line 1 column 2"},
        ErrorCase{"1e+", "invalid number at line 1 column 3"},
        ErrorCase{"[1E-x]", "invalid number at line 1 column 5"},
        ErrorCase{"1e400", "number out of range at line 1 column 5"},
        ErrorCase{"[-1.5e309]", "number out of range at line 1 column 9"},
        ErrorCase{"1" + std::string(400, '0'), "number out of range at line 1 column 401"},
        ErrorCase{"\"\\udc00\"", "invalid unicode code point at line 1 column 7"},
        ErrorCase{"\"a\xff\"", "invalid unicode code point at line 1 column 3"},
        ErrorCase{"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        ErrorCase{"\"\\ud800\"", "lone leading surrogate in hex escape at line 1 column 8"},
        ErrorCase{"\"\\ud800\\n\"", "lone leading surrogate in hex escape at line 1 column 9"},
        ErrorCase{"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrorCase{"\"\\ud800\\ud800\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrorCase{"\"\\u12x4\"", "unexpected end of hex escape at line 1 column 6"},
        ErrorCase{"\"\\u12\"", "unexpected end of hex escape at line 1 column 6"},
        ErrorCase{"\"\\ud800\\u12\"", "unexpected end of hex escape at line 1 column 12"},
        ErrorCase{"[1,]", "trailing comma at line 1 column 4"},
        ErrorCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
        ErrorCase{"1 2", "trailing characters at line 1 column 3"},
        ErrorCase{"[]]", "trailing characters at line 1 column 3"},
        ErrorCase{"nullx", "trailing characters at line 1 column 5"},
        ErrorCase{std::string(128, '['), "recursion limit exceeded at line 1 column 128"},
        // Lines count line feeds; a carriage return is an ordinary byte of its line.
        ErrorCase{"[\n  1,\n  x]", "expected value at line 3 column 3"},
        ErrorCase{"[1,\r\n2,\r\n]", "trailing comma at line 3 column 1"},
        ErrorCase{"{\n\"a\":1,\n", "EOF while parsing an object at line 2 column 7"}));

TEST(Parse, WhitespaceIsSpaceTabLineFeedAndCarriageReturnOnly) {
    EXPECT_TRUE(tevra::json::parse(" \t\r\n[ 1 ,\t2 ]\r\n "));
    for (const char* text : {"\f1", "1\v", "\xC2\xA0" "1"}) EXPECT_FALSE(tevra::json::parse(text)) << text;
    EXPECT_FALSE(tevra::json::parse(std::string_view("1\0", 2)));
}

TEST(Parse, Literals) {
    EXPECT_EQ(tevra::json::parse("null").value, Value::null());
    EXPECT_EQ(tevra::json::parse("true").value, Value::boolean(true));
    EXPECT_EQ(tevra::json::parse("false").value, Value::boolean(false));
}

// Integers keep their 64-bit form where one exists; everything else is a double.
struct NumberCase {
    std::string text;
    Value expected;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class NumberTest : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberTest, ClassifiesAndConverts) {
    const auto result = tevra::json::parse(GetParam().text);
    ASSERT_TRUE(result) << result.error->detail();
    EXPECT_EQ(result.value, GetParam().expected) << GetParam().text;
    EXPECT_EQ(result.value.kind(), GetParam().expected.kind()) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, NumberTest,
    testing::Values(NumberCase{"0", Value::uint(0)}, NumberCase{"18446744073709551615", Value::uint(UINT64_MAX)},
                    NumberCase{"18446744073709551616", Value::number(18446744073709551616.0)},
                    NumberCase{"-1", Value::integer(-1)},
                    NumberCase{"-9223372036854775808", Value::integer(INT64_MIN)},
                    NumberCase{"-9223372036854775809", Value::number(-9223372036854775809.0)},
                    NumberCase{"123456789012345678901234567890", Value::number(1.2345678901234568e29)},
                    NumberCase{"-0", Value::number(-0.0)}, NumberCase{"0.0", Value::number(0.0)},
                    NumberCase{"-0.0", Value::number(-0.0)}, NumberCase{"1.0", Value::number(1.0)},
                    NumberCase{"1e2", Value::number(100.0)}, NumberCase{"1E+2", Value::number(100.0)},
                    NumberCase{"25e-2", Value::number(0.25)}, NumberCase{"-12.5e0", Value::number(-12.5)},
                    NumberCase{"0.1", Value::number(0.1)},
                    NumberCase{"1.7976931348623157e308", Value::number(1.7976931348623157e308)},
                    NumberCase{"5e-324", Value::number(5e-324)},
                    NumberCase{"2.2250738585072011e-308", Value::number(2.2250738585072011e-308)},
                    // Halfway between zero and the smallest subnormal rounds to even: zero.
                    NumberCase{"2.4703282292062327e-324", Value::number(0.0)},
                    NumberCase{"2.4703282292062328e-324", Value::number(5e-324)},
                    NumberCase{"1e-400", Value::number(0.0)}, NumberCase{"-1e-400", Value::number(-0.0)},
                    NumberCase{"0." + std::string(400, '0') + "1", Value::number(0.0)},
                    NumberCase{"1" + std::string(400, '0') + "e-400", Value::number(1.0)},
                    NumberCase{"0e999999999999999999999", Value::number(0.0)},
                    NumberCase{"1e-99999999999999999999", Value::number(0.0)}));

struct StringCase {
    std::string text;
    std::string expected;
};

void PrintTo(const StringCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class StringTest : public testing::TestWithParam<StringCase> {};

TEST_P(StringTest, Decodes) {
    const auto result = tevra::json::parse(GetParam().text);
    ASSERT_TRUE(result) << result.error->detail();
    EXPECT_EQ(result.value.as_string(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, StringTest,
    testing::Values(StringCase{R"("")", ""}, StringCase{R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
                    StringCase{R"("\u0000")", std::string(1, '\0')}, StringCase{R"("\u001F\u007f")", "\x1f\x7f"},
                    StringCase{R"("\u00e9\u00E9")", "\xC3\xA9\xC3\xA9"}, StringCase{R"("\u20ac")", "\xE2\x82\xAC"},
                    StringCase{R"("\ud83d\ude00")", "\xF0\x9F\x98\x80"}, StringCase{R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF"},
                    StringCase{R"("a\nb\u0041c")", "a\nbAc"},
                    StringCase{"\"" + std::string(100, 'x') + "\\t" + std::string(100, 'y') + "\"",
                               std::string(100, 'x') + "\t" + std::string(100, 'y')}));

// Raw UTF-8 is kept byte for byte when well formed.
INSTANTIATE_TEST_SUITE_P(Utf8, StringTest,
                         testing::Values(StringCase{"\"\xC2\x80\xDF\xBF\"", "\xC2\x80\xDF\xBF"},
                                         StringCase{"\"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\"",
                                                    "\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"},
                                         StringCase{"\"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\"", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
                                         StringCase{"\"caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \x7F/\"",
                                                    "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \x7F/"}));

class BadUtf8Test : public testing::TestWithParam<std::string> {};

TEST_P(BadUtf8Test, IsRefused) {
    const auto result = tevra::json::parse("\"ab" + GetParam() + "\"");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error->message, "invalid unicode code point");
}

INSTANTIATE_TEST_SUITE_P(Sequences, BadUtf8Test,
                         testing::Values("\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xC3\x28", "\xE0\x80\x80",
                                         "\xE0\x9F\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xE2\x82", "\xF0\x80\x80\x80",
                                         "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8", "\xFF",
                                         "\xF0\x9F\x98"));

TEST(Parse, Utf8TruncatedByEndOfInput) {
    EXPECT_EQ(tevra::json::parse("\"\xE2\x82").error->detail(), "EOF while parsing a string at line 1 column 3");
}

TEST(Parse, ObjectsSortKeysAndKeepTheLastDuplicate) {
    const auto result = tevra::json::parse(R"({"b":1,"a":2,"b":3,"c":{"y":0,"x":1},"a":4,"b":5})");
    ASSERT_TRUE(result);
    const auto& object = result.value.as_object();
    ASSERT_EQ(object.size(), 3u);
    EXPECT_EQ(*object.find("a"), Value::uint(4));
    EXPECT_EQ(*object.find("b"), Value::uint(5));
    EXPECT_EQ(tevra::json::write(result.value), R"({"a":4,"b":5,"c":{"x":1,"y":0}})");
    EXPECT_EQ(tevra::json::write(tevra::json::parse(R"({"k":1,"k":2})").value), R"({"k":2})");
}

std::string nested(int depth, const std::string& open, const std::string& close) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += open;
    text += "0";
    for (int i = 0; i < depth; ++i) text += close;
    return text;
}

TEST(Parse, AtMost127ContainersOpenAtOnce) {
    EXPECT_TRUE(tevra::json::parse(nested(127, "[", "]")));
    EXPECT_TRUE(tevra::json::parse(nested(127, "{\"k\":", "}")));
    EXPECT_EQ(tevra::json::parse(nested(128, "[", "]")).error->detail(),
              "recursion limit exceeded at line 1 column 128");
    EXPECT_EQ(tevra::json::parse(nested(64, "[{\"k\":", "}]")).error->message, "recursion limit exceeded");
    // Siblings do not add up: only open containers count.
    EXPECT_TRUE(tevra::json::parse("[" + nested(126, "[", "]") + "," + nested(126, "[", "]") + "]"));
}

TEST(Parse, VeryDeepInputIsRefusedQuickly) {
    const auto start = std::chrono::steady_clock::now();
    const auto result = tevra::json::parse(std::string(100000, '['));
    EXPECT_EQ(result.error->message, "recursion limit exceeded");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
