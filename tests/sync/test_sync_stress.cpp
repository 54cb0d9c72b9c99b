// Many processes and threads hammer one mutex, one semaphore and two events
// through the client library, with random time-outs, for a fixed time. A
// counter in memory shared by the processes is changed only under the
// mutex; at the end it must be exact, the semaphore back at its start, no
// thread stuck, and the daemon left with no wait and, once the objects are
// closed, no object.
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
#include "harness/wire_client.h"

using namespace kalvotest;

namespace {

using SyncStress = SyncDaemonTest;

constexpr int kProcesses = 8;
constexpr int kThreads = 4;
constexpr auto kHammerTime = std::chrono::seconds(6);
// Past this every process must have ended; one that has not is stuck.
constexpr auto kOverallDeadline = kHammerTime + std::chrono::seconds(15);
constexpr LONG kSemaphoreCount = 3;
constexpr int kMaxTimeoutMs = 20;

// Lives in a shared anonymous mapping made before the processes fork.
struct Shared {
    uint64_t counter;                    // changed only by the mutex's owner
    std::atomic<int32_t> holder;         // thread id of the mutex's owner, 0 for none
    std::atomic<int32_t> semaphoreHeld;  // units taken and not yet given back
    std::atomic<int> broken;             // exclusion or count violations seen
    std::atomic<int> failed;             // calls that failed or answered wrongly
    std::atomic<uint64_t> increments[kProcesses];
    std::atomic<uint64_t> waits[kProcesses];
};

struct Objects {
    HANDLE mutex, sem, manual, automatic;
};

Objects openObjects() {
    return {OpenMutexA(SYNCHRONIZE, FALSE, "stress.mutex"), OpenSemaphoreA(SYNCHRONIZE, FALSE, "stress.sem"),
            OpenEventA(SYNCHRONIZE, FALSE, "stress.manual"), OpenEventA(SYNCHRONIZE, FALSE, "stress.auto")};
}

// The mutex is held: the counter goes up by a read and a later write, which
// two owners at once would show as a lost increment.
void underMutex(Shared* shared, int32_t self, std::atomic<uint64_t>& mine, std::mt19937& random) {
    if (shared->holder.exchange(self) != 0) shared->broken++;
    uint64_t value = shared->counter;
    if (random() % 8 == 0) sched_yield();
    shared->counter = value + 1;
    mine++;
    if (shared->holder.exchange(0) != self) shared->broken++;
}

void tookSemaphore(Shared* shared) {
    if (shared->semaphoreHeld.fetch_add(1) + 1 > kSemaphoreCount) shared->broken++;
}

void giveSemaphore(Shared* shared, HANDLE sem) {
    shared->semaphoreHeld--;
    LONG previous = -1;
    if (!ReleaseSemaphore(sem, 1, &previous) || previous < 0 || previous >= kSemaphoreCount) shared->failed++;
}

void hammer(Shared* shared, int process, int thread, std::chrono::steady_clock::time_point end) {
    Objects o = openObjects();
    if (!o.mutex || !o.sem || !o.manual || !o.automatic) {
        shared->failed++;
        return;
    }
    std::mt19937 random(static_cast<unsigned>(process * 100 + thread));
    const int32_t self = static_cast<int32_t>(syscall(SYS_gettid));
    auto timeout = [&] { return static_cast<DWORD>(random() % (kMaxTimeoutMs + 1)); };
    while (std::chrono::steady_clock::now() < end) {
        shared->waits[process]++;
        switch (random() % 7) {
        case 0: {  // the mutex, sometimes taken again recursively
            DWORD r = WaitForSingleObject(o.mutex, timeout());
            if (r == WAIT_TIMEOUT) break;
            if (r != WAIT_OBJECT_0) {
                shared->failed++;
                break;
            }
            bool twice = random() % 3 == 0;
            if (twice && WaitForSingleObject(o.mutex, 0) != WAIT_OBJECT_0) shared->failed++;
            underMutex(shared, self, shared->increments[process], random);
            if (twice && !ReleaseMutex(o.mutex)) shared->failed++;
            if (!ReleaseMutex(o.mutex)) shared->failed++;
            break;
        }
        case 1: {  // a unit of the semaphore
            DWORD r = WaitForSingleObject(o.sem, timeout());
            if (r == WAIT_TIMEOUT) break;
            if (r != WAIT_OBJECT_0) {
                shared->failed++;
                break;
            }
            tookSemaphore(shared);
            giveSemaphore(shared, o.sem);
            break;
        }
        case 2: {  // both at once
            HANDLE both[2] = {o.mutex, o.sem};
            DWORD r = WaitForMultipleObjects(2, both, TRUE, timeout());
            if (r == WAIT_TIMEOUT) break;
            if (r != WAIT_OBJECT_0) {
                shared->failed++;
                break;
            }
            tookSemaphore(shared);
            underMutex(shared, self, shared->increments[process], random);
            giveSemaphore(shared, o.sem);
            if (!ReleaseMutex(o.mutex)) shared->failed++;
            break;
        }
        case 3: {  // any of the events or the semaphore
            HANDLE any[3] = {o.automatic, o.manual, o.sem};
            DWORD r = WaitForMultipleObjects(3, any, FALSE, timeout());
            if (r == WAIT_OBJECT_0 + 2) {
                tookSemaphore(shared);
                giveSemaphore(shared, o.sem);
            } else if (r != WAIT_TIMEOUT && r != WAIT_OBJECT_0 && r != WAIT_OBJECT_0 + 1) {
                shared->failed++;
            }
            break;
        }
        case 4: {  // one event
            DWORD r = WaitForSingleObject(random() % 2 ? o.automatic : o.manual, timeout());
            if (r != WAIT_TIMEOUT && r != WAIT_OBJECT_0) shared->failed++;
            break;
        }
        case 5:
            if (!SetEvent(random() % 2 ? o.automatic : o.manual)) shared->failed++;
            break;
        default: {
            HANDLE event = random() % 2 ? o.automatic : o.manual;
            if (!(random() % 2 ? PulseEvent(event) : ResetEvent(event))) shared->failed++;
            break;
        }
        }
    }
    for (HANDLE h : {o.mutex, o.sem, o.manual, o.automatic})
        if (!CloseHandle(h)) shared->failed++;
}

TEST_F(SyncStress, ProcessesAndThreadsHammeringSharedObjectsKeepEveryCount) {
    void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto* shared = new (memory) Shared{};
    Objects o{CreateMutexA(nullptr, FALSE, "stress.mutex"),
              CreateSemaphoreA(nullptr, kSemaphoreCount, kSemaphoreCount, "stress.sem"),
              CreateEventA(nullptr, TRUE, FALSE, "stress.manual"), CreateEventA(nullptr, FALSE, FALSE, "stress.auto")};
    ASSERT_TRUE(o.mutex && o.sem && o.manual && o.automatic);

    auto start = std::chrono::steady_clock::now();
    auto end = start + kHammerTime;
    std::vector<std::unique_ptr<Child>> processes;
    for (int p = 0; p < kProcesses; p++) {
        processes.push_back(std::make_unique<Child>([=](Child&) {
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; t++) threads.emplace_back(hammer, shared, p, t, end);
            for (auto& t : threads) t.join();
            return 0;
        }));
    }
    int stuck = 0;
    for (auto& child : processes) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start + kOverallDeadline -
                                                                          std::chrono::steady_clock::now());
        int status = child->wait(static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (status < 0) stuck++;
        EXPECT_EQ(status, 0) << "process " << child->pid();
    }
    ASSERT_EQ(stuck, 0) << "processes still running past the deadline";

    uint64_t increments = 0, waits = 0;
    for (int p = 0; p < kProcesses; p++) {
        EXPECT_GT(shared->increments[p].load(), 0u) << "process " << p << " never got the mutex";
        increments += shared->increments[p];
        waits += shared->waits[p];
    }
    EXPECT_EQ(shared->counter, increments);
    EXPECT_EQ(shared->broken.load(), 0);
    EXPECT_EQ(shared->failed.load(), 0);
    EXPECT_EQ(shared->semaphoreHeld.load(), 0);
    std::cout << "[ stress   ] " << waits << " operations, " << increments << " counted increments\n";

    for (auto& child : processes) EXPECT_TRUE(waitUntilGone(child->pid()));
    const std::string self = std::to_string(getpid());
    std::string text = dump();
    EXPECT_EQ(text.find("wait entry"), std::string::npos) << text;
    EXPECT_NE(text.find("name 'stress.sem', semaphore, current value 3, maximum value 3, "
                        "in use by (process-refcount-waitcount): " + self + "-1-0\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("name 'stress.mutex', mutex, unowned, in use by (process-refcount-waitcount): " + self +
                        "-1-0\n"),
              std::string::npos)
        << text;
    for (HANDLE h : {o.mutex, o.sem, o.manual, o.automatic}) EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(dump(), "---------- Cross-process sync objects ---------\n"
                      "---------- Cross-process wait queue ---------\n"
                      "----------- Processes connected to cross-process sync server ------------\n" +
                          self + " \n");
    for (auto& child : processes)
        EXPECT_NE(access(("/tmp/kalvo_sock_" + std::to_string(child->pid())).c_str(), F_OK), 0);
    munmap(memory, sizeof(Shared));
}

}  // namespace
