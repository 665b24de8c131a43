#include "json/json.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using tevra::json::Array;
using tevra::json::Object;
using tevra::json::Value;
using Kind = Value::Kind;

std::vector<std::string> keys_of(const Object& object) {
    std::vector<std::string> keys;
    for (const auto& member : object) keys.push_back(member.key);
    return keys;
}

TEST(Object, KeepsKeysInByteOrderWhateverTheInsertionOrder) {
    const std::vector<std::string> sorted = {"", "A", "B", "Z", "_", "a", "b", "error", "error_type", "z", "\x7f",
                                             "\xC3\xA9", "\xE6\x97\xA5"};
    std::vector<std::string> keys = sorted;
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        std::shuffle(keys.begin(), keys.end(), random);
        Object object;
        for (const auto& key : keys) object.insert(key, Value::string(key));
        EXPECT_EQ(keys_of(object), sorted);
        for (const auto& key : keys) EXPECT_EQ(object.find(key)->as_string(), key);
    }
}

TEST(Object, InsertingAPresentKeyReplacesItsValue) {
    Object object;
    object.insert("b", Value::uint(1));
    object.insert("a", Value::uint(2));
    object.insert("b", Value::uint(3));
    object.insert("a", Value::uint(4));
    EXPECT_EQ(object.size(), 2u);
    EXPECT_EQ(*object.find("a"), Value::uint(4));
    EXPECT_EQ(*object.find("b"), Value::uint(3));
    EXPECT_EQ(object.find("c"), nullptr);
    EXPECT_EQ(object.find("a\0"), object.find("a"));
    EXPECT_EQ(object.find(std::string_view("a\0", 2)), nullptr);
}

TEST(Value, FactoriesAndAccessors) {
    EXPECT_EQ(Value().kind(), Kind::Null);
    EXPECT_TRUE(Value::boolean(true).as_bool());
    EXPECT_EQ(Value::uint(UINT64_MAX).as_uint(), UINT64_MAX);
    EXPECT_EQ(Value::integer(INT64_MIN).as_int(), INT64_MIN);
    EXPECT_EQ(Value::number(2.5).as_double(), 2.5);
    EXPECT_EQ(Value::string("lit").as_string(), "lit");
    EXPECT_EQ(Value::string(std::string_view("a\0b", 3)).as_string(), std::string("a\0b", 3));
    EXPECT_EQ(Value::array({Value::uint(1)}).as_array().size(), 1u);
    EXPECT_TRUE(Value::object().as_object().empty());
}

TEST(Value, AccessorOfAnotherKindThrows) {
    EXPECT_THROW(Value().as_bool(), std::logic_error);
    EXPECT_THROW(Value::integer(1).as_uint(), std::logic_error);
    EXPECT_THROW(Value::uint(1).as_int(), std::logic_error);
    EXPECT_THROW(Value::uint(1).as_double(), std::logic_error);
    EXPECT_THROW(Value::array().as_object(), std::logic_error);
    EXPECT_THROW(Value::object().as_array(), std::logic_error);
    EXPECT_THROW(Value::number(1).as_string(), std::logic_error);
    EXPECT_THROW(Value::string("1").as_raw(), std::logic_error);
    EXPECT_THROW(Value::raw("1").as_string(), std::logic_error);
}

TEST(Value, Equality) {
    EXPECT_EQ(Value::uint(5), Value::integer(5));
    EXPECT_NE(Value::uint(UINT64_MAX), Value::integer(-1));
    EXPECT_NE(Value::uint(1), Value::number(1.0));
    EXPECT_NE(Value::number(0.0), Value::number(-0.0));
    EXPECT_NE(Value::string("a"), Value::string("b"));
    EXPECT_EQ(Value::raw(std::string("[1]")), Value::raw("[1]"));
    EXPECT_NE(Value::raw("[1]"), Value::raw("[2]"));
    EXPECT_NE(Value::raw("\"a\""), Value::string("a"));
    EXPECT_NE(Value::array({Value::uint(1)}), Value::array({Value::uint(1), Value::uint(2)}));
    EXPECT_NE(Value(), Value::boolean(false));
    Object a, b;
    a.insert("k", Value::uint(1));
    b.insert("k", Value::uint(2));
    EXPECT_NE(Value::object(a), Value::object(b));
    b.insert("k", Value::uint(1));
    EXPECT_EQ(Value::object(a), Value::object(b));
}

TEST(Value, CopiesAreDeep) {
    Object inner;
    inner.insert("list", Value::array({Value::string(std::string(40, 'x'))}));
    Value original = Value::object(inner);
    Value copy = original;
    copy.as_object().insert("extra", Value::null());
    copy.as_object().find("list")->as_array().push_back(Value::uint(1));
    EXPECT_EQ(original.as_object().size(), 1u);
    EXPECT_EQ(original.as_object().find("list")->as_array().size(), 1u);
    copy = original;
    EXPECT_EQ(copy, original);
}

TEST(Value, AssigningAPartOfItselfIsSafe) {
    Value v = Value::array({Value::array({Value::string(std::string(30, 'y'))})});
    v = v.as_array()[0];
    ASSERT_EQ(v.kind(), Kind::Array);
    v = std::move(v.as_array()[0]);
    EXPECT_EQ(v, Value::string(std::string(30, 'y')));
    Value& self = v;
    v = std::move(self);
    EXPECT_EQ(v, Value::string(std::string(30, 'y')));
}

TEST(Value, StringsOfEveryLengthAroundTheInPlaceLimit) {
    for (std::size_t n : {0u, 1u, 13u, 14u, 15u, 16u, 64u, 1000u}) {
        SCOPED_TRACE(n);
        std::string text(n, '\0');
        for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + i % 26);
        Value v = Value::string(text);
        EXPECT_EQ(v.as_string(), text);
        Value copy = v;
        Value moved = std::move(v);
        EXPECT_EQ(v.kind(), Kind::Null);
        EXPECT_EQ(moved.as_string(), text);
        EXPECT_EQ(copy, moved);
        EXPECT_NE(copy.as_string().data(), moved.as_string().data());
        copy = Value::uint(1);  // a long string released on reassignment
        EXPECT_EQ(copy, Value::uint(1));
    }
}

TEST(Array, GrowsKeepingItsItemsAndTakesAnItemOfItselfWhenFull) {
    Array items;
    for (std::uint64_t i = 0; i < 100; ++i) {
        if (items.size() == items.capacity() && !items.empty()) {
            items.push_back(items[0]);  // the argument lives in the block about to move
        } else {
            items.push_back(Value::string(std::string(20, static_cast<char>('a' + i % 26))));
        }
    }
    ASSERT_EQ(items.size(), 100u);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const bool copied_first = i >= 4 && (i & (i - 1)) == 0;  // pushed when capacity 4, 8, 16... was full
        EXPECT_EQ(items[i].as_string(), copied_first ? items[0].as_string() : std::string(20, static_cast<char>('a' + i % 26)))
            << i;
    }
    EXPECT_THROW(items.at(100), std::out_of_range);
    Array moved = std::move(items);
    EXPECT_TRUE(items.empty());
    EXPECT_EQ(moved.size(), 100u);
}

TEST(Object, InsertsBeforeLaterKeysWithoutLosingAny) {
    Object object;
    for (int i = 99; i >= 0; --i) object.insert(std::to_string(1000 + i), Value::integer(i));
    ASSERT_EQ(object.size(), 100u);
    int expected = 0;
    for (const auto& member : object) {
        EXPECT_EQ(member.key, std::to_string(1000 + expected));
        EXPECT_EQ(member.value, Value::integer(expected));
        ++expected;
    }
}

}  // namespace
