// The log writer in process; each test writes its log in a fresh directory.
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "base/config.h"
#include "base/log.h"
#include "harness/daemon_harness.h"

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = kalvotest::makeTempDir();
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
    std::string log() { return kalvotest::readFile(dir_ + "/kalvo_reg.log"); }

    std::string dir_;
    char oldCwd_[4096];
    int32_t savedLines_ = 1000;
};

TEST_F(LogTest, LinesAreEightyCharactersAndANewlineWithFourConversions) {
    writeToLog("%s", std::string(200, 'x').c_str());
    writeToLog("%s", "");
    writeToLog("d=%d X=%X s=%s f=%f", -42, 0xBEEFu, "str", 1.5);
    // Not a literal, so that the compiler lets the odd conversions through.
    const char* odd = "100%% done %q end%";
    writeToLog(odd);
    std::string text = log();
    ASSERT_EQ(text.size(), 4u * 81u);
    auto ls = lines(text);
    for (const auto& l : ls) EXPECT_EQ(l.size(), 80u) << l;
    // The long message is cut to 79 characters and padded with one space.
    EXPECT_EQ(ls[0].substr(76), "xxx ");
    // An empty message leaves the prefix "[Mon dd hh:mm:ss] " padded.
    EXPECT_EQ(ls[1][0], '[');
    EXPECT_EQ(ls[1][16], ']');
    EXPECT_EQ(ls[1].find_first_not_of(' ', 18), std::string::npos);
    EXPECT_EQ(ls[2].substr(18, 29), "d=-42 X=BEEF s=str f=1.500000");
    EXPECT_EQ(ls[3].substr(18, 18), "100%% done %q end%");
}

TEST_F(LogTest, WrapsAfterConfiguredLinesAndTakesNothingAfterClose) {
    regdStartupConfig().logLines = 3;
    for (const char* m : {"one", "two", "three", "four"}) writeToLog("%s", m);
    regdCloseLog();
    writeToLog("after");
    std::string text = log();
    EXPECT_EQ(text.size(), 243u);
    auto ls = lines(text);
    ASSERT_EQ(ls.size(), 3u);
    EXPECT_NE(ls[0].find("] four "), std::string::npos);
    EXPECT_NE(ls[1].find("] two "), std::string::npos);
    EXPECT_NE(ls[2].find("] three "), std::string::npos);
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
