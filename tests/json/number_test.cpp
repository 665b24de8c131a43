// The parser's own decimal conversion, checked against std::from_chars (correctly
// rounded) for numbers short of the end of the input and right at it, since the
// parser reads eight bytes at a time only where the input allows it.
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using tevra::json::Value;
using Kind = Value::Kind;

double reference(const std::string& text) {
    double d = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), d);
    EXPECT_EQ(r.ptr, text.data() + text.size()) << text;
    return d;
}

// Parses `text` alone, then as both items of an array followed by plenty of
// blanks, and expects the double from_chars gives for it each time.
void expect_double(const std::string& text) {
    const std::uint64_t want = std::bit_cast<std::uint64_t>(reference(text));
    const auto alone = tevra::json::parse(text);
    ASSERT_TRUE(alone) << text << ": " << alone.error->detail();
    ASSERT_EQ(alone.value.kind(), Kind::Double) << text;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(alone.value.as_double()), want) << text;

    const auto padded = tevra::json::parse("[" + text + "," + text + "]" + std::string(40, ' '));
    ASSERT_TRUE(padded) << text << ": " << padded.error->detail();
    for (const Value& item : padded.value.as_array()) {
        ASSERT_EQ(item.kind(), Kind::Double) << text;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(item.as_double()), want) << text;
    }
}

std::string random_digits(std::mt19937_64& rng, int n) {
    std::string s(1, static_cast<char>('1' + rng() % 9));
    while (static_cast<int>(s.size()) < n) s.push_back(static_cast<char>('0' + rng() % 10));
    return s;
}

TEST(ParseNumber, RandomDecimalsMatchFromChars) {
    std::mt19937_64 rng(20240601);
    for (int i = 0; i < 200000; ++i) {
        const int n = 1 + static_cast<int>(rng() % 22);
        std::string digits = random_digits(rng, n);
        std::string text;
        if (rng() % 2) text.push_back('-');
        const int point = static_cast<int>(rng() % static_cast<unsigned>(n + 1));
        if (point == 0) {
            text += "0." + std::string(rng() % 4 == 0 ? rng() % 12 : 0, '0') + digits;
        } else if (point == n) {
            text += digits + ".0";
        } else {
            text += digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
        }
        if (rng() % 3 == 0) {
            const int e = static_cast<int>(rng() % 81) - 40;
            text += (rng() % 2 ? "e" : "E") + std::string(e >= 0 && rng() % 2 ? "+" : "") + std::to_string(e);
        }
        expect_double(text);
    }
}

TEST(ParseNumber, SeventeenDigitCoordinates) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 100000; ++i) {
        const int whole = 1 + static_cast<int>(rng() % 3);
        const std::string digits = random_digits(rng, 17);
        expect_double((rng() % 2 ? "-" : "") + digits.substr(0, static_cast<std::size_t>(whole)) + "." +
                      digits.substr(static_cast<std::size_t>(whole)));
    }
}

// Every fraction length on both sides of the eight- and sixteen-digit steps,
// after integer parts of one to four digits, ending at a comma, a bracket or an
// exponent.
TEST(ParseNumber, EveryFractionLengthAfterAShortIntegerPart) {
    std::mt19937_64 rng(3);
    for (int whole = 0; whole <= 4; ++whole) {
        for (int f = 1; f <= 18; ++f) {
            for (int i = 0; i < 300; ++i) {
                std::string text = rng() % 2 ? "-" : "";
                text += whole == 0 ? "0" : random_digits(rng, whole);
                text += "." + random_digits(rng, f);
                if (rng() % 4 == 0) text[text.size() - static_cast<std::size_t>(f)] = '0';  // a leading zero
                if (i % 5 == 0) text += "e" + std::to_string(static_cast<int>(rng() % 21) - 10);
                expect_double(text);
            }
        }
    }
}

