// Waits and signalling through the client library, in real processes and
// threads: this test process, forked children and threads of both, woken
// through their own sockets by the daemon.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <random>
#include <thread>
#include <unistd.h>

#include "kalvo/synchapi.h"
#include "harness/wire_client.h"

using namespace kalvotest;

namespace {

using SyncApiWaits = SyncDaemonTest;

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

std::string socketPath(pid_t pid) { return "/tmp/kalvo_sock_" + std::to_string(pid); }

// A wait result as one byte over a child's channel.
char resultByte(DWORD result) { return result == WAIT_FAILED ? 'F' : result == WAIT_TIMEOUT ? 'T' : char('0' + result % 64 + (result >= WAIT_ABANDONED_0 ? 64 : 0)); }

TEST_F(SyncApiWaits, WaitForAllInAnotherProcessTakesEverythingTogether) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "all.mutex");
    HANDLE sem = CreateSemaphoreA(nullptr, 0, 1, "all.sem");
    ASSERT_TRUE(mutex && sem);
    Child child([](Child& me) {
        HANDLE h[2] = {OpenMutexA(SYNCHRONIZE, FALSE, "all.mutex"), OpenSemaphoreA(SYNCHRONIZE, FALSE, "all.sem")};
        me.say(resultByte(WaitForMultipleObjects(2, h, TRUE, INFINITE)));
        char c;
        me.hear(&c);
        return ReleaseMutex(h[0]) ? 0 : 1;
    });
    dumpWhen([](const std::string& d) { return countOf(d, "wait entry") == 1; });
    ASSERT_TRUE(ReleaseSemaphore(sem, 1, nullptr));
    // The mutex is still ours, so the semaphore is left where it is.
    char got = 0;
    EXPECT_FALSE(child.hear(&got, 200));
    EXPECT_NE(dump().find("name 'all.sem', semaphore, current value 1"), std::string::npos);
    ASSERT_TRUE(ReleaseMutex(mutex));
    ASSERT_TRUE(child.hear(&got));
    EXPECT_EQ(got, resultByte(WAIT_OBJECT_0));
    std::string text = dump();
    EXPECT_NE(text.find("name 'all.sem', semaphore, current value 0"), std::string::npos) << text;
    EXPECT_NE(text.find("name 'all.mutex', mutex, owned by pid " + std::to_string(child.pid())), std::string::npos)
        << text;
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
    child.say('r');
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
}

TEST_F(SyncApiWaits, AMutexIsOwnedRecursivelyAndFreedByItsLastRelease) {
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "recursive");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    auto otherProcessTries = [] {
        return runChild([](std::string&) {
            HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, "recursive");
            DWORD r = WaitForSingleObject(m, 50);
            if (r == WAIT_OBJECT_0) ReleaseMutex(m);
            // Not the owner: a release fails and the last error says so.
            return r == WAIT_OBJECT_0 ? 0 : r == WAIT_TIMEOUT && !ReleaseMutex(m) && GetLastError() == 6 ? 1 : 2;
        });
    };
    std::thread([&] { EXPECT_FALSE(ReleaseMutex(mutex)); }).join();
    for (int level = 0; level < 3; level++) {
        EXPECT_EQ(otherProcessTries(), 1) << "level " << level;
        EXPECT_TRUE(ReleaseMutex(mutex));
    }
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(otherProcessTries(), 0);
}

