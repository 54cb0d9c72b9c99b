// The registry across daemon restarts (seeding, the start-up fall-back) and
// hives saved and loaded through the client library. That every key, value,
// class and type survives is the reader's round trip; the final write and
// users' files across restarts are the lifecycle tests'.
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

#include "persistence_util.h"

using namespace persisttest;
using kalvotest::readFile;

namespace {

const std::string kVersionKey = "Software\\Tessmar\\Kalvo\\Version";
const std::string kUnknown = "Software\\Classes\\Interface\\{00000000-0000-0000-C000-000000000046}";

HKEY createKey(HKEY parent, const std::string& path, const char* cls = nullptr) {
    HKEY h = nullptr;
    EXPECT_EQ(RegCreateKeyExA(parent, path.c_str(), 0, const_cast<char*>(cls), 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS)
        << path;
    return h;
}

void setBytes(HKEY key, const char* name, DWORD type, const std::string& data) {
    EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
}

// A fresh start is seeded; a start on 6.0.0 leaves the seeded keys alone,
// one on an older version seeds them again. That last start is on the
// backup (the main file is damaged; which file is read is the loader
// test's business), and the daemon keeps the backup as it was.
TEST(PersistenceTest, SeedingByVersionAndStartUpOnTheBackup) {
    RegistryHome home;
    auto d = home.start();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(queryValue(HKEY_LOCAL_MACHINE, kVersionKey, nullptr), std::string("6.0.0\n\0", 7));
    EXPECT_EQ(queryValue(HKEY_CLASSES_ROOT, "Interface\\{00000000-0000-0000-C000-000000000046}", nullptr),
              std::string("IUnknown\0", 9));
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUnknown.c_str()), ERROR_SUCCESS);
    stopDaemon(d);
    d = home.start();  // 6.0.0: left alone
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(openKey(HKEY_LOCAL_MACHINE, kUnknown), nullptr);
    setBytes(openKey(HKEY_LOCAL_MACHINE, kVersionKey), nullptr, REG_SZ, "5.9.9\n");
    stopDaemon(d);
    const std::string saved = readFile(home.file("kalvo_reg.dat"));
    kalvotest::writeFile(home.file("kalvo_reg.dat.bak"), saved);
    kalvotest::writeFile(home.file("kalvo_reg.dat"), "\x55" + saved.substr(1));  // wrong magic number
    d = home.start();  // 5.9.9 from the backup: seeded again
    ASSERT_NE(d, nullptr);
    EXPECT_NE(home.log().find("Failed to read the registry database.  Trying backup."), std::string::npos);
    EXPECT_NE(openKey(HKEY_LOCAL_MACHINE, kUnknown), nullptr);
    EXPECT_EQ(queryValue(HKEY_LOCAL_MACHINE, kVersionKey, nullptr), std::string("6.0.0\n\0", 7));
    EXPECT_EQ(readFile(home.file("kalvo_reg.dat.bak")), saved);
    stopDaemon(d);
}

// One daemon for the hive tests; each test has its own destination key and
// file names, and the source tree saved as "src.hive".
class HiveTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        home_ = std::make_unique<RegistryHome>();
        d_ = home_->start();
    }
    static void TearDownTestSuite() {
        stopDaemon(d_);
        home_.reset();
    }
    void SetUp() override {
        ASSERT_NE(d_, nullptr);
        d_->exportEnv();
        src_ = createKey(HKEY_LOCAL_MACHINE, "Software\\HiveSrc", "hive class");
        setBytes(src_, nullptr, REG_SZ, "source default");
        setBytes(createKey(src_, "A\\A1"), "v", REG_BINARY, std::string("\0\1\2", 3));
        createKey(src_, "B");
        test_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        dest_ = createKey(HKEY_LOCAL_MACHINE, "Software\\Dest\\" + test_);
        ASSERT_EQ(RegSaveKeyA(src_, path("src.hive").c_str(), nullptr), ERROR_SUCCESS);
    }
    std::string path(const std::string& name) const { return home_->file(test_ + "." + name); }
    static size_t filesInDir() {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(home_->dir())) n += e.is_regular_file();
        return n;
    }

    static inline std::unique_ptr<RegistryHome> home_;
    static inline std::unique_ptr<kalvotest::PrivateDaemon> d_;
    std::string test_;
    HKEY src_ = nullptr;
    HKEY dest_ = nullptr;
};

