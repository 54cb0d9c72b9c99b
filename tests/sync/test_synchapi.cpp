// The client library in real processes and threads: this test process,
// forked children and threads of both, each process with its own connection
// to the daemon and woken through its own socket.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <thread>
#include <unistd.h>

#include "kalvo/synchapi.h"
#include "harness/sync_client.h"

using namespace kalvotest;

namespace {

using SyncApi = SyncDaemonTest;

TEST_F(SyncApi, LastErrorIsPerThreadAndSetOnlyByFailures) {
    SetLastError(1234);
    std::thread([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(55);
    }).join();
    EXPECT_EQ(GetLastError(), 1234u);
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, "api.event");
    EXPECT_EQ(GetLastError(), 1234u);
    // Success with a name already taken says so.
    EXPECT_EQ(CreateEventA(nullptr, TRUE, TRUE, "api.event"), h);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CloseHandle(h) && CloseHandle(h));
}

// Each call fails with its last error before anything reaches the daemon,
// or, for a handle whose object is gone, with the daemon's answer.
TEST_F(SyncApi, BadArgumentsFailWithTheirErrors) {
    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr), gone = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_TRUE(CloseHandle(gone));
    HANDLE many[65];
    for (HANDLE& h : many) h = event;
    HANDLE withNull[2] = {event, nullptr};
    HANDLE stale[1] = {reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x28000400))};
    HANDLE foreign = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xdeadbee0));
    const std::string tooLong(KV_MAX_NAME_LENGTH + 1, 'x');
    auto waitFails = [](DWORD n, const HANDLE* h) { return WaitForMultipleObjects(n, h, FALSE, 0) == WAIT_FAILED; };
    const std::vector<std::tuple<const char*, std::function<bool()>, DWORD>> cases = {
        {"initial above maximum", [] { return !CreateSemaphoreA(nullptr, 3, 2, "s"); }, ERROR_INVALID_PARAMETER},
        {"negative initial", [] { return !CreateSemaphoreA(nullptr, -1, 2, "s"); }, ERROR_INVALID_PARAMETER},
        {"zero maximum", [] { return !CreateSemaphoreA(nullptr, 0, 0, "s"); }, ERROR_INVALID_PARAMETER},
        {"open without a name", [] { return !OpenEventA(SYNCHRONIZE, FALSE, nullptr); }, ERROR_INVALID_PARAMETER},
        {"name too long", [&] { return !CreateEventA(nullptr, FALSE, FALSE, tooLong.c_str()); },
         ERROR_FILENAME_EXCED_RANGE},
        {"close of null", [] { return !CloseHandle(nullptr); }, ERROR_INVALID_HANDLE},
        {"close of a closed handle", [&] { return !CloseHandle(gone); }, ERROR_INVALID_HANDLE},
        {"wait on no handles", [&] { return waitFails(0, many); }, ERROR_INVALID_PARAMETER},
        {"wait on too many", [&] { return waitFails(65, many); }, ERROR_INVALID_PARAMETER},
        {"wait on a null array", [&] { return waitFails(1, nullptr); }, ERROR_INVALID_PARAMETER},
        {"wait on a null handle", [&] { return waitFails(2, withNull); }, ERROR_INVALID_HANDLE},
        {"wait on no such object", [&] { return waitFails(1, stale); }, ERROR_INVALID_HANDLE},
        {"wait on a closed handle", [&] { return waitFails(1, &gone); }, ERROR_INVALID_HANDLE},
        // Values this library never issues are refused before anything is sent.
        {"wait on a foreign handle", [&] { return waitFails(1, &foreign); }, ERROR_INVALID_HANDLE},
        {"set of a foreign handle", [&] { return !SetEvent(foreign); }, ERROR_INVALID_HANDLE},
        {"close of a foreign handle", [&] { return !CloseHandle(foreign); }, ERROR_INVALID_HANDLE},
    };
    for (auto& [what, fails, error] : cases) {
        SCOPED_TRACE(what);
        SetLastError(0);
        EXPECT_TRUE(fails());
        EXPECT_EQ(GetLastError(), error);
    }
    // Even with no time limit, at once (a watchdog turns a hang into a failure).
    EXPECT_EQ(Child([&](Child&) {
        alarm(10);
        return WaitForSingleObject(foreign, INFINITE) == WAIT_FAILED && GetLastError() == ERROR_INVALID_HANDLE ? 0 : 1;
    }).wait(), 0);
    // 64 positions are allowed, even all the same one in a wait for any.
    EXPECT_EQ(WaitForMultipleObjects(64, many, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(dump().find("handle"), std::string::npos);
}

TEST_F(SyncApi, AnUnreachableDaemonIsReportedAndThePidVariableOverridesThePing) {
    const std::string daemon = std::to_string(daemonPid());
    EXPECT_EQ(Child([&](Child&) {
        // No registry serves this program number: the ping finds nobody.
        setenv("KALVO_REGISTRY_PROG", "0x40000fff", 1);
        if (CreateEventA(nullptr, FALSE, FALSE, nullptr) != nullptr || GetLastError() != ERROR_SERVICE_NOT_ACTIVE) return 2;
        setenv("KALVO_REGISTRY_PID", "1", 1);  // no daemon socket for pid 1
        if (CreateEventA(nullptr, FALSE, FALSE, nullptr) != nullptr) return 3;
        setenv("KALVO_REGISTRY_PID", "12x", 1);
        if (CreateEventA(nullptr, FALSE, FALSE, nullptr) != nullptr) return 4;
        // The variable names the daemon without asking the registry.
        setenv("KALVO_REGISTRY_PID", daemon.c_str(), 1);
        HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        return h != nullptr && CloseHandle(h) ? 0 : 5;
    }).wait(), 0);
    // This process's own connection is unaffected.
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_TRUE(h && CloseHandle(h));
}

TEST_F(SyncApi, AMutexLeftByAnEndingProcessIsReportedAbandonedToAWaiter) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    for (int sig : {0, SIGKILL}) {
        SCOPED_TRACE(sig);
        Child owner([](Child& me) {
            HANDLE m = CreateMutexA(nullptr, TRUE, "left.mutex");
            WaitForSingleObject(m, 0);  // owned twice
            char c;
            return me.say('o') && me.hear(&c) ? 0 : 1;
        });
        char c = 0;
        ASSERT_TRUE(owner.hear(&c));
        HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, "left.mutex");
        ASSERT_NE(mutex, nullptr);
        std::atomic<DWORD> result{0};
        std::thread waiter([&] {
            HANDLE h[3] = {event, event, mutex};
            result = WaitForMultipleObjects(3, h, FALSE, 10000);
            EXPECT_TRUE(ReleaseMutex(mutex));
        });
        dumpWithWaits(1);
        sig == 0 ? (void)owner.say('x') : owner.kill(sig);
        waiter.join();
        EXPECT_EQ(result.load(), WAIT_ABANDONED_0 + 2);
        EXPECT_EQ(owner.wait(), sig == 0 ? 0 : 128 + sig);
        unlink(socketPath(owner.pid()).c_str());  // a killed process leaves its socket file
        EXPECT_TRUE(CloseHandle(mutex));
    }
}

