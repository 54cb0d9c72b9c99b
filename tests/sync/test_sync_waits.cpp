// Waits, signalling and wake-ups spoken on the wire: raw clients claim
// pids no real process has and listen on those pids' sockets, where the
// daemon sends the wake-ups, so every word of every reply and message can
// be checked.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <unistd.h>

#include "harness/wire_client.h"

using namespace kalvotest;

namespace {

using SyncWaits = SyncWireTest;

constexpr int32_t P1 = kFakePidBase + 1, P2 = kFakePidBase + 2, P3 = kFakePidBase + 3;

const std::string kObjects = kDumpObjects, kWaits = kDumpWaits, kNoProcesses = kDumpProcesses + "\n";

// One object's dump line: its handle and state, then one user's counts.
std::string line(const std::string& object, int32_t pid, int waits = 0) {
    return "  handle " + object + ", " + kDumpUsers + std::to_string(pid) + "-1-" + std::to_string(waits) + "\n";
}

// Wait records print their address ("<n>/0x<address> - process ..."); it
// says nothing about the state, so it is masked as "@".
std::string masked(std::string dump) {
    for (size_t at = 0, end; (at = dump.find("/0x", at)) != std::string::npos; at += 2) {
        if ((end = dump.find(" - process ", at)) == std::string::npos) break;
        dump.replace(at, end - at, "/@");
    }
    return dump;
}

// The dump, once masked, equal to `expected`, or the last one after a wait.
#define EXPECT_DUMP_SETTLES(expected)                                                                  \
    do {                                                                                               \
        const std::string want = (expected);                                                          \
        EXPECT_EQ(masked(dumpWhen([&](const std::string& d) { return masked(d) == want; })), want);    \
    } while (0)

// The daemon's open sockets, as /proc shows them.
int socketsOf(pid_t pid) {
    int n = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code error;
        n += std::filesystem::read_symlink(fd.path(), error).string().rfind("socket:", 0) == 0;
    }
    return n;
}

TEST_F(SyncWaits, WaitForAnyTakesTheLowestAcquirablePositionOnly) {
    uint32_t event = c->createEvent(P1, false, false).handle;
    uint32_t two = c->createSemaphore(P1, 2, 5).handle;
    uint32_t one = c->createSemaphore(P1, 1, 5).handle;
    EXPECT_EQ(c->beginWait(P1, 1, 7, 1, {event, two, one}), (Words{0, 1, 0, 0}));
    // Once the event is signalled it is the lowest, and only it is taken.
    ASSERT_EQ(c->eventCall(KV_OP_SET_EVENT, P1, event), kSignalled);
    EXPECT_EQ(c->beginWait(P1, 2, 7, 1, {one, event}), kTaken);
    EXPECT_EQ(c->beginWait(P1, 3, 7, 1, {event, two}), kTaken);
    EXPECT_EQ(dump(), kObjects + line("0x28000000, name '', event, unsignalled", P1) +
                          line("0x48000001, name '', semaphore, current value 1, maximum value 5", P1) +
                          line("0x48000002, name '', semaphore, current value 0, maximum value 5", P1) + kWaits +
                          kNoProcesses);
}