TEST_F(SyncApiWaits, AMutexLeftByAnEndingProcessIsReportedAbandonedToAWaiter) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    for (int sig : {0, SIGKILL}) {
        SCOPED_TRACE(sig == 0 ? "exit" : "SIGKILL");
        Child owner([](Child& me) {
            HANDLE m = CreateMutexA(nullptr, TRUE, "left.mutex");
            WaitForSingleObject(m, 0);  // owned twice
            me.say('o');
            char c;
            me.hear(&c);
            return 0;
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
        dumpWhen([](const std::string& d) { return countOf(d, "wait entry") == 1; });
        if (sig == 0)
            owner.say('x');
        else
            owner.kill(sig);
        waiter.join();
        EXPECT_EQ(result.load(), WAIT_ABANDONED_0 + 2);
        EXPECT_EQ(owner.wait(), sig == 0 ? 0 : 128 + sig);
        unlink(socketPath(owner.pid()).c_str());  // a killed process leaves its socket file
        EXPECT_TRUE(CloseHandle(mutex));
    }
}

TEST_F(SyncApiWaits, AThreadWaitingInTheSameProcessIsReleasedByASiblingsCall) {
    HANDLE sem = CreateSemaphoreA(nullptr, 0, 2, nullptr);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_TRUE(sem && mutex);
    std::atomic<DWORD> fromSem{WAIT_FAILED}, fromMutex{WAIT_FAILED};
    std::thread a([&] { fromSem = WaitForSingleObject(sem, 10000); });
    std::thread b([&] {
        fromMutex = WaitForSingleObject(mutex, 10000);
        ReleaseMutex(mutex);
    });
    dumpWhen([](const std::string& d) { return countOf(d, "wait entry") == 2; });
    ASSERT_TRUE(ReleaseSemaphore(sem, 1, nullptr));
    ASSERT_TRUE(ReleaseMutex(mutex));
    a.join();
    b.join();
    EXPECT_EQ(fromSem.load(), WAIT_OBJECT_0);
    EXPECT_EQ(fromMutex.load(), WAIT_OBJECT_0);
}

// Releases race the consumers' time-outs: a unit handed to a wait that is
// just timing out must still reach that thread, never vanish.
TEST_F(SyncApiWaits, TimeOutsRacingWakeUpsLoseNothing) {
    constexpr int kUnits = 1500;
    HANDLE sem = CreateSemaphoreA(nullptr, 0, kUnits, "race.sem");
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, "race.stop");
    ASSERT_TRUE(sem && stop);
    Child consumers([](Child& me) {
        HANDLE s = OpenSemaphoreA(SYNCHRONIZE, FALSE, "race.sem");
        HANDLE done = OpenEventA(SYNCHRONIZE, FALSE, "race.stop");
        std::atomic<int> taken{0};
        std::atomic<bool> failed{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; t++)
            threads.emplace_back([&, t] {
                std::mt19937 random(static_cast<unsigned>(t));
                for (;;) {
                    DWORD r = WaitForSingleObject(s, random() % 3);
                    if (r == WAIT_OBJECT_0)
                        taken++;
                    else if (r != WAIT_TIMEOUT)
                        failed = true;
                    if (r == WAIT_TIMEOUT && WaitForSingleObject(done, 0) == WAIT_OBJECT_0) break;
                }
            });
        for (auto& t : threads) t.join();
        std::string count = std::to_string(taken.load());
        for (char c : count) me.say(c);
        return failed ? 1 : 0;
    });
    std::mt19937 random(7);
    for (int i = 0; i < kUnits; i++) {
        ASSERT_TRUE(ReleaseSemaphore(sem, 1, nullptr));
        if (random() % 4 == 0) std::this_thread::sleep_for(std::chrono::microseconds(random() % 1500));
    }
    // Whatever the consumers did not take is still counted here.
    int left = 0;
    while (WaitForSingleObject(sem, 0) == WAIT_OBJECT_0) left++;
    ASSERT_TRUE(SetEvent(stop));
    std::string reported;
    for (char c; consumers.hear(&c, 15000);) reported += c;
    EXPECT_EQ(consumers.wait(), 0);
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(std::stoi(reported) + left, kUnits);
    EXPECT_EQ(dumpWhen([](const std::string& d) { return countOf(d, "wait entry") == 0; }).find("wait entry"),
              std::string::npos);
}

TEST_F(SyncApiWaits, AWaiterWhoseProcessDiesLeavesNoTrace) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "dies.event");
    ASSERT_NE(event, nullptr);
    Child waiter([](Child&) {
        HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, "dies.event");
        WaitForSingleObject(e, INFINITE);
        return 0;
    });
    const std::string pid = std::to_string(waiter.pid());
    std::string text = dumpWhen([](const std::string& d) { return countOf(d, "wait entry") == 1; });
    ASSERT_NE(text.find("process " + pid + ","), std::string::npos) << text;
    waiter.kill(SIGKILL);
    EXPECT_EQ(waiter.wait(), 128 + SIGKILL);
    unlink(socketPath(waiter.pid()).c_str());  // a killed process leaves its socket file
    ASSERT_TRUE(waitUntilGone(waiter.pid()));
    text = dump();
    EXPECT_EQ(text.find("wait entry"), std::string::npos) << text;
    EXPECT_EQ(text.find(" " + pid + "-"), std::string::npos) << text;
    EXPECT_NE(text.find("name 'dies.event', event, unsignalled, in use by (process-refcount-waitcount): " +
                        std::to_string(getpid()) + "-1-0\n"),
              std::string::npos)
        << text;
    // A set is not swallowed by the dead waiter.
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

