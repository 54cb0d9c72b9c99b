// The registry directory is computed once per process, so every case runs
// in a child process of its own.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "base/config.h"
#include "base/files.h"
#include "base/log.h"
#include "base/strings.h"

namespace fs = std::filesystem;

namespace {

std::string hostSubDir() {
    char host[64];
    gethostname(host, sizeof host);
    host[63] = '\0';
    return std::string(".kalvo.") + host;
}

void touch(const fs::path& p, const std::string& content) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << content;
}

std::string contentOf(const fs::path& p) {
    std::ifstream in(p);
    std::string s;
    std::getline(in, s);
    return s;
}

// Ends the child with 0 when cond holds, else with a message and 1.
void check(bool cond, const char* what) {
    if (!cond) {
        fprintf(stderr, "check failed: %s\n", what);
        _exit(1);
    }
}

class DirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "fast");
        char tmpl[] = "/tmp/kalvo_dirtest_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
    }
    void TearDown() override { fs::remove_all(base_); }
    fs::path base_;
};

TEST_F(DirTest, DefaultBaseUsesPlainSubdirectory) {
    EXPECT_EXIT(
        {
            regdStartupConfig().kalvoDir = "/var/adm";
            check(strcmp(getKalvoSubDir(), "kalvo") == 0, "subdir kalvo");
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(DirTest, OtherBaseUsesHostSubdirectoryAndStripsSlashes) {
    std::string withSlashes = base_.string() + "///";
    std::string expected = (base_ / hostSubDir()).string();
    EXPECT_EXIT(
        {
            check(createKalvoDir(withSlashes.c_str()) == 1, "created");
            check(g_config.kalvoDir == base_.string(), "trailing slashes stripped");
            check(getKalvoSubDir() == hostSubDir(), "host subdir");
            char cwd[4096];
            check(getcwd(cwd, sizeof cwd) != nullptr && expected == cwd, "entered subdir");
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(fs::is_directory(base_ / hostSubDir()));
}

TEST_F(DirTest, MigratesDotKalvoDatabaseOnceOnly) {
    touch(base_ / ".kalvo" / "kalvo_reg.dat", "old-layout");
    std::string b = base_.string();
    EXPECT_EXIT({ _exit(createKalvoDir(b.c_str()) == 1 ? 0 : 1); }, ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(contentOf(base_ / hostSubDir() / "kalvo_reg.dat"), "old-layout");
    EXPECT_FALSE(fs::exists(base_ / ".kalvo" / "kalvo_reg.dat"));

    // A second start finds the directory and moves nothing.
    touch(base_ / ".kalvo" / "kalvo_reg.dat", "newer");
    EXPECT_EXIT({ _exit(createKalvoDir(b.c_str()) == 1 ? 0 : 1); }, ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(contentOf(base_ / hostSubDir() / "kalvo_reg.dat"), "old-layout");
    EXPECT_TRUE(fs::exists(base_ / ".kalvo" / "kalvo_reg.dat"));
}

TEST_F(DirTest, PrivateDaemonTakesKalvoLayoutButDotKalvoWins) {
    touch(base_ / "kalvo" / "kalvo_reg.dat", "kalvo-layout");
    std::string b = base_.string();
    EXPECT_EXIT(
        {
            regdStartupConfig().registryProg = 0x20000001;
            _exit(createKalvoDir(b.c_str()) == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(contentOf(base_ / hostSubDir() / "kalvo_reg.dat"), "kalvo-layout");

    fs::remove_all(base_ / hostSubDir());
    touch(base_ / "kalvo" / "kalvo_reg.dat", "kalvo-layout");
    touch(base_ / ".kalvo" / "kalvo_reg.dat", "dot-layout");
    EXPECT_EXIT(
        {
            regdStartupConfig().registryProg = 0x20000001;
            _exit(createKalvoDir(b.c_str()) == 1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(contentOf(base_ / hostSubDir() / "kalvo_reg.dat"), "dot-layout");
}

TEST_F(DirTest, DefaultProgramLeavesKalvoLayoutAlone) {
    touch(base_ / "kalvo" / "kalvo_reg.dat", "kalvo-layout");
    std::string b = base_.string();
    EXPECT_EXIT({ _exit(createKalvoDir(b.c_str()) == 1 ? 0 : 1); }, ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(fs::exists(base_ / hostSubDir() / "kalvo_reg.dat"));
    EXPECT_TRUE(fs::exists(base_ / "kalvo" / "kalvo_reg.dat"));
}

TEST_F(DirTest, MigratesTheUsersOwnFile) {
    char buf[L_cuserid + 256] = {0};
    const char* user = cuserid(buf);
    if (user == nullptr || *user == '\0') user = getenv("USER");
    ASSERT_NE(user, nullptr);
    std::string name = std::string("kalvo_") + user + ".dat";
    touch(base_ / ".kalvo" / name, "user-data");
    touch(base_ / ".kalvo" / "kalvo_somebodyelse.dat", "other");
    std::string b = base_.string();
    EXPECT_EXIT({ _exit(createKalvoDir(b.c_str()) == 1 ? 0 : 1); }, ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(contentOf(base_ / hostSubDir() / name), "user-data");
    EXPECT_TRUE(fs::exists(base_ / ".kalvo" / "kalvo_somebodyelse.dat"));
}

TEST_F(DirTest, CopyFileReplacesTargetWhole) {
    touch(base_ / "from", "new content");
    touch(base_ / "to", "old content that is longer");
    fs::permissions(base_ / "to", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(copyFile((base_ / "from").c_str(), (base_ / "to").c_str()), 1);
    EXPECT_EQ(contentOf(base_ / "to"), "new content");
    EXPECT_EQ(fs::status(base_ / "to").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_FALSE(fs::exists(base_ / "to.tmp"));
    EXPECT_EQ(copyFile((base_ / "missing").c_str(), (base_ / "to").c_str()), 0);
    EXPECT_EQ(copyFile((base_ / "from").c_str(), (base_ / "nodir" / "to").c_str()), 0);
    EXPECT_EQ(contentOf(base_ / "to"), "new content");
}

}  // namespace
