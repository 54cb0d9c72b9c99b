// Start-up loading with its fall-backs, a user's own file, and the
// migration of the old root layout.
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "base/config.h"
#include "base/log.h"
#include "base/strings.h"
#include "io_test_util.h"
#include "store/regdio.h"

using namespace iotest;

namespace {

constexpr uint32_t HKLM = REGD_HKEY_LOCAL_MACHINE;
constexpr uint32_t HKU = REGD_HKEY_USERS;

class LoaderTest : public IoTest {
  protected:
    // Saves a registry holding HKLM\Software\<marker> to `file`, then
    // empties the cache.
    void saveRegistryWith(const char* marker, const char* file) {
        ASSERT_EQ(regdInitCache(), 1);
        ASSERT_NE(mkKey(HKLM, (std::string("Software\\") + marker).c_str()), 0u);
        ASSERT_EQ(regdWriteRegistryDatabase(testCaller, 0, file, 1), 0u);
        regdDiscardCache();
    }
    void beLocalUser(const char* name) {
        snprintf(testCaller.userName, sizeof testCaller.userName, "%s", name);
        testCaller.hostId = _tsm_gethostid();
    }
};

// Start-up: the main file, else the backup (and then no backup copy), else
// an empty registry; a missing main file is no reason to use the backup.
TEST_F(LoaderTest, BackupFallbacks) {
    const std::string bad = Bytes().u32(0x12345678u).header(1).b;
    const std::string half = appHiveByHand().substr(0, 30);
    struct {
        const char* mainFile;  // "good", "none" or the bytes to write
        std::string backup;    // "good" or the bytes to write
        const char* marker;    // the key that must be there, or null
        bool mainUsed;
        const char* logged;    // a log line that must be there, or null
    } rows[] = {
        {"good", "good", "FromMain", true, nullptr},
        {bad.c_str(), "good", "FromBackup", false, "Failed to read the registry database.  Trying backup."},
        {"none", "good", nullptr, true, nullptr},
        {half.c_str(), half, nullptr, false, "Failed to read the backup file.  Initializing."},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.marker != nullptr ? r.marker : "fresh");
        (void)remove("kalvo_reg.dat");
        regdResetLogForTest();
        if (r.backup == "good") saveRegistryWith("FromBackup", "kalvo_reg.dat.bak");
        if (r.backup != "good") writeFile("kalvo_reg.dat.bak", r.backup);
        if (std::string(r.mainFile) == "good") saveRegistryWith("FromMain", "kalvo_reg.dat");
        if (std::string(r.mainFile) != "good" && std::string(r.mainFile) != "none") writeFile("kalvo_reg.dat", r.mainFile);
        bool mainFileUsed = !r.mainUsed;
        ASSERT_EQ(regdLoadRegistry(&mainFileUsed), 1);
        EXPECT_EQ(mainFileUsed, r.mainUsed);
        if (r.marker == nullptr) { EXPECT_EQ(g_nEntries, 11u); }  // fresh
        if (r.marker != nullptr) { EXPECT_NE(rec(HKLM, (std::string("Software\\") + r.marker).c_str()), nullptr); }
        if (r.logged != nullptr) { EXPECT_NE(logText().find(r.logged), std::string::npos); }
        if (r.mainUsed) { EXPECT_EQ(logText().find("Trying backup"), std::string::npos); }
        if (r.backup != "good") { EXPECT_EQ(readFile("kalvo_reg.dat.bak"), r.backup); }
        regdDiscardCache();
    }
}

TEST_F(LoaderTest, UserWithoutFileGetsAnEmptyKeyOnceAndRemoteCallersNothing) {
    ASSERT_EQ(regdInitCache(), 1);
    beLocalUser("dora");
    regdLoadUserData(testCaller);
    RegCacheRec* key = rec(HKU, "dora");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->firstChild, nullptr);
    EXPECT_EQ(regdFindHKey(testCaller, REGD_HKEY_CURRENT_USER), key);
    uint32_t entries = g_nEntries;
    regdLoadUserData(testCaller);
    EXPECT_EQ(g_nEntries, entries);
    testCaller.hostId++;
    snprintf(testCaller.userName, sizeof testCaller.userName, "%s", "remote");
    regdLoadUserData(testCaller);
    EXPECT_EQ(g_nEntries, entries);
}

// A user's key comes back from its own (escaped) file; a file with another
// top key adds that beside the user's new key; a corrupt one adds nothing.
TEST_F(LoaderTest, UsersKeysComeBackFromTheirOwnFiles) {
    ASSERT_EQ(regdInitCache(), 1);
    setValue(mkKey(HKU, "a b\\Software\\Editor"), "font", 1, "mono");
    regdWriteEntireRegistryDatabase();
    EXPECT_TRUE(fileExists("kalvo_a%20b.dat"));
    regdDiscardCache();
    ASSERT_EQ(regdLoadRegistry(), 1);
    EXPECT_EQ(rec(HKU, "a b"), nullptr);  // not kept in the main file
    beLocalUser("a b");
    regdLoadUserData(testCaller);
    RegCacheRec* font = rec(REGD_HKEY_CURRENT_USER, "Software\\Editor\\font", REGD_KIND_VALUE);
    ASSERT_NE(font, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(font->data), "mono");
    writeFile("kalvo_fay.dat", Bytes().magic().header(1).key("NotFay", -1, -1, -1, -1).b);
    beLocalUser("fay");
    regdLoadUserData(testCaller);
    EXPECT_EQ(childNames(rec(HKU)), (std::vector<std::string>{"fay", ".Default", "a b", "NotFay"}));
    writeFile("kalvo_gil.dat", appHiveByHand().substr(0, 60));
    uint32_t entries = g_nEntries;
    beLocalUser("gil");
    regdLoadUserData(testCaller);
    EXPECT_EQ(g_nEntries, entries + 1);
    EXPECT_EQ(rec(HKU, "gil")->firstChild, nullptr);
}

