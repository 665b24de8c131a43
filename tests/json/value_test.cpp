#include "json/json.hpp"
#include <gtest/gtest.h>
TEST(Value, DefaultIsNull) { EXPECT_EQ(tevra::json::Value().kind(), tevra::json::Value::Kind::Null); }
