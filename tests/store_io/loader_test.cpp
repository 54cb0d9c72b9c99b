// Start-up: loading with its fall-backs and the progress hook, a user's
// own file, the migration of the old root layout, and the seeded keys.
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/log.h"
#include "io_test_util.h"
#include "store/regdio.h"
#include "store/regdseed.h"

using namespace iotest;

namespace {

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
        const std::string mainFile = r.mainFile;
        if (r.backup == "good") saveRegistryWith("FromBackup", "kalvo_reg.dat.bak");
        else writeFile("kalvo_reg.dat.bak", r.backup);
        if (mainFile == "good") saveRegistryWith("FromMain", "kalvo_reg.dat");
        else if (mainFile != "none") writeFile("kalvo_reg.dat", mainFile);
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

// A user's key comes back from its own (escaped) file (one with another top
// key is the cache tests'); a corrupt file or none gives an empty key, once;
// callers from other hosts get nothing.
TEST_F(LoaderTest, UsersKeysComeFromTheirOwnFiles) {
    ASSERT_EQ(regdInitCache(), 1);
    setValue(mkKey(HKU, "a b\\Software\\Editor"), "font", 1, "mono");
    regdWriteEntireRegistryDatabase();
    EXPECT_TRUE(fileExists("kalvo_a%20b.dat"));
    regdDiscardCache();
    ASSERT_EQ(regdLoadRegistry(), 1);
    EXPECT_EQ(rec(HKU, "a b"), nullptr);  // not kept in the main file
    setCaller("a b");
    regdLoadUserData(testCaller);
    RegCacheRec* font = rec(REGD_HKEY_CURRENT_USER, "Software\\Editor\\font", REGD_KIND_VALUE);
    ASSERT_NE(font, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(font->data), "mono");
    writeFile("kalvo_gil.dat", appHiveByHand().substr(0, 60));
    for (const char* user : {"gil", "dora"}) {
        uint32_t entries = g_nEntries;
        setCaller(user);
        regdLoadUserData(testCaller);
        regdLoadUserData(testCaller);
        EXPECT_EQ(g_nEntries, entries + 1) << user;
        EXPECT_EQ(rec(HKU, user)->firstChild, nullptr);
        EXPECT_EQ(rec(REGD_HKEY_CURRENT_USER), rec(HKU, user));
    }
    const uint32_t entries = g_nEntries;
    setCaller("remote", testCaller.hostId + 1);
    regdLoadUserData(testCaller);
    EXPECT_EQ(g_nEntries, entries);
}

class MigrationTest : public IoTest {
  protected:
    // A version-10000 main file: classes and the daemon user's keys kept
    // under the first two roots; HKLM\Software\Classes already has a key.
    void writeOldMainFile() {
        Bytes f = Bytes().magic().header(14, 10000).roots({6, 7, 9, 12, -1, -1});
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
    regdStartupConfig().registryProg = 0x28000001u;
    writeOldMainFile();
    ASSERT_NE(regdReadRegistryDatabase("kalvo_reg.dat", 1), nullptr);
    EXPECT_EQ(registryDatabaseFixed, 1);
    RegCacheRec* classes = regdFindHKey(testCaller, REGD_HKEY_CLASSES_ROOT);
    ASSERT_NE(classes, nullptr);
    EXPECT_EQ(childNames(classes), (std::vector<std::string>{"Existing", ".txt"}));
    EXPECT_EQ(classes->firstChild->next->parent, classes);
    EXPECT_STREQ(regCacheTable[0]->name, "HKEY_CLASSES_ROOT");
    EXPECT_EQ(regCacheTable[0]->firstChild, nullptr);
    EXPECT_EQ(regCacheTable[1]->firstChild, nullptr);
    RegCacheRec* users = regdFindHKey(testCaller, HKU);
    EXPECT_EQ(childNames(users), (std::vector<std::string>{".Default", login}));
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
    writeFile("kalvo_reg.dat",
              Bytes().magic().header(7, 10000).roots({-1, 6, -1, -1, -1, -1}).key("Kept", 1, -1, -1, -1).b);
    ASSERT_NE(regdReadRegistryDatabase("kalvo_reg.dat", 1), nullptr);
    EXPECT_NE(logText().find("Fatal: Couldn't find HKEY_USERS while fixing data."), std::string::npos);
    EXPECT_EQ(childNames(regCacheTable[1]), std::vector<std::string>{"Kept"});
}

std::vector<uint64_t> g_reported;
uint64_t g_stopAt = 0;  // 0: never stop

bool recordProgress(uint64_t recordsRead) {
    g_reported.push_back(recordsRead);
    return recordsRead != g_stopAt;
}

// Every record of the main file is reported in order; a stop leaves an
// empty cache and a distinct result, tries no backup and writes nothing;
// hive loads report nothing.
TEST_F(LoaderTest, ProgressReportsEachRecordAndStopsOnRequest) {
    g_reported.clear();
    g_stopAt = 0;
    regdSetLoadProgressHook(recordProgress);
    struct Unhook {
        ~Unhook() { regdSetLoadProgressHook(nullptr); }
    } unhook;
    saveRegistryWith("A\\B", "kalvo_reg.dat");
    const std::string mainBytes = readFile("kalvo_reg.dat");
    writeFile("kalvo_reg.dat.bak", mainBytes);
    ASSERT_EQ(regdLoadRegistry(), 1);
    const uint64_t records = g_nEntries;
    ASSERT_EQ(g_reported.size(), records);
    for (size_t i = 0; i < g_reported.size(); i++) EXPECT_EQ(g_reported[i], i + 1);
    g_reported.clear();
    ASSERT_EQ(regdLoadHive(rec(HKLM), "kalvo_reg.dat.bak", "Copy", nullptr), 0u);
    EXPECT_TRUE(g_reported.empty());
    regdDiscardCache();
    struct { bool mainGood; uint64_t stopAt; } rows[] = {{true, 1}, {true, 7}, {true, records}, {false, 3}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.stopAt);
        regdResetLogForTest();
        writeFile("kalvo_reg.dat", r.mainGood ? mainBytes : std::string("junk"));
        g_reported.clear();
        g_stopAt = r.stopAt;
        bool mainUsed = true;
        EXPECT_EQ(regdLoadRegistry(&mainUsed), REGD_LOAD_STOPPED);
        EXPECT_FALSE(mainUsed);
        EXPECT_EQ(g_reported.back(), r.stopAt);
        EXPECT_EQ(g_nEntries, 0u);
        EXPECT_EQ(regCacheTable, nullptr);
        EXPECT_EQ(g_dirty.load(), 0u);
        EXPECT_EQ(logText().find("Trying backup") != std::string::npos, !r.mainGood);
        EXPECT_EQ(logText().find("Initializing"), std::string::npos);
    }
    EXPECT_EQ(readFile("kalvo_reg.dat.bak"), mainBytes);
}

class SeedTest : public CacheTest {
  protected:
    // The default value of the key at `path`, or "<none>".
    static std::string defaultValue(uint32_t root, const std::string& path) {
        RegCacheRec* key = rec(root, path.c_str());
        if (key == nullptr) return "<no key>";
        RegCacheRec* v = regdFindSubKey(key, "", REGD_KIND_VALUE);
        return v == nullptr ? "<none>" : std::string(reinterpret_cast<char*>(v->data), v->dataSize);
    }
    static void seed() {
        regdInsertVersionKey();
        regdInitOleKeys();
    }
};

// A fresh registry gets the version key and every row of every table,
// beside the keys and values already there; a second seeding adds nothing.
TEST_F(SeedTest, FreshRegistryGetsTheVersionAndEveryRow) {
    const std::string unknown = "Software\\Classes\\Interface\\{00000000-0000-0000-C000-000000000046}";
    setValue(mkKey(HKLM, "Software\\Classes\\Interface\\{MINE}"), nullptr, 1, "my interface");
    setValue(mkKey(HKLM, unknown.c_str()), "extra", 1, "x");
    EXPECT_EQ(regdCheckKalvoKey(), 0);
    seed();
    EXPECT_EQ(regdCheckKalvoKey(), 1);
    EXPECT_EQ(defaultValue(HKLM, "Software\\Tessmar\\Kalvo\\Version"), std::string("6.0.0\n\0", 7));
    EXPECT_EQ(rec(HKLM, "Software\\Tessmar\\Kalvo\\Version\\", REGD_KIND_KEY)->firstChild->valueType, 1u);
    RegCacheRec* threading = rec(HKLM, "Software\\Classes\\CLSID\\{B196B286-BAB4-101A-B69C-00AA00341D07}\\"
                                       "InprocServer32\\ThreadingModel", REGD_KIND_VALUE);
    ASSERT_NE(threading, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(threading->data), threading->dataSize), std::string("Both\0", 5));
    // Every row of every table, through the handle its parent resolves to.
    for (const RegdSeedTable* t : {&oleinterfacekey, &oletypelibkey, &oleclassidkey, &rootinterfacekey}) {
        for (size_t i = 0; i < t->nRows; i++) {
            std::string path = std::string(t->parentPath) + "\\" + t->rows[i].path;
            std::string want = t->rows[i].text[0] != '\0' ? std::string(t->rows[i].text) + '\0' : "<none>";
            EXPECT_EQ(defaultValue(t->parentHandle, path), want) << path;
        }
    }
    EXPECT_EQ(defaultValue(HKLM, "Software\\Classes\\Interface\\{MINE}"), std::string("my interface\0", 13));
    EXPECT_NE(rec(HKLM, (unknown + "\\extra").c_str(), REGD_KIND_VALUE), nullptr);
    const uint32_t entries = g_nEntries;
    seed();
    EXPECT_EQ(g_nEntries, entries);
}

TEST_F(SeedTest, VersionCheckReadsTheVersionKey) {
    // Weighted, not compared part by part; saturates; the text must fit 16 bytes.
    const std::pair<const char*, int> rows[] = {
        {"6.0.0\n", 1}, {"5.9.9\n", 0}, {"5.10.0", 1}, {"6", 1}, {" 7 - 1 - 2", 1}, {"version six", 0},
        {"9999999999999.0", 1}, {"-6.0.0", 0}, {"6.0.0          1", 0}, {"6.0.0         1", 1}};
    uint32_t v = mkKey(HKLM, "Software\\Tessmar\\Kalvo\\Version");
    for (const auto& [text, want] : rows) {
        ASSERT_EQ(setValue(v, nullptr, 1, text), 0u);
        EXPECT_EQ(regdCheckKalvoKey(), want) << text;
    }
}

}  // namespace
