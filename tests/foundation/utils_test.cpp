#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "base/files.h"
#include "base/log.h"
#include "base/strings.h"
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

TEST(StrCaseCmp, OrdersCaseInsensitively) {
    EXPECT_LT(_tsm_strcasecmp("abc", "ABD"), 0);
    EXPECT_EQ(_tsm_strcasecmp("abc", "ABC"), 0);
    EXPECT_LT(_tsm_strcasecmp("ab", "abc"), 0);
    EXPECT_GT(_tsm_strcasecmp("abc", "ab"), 0);
    EXPECT_EQ(_tsm_strcasecmp("", ""), 0);
    EXPECT_EQ(_tsm_strcasecmp("Software", "SOFTWARE"), 0);
}

TEST(StrDup, CopiesAndHandlesNull) {
    EXPECT_EQ(_tsm_strdup(nullptr), nullptr);
    const char* src = "value";
    char* copy = _tsm_strdup(src);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, src);
    EXPECT_STREQ(copy, src);
    free(copy);
}

TEST(DummyString, GivesDistinctPlaceholderCopies) {
    char* a = nullptr;
    char* b = nullptr;
    dummyString(&a);
    dummyString(&b);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_STREQ(a, "ZORP+IS+COOL");
    EXPECT_EQ(strlen(b) + 1, 13u);
    free(a);
    free(b);
}

}  // namespace