// ---- Old root layout ----

class MigrationTest : public IoTest {
  protected:
    // A version-10000 main file: classes and the daemon user's keys kept
    // under the first two roots; HKLM\Software\Classes already has a key.
    void writeOldMainFile() {
        Bytes f;
        f.magic().header(14, 10000);
        f.key("HKEY_CLASSES_ROOT", -1, 6, -1, -1);
        f.key("HKEY_CURRENT_USER", -1, 7, -1, -1);
        f.key("HKEY_LOCAL_MACHINE", -1, 9, -1, -1);
        f.key("HKEY_USERS", -1, 12, -1, -1);
        f.key("HKEY_CURRENT_CONFIG", -1, -1, -1, -1);
        f.key("HKEY_DYN_DATA", -1, -1, -1, -1);
        f.key(".txt", 0, -1, -1, -1);                 // 6
        f.key("Environment", 1, -1, 8, -1);           // 7
        f.key("Console", 1, -1, -1, 7);               // 8
        f.key("Software", 2, 10, -1, -1);             // 9
        f.key("Classes", 9, 11, -1, -1);              // 10
        f.key("Existing", 10, -1, -1, -1);            // 11
        f.key(".Default", 3, -1, -1, -1);             // 12
        f.node(0x80000001u, "stray", "", "", 0, -1, -1, -1, -1);  // 13: unreached, let go
        writeFile("kalvo_reg.dat", f.b);
    }
    void TearDown() override {
        regdStartupConfig().registryProg = REGD_DEFAULT_PROG;
        IoTest::TearDown();
    }
};

TEST_F(MigrationTest, PrivateDaemonMovesClassesAndTheUsersKeys) {
    char buf[L_cuserid + 256] = {0};
    const char* login = cuserid(buf);
    if (login == nullptr || login[0] == '\0') login = getenv("USER");
    if (login == nullptr || login[0] == '\0') GTEST_SKIP() << "no login name to migrate to";
    std::string user = login;
    regdStartupConfig().registryProg = 0x28000001u;
    writeOldMainFile();
    ASSERT_NE(regdReadRegistryDatabase("kalvo_reg.dat", 1), nullptr);
    EXPECT_EQ(registryDatabaseFixed, 1);
    RegCacheRec* classes = regdFindHKey(testCaller, REGD_HKEY_CLASSES_ROOT);
    ASSERT_NE(classes, nullptr);
    EXPECT_EQ(childNames(classes), (std::vector<std::string>{"Existing", ".txt"}));
    EXPECT_EQ(classes->firstChild->next->parent, classes);
    RegCacheRec* oldClasses = regCacheTable[0];
    EXPECT_STREQ(oldClasses->name, "HKEY_CLASSES_ROOT");
    EXPECT_EQ(oldClasses->firstChild, nullptr);
    EXPECT_EQ(regCacheTable[1]->firstChild, nullptr);
    RegCacheRec* users = regdFindHKey(testCaller, HKU);
    EXPECT_EQ(childNames(users), (std::vector<std::string>{".Default", user}));
    RegCacheRec* userKey = users->firstChild->next;
    EXPECT_EQ(childNames(userKey), (std::vector<std::string>{"Environment", "Console"}));
    EXPECT_EQ(userKey->firstChild->parent, userKey);
    EXPECT_EQ(g_nEntries, 14u);  // the 13 reached records and the new user key
    EXPECT_NE(g_dirty.load(), 0u);
}

TEST_F(MigrationTest, DefaultDaemonDropsTheOldUserKeysAndRunsOnce) {
    regdStartupConfig().registryProg = REGD_DEFAULT_PROG;
    writeOldMainFile();
    ASSERT_NE(regdReadRegistryDatabase("kalvo_reg.dat", 1), nullptr);
    EXPECT_EQ(regCacheTable[1]->firstChild, nullptr);
    EXPECT_EQ(childNames(regdFindHKey(testCaller, HKU)), std::vector<std::string>{".Default"});
    EXPECT_EQ(g_nEntries, 11u);
    // A second old-format file in the same process is taken as it is.
    regdDiscardCache();
    ASSERT_NE(regdReadRegistryDatabase("kalvo_reg.dat", 1), nullptr);
    EXPECT_EQ(childNames(regCacheTable[1]), (std::vector<std::string>{"Environment", "Console"}));
}

TEST_F(MigrationTest, WithoutUsersTheUserPartIsRefused) {
    Bytes f;
    f.magic().header(7, 10000);
    f.key("HKEY_CLASSES_ROOT", -1, -1, -1, -1);
    f.key("HKEY_CURRENT_USER", -1, 6, -1, -1);
    for (const char* n : {"HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"})
        f.key(n, -1, -1, -1, -1);
    f.key("Kept", 1, -1, -1, -1);
    writeFile("kalvo_reg.dat", f.b);
    ASSERT_NE(regdReadRegistryDatabase("kalvo_reg.dat", 1), nullptr);
    EXPECT_NE(logText().find("Fatal: Couldn't find HKEY_USERS while fixing data."), std::string::npos);
    EXPECT_EQ(childNames(regCacheTable[1]), std::vector<std::string>{"Kept"});
}

}  // namespace
