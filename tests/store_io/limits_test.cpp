// What no client can push past: name and depth bounds, rewriting of users'
// files that did not change, and a save that fails (the changes stay
// counted until one succeeds).
#include <gtest/gtest.h>
#include <string>
#include <csignal>
#include <sys/resource.h>

#include "base/log.h"
#include "io_test_util.h"
#include "store/regdio.h"

using namespace iotest;

namespace {

class LimitsTest : public CacheTest {
  protected:
    uint32_t insert(uint32_t parent, const std::string& path) {
        uint32_t h = 0;
        return regdInsertKey(testCaller, parent, path.c_str(), 0, nullptr, 0, 0, nullptr, &h, nullptr, 0);
    }
    uint32_t set(uint32_t key, const std::string& name, uint32_t subKeyForm = 0) {
        return regdRegSetValue(testCaller, key, name.c_str(), 0, 1, reinterpret_cast<const uint8_t*>("x"), 2,
                               subKeyForm);
    }
};

std::string levels(int n) {
    std::string p;
    for (int i = 0; i < n; i++) p += i ? "\\k" : "k";
    return p;
}

TEST_F(LimitsTest, NamesAndDepthHaveWin32Bounds) {
    uint32_t entries = g_nEntries;
    EXPECT_EQ(insert(HKLM, std::string(256, 'n')), REGD_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(insert(HKLM, "Fine\\" + std::string(256, 'n')), REGD_ERROR_INVALID_PARAMETER);  // nothing made
    EXPECT_EQ(set(HKLM, std::string(16384, 'v')), REGD_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(set(HKLM, std::string(256, 's'), 1), REGD_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(insert(HKLM, levels(513)), REGD_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(g_nEntries, entries);
    EXPECT_EQ(insert(HKLM, std::string(255, 'n')), 0u);
    EXPECT_EQ(set(HKLM, std::string(16383, 'v')), 0u);
    EXPECT_EQ(insert(HKLM, levels(512)), 0u);
    RegCacheRec* deep = rec(HKLM, levels(510).c_str());
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(insert(deep->hKey, "k\\k"), 0u);  // exists: 512 levels
    EXPECT_EQ(insert(deep->hKey, "k\\k\\x"), REGD_ERROR_INVALID_PARAMETER);
}

TEST_F(LimitsTest, OnlyChangedUsersFilesAreRewritten) {
    setValue(mkKey(HKU, "ann\\S"), "v", 1, "1");
    setValue(mkKey(HKU, "bob\\S"), "v", 1, "1");
    regdWriteEntireRegistryDatabase();
    ASSERT_TRUE(fileExists("kalvo_ann.dat") && fileExists("kalvo_bob.dat"));
    writeFile("kalvo_bob.dat", "left alone");
    setValue(rec(HKU, "ann\\S")->hKey, "v", 1, "2");
    regdWriteEntireRegistryDatabase();
    EXPECT_EQ(readFile("kalvo_bob.dat"), "left alone");
    EXPECT_EQ(readFile("kalvo_reg.dat").find("bob"), std::string::npos);  // not moved into the main file
    EXPECT_NE(readFile("kalvo_ann.dat").find("2"), std::string::npos);
    mkKey(HKU, "bob\\T");
    regdWriteEntireRegistryDatabase();
    EXPECT_NE(readFile("kalvo_bob.dat"), "left alone");
}

// A file size limit makes every save's writes fail, as a full disk does:
// the old file stays whole, the changes stay counted, and the log says once
// that saving fails and once that it works again.
TEST_F(LimitsTest, FailedSaveKeepsTheChangesForTheNextFlush) {
    regdWriteEntireRegistryDatabase();
    const std::string before = readFile("kalvo_reg.dat");
    setValue(mkKey(HKLM, "Software\\Late"), "v", 3, std::string(1 << 20, 'L'));
    const uint32_t dirty = g_dirty;
    ASSERT_NE(dirty, 0u);
    {
        rlimit old{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit small{static_cast<rlim_t>(logText().size()) + 65536, old.rlim_max};
        struct Restore {
            rlimit old;
            ~Restore() {
                setrlimit(RLIMIT_FSIZE, &old);
                signal(SIGXFSZ, SIG_DFL);
            }
        } restore{old};
        signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        regdWriteEntireRegistryDatabase();
        regdWriteEntireRegistryDatabase();
    }
    EXPECT_EQ(g_dirty.load(), dirty);
    EXPECT_EQ(readFile("kalvo_reg.dat"), before);
    EXPECT_FALSE(fileExists(".kalvo_reg.dat.tmp"));
    regdWriteEntireRegistryDatabase();
    EXPECT_EQ(g_dirty.load(), 0u);
    EXPECT_NE(readFile("kalvo_reg.dat").find("LLLL"), std::string::npos);
    regdWriteEntireRegistryDatabase();
    for (const char* line : {"Saving the registry failed", "Registry data can't be saved.",  // the writer's, once too
                             "The registry was saved again."})
        EXPECT_EQ(countOf(logText(), line), 1u) << line;
}

}  // namespace
