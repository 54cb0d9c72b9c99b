// The registry directory is computed once per process, so every case runs
// in a child process of its own.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "base/config.h"
#include "base/files.h"
#include "base/strings.h"
#include "harness/daemon_harness.h"

namespace fs = std::filesystem;

namespace {

class DirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "fast");
        base_ = kalvotest::makeTempDir();
    }
    void TearDown() override { fs::remove_all(base_); }
    fs::path base_;
};

TEST_F(DirTest, DefaultBaseUsesPlainSubdirectory) {
    EXPECT_EXIT(
        {
            regdStartupConfig().kalvoDir = "/var/adm";
            _exit(strcmp(getKalvoSubDir(), "kalvo") == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Scenarios of start-ups on one base directory each. A step puts files in
// place (paths below the base, "@" for the host subdirectory), sets up the
// directory as a daemon of `prog` would, then checks files ("" for absent).
struct Step {
    std::vector<std::pair<std::string, std::string>> put;
    uint32_t prog;
    std::vector<std::pair<std::string, std::string>> expect;
};

TEST_F(DirTest, OldLayoutsMigrateOnceWithTheRightPrecedence) {
    char buf[L_cuserid + 256] = {0};
    std::string user = cuserid(buf) != nullptr && buf[0] != '\0' ? buf : getenv("USER");
    std::string mine = "kalvo_" + user + ".dat";
    const uint32_t kPrivate = 0x20000001, kDefault = 0;
    const std::vector<std::vector<Step>> scenarios = {
        // The .kalvo database moves once; a second start moves nothing.
        {{{{".kalvo/kalvo_reg.dat", "old-layout"}},
          kDefault,
          {{"@/kalvo_reg.dat", "old-layout"}, {".kalvo/kalvo_reg.dat", ""}}},
         {{{".kalvo/kalvo_reg.dat", "newer"}},
          kDefault,
          {{"@/kalvo_reg.dat", "old-layout"}, {".kalvo/kalvo_reg.dat", "newer"}}}},
        // A private daemon takes the kalvo layout, but .kalvo wins.
        {{{{"kalvo/kalvo_reg.dat", "kalvo-layout"}}, kPrivate, {{"@/kalvo_reg.dat", "kalvo-layout"}}}},
        {{{{"kalvo/kalvo_reg.dat", "kalvo-layout"}, {".kalvo/kalvo_reg.dat", "dot-layout"}},
          kPrivate,
          {{"@/kalvo_reg.dat", "dot-layout"}}}},
        // The default program leaves the kalvo layout alone.
        {{{{"kalvo/kalvo_reg.dat", "kalvo-layout"}},
          kDefault,
          {{"@/kalvo_reg.dat", ""}, {"kalvo/kalvo_reg.dat", "kalvo-layout"}}}},
        // The user's own file moves too; other users' files stay.
        {{{{".kalvo/" + mine, "user-data"}, {".kalvo/kalvo_somebodyelse.dat", "other"}},
          kDefault,
          {{"@/" + mine, "user-data"}, {".kalvo/kalvo_somebodyelse.dat", "other"}}}},
    };
    for (size_t n = 0; n < scenarios.size(); n++) {
        fs::remove_all(base_);
        fs::create_directories(base_);
        std::string b = base_.string();
        for (const Step& step : scenarios[n]) {
            for (const auto& [path, content] : step.put) {
                fs::create_directories((base_ / path).parent_path());
                kalvotest::writeFile(base_ / path, content);
            }
            uint32_t prog = step.prog;
            EXPECT_EXIT(
                {
                    if (prog != 0) regdStartupConfig().registryProg = prog;
                    _exit(createKalvoDir(b.c_str()) == 1 ? 0 : 1);
                },
                ::testing::ExitedWithCode(0), "");
            for (auto [path, content] : step.expect) {
                if (path[0] == '@') path = kalvotest::privateSubDir() + path.substr(1);
                EXPECT_EQ(kalvotest::readFile(base_ / path), content) << n << " " << path;
            }
        }
    }
}

}  // namespace
