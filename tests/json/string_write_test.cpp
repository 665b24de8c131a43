// The writer scans and copies strings eight bytes at a time; every length and
// every position of a byte needing an escape must come out as byte by byte.
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

std::string reference(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\f': out += "\\f"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c < 0x20) {
                const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 0xF]);
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
    }
    return out + "\"";
}

TEST(StringWrite, EveryLengthAndEscapePosition) {
    const std::string specials = std::string("\"\\\b\t\n\f\r\x01\x1f", 9) + std::string(1, '\0');
    for (std::size_t n = 0; n <= 40; ++n) {
        const std::string plain(n, 'a');
        EXPECT_EQ(tevra::json::write(tevra::json::Value::string(plain)), reference(plain));
        for (std::size_t at = 0; at < n; ++at)
            for (char c : specials) {
                std::string s = plain;
                s[at] = c;
                EXPECT_EQ(tevra::json::write(tevra::json::Value::string(s)), reference(s)) << n << " " << at;
            }
    }
}

TEST(StringWrite, RandomBytesInLargeDocuments) {
    std::mt19937 rng(3);
    for (int round = 0; round < 200; ++round) {
        tevra::json::Array items;
        std::string want = "[";
        for (int i = 0; i < 50; ++i) {
            std::string s(rng() % 70, ' ');
            for (char& c : s) c = static_cast<char>(rng() % 4 == 0 ? rng() % 0x24 : 0x20 + rng() % 0xE0);
            if (i) want += ",";
            want += reference(s);
            items.push_back(tevra::json::Value::string(s));
        }
        want += "]";
        EXPECT_EQ(tevra::json::write(tevra::json::Value::array(std::move(items))), want);
    }
}

}  // namespace