TEST_F(SyncApiWaits, TheWakeUpSocketExistsWhileTheProcessRunsAndGoesWhenItEnds) {
    Child child([](Child& me) {
        HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (WaitForSingleObject(e, 10) != WAIT_TIMEOUT) return 1;
        me.say('w');
        char c;
        me.hear(&c);
        return 0;
    });
    char c = 0;
    ASSERT_TRUE(child.hear(&c));
    EXPECT_EQ(access(socketPath(child.pid()).c_str(), F_OK), 0);
    child.say('x');
    EXPECT_EQ(child.wait(), 0);
    EXPECT_NE(access(socketPath(child.pid()).c_str(), F_OK), 0);
}

TEST_F(SyncApiWaits, DuplicatedEventHandlesNameTheSameEvent) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    EXPECT_NE(copy, event);
    ASSERT_TRUE(SetEvent(copy));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    // The same event twice in a wait for all is refused, tag or not.
    HANDLE both[2] = {event, copy};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);

    HANDLE moved = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), copy, GetCurrentProcess(), &moved, 0, FALSE,
                                DUPLICATE_CLOSE_SOURCE));
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(ResetEvent(moved));
    EXPECT_TRUE(CloseHandle(moved));
    EXPECT_EQ(dump().find("event"), std::string::npos);

    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), mutex, GetCurrentProcess(), &copy, 0, FALSE, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_FALSE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), nullptr, 0, FALSE, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(SyncApiWaits, BadWaitArgumentsFailWithTheirErrors) {
    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE many[65];
    for (HANDLE& h : many) h = event;
    struct Case {
        const char* what;
        DWORD count;
        const HANDLE* handles;
        DWORD error;
    };
    HANDLE withNull[2] = {event, nullptr};
    HANDLE stale[1] = {reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x28000400))};
    for (const Case& c : {Case{"no handles", 0, many, ERROR_INVALID_PARAMETER},
                          Case{"too many", 65, many, ERROR_INVALID_PARAMETER},
                          Case{"null array", 1, nullptr, ERROR_INVALID_PARAMETER},
                          Case{"null handle", 2, withNull, ERROR_INVALID_HANDLE},
                          Case{"no such object", 1, stale, ERROR_INVALID_HANDLE}}) {
        SCOPED_TRACE(c.what);
        SetLastError(0);
        EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), c.error);
    }
    // 64 positions are allowed, even all the same one in a wait for any.
    EXPECT_EQ(WaitForMultipleObjects(64, many, FALSE, 0), WAIT_OBJECT_0);
    // A handle whose object is gone names nothing a wait could take.
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SyncApiWaits, AWaitOutlivingItsDaemonFailsInsteadOfHanging) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "outlived");
    ASSERT_NE(event, nullptr);
    Child waiter([](Child& me) {
        HANDLE e = OpenEventA(SYNCHRONIZE, FALSE, "outlived");
        DWORD r = WaitForSingleObject(e, INFINITE);
        me.say(r == WAIT_FAILED && GetLastError() == ERROR_SERVICE_NOT_ACTIVE ? 'F' : resultByte(r));
        return 0;
    });
    dumpWhen([](const std::string& d) { return countOf(d, "wait entry") == 1; });
    // Stopping the daemon reaps every child of this process, the waiter's
    // status included: its answer comes over the channel.
    daemon_->stop();
    daemon_.reset();
    char c = 0;
    ASSERT_TRUE(waiter.hear(&c));
    EXPECT_EQ(c, 'F');
    waiter.wait();  // lets it end by itself
}

}  // namespace