// A saved key loads elsewhere with its whole tree, over an existing key
// replacing it; unloading removes it and writes nothing; a missing or
// damaged file fails and leaves the old key.
TEST_F(HiveTest, LoadCopiesOrReplacesAndUnloadRemoves) {
    ASSERT_EQ(RegLoadKeyA(dest_, "Copy", path("src.hive").c_str()), ERROR_SUCCESS);
    HKEY copy = openKey(dest_, "Copy");
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(dumpTree(copy), dumpTree(src_));
    EXPECT_EQ(queryValue(dest_, "Copy", nullptr), std::string("source default\0", 15));
    createKey(copy, "Extra");
    ASSERT_EQ(RegLoadKeyA(dest_, "Copy", path("src.hive").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(openKey(dest_, "Copy\\Extra"), nullptr);
    EXPECT_EQ(subKeyCount(dest_, ""), 1u);
    const std::string hive = readFile(path("src.hive"));
    const size_t files = filesInDir();
    ASSERT_EQ(RegUnLoadKeyA(dest_, "Copy"), ERROR_SUCCESS);
    EXPECT_EQ(openKey(dest_, "Copy"), nullptr);
    EXPECT_EQ(RegUnLoadKeyA(dest_, "Copy"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(filesInDir(), files);
    EXPECT_EQ(readFile(path("src.hive")), hive);
    createKey(dest_, "Keep\\Inside");
    EXPECT_EQ(RegLoadKeyA(dest_, "Keep", path("missing.hive").c_str()), ERROR_FILE_NOT_FOUND);
    kalvotest::writeFile(path("cut.hive"), hive.substr(0, hive.size() - 5));
    EXPECT_EQ(RegLoadKeyA(dest_, "Keep", path("cut.hive").c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(openKey(dest_, "Keep\\Inside"), nullptr);
    EXPECT_EQ(RegLoadKeyA(KALVO_HKEY(0x7FFFFF), "X", path("src.hive").c_str()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegLoadKeyA(dest_, nullptr, path("src.hive").c_str()), ERROR_INVALID_PARAMETER);
}

TEST_F(HiveTest, SaveRefusesAnExistingFileAndSecurityCallsChangeNothing) {
    kalvotest::writeFile(path("taken.hive"), "mine");
    EXPECT_EQ(RegSaveKeyA(src_, path("taken.hive").c_str(), nullptr), -1);
    EXPECT_EQ(readFile(path("taken.hive")), "mine");
    EXPECT_EQ(RegSaveKeyA(KALVO_HKEY(0x7FFFFF), path("nokey.hive").c_str(), nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(path("nokey.hive")));
    // A relative name is taken in the registry directory.
    ASSERT_EQ(RegSaveKeyA(src_, "relative.hive", nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(home_->file("relative.hive")));
    // Security descriptors are accepted for any handle and none is given.
    char descriptor[16] = "untouched";
    DWORD size = sizeof descriptor;
    EXPECT_EQ(RegGetKeySecurity(src_, 4, descriptor, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    EXPECT_STREQ(descriptor, "untouched");
    EXPECT_EQ(RegGetKeySecurity(src_, 4, descriptor, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetKeySecurity(KALVO_HKEY(0x7FFFFF), 4, descriptor), ERROR_SUCCESS);
}

TEST_F(HiveTest, RestoreAddsTheTreeBesideAKeyOfTheSameName) {
    createKey(dest_, "HiveSrc\\Original");
    ASSERT_EQ(RegRestoreKeyA(dest_, path("src.hive").c_str(), 0), ERROR_SUCCESS);
    char first[64], second[64];
    ASSERT_EQ(RegEnumKeyA(dest_, 0, first, sizeof first), ERROR_SUCCESS);
    ASSERT_EQ(RegEnumKeyA(dest_, 1, second, sizeof second), ERROR_SUCCESS);
    EXPECT_STREQ(first, "HiveSrc");
    EXPECT_STREQ(second, "HiveSrc");
    HKEY restored = openKey(dest_, "HiveSrc");  // the first one found: the restored tree
    ASSERT_NE(restored, nullptr);
    EXPECT_EQ(dumpTree(restored), dumpTree(src_));
}

TEST_F(HiveTest, ReplaceSavesTheOldTreeThenLoadsTheNewOne) {
    HKEY other = createKey(HKEY_LOCAL_MACHINE, "Software\\Other");
    setBytes(other, "o", REG_SZ, "other");
    ASSERT_EQ(RegSaveKeyA(other, path("new.hive").c_str(), nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegLoadKeyA(dest_, "Slot", path("new.hive").c_str()), ERROR_SUCCESS);
    ASSERT_EQ(RegLoadKeyA(dest_, "Slot", path("src.hive").c_str()), ERROR_SUCCESS);
    std::string oldTree = dumpTree(openKey(dest_, "Slot"));
    kalvotest::writeFile(path("old.hive"), "to be overwritten");
    ASSERT_EQ(RegReplaceKeyA(dest_, "Slot", path("new.hive").c_str(), path("old.hive").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(queryValue(dest_, "Slot", "o"), std::string("other\0", 6));
    EXPECT_EQ(openKey(dest_, "Slot\\A"), nullptr);
    ASSERT_EQ(RegLoadKeyA(dest_, "OldCheck", path("old.hive").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(dumpTree(openKey(dest_, "OldCheck")), oldTree);
    EXPECT_EQ(RegReplaceKeyA(dest_, "NoSuchKey", path("new.hive").c_str(), path("never.hive").c_str()),
              ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(path("never.hive")));
}

}  // namespace
