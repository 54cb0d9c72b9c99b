#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "base/config.h"
#include "base/files.h"
#include "base/log.h"
#include "base/strings.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

// Each test writes its log in a fresh directory of its own.
class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kalvo_logtest_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_NE(getcwd(oldCwd_, sizeof oldCwd_), nullptr);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        savedLines_ = g_config.logLines;
        regdResetLogForTest();
    }
    void TearDown() override {
        regdResetLogForTest();
        regdStartupConfig().logLines = savedLines_;
        ASSERT_EQ(chdir(oldCwd_), 0);
        std::filesystem::remove_all(dir_);
    }
    std::string log() { return slurp(dir_ + "/kalvo_reg.log"); }

    std::string dir_;
    char oldCwd_[4096];
    int32_t savedLines_ = 1000;
};

TEST_F(LogTest, EveryLineIsEightyCharactersAndANewline) {
    writeToLog("short");
    writeToLog("%s", std::string(200, 'x').c_str());
    writeToLog("%s", "");
    std::string text = log();
    ASSERT_EQ(text.size(), 3u * 81u);
    for (const auto& l : lines(text)) EXPECT_EQ(l.size(), 80u) << l;
    auto ls = lines(text);
    // The long message is cut to 79 characters and padded with one space.
    EXPECT_EQ(ls[1].back(), ' ');
    EXPECT_EQ(ls[1][78], 'x');
    // An empty message leaves the prefix "[Mon dd hh:mm:ss] " padded.
    EXPECT_EQ(ls[2][0], '[');
    EXPECT_EQ(ls[2][16], ']');
    EXPECT_EQ(ls[2].find_first_not_of(' ', 18), std::string::npos);
}

TEST_F(LogTest, ConversionsAndUnknownPercent) {
    writeToLog("d=%d X=%X s=%s f=%f", -42, 0xBEEFu, "str", 1.5);
    // Not a literal, so that the compiler lets the odd conversions through.
    const char* odd = "100%% done %q end%";
    writeToLog(odd);
    auto ls = lines(log());
    EXPECT_EQ(ls[0].substr(18, 40).find("d=-42 X=BEEF s=str f=1.500000"), 0u) << ls[0];
    EXPECT_EQ(ls[1].substr(18).find("100%% done %q end%"), 0u) << ls[1];
}

TEST_F(LogTest, WrapsAfterConfiguredLines) {
    regdStartupConfig().logLines = 3;
    writeToLog("one");
    writeToLog("two");
    writeToLog("three");
    writeToLog("four");
    std::string text = log();
    EXPECT_EQ(text.size(), 243u);
    auto ls = lines(text);
    ASSERT_EQ(ls.size(), 3u);
    EXPECT_NE(ls[0].find("] four"), std::string::npos);
    EXPECT_NE(ls[1].find("] two"), std::string::npos);
    EXPECT_NE(ls[2].find("] three"), std::string::npos);
}

TEST_F(LogTest, NegativeLineCountNeverWraps) {
    regdStartupConfig().logLines = -1;
    for (int i = 0; i < 1500; i++) writeToLog("line %d", i);
    EXPECT_EQ(log().size(), 1500u * 81u);
}

TEST_F(LogTest, MessagesAfterCloseAreDropped) {
    writeToLog("before");
    regdCloseLog();
    writeToLog("after");
    EXPECT_EQ(log().size(), 81u);
}

TEST_F(LogTest, FallsBackToStderrWithOneNotice) {
    // A directory in the log file's place cannot be opened for writing.
    ASSERT_EQ(mkdir("kalvo_reg.log", 0755), 0);
    testing::internal::CaptureStderr();
    writeToLog("first");
    writeToLog("second");
    regdResetLogForTest();
    writeToLog("third");
    std::string err = testing::internal::GetCapturedStderr();
    auto ls = lines(err);
    ASSERT_EQ(ls.size(), 4u) << err;
    EXPECT_EQ(ls[0], "[kalvo_registryd] Failed to open logfile kalvo_reg.log.  Using stderr.");
    for (size_t i = 1; i < ls.size(); i++) {
        EXPECT_EQ(ls[i].size(), 80u);
        EXPECT_EQ(ls[i].rfind("[kalvo_registryd] [", 0), 0u);
    }
}

}  // namespace
