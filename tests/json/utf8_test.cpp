// Runs of non-ASCII text are checked sequence after sequence without going back
// to the ASCII scan; the result must not depend on what precedes a sequence.
#include "json/json.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::vector<std::string> good = {"\xC2\x80", "\xDF\xBF", "\xC3\xA9", "\xE0\xA0\x80", "\xE1\x80\x80", "\xE6\x97\xA5",
                                       "\xEC\xBF\xBF", "\xED\x9F\xBF", "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80",
                                       "\xF4\x8F\xBF\xBF"};

const std::vector<std::string> bad = {"\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xC3\x28", "\xC3\xC3", "\xE0\x80\x80",
                                      "\xE0\x9F\xBF", "\xE1\x28\x80", "\xE1\x80\x28", "\xED\xA0\x80", "\xED\xBF\xBF",
                                      "\xEF\xBF\x7F", "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
                                      "\xF5\x80\x80\x80", "\xF8", "\xFF", "\xE2\x82", "\xF0\x9F\x98"};

TEST(Utf8Runs, ValidRunsAreKeptByteForByte) {
    for (const std::string& a : good)
        for (const std::string& b : good) {
            const std::string text = a + b + a + "x" + b;
            for (const std::string& tail : {std::string(), std::string(8, ' ')}) {
                const auto r = tevra::json::parse("\"" + text + "\"" + tail);
                ASSERT_TRUE(r) << r.error->detail();
                EXPECT_EQ(r.value.as_string(), text);
            }
        }
}

TEST(Utf8Runs, ErrorsDoNotDependOnWhatPrecedes) {
    for (const std::string& wrong : bad)
        for (const std::string& before : good)
            for (int n = 0; n < 4; ++n) {
                std::string run;
                for (int i = 0; i < n; ++i) run += before;
                for (const std::string& tail : {std::string("\""), std::string("\"") + std::string(8, ' '),
                                                 std::string(), std::string("x")}) {
                    const auto got = tevra::json::parse("\"" + run + wrong + tail);
                    const auto want = tevra::json::parse("\"" + std::string(run.size(), 'a') + wrong + tail);
                    ASSERT_FALSE(want);
                    ASSERT_FALSE(got);
                    EXPECT_EQ(got.error->detail(), want.error->detail());
                }
            }
}

}  // namespace
