// Many processes and threads hammer one mutex, one semaphore and two events
// through the client library, with random time-outs, for a fixed time. A
// counter in shared memory is changed only under the mutex; at the end it
// must be exact, the semaphore back at its start, no thread stuck, and the
// daemon left with no wait and, once the objects are closed, no object.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "kalvo/synchapi.h"
#include "harness/sync_client.h"

using namespace kalvotest;

namespace {

using SyncStress = SyncDaemonTest;

constexpr int kProcesses = 8, kThreads = 4;
constexpr auto kHammerTime = std::chrono::seconds(6);
constexpr auto kOverallDeadline = kHammerTime + std::chrono::seconds(15);  // past it, a process is stuck
constexpr LONG kSemaphoreCount = 3;

// Lives in a shared anonymous mapping made before the processes fork.
struct Shared {
    uint64_t counter;                    // changed only by the mutex's owner
    std::atomic<int32_t> holder;         // thread id of the mutex's owner, 0 for none
    std::atomic<int32_t> semaphoreHeld;  // units taken and not yet given back
    std::atomic<int> broken;             // exclusion or count violations seen
    std::atomic<int> failed;             // calls that failed or answered wrongly
    std::atomic<uint64_t> increments[kProcesses];
};

struct Worker {
    Shared* shared;
    int process;
    HANDLE mutex, sem, manual, automatic;
    std::mt19937 random;
    int32_t self = static_cast<int32_t>(syscall(SYS_gettid));

    void check(bool ok) { shared->failed += ok ? 0 : 1; }
    DWORD timeout() { return static_cast<DWORD>(random() % 21); }
    HANDLE anEvent() { return random() % 2 ? automatic : manual; }
    // A read and a later write: two owners at once would lose an increment.
    void underMutex() {
        if (shared->holder.exchange(self) != 0) shared->broken++;
        uint64_t value = shared->counter;
        if (random() % 8 == 0) sched_yield();
        shared->counter = value + 1;
        shared->increments[process]++;
        if (shared->holder.exchange(0) != self) shared->broken++;
    }
    void useSemaphoreUnit() {
        shared->broken += shared->semaphoreHeld.fetch_add(1) + 1 > kSemaphoreCount;
        shared->semaphoreHeld--;
        LONG previous = -1;
        check(ReleaseSemaphore(sem, 1, &previous) && previous >= 0 && previous < kSemaphoreCount);
    }
    // True when the wait took its objects; a time-out is fine, anything else counts as failed.
    bool took(DWORD r, DWORD want = WAIT_OBJECT_0) {
        check(r == want || r == WAIT_TIMEOUT);
        return r == want;
    }
    void step() {
        switch (random() % 7) {
        case 0:  // the mutex, sometimes taken again recursively
            if (took(WaitForSingleObject(mutex, timeout()))) {
                bool twice = random() % 3 == 0;
                if (twice) check(WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0);
                underMutex();
                if (twice) check(ReleaseMutex(mutex));
                check(ReleaseMutex(mutex));
            }
            break;
        case 1: if (took(WaitForSingleObject(sem, timeout()))) useSemaphoreUnit(); break;
        case 2: {  // both at once
            HANDLE both[2] = {mutex, sem};
            if (took(WaitForMultipleObjects(2, both, TRUE, timeout()))) {
                underMutex();
                useSemaphoreUnit();
                check(ReleaseMutex(mutex));
            }
            break;
        }
        case 3: {  // any of the events or the semaphore
            HANDLE any[3] = {automatic, manual, sem};
            DWORD r = WaitForMultipleObjects(3, any, FALSE, timeout());
            if (r == WAIT_OBJECT_0 + 2) useSemaphoreUnit();
            else check(r == WAIT_TIMEOUT || r == WAIT_OBJECT_0 || r == WAIT_OBJECT_0 + 1);
            break;
        }
        case 4: took(WaitForSingleObject(anEvent(), timeout())); break;
        case 5: check(SetEvent(anEvent())); break;
        default:
            check(random() % 2 ? PulseEvent(anEvent()) : ResetEvent(anEvent()));
        }
    }
};

void hammer(Shared* shared, int process, int thread, std::chrono::steady_clock::time_point end) {
    Worker w{shared, process, OpenMutexA(SYNCHRONIZE, FALSE, "stress.mutex"),
             OpenSemaphoreA(SYNCHRONIZE, FALSE, "stress.sem"), OpenEventA(SYNCHRONIZE, FALSE, "stress.manual"),
             OpenEventA(SYNCHRONIZE, FALSE, "stress.auto"), std::mt19937(static_cast<unsigned>(process * 100 + thread))};
    if (!w.mutex || !w.sem || !w.manual || !w.automatic) return w.check(false);
    while (std::chrono::steady_clock::now() < end) w.step();
    for (HANDLE h : {w.mutex, w.sem, w.manual, w.automatic}) w.check(CloseHandle(h));
}

TEST_F(SyncStress, ProcessesAndThreadsHammeringSharedObjectsKeepEveryCount) {
    void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* shared = new (memory) Shared{};
    HANDLE objects[] = {CreateMutexA(nullptr, FALSE, "stress.mutex"),
                        CreateSemaphoreA(nullptr, kSemaphoreCount, kSemaphoreCount, "stress.sem"),
                        CreateEventA(nullptr, TRUE, FALSE, "stress.manual"),
                        CreateEventA(nullptr, FALSE, FALSE, "stress.auto")};
    for (HANDLE h : objects) ASSERT_NE(h, nullptr);

    auto start = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<Child>> processes;
    for (int p = 0; p < kProcesses; p++)
        processes.push_back(std::make_unique<Child>([=](Child&) {
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; t++) threads.emplace_back(hammer, shared, p, t, start + kHammerTime);
            for (auto& t : threads) t.join();
            return 0;
        }));
    for (auto& child : processes) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start + kOverallDeadline -
                                                                          std::chrono::steady_clock::now());
        ASSERT_EQ(child->wait(static_cast<int>(std::max<int64_t>(left.count(), 0))), 0) << "process " << child->pid();
    }
    uint64_t increments = 0;
    for (int p = 0; p < kProcesses; p++) {
        EXPECT_GT(shared->increments[p].load(), 0u) << "process " << p << " never got the mutex";
        increments += shared->increments[p];
    }
    EXPECT_EQ(shared->counter, increments);
    EXPECT_EQ(shared->broken.load(), 0);
    EXPECT_EQ(shared->failed.load(), 0);
    EXPECT_EQ(shared->semaphoreHeld.load(), 0);

    for (auto& child : processes) EXPECT_TRUE(waitUntilGone(child->pid()));
    const std::string self = std::to_string(getpid());
    const std::string users = kDumpUsers + self + "-1-0\n";
    std::string text = dump();
    EXPECT_EQ(text.find("wait entry"), std::string::npos) << text;
    EXPECT_NE(text.find("'stress.sem', semaphore, current value 3, maximum value 3, " + users), std::string::npos);
    EXPECT_NE(text.find("'stress.mutex', mutex, unowned, " + users), std::string::npos) << text;
    for (HANDLE h : objects) EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(dump(), kDumpObjects + kDumpWaits + kDumpProcesses + self + " \n");
    for (auto& child : processes)
        EXPECT_NE(access(socketPath(child->pid()).c_str(), F_OK), 0);
    munmap(memory, sizeof(Shared));
}

}  // namespace
