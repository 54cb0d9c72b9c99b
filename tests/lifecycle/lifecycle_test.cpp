// The daemon's life: pings and users, the System V set on request, the
// inactivity time-out, and the orderly ends by signal.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <thread>
#include <unistd.h>

#include "harness/wire_client.h"
#include "kalvo/kalvoping.h"
#include "kalvo/winreg.h"

using kalvotest::PrivateDaemon;
using kalvotest::readFile;
using namespace std::string_literals;

namespace {

constexpr uint32_t DEFAULT_PROG = 0x3003003C;

// A ping with a header of our choosing; the reply's retval, or ~0 when the
// call itself failed.
uint32_t ping(uint32_t prog, uint32_t pid, uint32_t mode, const char* user, uint32_t uid, uint32_t hostId) {
    return kalvotest::RegistryRpc(prog, 2, {user, uid, hostId}).ping(pid, mode);
}

uint32_t localHost() { return static_cast<uint32_t>(gethostid()); }

bool userKeyLoaded(const char* user) { HKEY h; return RegOpenKeyExA(HKEY_USERS, user, 0, 0, &h) == ERROR_SUCCESS; }

// A string value written through the registry program; its result.
uint32_t setString(const PrivateDaemon& d, uint32_t root, const std::string& sub, const std::string& value) {
    kalvotest::RegistryRpc rpc(d, 2, kalvotest::localCaller("root"));
    return rpc.setValueEx(rpc.mustCreate(root, sub), "v", REG_SZ, value + '\0',
                          static_cast<uint32_t>(value.size() + 1));
}

// One daemon for the ping tests, with a small System V set.
class Ping : public kalvotest::SharedDaemonTest {
  protected:
    static void SetUpTestSuite() { startShared({"-s", "1", "-n", "1001"}); }
};

// Each ping (pid, mode 0 alive or 1 ended, user, from another host) and
// whether the user's key is loaded after it. A user's key comes with its
// first process, goes (written to its own file) with its last, and comes
// back from that file; a process is listed once however often it pings;
// another host's processes are never listed, and loading happens when the
// user changes from one ping to the next (a process-end ping of a user not
// loaded included).
TEST_F(Ping, UsersComeWithTheirFirstProcessAndGoWithTheirLast) {
    const PrivateDaemon& d = *shared_;
    struct Step {
        uint32_t pid, mode;
        const char* user;
        uint32_t uid;
        bool remote, loaded;
    };
    const Step steps[] = {
        {100, 0, "ltuser", 5000, false, true},  {101, 0, "ltuser", 5000, false, true},
        {100, 1, "ltuser", 5000, false, true},  {101, 1, "ltuser", 5000, false, false},
        {102, 0, "ltuser", 5000, false, true},  {200, 0, "twice", 6000, false, true},
        {999, 0, "other", 6001, false, true},   {200, 0, "twice", 6000, false, true},
        {200, 1, "twice", 6000, false, false},  {300, 0, "remote", 7000, true, false},
        {999, 0, "other", 6001, false, true},   {301, 0, "remote", 7000, false, true},
        {301, 1, "remote", 7000, false, false}, {302, 1, "nobody", 7001, false, true},
    };
    for (const Step& s : steps) {
        uint32_t host = localHost() ^ (s.remote ? 1u : 0u);
        EXPECT_EQ(ping(d.prog(), s.pid, s.mode, s.user, s.uid, host), 0u);
        EXPECT_EQ(userKeyLoaded(s.user), s.loaded) << s.pid << " " << s.mode << " " << s.user;
        if (s.pid == 100 && s.mode == 0) {
            ASSERT_EQ(setString(d, kalvotest::HKU, "ltuser\\Software\\Test", "kept"), 0u);
        } else if (s.pid <= 101 && s.mode == 1) {  // written to the user's file by the last one only
            EXPECT_EQ(std::filesystem::exists(d.regDir() + "/kalvo_ltuser.dat"), s.pid == 101);
        }
    }
    kalvotest::RegistryRpc rpc(d, 2, kalvotest::localCaller("root"));
    EXPECT_EQ(rpc.queryValueEx(rpc.mustCreate(kalvotest::HKU, "ltuser\\Software\\Test"), "v", 64).data, "kept"s + '\0');
}

// The set and segment of a killed daemon are removed by the next daemon
// on its directory (before the harness's clean-up of the dead one could).
TEST(Restart, StructuresOfAKilledDaemonAreRemovedByTheNextOne) {
    PrivateDaemon first;
    std::string err;
    ASSERT_TRUE(first.start(&err)) << err;
    uint32_t id = ping(first.prog(), 1, 2, "u", 1, localHost());
    ASSERT_NE(id, ~0u);
    first.signal(SIGKILL);
    ASSERT_TRUE(first.waitExit(10));
    struct shmid_ds st;
    ASSERT_EQ(shmctl(static_cast<int>(id), IPC_STAT, &st), 0) << "killed daemon left nothing";

    PrivateDaemon second;
    second.useBaseDir(first.baseDir());
    ASSERT_TRUE(second.start(&err)) << err;
    EXPECT_NE(shmctl(static_cast<int>(id), IPC_STAT, &st), 0) << "old segment still there";
    EXPECT_FALSE(std::filesystem::exists(second.regDir() + "/kalvo_ipcs.log"));
}

TEST(Signals, TermAndIntEndWithAFinalWriteAndNothingLeft) {
    for (int sig : {SIGTERM, SIGINT}) {
        PrivateDaemon d({"-i", "3600"});
        std::string err;
        ASSERT_TRUE(d.start(&err)) << err;
        d.exportEnv();
        ASSERT_EQ(setString(d, kalvotest::HKLM, "Software\\Final", "written at exit"), 0u);
        uint32_t id = ping(d.prog(), 1, 2, "u", 1, localHost());
        ASSERT_NE(id, ~0u);
        std::string dir = d.regDir();
        std::string sock = "/tmp/kalvo_sock_" + std::to_string(d.pid());
        EXPECT_TRUE(std::filesystem::exists(sock));

        d.signal(sig);
        ASSERT_TRUE(d.waitExit(20));
        EXPECT_EQ(d.exitStatus(), 2);
        EXPECT_FALSE(std::filesystem::exists(dir + "/kalvo_reg.pid"));
        EXPECT_FALSE(std::filesystem::exists(sock));
        struct shmid_ds st;
        EXPECT_NE(shmctl(static_cast<int>(id), IPC_STAT, &st), 0);
        std::string out = kalvotest::runProgram({"rpcinfo", "-p", "localhost"}).out;
        EXPECT_EQ(out.find(" " + std::to_string(d.prog()) + " "), std::string::npos);
        EXPECT_NE(readFile(dir + "/kalvo_reg.dat").find("written at exit"), std::string::npos)
            << "the final write is missing";
    }
}

TEST(Inactivity, PrivateDaemonsEndUnlessAVersionOneClientWasSeen) {
    // Three daemons checking every minute: one nobody calls, one that served
    // a version-1 call, and one under the default program number.
    PrivateDaemon idle({"-p", "1"});
    PrivateDaemon oldClient({"-p", "1"});
    PrivateDaemon defaultProg({"-p", "1"});
    defaultProg.useProg(DEFAULT_PROG);
    std::string err;
    for (PrivateDaemon* d : {&idle, &oldClient, &defaultProg}) ASSERT_TRUE(d->start(&err)) << err;
    ASSERT_EQ(kalvotest::RegistryRpc(oldClient, 1, kalvotest::localCaller("old")).queryVersion(), "0 2.3.0");

    std::string idleDir = idle.regDir();
    idle.keepDirectory(true);
    EXPECT_TRUE(idle.waitExit(150)) << "the idle daemon did not time out";
    EXPECT_EQ(idle.exitStatus(), 0);
    std::string log = readFile(idleDir + "/kalvo_reg.log");
    EXPECT_NE(log.find("Registry Daemon inactivity time out"), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(idleDir + "/kalvo_reg.pid"));
    EXPECT_TRUE(std::filesystem::exists(idleDir + "/kalvo_reg.dat"));
    idle.keepDirectory(false);
    idle.stop();

    // Well past two intervals: the other two are still serving.
    std::this_thread::sleep_for(std::chrono::seconds(10));
    EXPECT_TRUE(oldClient.running());
    EXPECT_TRUE(defaultProg.running());
}

TEST_F(Ping, LibraryFunctionsAgainstARealDaemon) {
    EXPECT_EQ(KalvoGetDaemonPid(nullptr), ERROR_INVALID_PARAMETER);
    DWORD a = 0, b = 0;
    ASSERT_EQ(KalvoGetSyncSegment(&a), ERROR_SUCCESS);
    ASSERT_EQ(KalvoGetSyncSegment(&b), ERROR_SUCCESS);
    EXPECT_EQ(a, b);
    // The set is made as the options say (the layout is the unit test's).
    void* addr = shmat(static_cast<int>(a), nullptr, SHM_RDONLY);
    ASSERT_NE(addr, reinterpret_cast<void*>(-1));
    EXPECT_EQ(static_cast<const int32_t*>(addr)[1], 1008);
    EXPECT_EQ(static_cast<const int32_t*>(addr)[2], 1);
    shmdt(addr);

    // This process's own user key came with its first ping (of any kind)
    // and goes with its process-end ping.
    HKEY cu;
    EXPECT_EQ(KalvoProcessStart(), ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software", &cu), ERROR_SUCCESS);
    EXPECT_EQ(KalvoProcessEnd(), ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software", &cu), ERROR_FILE_NOT_FOUND)
        << "the user's key is still loaded after the process-end ping";

    // No daemon: a clear transport error, not a hang or crash.
    setenv("KALVO_REGISTRY_PROG", std::to_string(kalvotest::uniqueProg()).c_str(), 1);
    EXPECT_EQ(KalvoProcessStart(), 1722);
}

}  // namespace