// Values exactly halfway between two doubles round to the even one; those just
// off halfway round towards their side. Written with a fraction or an exponent.
TEST(ParseNumber, HalfwayCasesRoundToEven) {
    std::mt19937_64 rng(11);
    for (int i = 0; i < 20000; ++i) {
        const int bits = 54 + static_cast<int>(rng() % 10);  // 2^53 .. 2^63: spacing 2 .. 1024
        const std::uint64_t step = std::uint64_t{1} << (bits - 53);
        std::uint64_t v = (std::uint64_t{1} << (bits - 1)) + (rng() & ((std::uint64_t{1} << (bits - 1)) - 1));
        v = v - v % step + step / 2;
        for (std::uint64_t near : {v, v - 1, v + 1}) {
            const std::string s = std::to_string(near);
            expect_double(s + ".0");
            expect_double(s + ".00");
            expect_double(s + "e0");
            expect_double(s.substr(0, s.size() - 1) + "." + s.substr(s.size() - 1) + "e1");
        }
    }
    for (const char* text : {"9007199254740993.0", "9007199254740995.0", "0.5", "1.5", "2.5e0", "4503599627370496.5",
                             "4503599627370497.5", "9223372036854775807.0", "1844674407370955161.5e1"})
        expect_double(text);
}

TEST(ParseNumber, SmallAndLargeExponentsAndManyDigits) {
    for (const char* text :
         {"1e22", "1e23", "9007199254740992e22", "9007199254740993e22", "1.2345678901234567e27", "1e27", "1e28",
          "123456789012345678e27", "1e-22", "1e-27", "1e-28", "1234567890123456789e-27", "0.000000000000000000000000001",
          "1.00000000000000000000001", "12345678901234567890.5", "0.1234567890123456789", "0.12345678901234567890",
          "99999999999999999999e-20", "4.9406564584124654e-324", "1.7976931348623157e308", "2.2250738585072014e-308",
          "-0.000001", "0.0000000", "-0.0e5", "0e-5", "7.0e-10", "3.1415926535897932384626433832795"})
        expect_double(text);
}

// The place of the last digit and the written exponent cancel out only in sum: a fraction
// with a million leading zeros and an exponent of a million and more must not lose either.
TEST(ParseNumber, ExponentBeyondAMillionAfterAMillionZeros) {
    const std::string zeros(1'000'000, '0');
    for (const std::string& text : {"0." + zeros + "1e1000010", "0." + zeros + "25E+1000001", "1" + zeros + "e-1000005",
                                    "-0." + zeros + "1e1000000"})
        expect_double(text);
}

TEST(ParseNumber, IntegersKeepTheirKindAtEveryLength) {
    for (std::uint64_t v = 1, i = 0; i < 20; ++i, v = v * 10 + i % 10) {
        const std::string s = std::to_string(v);
        for (const std::string& text : {s, "[" + s + "]" + std::string(40, ' ')}) {
            const auto r = tevra::json::parse(text);
            ASSERT_TRUE(r) << text;
            const Value& got = r.value.kind() == Kind::Array ? r.value.as_array().at(0) : r.value;
            EXPECT_EQ(got, Value::uint(v)) << text;
            EXPECT_EQ(got.kind(), Kind::UInt) << text;
        }
        if (v > static_cast<std::uint64_t>(INT64_MAX)) continue;
        const auto negative = tevra::json::parse("[-" + s + "]" + std::string(40, ' '));
        ASSERT_TRUE(negative);
        EXPECT_EQ(negative.value.as_array().at(0).kind(), Kind::Int) << s;
        EXPECT_EQ(negative.value.as_array().at(0), Value::integer(-static_cast<std::int64_t>(v))) << s;
    }
    const auto zero = tevra::json::parse("[-0,0]" + std::string(40, ' '));
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero.value.as_array().at(0), Value::number(-0.0));
    EXPECT_EQ(zero.value.as_array().at(1), Value::uint(0));
}

// With room to read ahead the errors are the same as at the end of the input.
TEST(ParseNumber, ErrorsWithRoomToReadAhead) {
    const std::string pad(40, ' ');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[01]", "invalid number at line 1 column 3"},      {"[-01]", "invalid number at line 1 column 4"},
        {"[-x]", "invalid number at line 1 column 3"},      {"[1.]", "invalid number at line 1 column 4"},
        {"[1.x]", "invalid number at line 1 column 4"},     {"[1.5e]", "invalid number at line 1 column 6"},
        {"[1.5e+]", "invalid number at line 1 column 7"},   {"[1e400]", "number out of range at line 1 column 6"},
        {"[1.5x]", "expected `,` or `]` at line 1 column 5"}, {"[12345678.5.]", "expected `,` or `]` at line 1 column 12"},
        {"[0.123456789012345678.]", "expected `,` or `]` at line 1 column 22"},
    };
    for (const auto& [text, detail] : cases) {
        const auto r = tevra::json::parse(text + pad);
        ASSERT_FALSE(r) << text;
        EXPECT_EQ(r.error->detail(), detail) << text;
    }
}

}  // namespace
