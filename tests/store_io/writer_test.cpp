// The writer: exact bytes of small trees against files laid out by hand,
// the full save with users' files, and how existing files are treated.
#include <dirent.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "base/config.h"
#include "io_test_util.h"
#include "store/regdio.h"

using namespace iotest;

namespace {

constexpr uint32_t HKLM = REGD_HKEY_LOCAL_MACHINE;
constexpr uint32_t HKU = REGD_HKEY_USERS;
constexpr uint32_t KEY = 0x80000000u;  // kind word of a key that is not a shadow

class WriterTest : public IoTest {};

// App (class "cls") with, newest first: key Sub, value N (REG_DWORD 42),
// and the default value "hi" at the tail.
uint32_t buildApp() {
    uint32_t app = mkKey(HKLM, "Software\\App", "cls");
    setValue(app, "N", 4, std::string("\x2A\0\0\0", 4));
    mkKey(app, "Sub");
    setValue(app, nullptr, 1, "hi");
    return app;
}

std::vector<std::string> tempFilesLeft(const std::string& dir) {
    std::vector<std::string> left;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return left;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 4 && n.compare(n.size() - 4, 4, ".tmp") == 0) left.push_back(n);
    }
    closedir(d);
    return left;
}

TEST_F(WriterTest, SubTreeFileMatchesTheLayoutByteForByte) {
    ASSERT_EQ(regdInitCache(), 1);
    uint32_t app = buildApp();
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, app, "app.dat", 0), 0u);
    std::string bytes = readFile("app.dat");
    EXPECT_EQ(bytes, appHiveByHand());
    // The default value's head: 11 name bytes, so 51 plus the 3 data bytes.
    ParsedFile f = parseDb(bytes);
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.recs[3].sizeField, 54u);
    EXPECT_TRUE(tempFilesLeft(".").empty());
}

TEST_F(WriterTest, WholeRegistryFileMatchesTheLayoutAndSkipsVolatileTrees) {
    ASSERT_EQ(regdInitCache(), 1);
    mkKey(HKLM, "A");
    uint32_t v = mkKey(HKLM, "V", nullptr, REGD_OPTION_VOLATILE);
    mkKey(v, "VC");
    mkKey(HKLM, "B");
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, 0, "whole.dat", 1), 0u);

    Bytes f;
    f.magic().header(13);
    f.key("HKEY_CLASSES_ROOT", -1, -1, -1, -1);
    f.key("HKEY_CURRENT_USER", -1, -1, -1, -1);
    f.key("HKEY_LOCAL_MACHINE", -1, 6, -1, -1);
    f.key("HKEY_USERS", -1, 10, -1, -1);
    f.key("HKEY_CURRENT_CONFIG", -1, 12, -1, -1);
    f.key("HKEY_DYN_DATA", -1, -1, -1, -1);
    f.key("B", 2, -1, 7, -1);  // its next skips the volatile V
    f.key("A", 2, -1, 8, 6);
    f.key("Software", 2, 9, -1, 7);
    f.key("Classes", 8, -1, -1, -1);
    f.key(".Default", 3, 11, -1, -1);
    f.key("Software", 10, -1, -1, -1);
    f.key("Config", 4, -1, -1, -1);
    EXPECT_EQ(readFile("whole.dat"), f.b);
}

TEST_F(WriterTest, ShadowValueIsWrittenWithBit31Clear) {
    ASSERT_EQ(regdInitCache(), 1);
    uint32_t k = mkKey(HKLM, "K");
    mkKey(k, "S");
    setValue(k, "S", 1, "v");  // a value named like the sub-key: a shadow
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, k, "k.dat", 0), 0u);
    Bytes f;
    f.magic().header(3);
    f.key("K", -1, 1, -1, -1);
    f.node(1, "S", "", std::string("v\0", 2), 1, 0, -1, 2, -1);
    f.key("S", 0, -1, -1, 1);
    EXPECT_EQ(readFile("k.dat"), f.b);
}

TEST_F(WriterTest, HeaderCountsTheRecordsThatFollow) {
    ASSERT_EQ(regdInitCache(), 1);
    for (int i = 0; i < 50; i++) {
        uint32_t k = mkKey(HKLM, ("Software\\K" + std::to_string(i)).c_str());
        setValue(k, "x", 3, std::string(static_cast<size_t>(i), 'z'));
        if (i % 7 == 0) mkKey(k, "vol", nullptr, REGD_OPTION_VOLATILE);
    }
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, 0, "count.dat", 1), 0u);
    ParsedFile f = parseDb(readFile("count.dat"));
    ASSERT_TRUE(f.ok);
    EXPECT_EQ(f.version, 20300u);
    EXPECT_EQ(f.headerCount, f.recs.size());
    EXPECT_EQ(f.recs.size(), g_nEntries - 8u);  // the 8 volatile keys stay out
}

