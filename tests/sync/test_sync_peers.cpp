// Who may speak for a process and who may hear its wake-ups, as the kernel
// says who is at the other end of each connection; and a process whose
// wake-up connection the daemon drops, seen through the client library.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "harness/sync_client.h"
#include "kalvo/synchapi.h"

using namespace kalvotest;

namespace {

using SyncApi = SyncDaemonTest;

// A private daemon that serves other users too, as a policy makes it.
class SyncPeers : public SyncDaemonTest {
  protected:
    void SetUp() override {
        setenv("KALVO_REGISTRYD_POLICY", "default", 1);
        SyncDaemonTest::SetUp();
        unsetenv("KALVO_REGISTRYD_POLICY");
    }
};

// In a forked child: from now on an unprivileged user.
bool becomeNobody() {
    constexpr uid_t kNobody = 65534;
    return setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
           setresuid(kNobody, kNobody, kNobody) == 0;
}

// Each claim of the owner's pid ends the claiming connection unanswered,
// and the owner keeps its registration, its handle and its mutex.
TEST_F(SyncPeers, AClaimOfAnotherProcesssPidEndsTheConnectionAndChangesNothing) {
    EXPECT_EQ(modeOf(socketPath(daemonPid())), 0666);  // open to every user only under a policy
    const int32_t owner = getpid();
    WireClient c(daemonPid());
    c.registerPid(owner);
    const uint32_t mutex = c.createMutex(owner, 7, true, "owned").handle;
    ASSERT_NE(mutex, 0u);
    const pid_t daemon = daemonPid();
    Child intruder([&](Child&) {
        if (!becomeNobody()) return 1;
        WireClient own(daemon);
        if (own.createEvent(getpid(), false, false).error != 0) return 2;  // its own pid is served
        const std::vector<std::string> claims = {
            header(KV_OP_REGISTER_PID, 4, 0) + words({owner}),
            header(KV_OP_RELEASE_MUTEX, 12, 24) + words({owner, 7, static_cast<int32_t>(mutex)}),
            header(KV_OP_CLOSE_HANDLE, 8, 12) + words({owner, static_cast<int32_t>(mutex)}),
            header(KV_OP_THREAD_EXITED, 8, 0) + words({owner, 7}),
        };
        for (const std::string& claim : claims) {
            WireClient claiming(daemon);
            std::string answered;
            if (!claiming.sendRaw(claim) || !claiming.closedByPeer(&answered) || !answered.empty()) return 3;
        }
        return 0;
    });
    EXPECT_EQ(intruder.wait(), 0);
    const std::string line = "name 'owned', mutex, owned by pid " + std::to_string(owner) +
                             ", tid 7, " + kDumpUsers + std::to_string(owner) + "-1-0\n";
    std::string text = dump();
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_NE(text.find("server ------------\n" + std::to_string(owner) + " \n"), std::string::npos) << text;
    EXPECT_EQ(c.releaseMutex(owner, 7, mutex), kSignalled);
}

// The socket a waiter's wake-ups go to is bound by another user: the
// daemon connects, finds the listener is neither the waiter nor of its
// user, and hangs up without a byte.
TEST_F(SyncPeers, WakeUpsGoOnlyToAListenerOfTheWaitersOwnUser) {
    const pid_t daemon = daemonPid();
    Child waiter([&](Child& me) {
        if (!becomeNobody()) return 1;
        const int32_t self = getpid();
        WireClient w(daemon);
        uint32_t event = w.createEvent(self, false, false, "heard").handle;
        char go;
        if (event == 0 || !me.say('c') || !me.hear(&go)) return 2;
        if (w.beginWait(self, 1, 1, 1, {event}) != kQueued) return 3;
        return me.say('w') && me.hear(&go) ? 0 : 4;
    });
    char said = 0;
    ASSERT_TRUE(waiter.hear(&said));
    ProcessSocket squatter(waiter.pid());
    ASSERT_TRUE(waiter.say('g'));
    ASSERT_TRUE(waiter.hear(&said));
    WireClient setter(daemonPid());
    uint32_t event = setter.open(KV_OP_OPEN_EVENT, getpid(), "heard").handle;
    EXPECT_EQ(setter.eventCall(KV_OP_SET_EVENT, getpid(), event), kSignalled);
    std::string received;
    EXPECT_TRUE(squatter.closedByDaemon(&received));
    EXPECT_EQ(received, "");
    EXPECT_EQ(dump().find("wait entry"), std::string::npos);  // satisfied all the same
    ASSERT_TRUE(waiter.say('x'));
    EXPECT_EQ(waiter.wait(), 0);
}

bool stopped(pid_t pid) {
    return readFile("/proc/" + std::to_string(pid) + "/status").find("State:\tT") != std::string::npos;
}

// A process stops reading (stopped by a signal here) while thousands of its
// waits are satisfied: the daemon closes its wake-up connection and
// withdraws its waits, and the library's pending wait fails once the
// process runs again, instead of waiting for ever.
TEST_F(SyncApi, AWaitWhoseWakeUpConnectionIsDroppedFails) {
    EXPECT_EQ(modeOf(socketPath(daemonPid())), 0600);
    constexpr int kFlood = 4000;
    const pid_t daemon = daemonPid();
    Child child([&](Child& me) {
        HANDLE never = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        std::atomic<char> result{0};
        std::thread waiter([&] {
            DWORD r = WaitForSingleObject(never, INFINITE);
            result = r == WAIT_FAILED && GetLastError() == ERROR_SERVICE_NOT_ACTIVE ? 'F' : 'x';
        });
        // Waits of its own on the wire, woken through the same connection.
        const int32_t self = getpid();
        WireClient raw(daemon);
        uint32_t flood = raw.createEvent(self, false, false, "flood").handle;
        std::vector<std::string> waits;
        for (int i = 0; i < kFlood; i++)
            waits.push_back(header(KV_OP_BEGIN_WAIT, 24, 16) +
                            words({self, 0x10000 + i, 1, 1, 1, static_cast<int32_t>(flood)}));
        if (flood == 0 || !raw.pipelined(waits, 16) || !me.say('q')) return 1;
        waiter.join();
        return me.say(result.load()) ? 0 : 2;
    });
    char said = 0;
    ASSERT_TRUE(child.hear(&said, 30000));
    ASSERT_EQ(said, 'q');
    ASSERT_EQ(queuedWaits(dumpWithWaits(kFlood + 1)), kFlood + 1u);
    child.kill(SIGSTOP);
    for (int i = 0; i < 500 && !stopped(child.pid()); i++) usleep(2000);
    ASSERT_TRUE(stopped(child.pid()));
    WireClient setter(daemon);
    const int32_t self = getpid();
    uint32_t flood = setter.open(KV_OP_OPEN_EVENT, self, "flood").handle;
    std::vector<std::string> sets(kFlood, header(KV_OP_SET_EVENT, 8, 24) + words({self, static_cast<int32_t>(flood)}));
    EXPECT_TRUE(setter.pipelined(sets, 24));
    child.kill(SIGCONT);
    ASSERT_TRUE(child.hear(&said));
    EXPECT_EQ(said, 'F');
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(dump().find("wait entry"), std::string::npos);
}

}  // namespace
