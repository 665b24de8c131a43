// Integers are written eight digits at a time; every length and the ends of
// both ranges must match std::to_chars.
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

namespace {

template <class Int>
std::string reference(Int i) {
    char buf[24];
    return std::string(buf, std::to_chars(buf, buf + sizeof buf, i).ptr);
}

void expect_both(std::uint64_t u) {
    EXPECT_EQ(tevra::json::write(tevra::json::Value::uint(u)), reference(u));
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        const auto i = static_cast<std::int64_t>(u);
        EXPECT_EQ(tevra::json::write(tevra::json::Value::integer(i)), reference(i));
        EXPECT_EQ(tevra::json::write(tevra::json::Value::integer(-i)), reference(-i));
    }
}

TEST(IntegerWrite, PowersOfTenAndTheirNeighbours) {
    for (std::uint64_t p = 1;; p *= 10) {
        for (std::uint64_t d : {p - 1, p, p + 1, 2 * p - 1, 9 * p, 9 * p + p / 2}) expect_both(d);
        if (p > std::numeric_limits<std::uint64_t>::max() / 10) break;
    }
    expect_both(0);
    expect_both(std::numeric_limits<std::uint64_t>::max());
    expect_both(std::numeric_limits<std::uint64_t>::max() - 1);
    EXPECT_EQ(tevra::json::write(tevra::json::Value::integer(std::numeric_limits<std::int64_t>::min())),
              "-9223372036854775808");
}

TEST(IntegerWrite, RandomValuesOfEveryLength) {
    std::mt19937_64 rng(17);
    for (int i = 0; i < 200000; ++i) expect_both(rng() >> (rng() % 64));
}

TEST(IntegerWrite, InsideDocuments) {
    tevra::json::Array items;
    std::string want = "[";
    for (std::uint64_t v = 7, i = 0; i < 40; ++i, v = v * 3 + i) {
        items.push_back(tevra::json::Value::uint(v));
        items.push_back(tevra::json::Value::integer(-static_cast<std::int64_t>(v % 1'000'000'007)));
        want += (i ? "," : "") + reference(v) + "," + reference(-static_cast<std::int64_t>(v % 1'000'000'007));
    }
    EXPECT_EQ(tevra::json::write(tevra::json::Value::array(std::move(items))), want + "]");
}

}  // namespace