TEST_F(WriterTest, TwoSavesOfOneKeyGiveIdenticalFiles) {
    ASSERT_EQ(regdInitCache(), 1);
    uint32_t app = buildApp();
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, app, "one.dat", 0), 0u);
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, app, "two.dat", 0), 0u);
    EXPECT_EQ(readFile("one.dat"), readFile("two.dat"));
}

TEST_F(WriterTest, ExistingHiveIsRefusedWithoutOverwriteAndLeftAlone) {
    ASSERT_EQ(regdInitCache(), 1);
    uint32_t app = buildApp();
    writeFile("taken.dat", "precious");
    EXPECT_EQ(regdWriteRegistryDatabase(testCaller, app, "taken.dat", 0), REGD_WRITE_FILE_ERROR);
    EXPECT_EQ(readFile("taken.dat"), "precious");
    EXPECT_NE(logText().find("Registry file taken.dat already exists."), std::string::npos);
    EXPECT_TRUE(tempFilesLeft(".").empty());
}

TEST_F(WriterTest, ReplacedFileKeepsItsPermissionBits) {
    ASSERT_EQ(regdInitCache(), 1);
    uint32_t app = buildApp();
    writeFile("perm.dat", "old");
    ASSERT_EQ(chmod("perm.dat", 0640), 0);
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, app, "perm.dat", 1), 0u);
    struct stat st;
    ASSERT_EQ(stat("perm.dat", &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile("perm.dat"), appHiveByHand());
}

TEST_F(WriterTest, MainFileWithoutOwnerWriteIsRefusedWithThreeMessages) {
    ASSERT_EQ(regdInitCache(), 1);
    writeFile("kalvo_reg.dat", "old contents");
    ASSERT_EQ(chmod("kalvo_reg.dat", 0444), 0);
    EXPECT_EQ(regdWriteRegistryDatabase(testCaller, 0, "kalvo_reg.dat", 1), REGD_WRITE_FILE_ERROR);
    EXPECT_EQ(readFile("kalvo_reg.dat"), "old contents");
    std::string log = logText();
    EXPECT_NE(log.find("Fatal error!  Can't create kalvo_reg.dat"), std::string::npos);
    EXPECT_NE(log.find("Registry data can't be saved."), std::string::npos);
    EXPECT_NE(log.find("kalvo_reg.dat is unwriteable"), std::string::npos);
}

