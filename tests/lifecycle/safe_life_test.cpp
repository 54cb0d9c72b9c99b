// A start-up nothing can break: the per-user start-up lock in /tmp, the
// modes of the daemon's files, and terminating signals during the load.
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness/daemon_harness.h"
#include "harness/wire_client.h"

using kalvotest::PrivateDaemon;
using kalvotest::readFile;
using kalvotest::writeFile;

namespace {

bool exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

// Permission bits, or -1 for a missing file.
int modeOf(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

pid_t deadPid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

// Each lock file found in /tmp and what a start makes of it: the daemon's
// "-h" takes (or refuses) the lock before anything else, so its exit status
// says whether the start went on (1, usage printed) or was refused (0).
TEST(StartupLock, OnlyALiveStartOfTheSameUserStopsAnother) {
    const std::string lock = kalvotest::startupLockPath();
    const std::string dir = kalvotest::makeTempDir();
    const std::string target = dir + "/target";
    writeFile(target, "not a lock");
    struct passwd* nobody = getpwnam("nobody");
    const bool root = geteuid() == 0 && nobody != nullptr;
    const std::string live = std::to_string(getpid()), gone = std::to_string(deadPid());
    enum Kind { FILE_OF_OURS, FOREIGN_FILE, LINK_OF_OURS, NONE };
    struct Case {
        const char* what;
        Kind kind;
        std::string content;
        int ageSeconds;
        int status;  // 0 refused, 1 went on
        bool kept;   // the file is still there afterwards
    } cases[] = {
        {"no lock", NONE, "", 0, 1, false},
        {"creator alive", FILE_OF_OURS, live, 0, 0, true},
        {"creator gone", FILE_OF_OURS, gone, 0, 1, false},
        {"no creator named, young", FILE_OF_OURS, "", 0, 0, true},
        {"no creator named, a minute old", FILE_OF_OURS, "", 60, 1, false},
        {"another user's, creator alive", FOREIGN_FILE, live, 0, 1, true},
        {"a link of ours", LINK_OF_OURS, "", 0, 1, false},
    };
    // No harness start may meet the planted files (nor plant its own).
    kalvotest::StartLock serialised;
    for (const Case& c : cases) {
        if (c.kind == FOREIGN_FILE && !root) continue;
        unlink(lock.c_str());
        if (c.kind == LINK_OF_OURS) {
            ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0);
        } else if (c.kind != NONE) {
            writeFile(lock, c.content);
            struct timeval times[2];
            gettimeofday(&times[0], nullptr);
            times[0].tv_sec -= c.ageSeconds;
            times[1] = times[0];
            ASSERT_EQ(utimes(lock.c_str(), times), 0);
            if (c.kind == FOREIGN_FILE) {
                ASSERT_EQ(chown(lock.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
            }
        }
        kalvotest::ProgramRun run = kalvotest::runProgram({KALVO_DAEMON_PATH, "-h"});
        EXPECT_EQ(run.status, c.status) << c.what;
        EXPECT_EQ(run.out.find("SYNTAX:") != std::string::npos, c.status == 1) << c.what;
        EXPECT_EQ(exists(lock), c.kept) << c.what;
        if (c.kept) {
            EXPECT_EQ(readFile(lock), c.content) << c.what;
        }
        unlink(lock.c_str());
    }
    EXPECT_EQ(readFile(target), "not a lock");
    std::filesystem::remove_all(dir);
}

// Every file the daemon writes is 0600 and its registry directory 0700,
// whatever the umask; after an earlier version left them wider, the next
// start tightens them (and leaves files that are not its own alone).
TEST(Modes, DaemonFilesArePrivateAndWiderOnesAreTightened) {
    const mode_t oldMask = umask(0);
    std::string base;
    for (int round = 0; round < 2; round++) {
        PrivateDaemon d({"-i", "1"});
        if (!base.empty()) d.useBaseDir(base);
        std::string err;
        ASSERT_TRUE(d.start(&err)) << err;
        base = d.baseDir();
        const std::string dir = d.regDir();
        // The user's own file comes with its last process's end, the System V
        // ids file with the segment, the database with the first flush.
        const kalvotest::Caller user = kalvotest::localCaller("modeuser");
        kalvotest::RegistryRpc rpc(d, 2, user);
        EXPECT_EQ(rpc.ping(4242, 0), 0u);
        EXPECT_EQ(rpc.ping(4242, 1), 0u);
        EXPECT_NE(rpc.ping(4242, 2), kalvotest::CALL_FAILED);
        for (int i = 0; i < 500 && !exists(dir + "/kalvo_reg.dat"); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));

        std::vector<std::string> files = {"kalvo_reg.dat", "kalvo_reg.log", "kalvo_reg.pid", "kalvo_reg.lock",
                                          "kalvo_ipcs.log", "kalvo_modeuser.dat"};
        if (round == 1) files.push_back("kalvo_reg.dat.bak");  // copied from the file found at start
        EXPECT_EQ(modeOf(dir), 0700) << "round " << round;
        for (const std::string& f : files) EXPECT_EQ(modeOf(dir + "/" + f), 0600) << f << ", round " << round;
        if (round == 1) {
            EXPECT_EQ(modeOf(dir + "/notes.txt"), 0644);
        }

        // What an earlier version left: everything readable by all.
        d.keepDirectory(true);
        d.stop();
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        for (const auto& e : std::filesystem::directory_iterator(dir)) ASSERT_EQ(chmod(e.path().c_str(), 0644), 0);
        writeFile(dir + "/notes.txt", "not the daemon's");
        ASSERT_EQ(chmod((dir + "/notes.txt").c_str(), 0644), 0);
    }
    umask(oldMask);
    std::filesystem::remove_all(base);
}

}  // namespace