TEST_F(SyncWaits, WaitForAllTakesEverythingTogetherOrNothing) {
    ProcessSocket waiter(P1);
    uint32_t event = c->createEvent(P1, true, true).handle;
    uint32_t mutex = c->createMutex(P1, 1, false).handle;
    uint32_t sem = c->createSemaphore(P1, 0, 3).handle;
    ASSERT_EQ(c->beginWait(P1, 11, 9, 3, {event, mutex, sem}), kQueued);
    // Another process takes the mutex; the semaphore then comes free but
    // the queued wait for all must leave it, since the mutex is not free.
    ASSERT_EQ(c->beginWait(P2, 1, 5, 1, {mutex}), kTaken);
    ASSERT_EQ(c->releaseSemaphore(P2, sem, 1), (Words{1, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(waiter.silentFor(200));
    const std::string p1 = std::to_string(P1), p2 = std::to_string(P2);
    EXPECT_EQ(masked(dump()),
              kObjects + line("0x28000000, name '', event, signalled", P1, 1) +
                  line("0x38000001, name '', mutex, owned by pid " + p2 + ", tid 5", P1, 1) +
                  line("0x48000002, name '', semaphore, current value 1, maximum value 3", P1, 1) + kWaits +
                  "0/@ - process " + p1 + ", thread 0x9, wait entry 0xb\n"
                  "    3 objects waited on, 3 needed to continue execution\n"
                  "    not yet signalled\n"
                  "    handles waited on: \n"
                  // An event handle is kept as resolved: without its marker.
                  "       0x20000000\n       0x38000001\n       0x48000002\n" +
                  kNoProcesses);
    // The mutex comes free: everything is taken at once, the manual-reset
    // event staying signalled.
    ASSERT_EQ(c->releaseMutex(P2, 5, mutex), kSignalled);
    EXPECT_EQ(waiter.nextWake(), (Words{11, 0, 0}));
    EXPECT_DUMP_SETTLES(kObjects + line("0x28000000, name '', event, signalled", P1) +
                        line("0x38000001, name '', mutex, owned by pid " + p1 + ", tid 9", P1) +
                        line("0x48000002, name '', semaphore, current value 0, maximum value 3", P1) + kWaits +
                        kNoProcesses);
}

TEST_F(SyncWaits, PulseReleasesWhatItSatisfiesAndLeavesTheEventUnsignalled) {
    ProcessSocket a(P1), b(P2);
    uint32_t manual = c->createEvent(P1, true, false, "manual").handle;
    uint32_t automatic = c->createEvent(P1, false, false, "auto").handle;
    ASSERT_EQ(c->beginWait(P1, 1, 1, 1, {manual}), kQueued);
    ASSERT_EQ(c->beginWait(P2, 2, 1, 1, {manual}), kQueued);
    ASSERT_EQ(c->eventCall(KV_OP_PULSE_EVENT, P3, manual), kSignalled);
    EXPECT_EQ(a.nextWake(), (Words{1, 0, 0}));
    EXPECT_EQ(b.nextWake(), (Words{2, 0, 0}));

    ASSERT_EQ(c->beginWait(P1, 3, 1, 1, {automatic}), kQueued);
    ASSERT_EQ(c->beginWait(P2, 4, 1, 1, {automatic}), kQueued);
    ASSERT_EQ(c->eventCall(KV_OP_PULSE_EVENT, P3, automatic), kSignalled);
    EXPECT_EQ(a.nextWake(), (Words{3, 0, 0}));
    EXPECT_TRUE(b.silentFor(200));

    // Without waits a pulse only resets; a signalled event stays so only
    // until the pulse.
    ASSERT_EQ(c->eventCall(KV_OP_SET_EVENT, P3, manual), kSignalled);
    ASSERT_EQ(c->eventCall(KV_OP_PULSE_EVENT, P3, manual), kSignalled);
    std::string text = dump();
    EXPECT_NE(text.find("name 'manual', event, unsignalled"), std::string::npos) << text;
    EXPECT_NE(text.find("name 'auto', event, unsignalled"), std::string::npos) << text;
    EXPECT_NE(text.find("wait entry 0x4"), std::string::npos) << text;
    EXPECT_EQ(c->eventCall(KV_OP_RESET_EVENT, P3, manual), (Words{1, 0, 0}));
    EXPECT_EQ(c->eventCall(KV_OP_PULSE_EVENT, P3, 0x38000000), kInvalidHandle);
}

TEST_F(SyncWaits, SemaphoreReleaseOfNothingOrPastTheMaximumFailsAndChangesNothing) {
    uint32_t sem = c->createSemaphore(P1, 2, 3, "sem").handle;
    const Words invalid{0, 0, 87, 1, 0, 0, 0};
    for (int32_t count : {0, -1, 2, INT32_MAX}) EXPECT_EQ(c->releaseSemaphore(P1, sem, count), invalid) << count;
    EXPECT_NE(dump().find("current value 2, maximum value 3"), std::string::npos);
    EXPECT_EQ(c->releaseSemaphore(P1, sem, 1), (Words{1, 2, 0, 0, 0, 0, 0}));
    EXPECT_EQ(c->releaseSemaphore(P1, sem, 1), invalid);
    EXPECT_EQ(c->releaseSemaphore(P1, 0x28000000, 1), (Words{0, 0, 6, 1, 0, 0, 0}));
    EXPECT_NE(dump().find("current value 3, maximum value 3"), std::string::npos);
}

TEST_F(SyncWaits, MutexOwnershipIsRecursiveAndTheLastReleaseHandsItOn) {
    ProcessSocket own(P1);
    uint32_t mutex = c->createMutex(P1, 7, true, "m").handle;
    EXPECT_EQ(c->beginWait(P1, 1, 7, 1, {mutex}), kTaken);
    // Another thread of the same process must wait.
    ASSERT_EQ(c->beginWait(P1, 2, 8, 1, {mutex}), kQueued);
    EXPECT_EQ(c->releaseMutex(P1, 8, mutex), kInvalidHandle);
    EXPECT_EQ(c->releaseMutex(P2, 7, mutex), kInvalidHandle);
    EXPECT_EQ(c->releaseMutex(P1, 7, mutex), kSignalled);
    EXPECT_NE(dump().find("mutex, owned by pid " + std::to_string(P1) + ", tid 7"), std::string::npos);
    // The second release frees it; the waiting thread of the releasing
    // process gets it, answered in the reply rather than by a message.
    EXPECT_EQ(c->releaseMutex(P1, 7, mutex), (Words{1, 0, 0, 2, 0, 0}));
    EXPECT_TRUE(own.silentFor(200));
    EXPECT_NE(dump().find("mutex, owned by pid " + std::to_string(P1) + ", tid 8"), std::string::npos);
    EXPECT_EQ(c->releaseMutex(P1, 7, mutex), kInvalidHandle);
    EXPECT_EQ(c->releaseMutex(P1, 8, mutex), kSignalled);
    EXPECT_NE(dump().find("name 'm', mutex, unowned"), std::string::npos);
}

TEST_F(SyncWaits, OneSelfWaitIsAnsweredInTheReplyAndTheRestByMessages) {
    ProcessSocket self(P1), other(P2);
    uint32_t sem = c->createSemaphore(P1, 0, 5).handle;
    for (auto [pid, entry] : {std::pair{P2, 20}, {P1, 21}, {P1, 22}, {P1, 23}})
        ASSERT_EQ(c->beginWait(pid, entry, entry - 20, 1, {sem}), kQueued);
    EXPECT_EQ(c->releaseSemaphore(P1, sem, 3), (Words{1, 0, 0, 0, 21, 0, 0}));
    EXPECT_EQ(other.nextWake(), (Words{20, 0, 0}));
    EXPECT_EQ(self.nextWake(), (Words{22, 0, 0}));
    EXPECT_TRUE(self.silentFor(200));
    EXPECT_NE(dump().find("wait entry 0x17"), std::string::npos);
}

TEST_F(SyncWaits, AClientManagedPositionCountsOnlyOnceTheClientSaysSo) {
    ProcessSocket waiter(P1);
    uint32_t event = c->createEvent(P1, true, true).handle;
    uint32_t mutex = c->createMutex(P2, 4, true).handle;
    const uint32_t clientObject = 0x70000042;
    ASSERT_EQ(c->beginWait(P1, 31, 3, 3, {event, mutex, clientObject}), kQueued);
    EXPECT_EQ(c->objectStateChange(P1, 31, 3, 1), (Words{1, 0}));  // no such position
    EXPECT_EQ(c->objectStateChange(P1, 99, 2, 1), (Words{1, 0}));  // no such wait
    EXPECT_EQ(c->objectStateChange(P2, 31, 2, 1), (Words{1, 0}));  // not P2's wait
    // The client's object is ready but the mutex is not: still waiting, and
    // the position keeps what the client said.
    EXPECT_EQ(c->objectStateChange(P1, 31, 2, 1), (Words{1, 0}));
    ASSERT_EQ(c->releaseMutex(P2, 4, mutex), kSignalled);
    EXPECT_EQ(waiter.nextWake(), (Words{31, 0, 0}));
    EXPECT_NE(dump().find("mutex, owned by pid " + std::to_string(P1) + ", tid 3"), std::string::npos);

    // Satisfied by the change itself: answered in the reply of opcode 15.
    ASSERT_EQ(c->releaseMutex(P1, 3, mutex), kSignalled);
    ASSERT_EQ(c->beginWait(P1, 32, 3, 3, {event, mutex, clientObject}), kQueued);
    EXPECT_EQ(c->objectStateChange(P1, 32, 2, 1), (Words{0, 0}));
    EXPECT_EQ(c->objectStateChange(P1, 32, 2, 1), (Words{1, 0}));
    EXPECT_TRUE(waiter.silentFor(200));
    EXPECT_EQ(dump().find("wait entry"), std::string::npos);
}

TEST_F(SyncWaits, ATimeOutWithdrawsAPendingWaitButNotASatisfiedOne) {
    ProcessSocket waiter(P1);
    uint32_t event = c->createEvent(P1, false, false, "e").handle;
    ASSERT_EQ(c->beginWait(P1, 41, 1, 1, {event}), kQueued);
    EXPECT_EQ(c->waitTimeout(P1, 41), (Words{0, 258}));
    EXPECT_EQ(c->waitTimeout(P1, 41), (Words{1, 0}));
    EXPECT_EQ(c->waitTimeout(P1, 0x7777), (Words{1, 0}));
    // The withdrawn wait no longer takes a set: the event stays signalled.
    ASSERT_EQ(c->eventCall(KV_OP_SET_EVENT, P2, event), kSignalled);
    EXPECT_TRUE(waiter.silentFor(100));
    ASSERT_EQ(c->eventCall(KV_OP_RESET_EVENT, P2, event), (Words{1, 0, 0}));

    ASSERT_EQ(c->beginWait(P1, 42, 1, 1, {event}), kQueued);
    ASSERT_EQ(c->eventCall(KV_OP_SET_EVENT, P2, event), kSignalled);
    EXPECT_EQ(c->waitTimeout(P1, 42), (Words{1, 0}));
    EXPECT_EQ(waiter.nextWake(), (Words{42, 0, 0}));
    EXPECT_DUMP_SETTLES(kObjects + line("0x28000000, name 'e', event, unsignalled", P1) + kWaits + kNoProcesses);
}

TEST_F(SyncWaits, BadWaitsFailWithoutBeingQueued) {
    uint32_t event = c->createEvent(P1, false, false).handle;
    uint32_t sem = c->createSemaphore(P1, 0, 1).handle;
    const Words invalidHandle{0, -1, 6, 1};
    EXPECT_EQ(c->beginWait(P1, 1, 1, 1, {event, 0x28000005}), invalidHandle);  // free slot
    EXPECT_EQ(c->beginWait(P1, 1, 1, 1, {0x38000000}), invalidHandle);         // an event's slot
    EXPECT_EQ(c->beginWait(P1, 1, 1, 1, {0x48100000}), invalidHandle);         // beyond the table
    EXPECT_EQ(c->beginWait(P1, 1, 1, 1, {}), invalidHandle);
    EXPECT_EQ(c->beginWait(P1, 1, 1, 0, {event, sem}), (Words{0, -1, 87, 1}));
    EXPECT_EQ(c->beginWait(P1, 1, 1, 3, {event, sem}), (Words{0, -1, 87, 1}));
    EXPECT_EQ(dump().find("wait entry"), std::string::npos);
    // More handles than the inline array holds: counted, queued, withdrawn.
    std::string body = words({P1, 5, 1, 1, 100});
    for (int i = 0; i < 100; i++) body += words({static_cast<int32_t>(i == 99 ? sem : event)});
    EXPECT_EQ(c->call(KV_OP_BEGIN_WAIT, body, 4), kQueued);
    EXPECT_NE(dump().find("100 objects waited on, 1 needed"), std::string::npos);
    EXPECT_NE(dump().find(kDumpUsers + std::to_string(P1) + "-1-99\n"), std::string::npos);
    EXPECT_EQ(c->waitTimeout(P1, 5), (Words{0, 258}));
    EXPECT_EQ(dump().find("wait entry"), std::string::npos);
}

TEST_F(SyncWaits, AnExitingThreadAbandonsItsMutexesAndLosesItsWaits) {
    ProcessSocket exiting(P1), waiter(P2);
    uint32_t mutex = c->createMutex(P1, 7, true, "m").handle;
    ASSERT_EQ(c->beginWait(P1, 1, 7, 1, {mutex}), kTaken);  // owned twice
    uint32_t event = c->createEvent(P1, false, false).handle;
    ASSERT_EQ(c->beginWait(P1, 2, 7, 1, {event}), kQueued);
    uint32_t sem = c->createSemaphore(P2, 0, 1).handle;
    ASSERT_EQ(c->beginWait(P2, 51, 4, 1, {event, sem, mutex}), kQueued);
    c->threadExited(P1, 8);  // another thread: nothing changes
    c->threadExited(P1, 7);
    // Abandoned at position 2.
    EXPECT_EQ(waiter.nextWake(), (Words{51, 130, 0}));
    EXPECT_TRUE(exiting.silentFor(200));
    std::string text = dump();
    EXPECT_EQ(text.find("wait entry"), std::string::npos) << text;
    EXPECT_NE(text.find("mutex, owned by pid " + std::to_string(P2) + ", tid 4"), std::string::npos) << text;
    // The abandonment was reported once; the next owner hears nothing of it.
    ASSERT_EQ(c->releaseMutex(P2, 4, mutex), kSignalled);
    EXPECT_EQ(c->beginWait(P3, 1, 1, 1, {mutex}), kTaken);
}

TEST_F(SyncWaits, ADisconnectingProcessAbandonsMutexesAndLeavesNoWaitOrWakeUpConnection) {
    WireClient stays(daemonPid());
    ProcessSocket waiter(P2);
    ProcessSocket leaverSocket(P1);
    stays.registerPid(P2);
    {
        WireClient leaves(daemonPid());
        leaves.registerPid(P1);
        ASSERT_EQ(leaves.createMutex(P1, 3, true, "M").error, 0);
        ASSERT_EQ(leaves.createEvent(P1, false, false, "E").error, 0);
        ASSERT_EQ(stays.open(KV_OP_OPEN_MUTEX, P2, "M").error, 0);
        ASSERT_EQ(stays.open(KV_OP_OPEN_EVENT, P2, "E").error, 0);
        ASSERT_EQ(leaves.createAlias(P1, 5, 1, 0x30000abc, 1, 0, 0)[0], 1);  // slot 2, P1's alone
        ASSERT_EQ(leaves.beginWait(P1, 9, 3, 1, {0x28000001}), kQueued);
        ASSERT_EQ(stays.beginWait(P2, 61, 1, 1, {0x28000001, 0x38000000}), kQueued);
    }
    EXPECT_EQ(waiter.nextWake(), (Words{61, 129, 0}));
    ASSERT_TRUE(waitUntilGone(P1));
    // Slot 2 died with its process and went behind the never-used slots.
    EXPECT_EQ(stays.createEvent(P2, false, false).handle, 0x28000003u);
    ASSERT_EQ(stays.closeHandle(P2, 0x28000003)[0], 1);
    // The departed process's wake-up connection is closed, with no wake-up
    // for its withdrawn wait.
    std::string received;
    EXPECT_TRUE(leaverSocket.closedByDaemon(&received));
    EXPECT_EQ(received, "");
    const std::string p2 = std::to_string(P2);
    EXPECT_DUMP_SETTLES(kObjects + line("0x38000000, name 'M', mutex, owned by pid " + p2 + ", tid 1", P2) +
                        line("0x28000001, name 'E', event, unsignalled", P2) + kWaits +
                        kDumpProcesses + p2 + " \n");
}

TEST_F(SyncWaits, AThousandConnectedClientsLeaveTheDaemonsThreadCountAsItWas) {
    // Once a registry call is answered, start-up has made every thread.
    EXPECT_NE(RegistryRpc(daemon_->prog(), 2, localCaller("root")).queryVersion(), "");
    const long before = procStatus(daemonPid(), "Threads:");
    ASSERT_GT(before, 0);
    std::vector<std::unique_ptr<WireClient>> clients;
    for (int i = 0; i < 1000; i++) clients.push_back(std::make_unique<WireClient>(daemonPid()));
    for (auto& client : clients) {  // every one of them is served
        HandleReply r = client->createSemaphore(P1, 0, 1);
        ASSERT_EQ(r.error, 0);
        ASSERT_EQ(client->closeHandle(P1, r.handle)[0], 1);
    }
    EXPECT_EQ(procStatus(daemonPid(), "Threads:"), before);
}

// A process that never registered dies in the middle of a wait: its wait
// and its connections (requests and wake-ups) go with its connection; its
// handle uses stay, since it never said which pid it was.
TEST_F(SyncWaits, AProcessDyingMidWaitWithoutRegisteringLeavesNoWaitOrConnection) {
    uint32_t event = c->createEvent(P1, false, false, "kept").handle;
    const int sockets = socketsOf(daemonPid());
    const pid_t daemon = daemonPid();
    Child child([&](Child& me) {
        const int32_t self = getpid();
        ProcessSocket mine(self);
        WireClient w(daemon);
        char c;
        bool waiting = w.createEvent(self, false, false, "kept").error == 183 &&
                       w.beginWait(self, 5, 1, 1, {event}) == kQueued;
        return me.say(waiting ? 'w' : 'x') && me.hear(&c) ? 0 : 1;
    });
    char said = 0;
    ASSERT_TRUE(child.hear(&said));
    ASSERT_EQ(said, 'w');
    const std::string pid = std::to_string(child.pid());
    EXPECT_NE(dump().find("process " + pid + ","), std::string::npos);
    // Its request and wake-up connections (a dump's own may come and go).
    auto socketsSettleAt = [&](int n) {
        for (int i = 0; i < 100 && socketsOf(daemonPid()) != n; i++) usleep(20000);
        return socketsOf(daemonPid());
    };
    EXPECT_EQ(socketsSettleAt(sockets + 2), sockets + 2);
    child.kill(SIGKILL);
    EXPECT_EQ(child.wait(), 128 + SIGKILL);
    unlink(socketPath(child.pid()).c_str());
    std::string text = dumpWhen([](const std::string& d) { return d.find("wait entry") == std::string::npos; });
    EXPECT_EQ(text.find("wait entry"), std::string::npos) << text;
    EXPECT_NE(text.find(kDumpUsers + std::to_string(P1) + "-1-0 " + pid + "-1-0\n"), std::string::npos) << text;
    EXPECT_EQ(socketsSettleAt(sockets), sockets);
}

}  // namespace
