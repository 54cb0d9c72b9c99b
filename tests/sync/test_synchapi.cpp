// The client library in real processes: this test process and forked
// children, each with its own connection to the daemon.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "kalvo/synchapi.h"
#include "harness/wire_client.h"

using namespace kalvotest;

namespace {

using SyncApi = SyncDaemonTest;

// Child exit codes name the check that failed.
int expectHandle(HANDLE got, HANDLE want, DWORD lastError, int code) {
    return got == want && GetLastError() == lastError ? 0 : code;
}

TEST_F(SyncApi, ObjectsCreatedInOneProcessOpenByNameInAnother) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "api.event");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "api.mutex");
    HANDLE sem = CreateSemaphoreA(nullptr, 1, 3, "api.sem");
    ASSERT_NE(event, nullptr);
    ASSERT_NE(mutex, nullptr);
    ASSERT_NE(sem, nullptr);
    int status = runChild([&](std::string&) {
        SetLastError(0);
        if (OpenEventA(EVENT_ALL_ACCESS, FALSE, "api.event") != event) return 1;
        if (OpenMutexA(SYNCHRONIZE, FALSE, "api.mutex") != mutex) return 2;
        if (OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, "api.sem") != sem) return 3;
        if (GetLastError() != 0) return 4;
        if (int r = expectHandle(CreateEventA(nullptr, FALSE, TRUE, "api.event"), event, ERROR_ALREADY_EXISTS, 5))
            return r;
        if (int r = expectHandle(OpenMutexA(SYNCHRONIZE, FALSE, "api.sem"), nullptr, ERROR_INVALID_HANDLE, 6))
            return r;
        if (int r = expectHandle(OpenEventA(SYNCHRONIZE, FALSE, "api.none"), nullptr, ERROR_NOT_ENOUGH_MEMORY, 7))
            return r;
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_TRUE(CloseHandle(sem));
}

TEST_F(SyncApi, AnotherProcessKeepsTheObjectAliveUntilItCloses) {
    HANDLE sem = CreateSemaphoreA(nullptr, 2, 4, "api.kept");
    ASSERT_NE(sem, nullptr);
    int toChild[2], fromChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(fromChild), 0);
    pid_t child = fork();
    if (child == 0) {
        HANDLE mine = OpenSemaphoreA(SYNCHRONIZE, FALSE, "api.kept");
        char c = mine == sem ? 'o' : 'x';
        if (write(fromChild[1], &c, 1) != 1 || read(toChild[0], &c, 1) != 1) _exit(2);
        _exit(CloseHandle(mine) ? 0 : 1);
    }
    char c = 0;
    ASSERT_EQ(read(fromChild[0], &c, 1), 1);
    ASSERT_EQ(c, 'o');
    ASSERT_TRUE(CloseHandle(sem));
    // The child's handle keeps it: creating by name opens the same object.
    SetLastError(0);
    EXPECT_EQ(CreateSemaphoreA(nullptr, 0, 1, "api.kept"), sem);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(CloseHandle(sem));
    ASSERT_EQ(write(toChild[1], "g", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Its last handle closed, the name is free: a fresh object is made.
    SetLastError(0);
    EXPECT_NE(CreateSemaphoreA(nullptr, 0, 1, "api.kept"), nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);
}

TEST_F(SyncApi, AForkedChildRegistersItselfAndTakesItsHandlesAlong) {
    ASSERT_NE(CreateEventA(nullptr, FALSE, FALSE, "api.parent"), nullptr);
    std::string childPid;
    int status = runChild([](std::string& out) {
        out = std::to_string(getpid());
        return CreateMutexA(nullptr, TRUE, "api.child") != nullptr ? 0 : 1;
    }, &childPid);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(waitUntilGone(std::stoi(childPid)));
    SetLastError(0);
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, "api.child"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    std::string text = dump();
    EXPECT_NE(text.find("name 'api.parent'"), std::string::npos) << text;
    EXPECT_NE(text.find("\n" + std::to_string(getpid()) + " \n"), std::string::npos) << text;
}

TEST_F(SyncApi, ManyThreadsShareTheProcessConnection) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([t, &failures] {
            std::string name = "api.thread." + std::to_string(t);
            for (int i = 0; i < 200; i++) {
                HANDLE h = CreateMutexA(nullptr, FALSE, name.c_str());
                HANDLE o = OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
                if (h == nullptr || o != h || !CloseHandle(o) || !CloseHandle(h)) failures++;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    std::string text = dump();
    EXPECT_EQ(text.find("handle"), std::string::npos) << text;
}

TEST_F(SyncApi, LastErrorIsPerThreadAndSetOnlyByFailures) {
    SetLastError(1234);
    std::thread([] {
        EXPECT_EQ(GetLastError(), 0u);
        SetLastError(55);
    }).join();
    EXPECT_EQ(GetLastError(), 1234u);
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SyncApi, BadArgumentsFailBeforeReachingTheDaemon) {
    std::string tooLong(KV_MAX_NAME_LENGTH + 1, 'x');
    std::vector<std::pair<const char*, std::function<HANDLE()>>> calls = {
        {"initial above maximum", [] { return CreateSemaphoreA(nullptr, 3, 2, "s"); }},
        {"negative initial", [] { return CreateSemaphoreA(nullptr, -1, 2, "s"); }},
        {"zero maximum", [] { return CreateSemaphoreA(nullptr, 0, 0, "s"); }},
        {"open without a name", [] { return OpenEventA(SYNCHRONIZE, FALSE, nullptr); }},
    };
    for (auto& [what, call] : calls) {
        SCOPED_TRACE(what);
        SetLastError(0);
        EXPECT_EQ(call(), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, tooLong.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(dump().find("handle"), std::string::npos);
}

TEST_F(SyncApi, AnUnreachableDaemonIsReportedAndThePidVariableOverridesThePing) {
    const std::string daemon = std::to_string(daemonPid());
    int status = runChild([&](std::string&) {
        // No registry serves this program number: the ping finds nobody.
        setenv("KALVO_REGISTRY_PROG", "0x40000fff", 1);
        if (CreateEventA(nullptr, FALSE, FALSE, nullptr) != nullptr) return 1;
        if (GetLastError() != ERROR_SERVICE_NOT_ACTIVE) return 2;
        setenv("KALVO_REGISTRY_PID", "1", 1);  // no daemon socket for pid 1
        if (CreateEventA(nullptr, FALSE, FALSE, nullptr) != nullptr) return 3;
        setenv("KALVO_REGISTRY_PID", "12x", 1);
        if (CreateEventA(nullptr, FALSE, FALSE, nullptr) != nullptr) return 4;
        // The variable names the daemon without asking the registry.
        setenv("KALVO_REGISTRY_PID", daemon.c_str(), 1);
        HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (h == nullptr || !CloseHandle(h)) return 5;
        return 0;
    });
    EXPECT_EQ(status, 0);
    // This process's own connection is unaffected.
    HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_NE(h, nullptr);
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