TEST_F(WriterTest, UnresolvedHandleWritesNothing) {
    ASSERT_EQ(regdInitCache(), 1);
    EXPECT_EQ(regdWriteRegistryDatabase(testCaller, 1999, "none.dat", 1), REGD_ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(fileExists("none.dat"));
}

TEST_F(WriterTest, UnwritableDirectoryFailsAndLogs) {
    ASSERT_EQ(regdInitCache(), 1);
    EXPECT_EQ(regdWriteRegistryDatabase(testCaller, 0, "no/such/dir/kalvo_reg.dat", 1), REGD_WRITE_FILE_ERROR);
    EXPECT_NE(logText().find("Fatal error!  Can't create no/such/dir/kalvo_reg.dat"), std::string::npos);
    uint32_t app = buildApp();
    ASSERT_EQ(mkdir("adir", 0755), 0);
    // A directory in the target's place is not replaced.
    EXPECT_EQ(regdWriteRegistryDatabase(testCaller, app, "adir", 1), REGD_WRITE_FILE_ERROR);
    struct stat st;
    ASSERT_EQ(stat("adir", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(tempFilesLeft(".").empty());
}

TEST_F(WriterTest, FullSaveWritesEachUserToOwnFileAndKeepsThemOutOfMain) {
    ASSERT_EQ(regdInitCache(), 1);
    uint32_t alice = mkKey(HKU, "alice");
    setValue(mkKey(alice, "Software\\Prefs"), "colour", 1, "blue");
    uint32_t bob = mkKey(HKU, "bob");
    setValue(bob, nullptr, 1, "bob's default");
    regdSetDirtyFlag();
    regdWriteEntireRegistryDatabase();
    EXPECT_EQ(g_dirty.load(), 0u);

    for (const char* user : {"alice", "bob"}) {
        ParsedFile f = parseDb(readFile(std::string("kalvo_") + user + ".dat"));
        ASSERT_TRUE(f.ok) << user;
        ASSERT_FALSE(f.recs.empty());
        EXPECT_EQ(f.recs[0].name, user);
        EXPECT_EQ(f.recs[0].parent, -1);
        EXPECT_EQ(f.headerCount, f.recs.size());
    }
    EXPECT_EQ(parseDb(readFile("kalvo_alice.dat")).recs.size(), 4u);  // alice, Software, Prefs, colour

    ParsedFile mainFile = parseDb(readFile("kalvo_reg.dat"));
    ASSERT_TRUE(mainFile.ok);
    ASSERT_GE(mainFile.recs.size(), 6u);
    EXPECT_EQ(mainFile.recs[3].name, "HKEY_USERS");
    std::vector<int32_t> users = mainFile.children(3);
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(mainFile.recs[static_cast<size_t>(users[0])].name, ".Default");
    for (const ParsedRec& r : mainFile.recs) EXPECT_NE(r.name, "Prefs");
    // Every record is back to "not yet written" for the next save.
    for (uint32_t i = 0; i < g_nCacheSlots; i++)
        if (regCacheTable[i] != nullptr) {
            EXPECT_EQ(regCacheTable[i]->packState, REGD_PACK_PENDING);
        }
}

TEST_F(WriterTest, UserWhoseFileCannotBeWrittenGoesIntoTheMainFile) {
    ASSERT_EQ(regdInitCache(), 1);
    mkKey(HKU, "carol\\Software");
    ASSERT_EQ(mkdir("kalvo_carol.dat", 0755), 0);  // in the way of the user's file
    regdWriteEntireRegistryDatabase();
    ParsedFile mainFile = parseDb(readFile("kalvo_reg.dat"));
    ASSERT_TRUE(mainFile.ok);
    bool found = false;
    for (const ParsedRec& r : mainFile.recs) found = found || r.name == "carol";
    EXPECT_TRUE(found);
}

TEST_F(WriterTest, UserKeyNamedLikeARootIsSavedAsItselfNotAsThatRoot) {
    ASSERT_EQ(regdInitCache(), 1);
    mkKey(HKLM, "Software\\Big");
    // Names a root, so it carries HKEY_LOCAL_MACHINE's handle.
    ASSERT_NE(mkKey(HKU, "HKEY_LOCAL_MACHINE"), 0u);
    regdWriteEntireRegistryDatabase();
    ParsedFile userFile = parseDb(readFile("kalvo_HKEY_LOCAL_MACHINE.dat"));
    ASSERT_TRUE(userFile.ok);
    EXPECT_EQ(userFile.recs.size(), 1u);
    ParsedFile mainFile = parseDb(readFile("kalvo_reg.dat"));
    bool big = false;
    for (const ParsedRec& r : mainFile.recs) big = big || r.name == "Big";
    EXPECT_TRUE(big) << "HKEY_LOCAL_MACHINE's own tree must stay in the main file";
}

TEST_F(WriterTest, UserFileNamesStayInsideTheDirectory) {
    EXPECT_EQ(regdUserFileName("alice"), "kalvo_alice.dat");
    EXPECT_EQ(regdUserFileName("A.b_c-9"), "kalvo_A.b_c-9.dat");
    EXPECT_EQ(regdUserFileName("../x"), "kalvo_..%2Fx.dat");
    EXPECT_EQ(regdUserFileName("a b%\xff"), "kalvo_a%20b%25%FF.dat");
    EXPECT_EQ(regdUserFileName("~"), "kalvo_%7E.dat");
    EXPECT_EQ(regdUserFileName("reg"), "kalvo_%72eg.dat");  // never the main file
    EXPECT_EQ(regdUserFileName("Reg"), "kalvo_Reg.dat");
    std::string longA(300, '/');
    std::string longB = longA;
    longB.back() = '!';
    std::string a = regdUserFileName(longA.c_str());
    std::string b = regdUserFileName(longB.c_str());
    EXPECT_LE(a.size() + 5, 255u);  // with the writer's temporary suffix
    EXPECT_NE(a, b);
    EXPECT_EQ(a.find('/'), std::string::npos);
    EXPECT_EQ(a, regdUserFileName(longA.c_str()));
}

TEST_F(WriterTest, FullSaveOfAHostileUserNameWritesOnlyInsideTheDirectory) {
    ASSERT_EQ(regdInitCache(), 1);
    RegCacheRec* users = rec(HKU);
    RegCacheRec* evil = regdCreateNewCacheRec(users, "../../escaped");
    ASSERT_NE(evil, nullptr);
    evil->kind = REGD_KIND_KEY;
    std::string longName(400, 'q');
    RegCacheRec* big = regdCreateNewCacheRec(users, longName.c_str());
    ASSERT_NE(big, nullptr);
    big->kind = REGD_KIND_KEY;
    regdWriteEntireRegistryDatabase();
    EXPECT_TRUE(fileExists("kalvo_..%2F..%2Fescaped.dat"));
    EXPECT_FALSE(fileExists("../../escaped.dat"));
    EXPECT_TRUE(fileExists(regdUserFileName(longName.c_str())));
}

}  // namespace
