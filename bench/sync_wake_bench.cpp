// Cross-process wake-up latency. Each iteration is a round trip between
// this process and a partner process, that is two wake-ups:
//   - sync events: SetEvent here wakes the partner's WaitForSingleObject
//     through the sync server, and the partner's SetEvent wakes ours;
//   - a bare Unix-socket ping-pong of one byte, the floor of any wake-up
//     that travels over sockets;
//   - a futex wake through shared memory, the floor of any wake-up at all.
// The "per_wake" counter is the time of one wake-up (half a round trip);
// "switches" and "cpu_us" are the context switches and CPU time per round
// trip of all the processes involved (the sync server's included).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "kalvo/synchapi.h"
#include "sync/kvipc_wire.h"
#include "proc_status.h"
#include "sync_bench_server.h"

namespace {

pid_t g_serverPid = -1;

// The process that answers each ping; stopped with the benchmark.
struct Partner {
    pid_t pid = -1;
    bool endsByItself = false;  // told to end, so that it ends normally
    ~Partner() {
        if (endsByItself)
            waitpid(pid, nullptr, 0);
        else
            syncbench::stopChild(pid);
    }
};

ProcCpu cpuOf(std::initializer_list<pid_t> pids) {
    ProcCpu total;
    for (pid_t pid : pids) total += procCpu(pid);
    return total;
}

void reportWakes(benchmark::State& state, const ProcCpu& before, const ProcCpu& after) {
    state.counters["per_wake"] = benchmark::Counter(static_cast<double>(state.iterations()) * 2,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    double n = static_cast<double>(state.iterations());
    state.counters["switches"] = (after.slices - before.slices) / n;
    state.counters["cpu_us"] = (after.ns - before.ns) / 1000 / n;
}

void BM_SyncEventWakeRoundTrip(benchmark::State& state) {
    // Names of this run's own: the server may not yet have seen the last
    // run's partner go, and its signalled quit event would live on.
    static int run = 0;
    std::string suffix = "." + std::to_string(++run);
    std::string pingName = "wake.ping" + suffix, pongName = "wake.pong" + suffix, quitName = "wake.quit" + suffix;
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, pingName.c_str());
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, pongName.c_str());
    HANDLE quit = CreateEventA(nullptr, TRUE, FALSE, quitName.c_str());
    if (ping == nullptr || pong == nullptr || quit == nullptr) {
        state.SkipWithError("the sync server did not answer");
        return;
    }
    {
        Partner partner;
        partner.endsByItself = true;
        partner.pid = fork();
        if (partner.pid == 0) {
            HANDLE in[2] = {OpenEventA(SYNCHRONIZE, FALSE, pingName.c_str()),
                            OpenEventA(SYNCHRONIZE, FALSE, quitName.c_str())};
            HANDLE out = OpenEventA(SYNCHRONIZE, FALSE, pongName.c_str());
            while (WaitForMultipleObjects(2, in, FALSE, INFINITE) == WAIT_OBJECT_0 && SetEvent(out)) {
            }
            exit(0);  // a normal end: the library removes its socket
        }
        ProcCpu before = cpuOf({getpid(), partner.pid, g_serverPid});
        for (auto _ : state) {
            if (!SetEvent(ping) || WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) {
                state.SkipWithError("the partner did not answer");
                break;
            }
        }
        reportWakes(state, before, cpuOf({getpid(), partner.pid, g_serverPid}));
        SetEvent(quit);
    }
    for (HANDLE h : {ping, pong, quit}) CloseHandle(h);
}
BENCHMARK(BM_SyncEventWakeRoundTrip)->UseRealTime();

void BM_BareSocketWakeRoundTrip(benchmark::State& state) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        state.SkipWithError("no socket pair");
        return;
    }
    Partner partner;
    partner.pid = fork();
    if (partner.pid == 0) {
        close(fds[0]);
        char c;
        while (kvWireRecvAll(fds[1], &c, 1) && kvWireSendAll(fds[1], &c, 1)) {
        }
        _exit(0);
    }
    close(fds[1]);
    char c = 'p';
    ProcCpu before = cpuOf({getpid(), partner.pid});
    for (auto _ : state) {
        if (!kvWireSendAll(fds[0], &c, 1) || !kvWireRecvAll(fds[0], &c, 1)) {
            state.SkipWithError("the partner did not answer");
            break;
        }
    }
    reportWakes(state, before, cpuOf({getpid(), partner.pid}));
    close(fds[0]);
}
BENCHMARK(BM_BareSocketWakeRoundTrip)->UseRealTime();

long futex(std::atomic<uint32_t>* word, int op, uint32_t value) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, nullptr, nullptr, 0);
}

// Waits until the word is 1, then clears it.
void futexTake(std::atomic<uint32_t>* word) {
    while (word->exchange(0) == 0) futex(word, FUTEX_WAIT, 0);
}

void futexGive(std::atomic<uint32_t>* word) {
    word->store(1);
    futex(word, FUTEX_WAKE, 1);
}

void BM_FutexWakeRoundTrip(benchmark::State& state) {
    void* memory = mmap(nullptr, 2 * sizeof(std::atomic<uint32_t>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) {
        state.SkipWithError("no shared mapping");
        return;
    }
    auto* ping = new (memory) std::atomic<uint32_t>(0);
    auto* pong = new (ping + 1) std::atomic<uint32_t>(0);
    {
        Partner partner;
        partner.pid = fork();
        if (partner.pid == 0) {
            for (;;) {
                futexTake(ping);
                futexGive(pong);
            }
        }
        ProcCpu before = cpuOf({getpid(), partner.pid});
        for (auto _ : state) {
            futexGive(ping);
            futexTake(pong);
        }
        reportWakes(state, before, cpuOf({getpid(), partner.pid}));
    }
    munmap(memory, 2 * sizeof(std::atomic<uint32_t>));
}
BENCHMARK(BM_FutexWakeRoundTrip)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    g_serverPid = syncbench::startServer();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    syncbench::stopServer(g_serverPid);
    return 0;
}
