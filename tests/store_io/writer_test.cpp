// The writer: exact bytes of small trees against files laid out by hand,
// the full save with users' files, and how existing files are treated.
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "base/config.h"
#include "io_test_util.h"
#include "store/regdio.h"

using namespace iotest;

namespace {

class WriterTest : public CacheTest {};

// App (class "cls") with, newest first: key Sub, value N (REG_DWORD 42),
// and the default value "hi" at the tail.
uint32_t buildApp() {
    uint32_t app = mkKey(HKLM, "Software\\App", "cls");
    setValue(app, "N", 4, std::string("\x2A\0\0\0", 4));
    mkKey(app, "Sub");
    setValue(app, nullptr, 1, "hi");
    return app;
}

bool tempFilesLeft() {
    for (const auto& e : std::filesystem::directory_iterator("."))
        if (e.path().extension() == ".tmp") return true;
    return false;
}

TEST_F(WriterTest, SubTreeFileMatchesTheLayoutByteForByte) {
    uint32_t app = buildApp();
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, app, "app.dat", 0), 0u);
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, app, "two.dat", 0), 0u);
    EXPECT_EQ(readFile("app.dat"), appHiveByHand());
    EXPECT_EQ(readFile("two.dat"), appHiveByHand());
    EXPECT_FALSE(tempFilesLeft());
    // A value named like a sub-key is a shadow: bit 31 clear.
    uint32_t k = mkKey(HKLM, "K");
    mkKey(k, "S");
    setValue(k, "S", 1, "v");
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, k, "k.dat", 0), 0u);
    Bytes f = Bytes().magic().header(3);
    f.key("K", -1, 1, -1, -1);
    f.node(1, "S", "", std::string("v\0", 2), 1, 0, -1, 2, -1);
    f.key("S", 0, -1, -1, 1);
    EXPECT_EQ(readFile("k.dat"), f.b);
}

TEST_F(WriterTest, WholeRegistryFileMatchesTheLayoutAndSkipsVolatileTrees) {
    mkKey(HKLM, "A");
    uint32_t v = mkKey(HKLM, "V", nullptr, REGD_OPTION_VOLATILE);
    mkKey(v, "VC");
    mkKey(HKLM, "B");
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, 0, "whole.dat", 1), 0u);
    Bytes f = Bytes().magic().header(13).roots({-1, -1, 6, 10, 12, -1});
    f.key("B", 2, -1, 7, -1);  // its next skips the volatile V
    f.key("A", 2, -1, 8, 6);
    f.key("Software", 2, 9, -1, 7);
    f.key("Classes", 8, -1, -1, -1);
    f.key(".Default", 3, 11, -1, -1);
    f.key("Software", 10, -1, -1, -1);
    f.key("Config", 4, -1, -1, -1);
    EXPECT_EQ(readFile("whole.dat"), f.b);
}

// Existing files: a hive is refused without overwrite, a replaced file
// keeps its mode, a read-only main file, a missing directory or a
// directory in the target's place fail with their log lines.
TEST_F(WriterTest, ExistingAndUnwritableTargets) {
    uint32_t app = buildApp();
    writeFile("taken.dat", "precious");
    EXPECT_EQ(regdWriteRegistryDatabase(testCaller, app, "taken.dat", 0), REGD_WRITE_FILE_ERROR);
    EXPECT_EQ(readFile("taken.dat"), "precious");
    EXPECT_NE(logText().find("Registry file taken.dat already exists."), std::string::npos);
    ASSERT_EQ(chmod("taken.dat", 0640), 0);
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, app, "taken.dat", 1), 0u);
    EXPECT_EQ(std::filesystem::status("taken.dat").permissions(), std::filesystem::perms(0640));
    EXPECT_EQ(readFile("taken.dat"), appHiveByHand());
    writeFile("kalvo_reg.dat", "old contents");
    ASSERT_EQ(chmod("kalvo_reg.dat", 0444), 0);
    EXPECT_EQ(regdWriteRegistryDatabase(testCaller, 0, "kalvo_reg.dat", 1), REGD_WRITE_FILE_ERROR);
    EXPECT_EQ(readFile("kalvo_reg.dat"), "old contents");
    EXPECT_EQ(regdWriteRegistryDatabase(testCaller, 0, "no/such/dir/kalvo_reg.dat", 1), REGD_WRITE_FILE_ERROR);
    for (const char* line : {"Fatal error!  Can't create kalvo_reg.dat", "Registry data can't be saved.",
                             "kalvo_reg.dat is unwriteable", "Fatal error!  Can't create no/such/dir/kalvo_reg.dat"})
        EXPECT_NE(logText().find(line), std::string::npos) << line;
    ASSERT_EQ(mkdir("adir", 0755), 0);
    EXPECT_EQ(regdWriteRegistryDatabase(testCaller, app, "adir", 1), REGD_WRITE_FILE_ERROR);
    EXPECT_TRUE(std::filesystem::is_directory("adir"));
    EXPECT_EQ(regdWriteRegistryDatabase(testCaller, 1999, "none.dat", 1), REGD_ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fileExists("none.dat"));
    EXPECT_FALSE(tempFilesLeft());
}

