// cmake --install into a staging directory: every file is there, the
// systemd units pass systemd-analyze, and a C program built against the
// staged library through its pkg-config file talks to a daemon.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "harness/daemon_harness.h"

using kalvotest::ProgramRun;
using kalvotest::readFile;
using kalvotest::runProgram;
using kalvotest::writeFile;

namespace {

// True when the shell finds `program`.
bool onPath(const std::string& program) {
    return runProgram({"/bin/sh", "-c", "command -v " + program}).status == 0;
}

// A unit naming the daemon at its staged place instead of where it will live.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// A fresh directory, removed with everything in it when the test ends.
struct ScratchDir {
    std::string path = kalvotest::makeTempDir();
    ~ScratchDir() { std::filesystem::remove_all(path); }
};

class Install : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        stage_ = kalvotest::makeTempDir();
        install_ = runProgram({"/usr/bin/env", "DESTDIR=" + stage_, KALVO_CMAKE, "--install", KALVO_BUILD_DIR});
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(stage_); }
    void SetUp() override { ASSERT_EQ(install_.status, 0) << install_.out << install_.err; }

    // A path below the staged prefix.
    static std::string staged(const std::string& relative) { return stage_ + KALVO_INSTALL_PREFIX + "/" + relative; }

    static inline std::string stage_;
    static inline ProgramRun install_;
};

const std::string kBin = KALVO_BINDIR;
const std::string kSbin = KALVO_SBINDIR;
const std::string kLib = KALVO_LIBDIR;
const std::string kMan = KALVO_MANDIR;
const std::string kSystemUnit = "lib/systemd/system/kalvo-registryd.service";
const std::string kUserUnit = "lib/systemd/user/kalvo-registryd-private@.service";
const std::string kDaemonPath = std::string(KALVO_INSTALL_PREFIX) + "/" + kSbin + "/kalvo_registryd";

TEST_F(Install, StagingHoldsEveryFile) {
    for (const std::string& program : {kSbin + "/kalvo_registryd", kBin + "/kalvoreg"})
        EXPECT_EQ(access(staged(program).c_str(), X_OK), 0) << program;
    for (const std::string& file :
         {kLib + "/libkalvoclient.a", std::string("include/kalvo/winreg.h"), std::string("include/kalvo/kalvoping.h"),
          std::string("include/kalvo/synchapi.h"), kLib + "/pkgconfig/kalvoclient.pc",
          kMan + "/man1/kalvoreg.1", kMan + "/man8/kalvo_registryd.8", kSystemUnit, kUserUnit})
        EXPECT_FALSE(readFile(staged(file)).empty()) << file;
    std::string system = readFile(staged(kSystemUnit));
    EXPECT_NE(system.find("ExecStart=-" + kDaemonPath + " -d /var/adm\n"), std::string::npos) << system;
    EXPECT_NE(system.find("After=rpcbind.service"), std::string::npos);
    std::string user = readFile(staged(kUserUnit));
    EXPECT_NE(user.find(kDaemonPath + " -prog %i -d %h"), std::string::npos) << user;
    EXPECT_NE(user.find("After=rpcbind.service"), std::string::npos);
}

TEST_F(Install, ManPagesFormatWithoutWarnings) {
    if (!onPath("groff")) GTEST_SKIP() << "groff is not installed";
    for (const std::string& page : {kMan + "/man1/kalvoreg.1", kMan + "/man8/kalvo_registryd.8"}) {
        ProgramRun r = runProgram({"/bin/sh", "-c", "groff -man -Tutf8 -ww -z '" + staged(page) + "'"});
        EXPECT_EQ(r.status, 0) << page;
        EXPECT_EQ(r.err, "") << page;
    }
}

TEST_F(Install, UnitsPassSystemdAnalyzeVerify) {
    if (!onPath("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
    // The units name the daemon where it will live; here it lives in the
    // staging directory, and the man pages of Documentation= there too.
    ScratchDir scratch;
    const std::string& dir = scratch.path;
    std::string systemUnit = dir + "/kalvo-registryd.service";
    std::string userUnit = dir + "/kalvo-registryd-private@805503037.service";
    writeFile(systemUnit, replaced(readFile(staged(kSystemUnit)), kDaemonPath, staged(kSbin + "/kalvo_registryd")));
    writeFile(userUnit, replaced(readFile(staged(kUserUnit)), kDaemonPath, staged(kSbin + "/kalvo_registryd")));
    std::string runtime = dir + "/runtime";
    mkdir(runtime.c_str(), 0700);
    std::string env = "MANPATH='" + staged(kMan) + "' XDG_RUNTIME_DIR='" + runtime + "' ";
    ProgramRun system = runProgram({"/bin/sh", "-c", env + "systemd-analyze verify '" + systemUnit + "'"});
    EXPECT_EQ(system.status, 0) << system.out << system.err;
    ProgramRun user = runProgram({"/bin/sh", "-c", env + "systemd-analyze --user verify '" + userUnit + "'"});
    EXPECT_EQ(user.status, 0) << user.out << user.err;
}

TEST_F(Install, ProgramBuiltFromStagedFilesTalksToDaemon) {
    if (!onPath("cc") || !onPath("pkg-config")) GTEST_SKIP() << "cc or pkg-config is not installed";
    ScratchDir scratch;
    const std::string& dir = scratch.path;
    writeFile(dir + "/version.c", "#include <stdio.h>\n#include <kalvo/kalvoping.h>\n"
                                  "int main(void) {\n    DWORD a, b, c;\n"
                                  "    if (KalvoQueryVersion(&a, &b, &c) != ERROR_SUCCESS) return 2;\n"
                                  "    printf(\"%u.%u.%u\\n\", a, b, c);\n    return 0;\n}\n");
    std::string pkg = "PKG_CONFIG_PATH='" + staged(kLib + "/pkgconfig") + "' PKG_CONFIG_SYSROOT_DIR='" + stage_ + "' ";
    ProgramRun build = runProgram({"/bin/sh", "-c",
                                "cc " KALVO_TEST_CFLAGS " -o '" + dir + "/version' '" + dir + "/version.c' $(" + pkg +
                                    "pkg-config --cflags --libs kalvoclient)"});
    ASSERT_EQ(build.status, 0) << build.out << build.err;

    kalvotest::PrivateDaemon daemon;
    std::string why;
    ASSERT_TRUE(daemon.start(&why)) << why;
    daemon.exportEnv();
    ProgramRun run = runProgram({dir + "/version"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "2.3.0\n");
    ProgramRun tool = runProgram({staged(kBin + "/kalvoreg"), "version"});
    EXPECT_EQ(tool.status, 0) << tool.err;
    EXPECT_NE(tool.out.find("protocol version 2.3.0"), std::string::npos) << tool.out;
}

}  // namespace
