// Set-value against a private daemon that never had a change notification
// (the store's hook not even installed), beside another with 1,000
// registrations on unrelated keys, and then with none left after those
// ended (hook installed, nothing to find). Chunks on the two daemons
// alternate; wall-clock time and the daemons' own CPU time per call.
//
//   bench_notify [CALLS_PER_CHUNK] [PAIRS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <string>
#include <vector>

#include "harness/daemon_harness.h"
#include "kalvo/synchapi.h"
#include "kalvo/winreg.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWatches = 1000;

// Microseconds per RegSetValueExA on `key`; -1 when one fails.
double setValueRound(HKEY key, int calls) {
    auto t = Clock::now();
    for (int i = 0; i < calls; i++) {
        DWORD v = static_cast<DWORD>(i);
        if (RegSetValueExA(key, "v", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) != ERROR_SUCCESS) return -1;
    }
    return std::chrono::duration<double>(Clock::now() - t).count() * 1e6 / calls;
}

// CPU time the daemon's threads have used, in nanoseconds.
double daemonCpuNs(pid_t pid) {
    double total = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream in(task.path() / "schedstat");
        double ns = 0;
        if (in >> ns) total += ns;
    }
    return total;
}

// Puts every thread of `pid` (0: this process) on CPU 0. On a shared
// virtual machine one CPU can be much slower than the other for minutes,
// which would fall on whichever daemon ran there.
void pinToFirstCpu(pid_t pid) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(0, &one);
    std::string dir = "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/task";
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator(dir, ec))
        sched_setaffinity(static_cast<pid_t>(std::stol(task.path().filename())), sizeof one, &one);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One daemon's keys: the target and the unrelated keys to watch.
struct Setup {
    kalvotest::PrivateDaemon daemon{{"-i", "100000"}};  // no periodic save within the run
    HKEY target = nullptr;
    std::vector<HKEY> others = std::vector<HKEY>(kWatches);

    bool start() {
        std::string error;
        if (!daemon.start(&error)) {
            fprintf(stderr, "daemon: %s\n", error.c_str());
            return false;
        }
        daemon.exportEnv();
        bool ok = RegCreateKeyA(HKEY_LOCAL_MACHINE, "Bench\\Target", &target) == ERROR_SUCCESS;
        for (int i = 0; i < kWatches && ok; i++)
            ok = RegCreateKeyA(HKEY_LOCAL_MACHINE, ("Bench\\Other\\K" + std::to_string(i)).c_str(), &others[i]) ==
                 ERROR_SUCCESS;
        return ok;
    }
};

// One chunk of set-values on `setup`'s target: wall-clock and daemon CPU
// microseconds per call, after one untimed call (a switch of daemon makes
// the connection anew).
struct Chunk {
    double wallUs, cpuUs;
};
Chunk timeChunk(Setup& setup, int calls) {
    setup.daemon.exportEnv();
    setValueRound(setup.target, 1);
    double cpu = daemonCpuNs(setup.daemon.pid());
    double wall = setValueRound(setup.target, calls);
    return {wall, (daemonCpuNs(setup.daemon.pid()) - cpu) / calls / 1000};
}

// Chunks of `plain` and `other` in pairs, in the order ABBA, so that drift
// in the machine's load falls on both alike; medians of each and of the
// per-pair ratios.
struct Comparison {
    double plainWall, otherWall, wallRatio, plainCpu, otherCpu, cpuRatio;
};
Comparison compare(Setup& plain, Setup& other, int pairs, int calls) {
    std::vector<double> pw, ow, wr, pc, oc, cr;
    for (int i = 0; i < pairs; i++) {
        Chunk a, b;
        if (i % 2 == 0) {
            a = timeChunk(plain, calls);
            b = timeChunk(other, calls);
        } else {
            b = timeChunk(other, calls);
            a = timeChunk(plain, calls);
        }
        pw.push_back(a.wallUs);
        ow.push_back(b.wallUs);
        wr.push_back(b.wallUs / a.wallUs);
        pc.push_back(a.cpuUs);
        oc.push_back(b.cpuUs);
        cr.push_back(b.cpuUs / a.cpuUs);
    }
    return {median(pw), median(ow), median(wr), median(pc), median(oc), median(cr)};
}

void printRow(const char* what, const Comparison& c) {
    printf("| %s | %.1f | %.1f | %.3f | %.1f | %.1f | %.3f |\n", what, c.plainWall, c.otherWall, c.wallRatio,
           c.plainCpu, c.otherCpu, c.cpuRatio);
}

}  // namespace

int main(int argc, char** argv) {
    int calls = argc > 1 ? atoi(argv[1]) : 300;
    int pairs = argc > 2 ? atoi(argv[2]) : 30;
    // Two daemons: `plain` never sees a registration.
    Setup plain, watched;
    if (!plain.start() || !watched.start()) return 1;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // an event of the second daemon
    if (event == nullptr) return 1;
    pinToFirstCpu(plain.daemon.pid());
    pinToFirstCpu(watched.daemon.pid());
    pinToFirstCpu(0);
    // Half of them subtree watches, which make every change look at its
    // key's ancestors.
    bool ok = true;
    for (int i = 0; i < kWatches && ok; i++)
        ok = RegNotifyChangeKeyValue(watched.others[i], i % 2,
                                     REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_THREAD_AGNOSTIC,
                                     event, TRUE) == ERROR_SUCCESS;
    Comparison live = compare(plain, watched, pairs, calls);
    watched.daemon.exportEnv();
    bool firedWrongly = WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
    for (HKEY k : watched.others) RegCloseKey(k);  // ends each watch
    Comparison gone = compare(plain, watched, pairs, calls);
    CloseHandle(event);
    plain.daemon.stop();
    watched.daemon.stop();
    if (!ok || firedWrongly) {
        fprintf(stderr, ok ? "a watch on an unrelated key fired\n" : "a registration failed\n");
        return 1;
    }
    printf("set-value, us per call; medians of %d pairs of chunks of %d calls\n\n", pairs, calls);
    printf("| second daemon | wall, none | wall, second | ratio | daemon CPU, none | daemon CPU, second | ratio |\n");
    printf("|---|---|---|---|---|---|---|\n");
    printRow("1,000 registrations on unrelated keys", live);
    printRow("after they all ended", gone);
    return 0;
}