TEST_F(SyncApi, DuplicatedEventHandlesNameTheSameEvent) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr), self = GetCurrentProcess();
    HANDLE copy = nullptr, moved = nullptr;
    ASSERT_TRUE(DuplicateHandle(self, event, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_NE(copy, event);
    ASSERT_TRUE(SetEvent(copy));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    // The same event twice in a wait for all is refused, tag or not.
    HANDLE both[2] = {event, copy};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);

    ASSERT_TRUE(DuplicateHandle(self, copy, self, &moved, 0, FALSE, DUPLICATE_CLOSE_SOURCE));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(ResetEvent(moved));
    EXPECT_TRUE(CloseHandle(moved));
    EXPECT_EQ(dump().find("event"), std::string::npos);

    EXPECT_FALSE(DuplicateHandle(self, CreateMutexA(nullptr, FALSE, nullptr), self, &copy, 0, FALSE, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(DuplicateHandle(self, event, self, nullptr, 0, FALSE, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SyncApi, AWaitOutlivingItsDaemonFailsInsteadOfHanging) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "outlived");
    ASSERT_NE(event, nullptr);
    Child waiter([](Child& me) {
        DWORD r = WaitForSingleObject(OpenEventA(SYNCHRONIZE, FALSE, "outlived"), INFINITE);
        me.say(r == WAIT_FAILED && GetLastError() == ERROR_SERVICE_NOT_ACTIVE ? 'F' : 'x');
        return 0;
    });
    dumpWithWaits(1);
    // Stopping the daemon reaps every child of this process, the waiter's
    // status included: its answer comes over the channel.
    daemon_->stop();
    daemon_.reset();
    char c = 0;
    ASSERT_TRUE(waiter.hear(&c));
    EXPECT_EQ(c, 'F');
    waiter.wait();
}

}  // namespace
