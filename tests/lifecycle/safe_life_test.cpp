// A start-up nothing can break: the per-user start-up lock in /tmp, the
// modes of the daemon's files, terminating signals during the load, and a
// start that cannot register its RPC program, which must leave nothing
// behind (no registration a client would follow to a dead port, no pid
// file, no socket).
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "harness/big_registry.h"
#include "harness/daemon_harness.h"
#include "harness/wire_client.h"
#include "rpc/regd_clients.h"

using kalvotest::modeOf;
using kalvotest::PrivateDaemon;
using kalvotest::readFile;
using kalvotest::writeFile;

namespace {

bool exists(const std::string& p) { return std::filesystem::exists(std::filesystem::symlink_status(p)); }

// Each lock file found in /tmp and what a start makes of it: the daemon's
// "-h" takes (or refuses) the lock before anything else, so its exit status
// says whether the start went on (1, usage printed) or was refused (0).
TEST(StartupLock, OnlyALiveStartOfTheSameUserStopsAnother) {
    const std::string lock = kalvotest::startupLockPath(), dir = kalvotest::makeTempDir();
    writeFile(dir + "/target", "not a lock");
    const struct passwd* nobody = getpwnam("nobody");
    pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const std::string live = std::to_string(getpid());
    enum Kind { NONE, OURS, FOREIGN, LINK };
    const struct {
        Kind kind;
        std::string content;
        int age, status;  // status 0: refused, 1: went on
        bool kept;
    } cases[] = {{NONE, "", 0, 1, false},     {OURS, live, 0, 0, true},   {OURS, std::to_string(gone), 0, 1, false},
                 {OURS, "", 0, 0, true},      {OURS, "", 60, 1, false},   {FOREIGN, live, 0, 1, true},
                 {LINK, "", 0, 1, false}};
    // No harness start may meet the planted files (nor plant its own).
    kalvotest::StartLock serialised;
    for (const auto& c : cases) {
        const std::string what = std::to_string(c.kind) + " '" + c.content + "' " + std::to_string(c.age);
        if (c.kind == FOREIGN && (geteuid() != 0 || nobody == nullptr)) continue;
        if (c.kind == LINK && symlink((dir + "/target").c_str(), lock.c_str()) != 0) FAIL() << what;
        if (c.kind == OURS || c.kind == FOREIGN) {
            writeFile(lock, c.content);
            std::filesystem::last_write_time(lock, std::filesystem::file_time_type::clock::now() -
                                                       std::chrono::seconds(c.age));
        }
        if (c.kind == FOREIGN && chown(lock.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) FAIL() << what;
        kalvotest::ProgramRun run = kalvotest::runProgram({KALVO_DAEMON_PATH, "-h"});
        EXPECT_EQ(run.status, c.status) << what;
        EXPECT_EQ(run.out.find("SYNTAX:") != std::string::npos, c.status == 1) << what;
        EXPECT_EQ(exists(lock), c.kept) << what;
        EXPECT_EQ(readFile(lock), c.kept ? c.content : "") << what;
        unlink(lock.c_str());
    }
    EXPECT_EQ(readFile(dir + "/target"), "not a lock");
    std::filesystem::remove_all(dir);
}

// Every file the daemon writes is 0600 and its registry directory 0700,
// whatever the umask; after an earlier version left them wider, the next
// start tightens them (and leaves files that are not its own alone).
TEST(Modes, DaemonFilesArePrivateAndWiderOnesAreTightened) {
    const mode_t oldMask = umask(0);
    std::string base, saved;
    for (int round = 0; round < 2; round++) {
        PrivateDaemon d({"-i", "1"});
        if (!base.empty()) d.useBaseDir(base);
        std::string err;
        ASSERT_TRUE(d.start(&err)) << err;
        base = d.baseDir();
        const std::string dir = d.regDir();
        // The user's own file comes with its last process's end, the System V
        // ids file with the segment, the database with the first flush.
        kalvotest::RegistryRpc rpc(d, 2, kalvotest::localCaller("modeuser"));
        EXPECT_EQ(rpc.ping(4242, 0), 0u);
        EXPECT_EQ(rpc.ping(4242, 1), 0u);
        EXPECT_NE(rpc.ping(4242, 2), kalvotest::CALL_FAILED);
        for (int i = 0; i < 500 && !exists(dir + "/kalvo_reg.dat"); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));

        // The backup is copied from the database found at start; notes.txt
        // is not the daemon's.
        const std::pair<const char*, int> expected[] = {
            {".", 0700},           {"kalvo_reg.dat", 0600},  {"kalvo_reg.log", 0600},       {"kalvo_reg.pid", 0600},
            {"kalvo_reg.lock", 0600}, {"kalvo_ipcs.log", 0600}, {"kalvo_modeuser.dat", 0600},
            {"kalvo_reg.dat.bak", round == 0 ? -1 : 0600}, {"notes.txt", round == 0 ? -1 : 0644}};
        for (const auto& [f, mode] : expected) EXPECT_EQ(modeOf(dir + "/" + f), mode) << f << ", round " << round;
        EXPECT_TRUE(round == 0 || readFile(dir + "/kalvo_reg.dat.bak") == saved) << "the backup is no copy";

        // What an earlier version left: everything readable by all.
        d.keepDirectory(true);
        d.stop();
        saved = readFile(dir + "/kalvo_reg.dat");
        writeFile(dir + "/notes.txt", "not the daemon's");
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        for (const auto& e : std::filesystem::directory_iterator(dir)) ASSERT_EQ(chmod(e.path().c_str(), 0644), 0);
    }
    umask(oldMask);
    std::filesystem::remove_all(base);
}

// SIGTERM or SIGINT at points of the load of a million records (the test
// pause holds the load at record N): no crash, status 2, the database and
// its backup byte for byte as they were, and nothing left behind.
TEST(Signals, DuringTheLoadNothingIsWrittenAndNothingIsLeft) {
    const std::string base = kalvotest::makeTempDir();
    const std::string dir = base + "/" + kalvotest::privateSubDir();
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_TRUE(kalvotest::writeBigRegistry(dir + "/kalvo_reg.dat", false));
    std::filesystem::copy_file(dir + "/kalvo_reg.dat", dir + "/kalvo_reg.dat.bak");
    const std::string before = readFile(dir + "/kalvo_reg.dat");
    ASSERT_GT(before.size(), 50000000u);

    const std::pair<int, int> points[] = {{1, SIGTERM}, {400000, SIGINT}, {999000, SIGTERM}};
    for (const auto& [pauseAt, sig] : points) {
        const std::string at = "record " + std::to_string(pauseAt);
        setenv("KALVO_TEST_LOAD_PAUSE_AT", std::to_string(pauseAt).c_str(), 1);
        PrivateDaemon d;
        d.useBaseDir(base);
        std::string err;
        ASSERT_TRUE(d.start(&err, false)) << err;
        unsetenv("KALVO_TEST_LOAD_PAUSE_AT");
        const std::string log = dir + "/kalvo_reg.log";
        for (int i = 0; i < 3000 && readFile(log).find("Load paused at " + at) == std::string::npos; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_NE(readFile(log).find("Load paused at " + at), std::string::npos) << readFile(log);
        d.signal(sig);
        ASSERT_TRUE(d.waitExit(20)) << at;
        EXPECT_EQ(d.exitStatus(), 2) << at;
        EXPECT_NE(readFile(log).find("The registry was not fully loaded: nothing written."), std::string::npos);
        EXPECT_TRUE(readFile(dir + "/kalvo_reg.dat") == before) << "database changed, " << at;
        EXPECT_TRUE(readFile(dir + "/kalvo_reg.dat.bak") == before) << "backup changed, " << at;
        for (const std::string& f : {dir + "/kalvo_reg.pid", dir + "/kalvo_ipcs.log", dir + "/.kalvo_reg.dat.tmp",
                                     dir + "/.kalvo_reg.dat.bak.tmp", "/tmp/kalvo_sock_" + std::to_string(d.pid())})
            EXPECT_FALSE(exists(f)) << f << ", " << at;
        // Another start's lock may be there, but not this daemon's.
        EXPECT_NE(atoi(readFile(kalvotest::startupLockPath()).c_str()), d.pid()) << at;
        std::string ports = kalvotest::runProgram({"rpcinfo", "-p", "localhost"}).out;
        EXPECT_EQ(ports.find(" " + std::to_string(d.prog()) + " "), std::string::npos) << at;
        d.stop();
    }
    std::filesystem::remove_all(base);
}

// However many process ids pings name, the client list stays bounded by
// the processes that exist.
TEST(ClientList, ProcessesThatAreGoneAreDropped) {
    constexpr int32_t kNoProcess = 1 << 30;  // above any pid_max
    const auto self = static_cast<int32_t>(getpid());
    regdAddToClientList(self, 1);
    for (int32_t i = 0; i < 100000; i++) regdAddToClientList(kNoProcess + i, 7);
    EXPECT_LE(regdClientListSize(), 200u);
    EXPECT_EQ(regdProcessesStillExist(), 1);
    EXPECT_EQ(regdClientListSize(), 1u);
    EXPECT_EQ(regdFindUid(7), 0);
    EXPECT_EQ(regdFindUid(1), 1);
}

// The sync sockets in /tmp owned by uid.
std::set<std::string> socketsOf(uid_t uid) {
    std::set<std::string> found;
    struct stat st;
    for (const auto& e : std::filesystem::directory_iterator("/tmp"))
        if (e.path().string().rfind("/tmp/kalvo_sock_", 0) == 0 && lstat(e.path().c_str(), &st) == 0 && st.st_uid == uid)
            found.insert(e.path().string());
    return found;
}

// The versions of prog that rpcbind lists (getport would fall back to any).
std::set<uint32_t> registered(uint32_t prog) {
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::set<uint32_t> versions;
    for (pmaplist* m = pmap_getmaps(&loopback); m != nullptr; m = m->pml_next)
        if (m->pml_map.pm_prog == prog) versions.insert(static_cast<uint32_t>(m->pml_map.pm_vers));
    return versions;
}

// Runs as nobody: rpcbind refuses version 1 because root holds it, after
// version 2 was registered, which must then be withdrawn; or the listening
// address is no address at all.
TEST(RegistrationFailure, WithdrawsWhatTheStartPutInPlace) {
    const struct passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and the user nobody";
    const struct {
        const char* listen;
        std::string message;
    } cases[] = {{"", "unable to register (registryProg, 1, tcp)"},
                 {"127.0.0.1,bogus", "not an address: bogus\ncannot create tcp service."}};
    for (const auto& c : cases) {
        const uint32_t prog = kalvotest::uniqueProg();
        const std::string dir = kalvotest::makeTempDir();
        ASSERT_EQ(chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        ASSERT_TRUE(pmap_set(prog, 1, IPPROTO_TCP, 1));
        const std::set<std::string> before = socketsOf(nobody->pw_uid);
        setenv("KALVO_REGISTRYD_LISTEN", c.listen, 1);

        // Its output is read to the end: the daemon itself has ended then.
        const kalvotest::ProgramRun run = kalvotest::runProgram(
            {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid), "--regid=" + std::to_string(nobody->pw_gid),
             "--clear-groups", KALVO_DAEMON_PATH, "-prog", std::to_string(prog), "-d", dir});
        unsetenv("KALVO_REGISTRYD_LISTEN");
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(registered(prog), (std::set<uint32_t>{1})) << c.listen << ": only root's version 1 may stay";
        EXPECT_FALSE(exists(dir + "/" + kalvotest::privateSubDir() + "/kalvo_reg.pid")) << c.listen;
        EXPECT_EQ(socketsOf(nobody->pw_uid), before) << c.listen;

        pmap_unset(prog, 1);
        pmap_unset(prog, 2);
        std::filesystem::remove_all(dir);
    }
}

}  // namespace
