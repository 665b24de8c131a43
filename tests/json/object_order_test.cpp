// Objects parsed from text come out in byte order of their keys with the last
// of equal keys kept, whatever the keys share: long common prefixes, NUL bytes,
// bytes above 0x7F, prefixes of one another.
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

std::string quoted(const std::string& key) {
    std::string out = "\"";
    for (unsigned char c : key) {
        if (c == 0) {
            out += "\\u0000";
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out + "\"";
}

TEST(ObjectOrder, MatchesAByteOrderedMapWithTheLastDuplicateKept) {
    const std::vector<std::string> stems = {"", "a", "ab", "in_reply_to_", "in_reply_to_status_", "profile_background_",
                                            std::string("x\0", 2), "\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC"};
    const std::vector<std::string> ends = {"", "a", "b", "id", "id_str", std::string(1, '\0'), "Z", "\xC3\xA9", "~"};
    std::mt19937 rng(5);
    for (int round = 0; round < 3000; ++round) {
        std::map<std::string, unsigned> want;
        std::string text = "{";
        const unsigned n = rng() % 40;
        for (unsigned i = 0; i < n; ++i) {
            const std::string key = stems[rng() % stems.size()] + ends[rng() % ends.size()];
            if (i) text += ",";
            text += quoted(key) + ":" + std::to_string(i);
            want[key] = i;
        }
        text += "}";
        const auto r = tevra::json::parse(text);
        ASSERT_TRUE(r) << r.error->detail();
        const auto& object = r.value.as_object();
        ASSERT_EQ(object.size(), want.size()) << text;
        auto it = want.begin();
        for (const auto& member : object) {
            EXPECT_EQ(member.key, it->first) << text;
            EXPECT_EQ(member.value.as_uint(), it->second) << text;
            ++it;
        }
    }
}

}  // namespace
