// The daemon's command line, start-up guards, pid file, registration, log
// and signals.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "harness/wire_client.h"

using kalvotest::PrivateDaemon;
using kalvotest::ProgramRun;
using kalvotest::readFile;
using kalvotest::runProgram;

namespace {

// One QUERY_VERSION call on version 2; true when it was answered.
bool queryVersion(uint32_t prog) {
    return kalvotest::RegistryRpc(prog, 2, kalvotest::localCaller("cli")).queryVersion() == "0 2.3.0";
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
    return n;
}

TEST(DaemonCommandLine, UsageTextShowsTheOptionsGivenBeforeIt) {
    // (arguments, a line the text holds): options given before -h show as
    // the values in force; -help is a whole word.
    for (const auto& [args, lines] : std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>>{
             {{"-i", "7", "-m", "511", "-n", "12", "-s", "3", "-h"}, {"\t      7 seconds.\n"}},
             {{"-help"},
              {"\t      50 seconds.\n", "semaphore set. Default is 438\n", "semaphore set. Default is 1024\n",
               "semaphore set. Default is 8.\n"}}}) {
        std::vector<std::string> argv{KALVO_DAEMON_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        kalvotest::StartLock lock;
        ProgramRun r = runProgram(argv);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out.rfind(std::string(78, '-') + "\nKalvo Registry Daemon\n", 0), 0u) << r.out;
        for (const std::string& line : lines) EXPECT_NE(r.out.find(line), std::string::npos) << line;
    }
}

// "-l" as the last argument is no length at all: the log does not wrap.
TEST(DaemonStartUp, TrailingSlashPidFileLockRegistrationAndADanglingOption) {
    std::string base = kalvotest::makeTempDir();
    PrivateDaemon d({"-v", "-l"});
    d.useBaseDir(base + "//");
    ASSERT_TRUE(started(d));
    std::string reg = base + "/" + kalvotest::privateSubDir();
    EXPECT_EQ(readFile(reg + "/kalvo_reg.pid"), std::to_string(d.pid()));
    std::string log = readFile(reg + "/kalvo_reg.log");
    EXPECT_NE(log.find("] Created kalvo directory: " + base + " "), std::string::npos) << log;
    // The line is cut at 80 characters, so only its start is certain.
    EXPECT_NE(log.find("The registry file is: " + base + "/.kalvo"), std::string::npos) << log;

    // A second daemon for the same directory says who serves it and leaves.
    ProgramRun r;
    {
        kalvotest::StartLock lock;
        r = runProgram({KALVO_DAEMON_PATH, "-prog", std::to_string(kalvotest::uniqueProg()), "-d", base, "-p", "-1"});
        // Checked while no other test may start a daemon.
        EXPECT_FALSE(std::filesystem::exists(kalvotest::startupLockPath()));
    }
    std::string out = r.out + r.err;
    EXPECT_EQ(r.status, 1);  // the launching parent
    EXPECT_NE(out.find(reg), std::string::npos) << out;
    EXPECT_NE(out.find(std::to_string(d.pid())), std::string::npos) << out;
    EXPECT_EQ(countOf(out, "\n"), 1u) << out;
    EXPECT_EQ(readFile(reg + "/kalvo_reg.pid"), std::to_string(d.pid()));
    for (int i = 0; i < 3; i++) ASSERT_TRUE(queryVersion(d.prog()));
    EXPECT_GT(readFile(reg + "/kalvo_reg.log").size(), 30u * 81u);
    // Registered under versions 2 and 1, over TCP only.
    ProgramRun info = runProgram({"rpcinfo", "-p", "localhost"});
    ASSERT_EQ(info.status, 0) << info.err;
    std::istringstream in(info.out);
    std::string registered;
    for (std::string line, p, v, proto; std::getline(in, line);)
        if (std::istringstream(line) >> p >> v >> proto && p == std::to_string(d.prog())) registered += v + "/" + proto + " ";
    EXPECT_TRUE(registered == "1/tcp 2/tcp " || registered == "2/tcp 1/tcp ") << info.out;
    d.stop();
    std::filesystem::remove_all(base);
}

// Three calls trace about thirty lines of 81 bytes.
TEST(DaemonStartUp, LogWrapsAtItsLineCount) {
    PrivateDaemon d({"-v", "-l", "3"});
    ASSERT_TRUE(started(d));
    for (int i = 0; i < 3; i++) ASSERT_TRUE(queryVersion(d.prog()));
    EXPECT_EQ(readFile(d.regDir() + "/kalvo_reg.log").size(), 243u);
}

TEST(DaemonSignals, UsrSignalsSwitchTracing) {
    PrivateDaemon d({"-l", "-1"});  // a log that wraps could hide new lines
    ASSERT_TRUE(started(d));
    auto traced = [&] { return countOf(readFile(d.regDir() + "/kalvo_reg.log"), "--> Entering reg_query_version()"); };
    // Calls until one is traced (or, with traced false, one is not): the count then, 0 if never.
    auto callUntil = [&](bool traceGrows) {
        for (int i = 0; i < 250; i++, std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            size_t n = traced();
            EXPECT_TRUE(queryVersion(d.prog()));
            if ((traced() > n) == traceGrows) return traced();
        }
        return size_t{0};
    };
    ASSERT_TRUE(queryVersion(d.prog()));
    EXPECT_EQ(traced(), 0u);
    d.signal(SIGUSR1);
    EXPECT_GT(callUntil(true), 0u);
    d.signal(SIGUSR2);
    // Once a call is no longer traced, later calls stay untraced.
    size_t before = callUntil(false);
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 5; i++) ASSERT_TRUE(queryVersion(d.prog()));
    EXPECT_EQ(traced(), before);
    EXPECT_TRUE(d.running());
}

}  // namespace
