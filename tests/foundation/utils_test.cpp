// Sub-key names as the daemon trims them before any look-up.
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#include "base/strings.h"

namespace {

std::string fixed(const char* in) {
    char* out = fixlpSubKey(in);
    std::string s = out;
    free(out);
    return s;
}

TEST(FixSubKey, StripsTrailingBlanksAndEquals) {
    EXPECT_EQ(fixed("Software  =="), "Software");
    EXPECT_EQ(fixed("a="), "a");
    EXPECT_EQ(fixed("=="), "=");
    EXPECT_EQ(fixed("="), "=");
    EXPECT_EQ(fixed(""), "");
    EXPECT_EQ(fixed("  "), " ");
    EXPECT_EQ(fixed("a = b"), "a = b");
    // Only spaces and '=' go: tabs and newlines stay.
    EXPECT_EQ(fixed("key\t"), "key\t");
    EXPECT_EQ(fixed("key\n "), "key\n");
    EXPECT_EQ(fixlpSubKey(nullptr), nullptr);
}

}  // namespace