// A user's key whose file cannot be written stays in the main file (that
// each user's key goes to its own file is the limits test's); a user key
// named like a root is saved as itself, and that root's tree stays in the
// main file. Afterwards every record counts as not yet written.
TEST_F(WriterTest, FullSaveKeepsUnwritableUsersAndRootNamedKeysApart) {
    mkKey(HKU, "carol\\CarolSoftware");
    ASSERT_EQ(mkdir("kalvo_carol.dat", 0755), 0);  // in the way of carol's file
    mkKey(HKLM, "Software\\Big");
    ASSERT_NE(mkKey(HKU, "HKEY_LOCAL_MACHINE"), 0u);  // carries HKLM's handle
    regdWriteEntireRegistryDatabase();
    EXPECT_EQ(g_dirty.load(), 0u);
    for (uint32_t i = 0; i < g_nCacheSlots; i++)
        if (regCacheTable[i] != nullptr) { ASSERT_EQ(regCacheTable[i]->packState, REGD_PACK_PENDING); }
    for (const char* name : {"CarolSoftware", "Big"}) EXPECT_NE(readFile("kalvo_reg.dat").find(name), std::string::npos);
    RegCacheRec* back = regdReadRegistryDatabase("kalvo_HKEY_LOCAL_MACHINE.dat", 0);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->firstChild, nullptr);
}

// Users' file names are escaped so that no name leaves the directory or
// meets the main file; a full save with such names writes only there.
TEST_F(WriterTest, UserFileNamesStayInsideTheDirectory) {
    const std::pair<const char*, const char*> rows[] = {
        {"alice", "kalvo_alice.dat"}, {"A.b_c-9", "kalvo_A.b_c-9.dat"}, {"../x", "kalvo_..%2Fx.dat"},
        {"a b%\xff", "kalvo_a%20b%25%FF.dat"}, {"~", "kalvo_%7E.dat"}, {"reg", "kalvo_%72eg.dat"},
        {"Reg", "kalvo_Reg.dat"}};
    for (const auto& [user, file] : rows) EXPECT_EQ(regdUserFileName(user), file);
    std::string longA(300, '/');
    std::string longB = longA;
    longB.back() = '!';
    std::string a = regdUserFileName(longA.c_str());
    EXPECT_LE(a.size() + 5, 255u);  // with the writer's temporary suffix
    EXPECT_NE(a, regdUserFileName(longB.c_str()));
    EXPECT_EQ(a.find('/'), std::string::npos);
    EXPECT_EQ(a, regdUserFileName(longA.c_str()));
    const std::string longName(400, 'q');
    for (const char* user : {"../../escaped", longName.c_str()})
        regdCreateNewCacheRec(rec(HKU), user)->kind = REGD_KIND_KEY;
    regdWriteEntireRegistryDatabase();
    EXPECT_TRUE(fileExists("kalvo_..%2F..%2Fescaped.dat"));
    EXPECT_FALSE(fileExists("../../escaped.dat"));
    EXPECT_TRUE(fileExists(regdUserFileName(longName.c_str())));
}

}  // namespace
