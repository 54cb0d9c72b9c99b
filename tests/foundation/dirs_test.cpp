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
#include <utility>
#include <vector>

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
            for (const auto& [path, content] : step.put) touch(base_ / path, content);
            uint32_t prog = step.prog;
            EXPECT_EXIT(
                {
                    if (prog != 0) regdStartupConfig().registryProg = prog;
                    _exit(createKalvoDir(b.c_str()) == 1 ? 0 : 1);
                },
                ::testing::ExitedWithCode(0), "");
            for (auto [path, content] : step.expect) {
                if (path[0] == '@') path = hostSubDir() + path.substr(1);
                EXPECT_EQ(fs::exists(base_ / path) ? contentOf(base_ / path) : "", content) << n << " " << path;
            }
        }
    }
}

}  // namespace
