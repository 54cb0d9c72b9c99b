// The daemon's command line, start-up guards, pid file, log and signals.
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "client/kalvo_rpc_client.h"
#include "harness/daemon_harness.h"

using kalvotest::PrivateDaemon;
using kalvotest::readFile;
using kalvotest::runCommand;

namespace {

bool fileExists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

// One QUERY_VERSION call on version 2; true when it was answered.
bool queryVersion(uint32_t prog) {
    KalvoTarget t{"localhost", prog};
    CLIENT* c = kalvoClientCreate(t, 2, nullptr);
    if (c == nullptr) return false;
    regd_REG_QUERY_VERSION req{};
    kalvoFillHeader(&req.userData);
    regd_REG_QUERY_VERSION_RES res{};
    clnt_stat st = kalvoCall(c, 2, REG_QUERY_VERSION, kalvoXdr(xdr_regd_REG_QUERY_VERSION), &req,
                             kalvoXdr(xdr_regd_REG_QUERY_VERSION_RES), &res, 5);
    kalvoFreeHeader(&req.userData);
    clnt_destroy(c);
    return st == RPC_SUCCESS && res.ret.major == 2;
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
}

TEST(DaemonCommandLine, UsageTextWithOptionsGivenBeforeIt) {
    std::string out;
    int status;
    {
        kalvotest::StartLock lock;
        status = runCommand({KALVO_DAEMON_PATH, "-i", "7", "-m", "511", "-n", "12", "-s", "3", "-h"},
                            &out, false);
        EXPECT_FALSE(fileExists(kalvotest::startupLockPath())) << "start-up lock left behind";
    }
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out.rfind(std::string(78, '-') + "\nKalvo Registry Daemon\n", 0), 0u) << out;
    // The options given before -h show in the text as the values in force.
    EXPECT_NE(out.find("\t      7 seconds.\n"), std::string::npos);

    // Defaults, and -help as a whole word.
    {
        kalvotest::StartLock lock;
        status = runCommand({KALVO_DAEMON_PATH, "-help"}, &out, false);
    }
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("\t      50 seconds.\n"), std::string::npos);
    EXPECT_NE(out.find("semaphore set. Default is 438\n"), std::string::npos);
    EXPECT_NE(out.find("semaphore set. Default is 1024\n"), std::string::npos);
    EXPECT_NE(out.find("semaphore set. Default is 8.\n"), std::string::npos);
}

TEST(DaemonCommandLine, SecondStartDuringStartUpExitsQuietly) {
    kalvotest::StartLock lock;
    std::string path = kalvotest::startupLockPath();
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0) << "a start-up lock file already exists";
    std::string out;
    int status = runCommand({KALVO_DAEMON_PATH, "-prog", std::to_string(kalvotest::uniqueProg()),
                             "-d", "/tmp/kalvo_never_created"},
                            &out);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(fileExists(path)) << "the refused start removed another start's lock";
    EXPECT_FALSE(fileExists("/tmp/kalvo_never_created"));
    close(fd);
    unlink(path.c_str());
}

TEST(DaemonStartUp, TrailingSlashPidFileAndDirectoryLock) {
    char tmpl[] = "/tmp/kalvo_clitest_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string base = tmpl;
    PrivateDaemon d({"-v"});
    d.useBaseDir(base + "//");
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    std::string reg = base + "/" + kalvotest::privateSubDir();
    EXPECT_EQ(readFile(reg + "/kalvo_reg.pid"), std::to_string(d.pid()));
    std::string log = readFile(reg + "/kalvo_reg.log");
    EXPECT_NE(log.find("] Created kalvo directory: " + base + " "), std::string::npos) << log;
    // The line is cut at 80 characters, so only its start is certain.
    EXPECT_NE(log.find("The registry file is: " + base + "/.kalvo"), std::string::npos) << log;

    // A second daemon for the same directory says who serves it and leaves.
    std::string out;
    int status;
    {
        kalvotest::StartLock lock;
        status = runCommand({KALVO_DAEMON_PATH, "-prog", std::to_string(kalvotest::uniqueProg()), "-d",
                             base, "-p", "-1"},
                            &out);
        // Checked while no other test may start a daemon.
        EXPECT_FALSE(fileExists(kalvotest::startupLockPath()));
    }
    EXPECT_EQ(status, 1);  // the launching parent
    EXPECT_NE(out.find(reg), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(d.pid())), std::string::npos) << out;
    EXPECT_EQ(countOf(out, "\n"), 1u) << out;
    EXPECT_EQ(readFile(reg + "/kalvo_reg.pid"), std::to_string(d.pid()));
    EXPECT_TRUE(queryVersion(d.prog()));

    d.stop();
    std::filesystem::remove_all(base);
}

TEST(DaemonStartUp, LogWrapsAtThreeLines) {
    PrivateDaemon d({"-v", "-l", "3"});
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    for (int i = 0; i < 3; i++) ASSERT_TRUE(queryVersion(d.prog()));
    EXPECT_EQ(readFile(d.regDir() + "/kalvo_reg.log").size(), 243u);
}

TEST(DaemonStartUp, LogOptionAsLastArgumentIsIgnored) {
    PrivateDaemon d({"-v", "-l"});
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    for (int i = 0; i < 3; i++) ASSERT_TRUE(queryVersion(d.prog()));
    // Thirty-odd lines of trace: nothing wrapped at a bogus length.
    std::string log = readFile(d.regDir() + "/kalvo_reg.log");
    EXPECT_GT(log.size(), 30u * 81u);
    EXPECT_EQ(log.size() % 81u, 0u);
}

TEST(DaemonSignals, UsrSignalsSwitchTracing) {
    PrivateDaemon d;
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    std::string logPath = d.regDir() + "/kalvo_reg.log";
    ASSERT_TRUE(queryVersion(d.prog()));
    EXPECT_EQ(countOf(readFile(logPath), "--> Entering"), 0u);

    d.signal(SIGUSR1);
    bool traced = false;
    for (int i = 0; i < 250 && !traced; i++) {
        ASSERT_TRUE(queryVersion(d.prog()));
        traced = countOf(readFile(logPath), "--> Entering reg_query_version()") > 0;
        if (!traced) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(traced);

    d.signal(SIGUSR2);
    // Once a call is no longer traced, later calls stay untraced.
    size_t before = 0;
    for (int i = 0; i < 250; i++) {
        size_t n = countOf(readFile(logPath), "--> Entering");
        ASSERT_TRUE(queryVersion(d.prog()));
        if (countOf(readFile(logPath), "--> Entering") == n) {
            before = n;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 5; i++) ASSERT_TRUE(queryVersion(d.prog()));
    EXPECT_EQ(countOf(readFile(logPath), "--> Entering"), before);
    EXPECT_TRUE(d.running());

}

}  // namespace
