#include "json/json.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string_view>
#include <string>
#include <vector>

namespace {

using tevra::json::Array;
using tevra::json::Object;
using tevra::json::Value;
using tevra::json::write;

struct DoubleCase {
    double value;
    std::string text;
};

// Printed by their text: gtest would otherwise dump their raw bytes, unused
// string buffer bytes included, which memory checkers flag.
void PrintTo(const DoubleCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class DoubleFormTest : public testing::TestWithParam<DoubleCase> {};

TEST_P(DoubleFormTest, WritesTheExpectedForm) { EXPECT_EQ(write(Value::number(GetParam().value)), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Examples, DoubleFormTest,
    testing::Values(DoubleCase{1.0, "1.0"}, DoubleCase{1e15, "1000000000000000.0"}, DoubleCase{1e16, "1e+16"},
                    DoubleCase{1e-5, "0.00001"}, DoubleCase{1e-6, "1e-6"}, DoubleCase{0.25, "0.25"},
                    DoubleCase{123.5, "123.5"}, DoubleCase{0.00125, "0.00125"}, DoubleCase{1.5e-7, "1.5e-7"},
                    DoubleCase{1.7976931348623157e308, "1.7976931348623157e+308"}, DoubleCase{5e-324, "5e-324"},
                    DoubleCase{18446744073709551616.0, "1.8446744073709552e+19"}, DoubleCase{0.0, "0.0"},
                    DoubleCase{-0.0, "-0.0"}, DoubleCase{-2.5, "-2.5"}, DoubleCase{0.1, "0.1"},
                    DoubleCase{9999999999999998.0, "9999999999999998.0"}, DoubleCase{1.25e16, "1.25e+16"},
                    DoubleCase{-1e100, "-1e+100"}, DoubleCase{123456.789e-10, "0.0000123456789"},
                    DoubleCase{std::numeric_limits<double>::infinity(), "null"},
                    DoubleCase{std::numeric_limits<double>::quiet_NaN(), "null"}));

// The digits to_chars picks as shortest, trailing zeros removed, and the
// decimal exponent of the first of them.
void shortest(double d, std::string& digits, int& exponent) {
    char buf[32];
    const char* end = std::to_chars(buf, buf + sizeof buf, std::fabs(d), std::chars_format::scientific).ptr;
    const char* e = std::find(static_cast<const char*>(buf), end, 'e');
    digits.clear();
    for (const char* p = buf; p != e; ++p)
        if (*p != '.') digits += *p;
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
}

bool all_digits(std::string_view t) {
    return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "-?(0|[1-9][0-9]*)\.[0-9]+"
bool is_fixed(std::string_view t) {
    if (t.starts_with('-')) t.remove_prefix(1);
    const auto point = t.find('.');
    if (point == std::string_view::npos || (t[0] == '0' && point != 1)) return false;
    return all_digits(t.substr(0, point)) && all_digits(t.substr(point + 1));
}

// "-?[1-9](\.[0-9]*[1-9])?e[+-][1-9][0-9]*"
bool is_scientific(std::string_view t) {
    if (t.starts_with('-')) t.remove_prefix(1);
    const auto e = t.find('e');
    if (e == std::string_view::npos || e + 2 >= t.size()) return false;
    std::string_view mantissa = t.substr(0, e), exponent = t.substr(e + 2);
    if (t[e + 1] != '+' && t[e + 1] != '-') return false;
    if (exponent[0] == '0' || !all_digits(exponent)) return false;
    if (mantissa[0] < '1' || mantissa[0] > '9') return false;
    if (mantissa.size() == 1) return true;
    return mantissa[1] == '.' && all_digits(mantissa.substr(2)) && mantissa.back() != '0';
}

TEST(WriteDouble, RandomBitPatternsRoundTripWithShortestDigitsInTheRightForm) {
    std::mt19937_64 random(20240611);
    std::uniform_int_distribution<int> exponent_bits(0, 2046);  // every finite binary exponent
    for (int i = 0; i < 100000; ++i) {
        std::uint64_t bits = random();
        if (i % 2) bits = (bits & ~(std::uint64_t{0x7FF} << 52)) | std::uint64_t(exponent_bits(random)) << 52;
        const double d = std::bit_cast<double>(bits);
        if (!std::isfinite(d) || d == 0) continue;
        const std::string text = write(Value::number(d));

        const auto back = tevra::json::parse(text);
        ASSERT_TRUE(back) << text;
        ASSERT_EQ(std::bit_cast<std::uint64_t>(back.value.as_double()), bits) << text;

        std::string digits;
        int exponent = 0;
        shortest(d, digits, exponent);
        std::string written;  // significant digits of the text
        for (char c : text.substr(0, text.find('e')))
            if (c >= '0' && c <= '9' && !(written.empty() && c == '0')) written += c;
        while (written.size() > 1 && written.back() == '0') written.pop_back();
        ASSERT_EQ(written, digits) << text;

        const bool want_fixed = exponent >= -5 && exponent <= 15;
        ASSERT_TRUE(want_fixed ? is_fixed(text) : is_scientific(text)) << text;
        if (!want_fixed) {
            ASSERT_EQ(std::stoi(text.substr(text.find('e') + 1)), exponent) << text;
        }
    }
}

TEST(WriteDouble, FixedFormSpansOneToTheSixteenthDownToOneToTheMinusFifth) {
    for (int e = -8; e <= 18; ++e) {
        const std::string text = write(Value::number(std::pow(10.0, e) * 1.5));
        EXPECT_EQ(text.find('e') == std::string::npos, e >= -5 && e <= 15) << text;
    }
}

TEST(Write, Integers) {
    EXPECT_EQ(write(Value::uint(0)), "0");
    EXPECT_EQ(write(Value::uint(UINT64_MAX)), "18446744073709551615");
    EXPECT_EQ(write(Value::integer(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(write(Value::integer(-7)), "-7");
    EXPECT_EQ(write(Value::integer(7)), "7");
}

struct EscapeCase {
    std::string raw;
    std::string written;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << testing::PrintToString(c.written); }

class EscapeTest : public testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTest, EscapesOnlyQuoteBackslashAndControls) {
    EXPECT_EQ(write(Value::string(GetParam().raw)), GetParam().written);
    EXPECT_EQ(tevra::json::parse(GetParam().written).value.as_string(), GetParam().raw);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, EscapeTest,
    testing::Values(EscapeCase{"", R"("")"}, EscapeCase{"\"\\", R"("\"\\")"},
                    EscapeCase{"\b\t\n\f\r", R"("\b\t\n\f\r")"}, EscapeCase{std::string(1, '\0'), R"("\u0000")"},
                    EscapeCase{"\x01\x0b\x1b\x1f", R"("\u0001\u000b\u001b\u001f")"},
                    EscapeCase{"/\x7f", "\"/\x7f\""}, EscapeCase{"\xC3\xA9t\xC3\xA9", "\"\xC3\xA9t\xC3\xA9\""},
                    EscapeCase{"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
                    EscapeCase{std::string(37, 'a') + "\"" + std::string(21, 'b'),
                               "\"" + std::string(37, 'a') + "\\\"" + std::string(21, 'b') + "\""}));

TEST(Write, EscapesBecomeRawUtf8) {
    EXPECT_EQ(write(tevra::json::parse(R"(["\u00e9","\ud83d\ude00","\/"])").value), "[\"\xC3\xA9\",\"\xF0\x9F\x98\x80\",\"/\"]");
}

TEST(Write, CompactWithKeysInByteOrder) {
    Object object;
    for (const char* key : {"error_type", "b", "error", "B", "\xC3\xA9", "", "a"}) object.insert(key, Value::null());
    object.insert("nested", Value::array({Value::array(), Value::object(), Value::boolean(true), Value::boolean(false)}));
    EXPECT_EQ(write(Value::object(object)),
              "{\"\":null,\"B\":null,\"a\":null,\"b\":null,\"error\":null,\"error_type\":null,"
              "\"nested\":[[],{},true,false],\"\xC3\xA9\":null}");
}

TEST(Write, AppendsToTheGivenBuffer) {
    std::string out = "x=";
    write(Value::array({Value::uint(1)}), out);
    EXPECT_EQ(out, "x=[1]");
    EXPECT_GE(write(Value()).capacity(), 128u);
}

// A raw value stands for text written once and placed in many spots of a document: copies
// share it, and each is written as it stands, escapes and all.
TEST(Write, RawTextStandsAsItIsWherePlaced) {
    const std::string source = write(Value::string("line \"one\"\n\tline two\n"));
    Object record;
    record.insert("z", Value::uint(1));
    record.insert("source", Value::raw(source));
    record.insert("a", Value::raw("[1,2]"));
    const Value one = Value::object(record);
    const Value doc = Value::array({one, one, Value::raw(""), Value::raw("null")});
    EXPECT_EQ(write(doc), "[{\"a\":[1,2],\"source\":" + source + ",\"z\":1},{\"a\":[1,2],\"source\":" + source +
                              ",\"z\":1},,null]");
    EXPECT_EQ(doc.as_array()[1].as_object().find("source")->as_raw().data(), source.data());
}

// The hint counts every byte but escapes, doubles at their longest, and a few bytes of
// working room; a string reserved to it receives the text in place, and a fixed buffer of
// that size holds it, while one a byte short of the text refuses it.
TEST(Write, SizeHintAndWritingIntoReservedRoom) {
    struct Case {
        Value value;
        std::size_t escapes;
    };
    Object members;
    members.insert("key", Value::array({Value::integer(-120), Value::uint(0), Value::uint(UINT64_MAX),
                                        Value::integer(INT64_MIN), Value::boolean(false), Value()}));
    members.insert("k\"2", Value::string("tab\there\x01"));
    members.insert("raw", Value::raw("{\"x\":[]}"));
    const Case cases[] = {
        {Value::object(members), 1 + 1 + 5},
        {Value::array(), 0},
        {Value::object(), 0},
        {Value::string(std::string(100, 'x')), 0},
        {Value::array({Value::string(""), Value::array({Value::object()})}), 0},
    };
    for (const Case& c : cases) {
        const std::string text = write(c.value);
        const std::size_t room_needed = tevra::json::size_hint(c.value) + c.escapes;
        EXPECT_GE(room_needed, text.size()) << text;
        EXPECT_LE(room_needed, text.size() + 32) << text;
        std::string out = "<";
        out.reserve(1 + room_needed);
        const char* room = out.data();
        write(c.value, out);
        EXPECT_EQ(out, "<" + text);
        EXPECT_EQ(out.data(), room) << text;

        std::vector<char> buffer(room_needed);
        const std::optional<std::size_t> length = tevra::json::write(c.value, buffer.data(), buffer.size());
        ASSERT_TRUE(length) << text;
        EXPECT_EQ(std::string_view(buffer.data(), *length), text);
        EXPECT_FALSE(tevra::json::write(c.value, buffer.data(), text.size() - 1)) << text;
    }
    EXPECT_GE(tevra::json::size_hint(Value::number(-1.2345678901234567e-300)), write(Value::number(-1.2345678901234567e-300)).size());
}

class RoundTripTest : public testing::TestWithParam<std::string> {};

TEST_P(RoundTripTest, ParseOfWriteGivesTheSameTree) {
    const auto first = tevra::json::parse(GetParam());
    ASSERT_TRUE(first) << first.error->detail();
    const std::string text = write(first.value);
    const auto second = tevra::json::parse(text);
    ASSERT_TRUE(second) << second.error->detail();
    EXPECT_EQ(second.value, first.value);
    EXPECT_EQ(write(second.value), text);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, RoundTripTest,
    testing::Values(R"({"ok":true,"error":null,"values":[1,-2,3.5,-0.0,1e300,"x"],"z":{"a":{"b":{"c":[[],[{}]]}}}})",
                    R"([18446744073709551615,18446744073709551616,-9223372036854775808,-9223372036854775809,1e-7])",
                    "{\"caf\\u00e9\":\"\\t\\u0001\xE6\x97\xA5\",\"B\":[0.1,0.2,0.30000000000000004],\"a\":\"\\\"\"}",
                    R"([{"k":1,"k":[2,{"k":3,"j":4}]},"\ud83d\ude00",12345678901234567890123])"));

}  // namespace
