// The serving loop under load, in one run: calls per second with 1, 2, 4 and
// 8 concurrent clients (query-value and set-value), with one worker thread
// beside the default; the latency of one client alone and while hostile
// clients (a stalled record, a huge unread reply, a slow reader, 2,000 idle
// connections) are connected; and what an idle connection and a stalled
// record cost the daemon.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness/wire_client.h"
#include "transport/raw_rpc.h"

using namespace kalvotest;

namespace {

using Clock = std::chrono::steady_clock;
constexpr double RUN_SECONDS = 1.5;
constexpr int IDLE_CONNECTIONS = 2000;

// CPU seconds a process has used (user plus system).
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; i++) {
        if (i == 14) utime = std::stoul(f);
        if (i == 15) stime = std::stoul(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Setup {
    uint32_t key;
};

Setup prepare(const PrivateDaemon& d) {
    RegistryRpc rpc(d, 2, localCaller("bench"));
    uint32_t key = rpc.mustCreate(HKLM, "RpcBench");
    rpc.setValueEx(key, "V", 1, std::string("value\0", 6), 6);
    return Setup{key};
}

// Calls per second of `clients` threads, each on its own connection.
double callsPerSecond(const PrivateDaemon& d, const Setup& s, int clients, bool set) {
    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; t++) {
        threads.emplace_back([&, t] {
            RegistryRpc rpc(d, 2, localCaller("bench"));
            std::string name = "W" + std::to_string(t);
            long n = 0;
            while (!stop) {
                if (set) rpc.setValueEx(s.key, name, 4, std::string(4, 'x'), 4);
                else rpc.queryValueEx(s.key, "V", 64);
                n++;
            }
            calls += n;
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(RUN_SECONDS));
    stop = true;
    for (auto& t : threads) t.join();
    return static_cast<double>(calls) / RUN_SECONDS;
}

struct Latency {
    double medianMs, p99Ms, maxMs;
};

Latency oneClientLatency(const PrivateDaemon& d, const Setup& s, int calls) {
    RegistryRpc rpc(d, 2, localCaller("bench"));
    std::vector<double> ms;
    for (int i = 0; i < calls; i++) {
        auto start = Clock::now();
        rpc.queryValueEx(s.key, "V", 64);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::sort(ms.begin(), ms.end());
    return Latency{ms[ms.size() / 2], ms[ms.size() * 99 / 100], ms.back()};
}

void throughputTable(const char* label) {
    PrivateDaemon d;
    std::string err;
    if (!d.start(&err)) {
        fprintf(stderr, "cannot start daemon: %s\n", err.c_str());
        exit(1);
    }
    Setup s = prepare(d);
    for (int clients : {1, 2, 4, 8}) {
        double q = callsPerSecond(d, s, clients, false);
        double w = callsPerSecond(d, s, clients, true);
        printf("| %s | %d | %.0f | %.0f |\n", label, clients, q, w);
    }
}

}  // namespace

int main() {
    raiseFileLimit();
    printf("Calls per second (%.1f s per cell)\n\n", RUN_SECONDS);
    printf("| workers | clients | query-value calls/s | set-value calls/s |\n|---|---|---|---|\n");
    {
        ScopedEnv one("KALVO_REGISTRYD_WORKERS", "1");
        throughputTable("1");
    }
    throughputTable("default");

    PrivateDaemon d;
    std::string err;
    if (!d.start(&err)) {
        fprintf(stderr, "cannot start daemon: %s\n", err.c_str());
        return 1;
    }
    Setup s = prepare(d);
    Latency alone = oneClientLatency(d, s, 3000);

    // The hostile clients: idle connections first, measured on their own.
    long rssBefore = procStatusKb(d.pid(), "VmRSS");
    auto idle = servedConnections(d.prog(), IDLE_CONNECTIONS);
    long rssAfter = procStatusKb(d.pid(), "VmRSS");
    RawRpc stalled(d.prog());
    stalled.send(be32({0x80000000u | 65540u}) + "abcdefgh");
    // A stalled record must cost nothing while it waits (no spinning on it).
    double cpuBefore = cpuSeconds(d.pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    double stalledCpu = cpuSeconds(d.pid()) - cpuBefore;
    RawRpc hog(d.prog());
    hog.send(record(callMessage(7, d.prog(), 2, 18, bigQueryArgs(64u * 1024u * 1024u))));
    RawRpc slow(d.prog());
    slow.send(record(callMessage(8, d.prog(), 2, 18, bigQueryArgs(64u * 1024u * 1024u))));
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        std::vector<char> buf(256 * 1024);
        while (!stop) {
            (void)recv(slow.fd, buf.data(), buf.size(), MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    });
    // Measured once both huge replies are made and waiting.
    for (int fd : {hog.fd, slow.fd}) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 30000);
    }
    Latency hostile = oneClientLatency(d, s, 3000);
    stop = true;
    reader.join();

    printf("\nOne client's QUERY_VALUE_EX latency (3,000 calls each)\n\n");
    printf("| | median | p99 | max |\n|---|---|---|---|\n");
    printf("| alone | %.3f ms | %.3f ms | %.3f ms |\n", alone.medianMs, alone.p99Ms, alone.maxMs);
    printf("| with hostile clients | %.3f ms | %.3f ms | %.3f ms |\n", hostile.medianMs, hostile.p99Ms,
           hostile.maxMs);
    printf("\nmedian with / without: %.2fx (target <= 2x)\n", hostile.medianMs / alone.medianMs);
    double perIdle = static_cast<double>(rssAfter - rssBefore) * 1024.0 / static_cast<double>(idle.size());
    printf("idle connections: %zu, daemon VmRSS %ld -> %ld KiB: %.0f bytes each (target < 16 KiB)\n", idle.size(),
           rssBefore, rssAfter, perIdle);
    printf("daemon CPU over 1 s with a stalled record waiting: %.2f s (target < 0.1 s)\n", stalledCpu);
    return 0;
}
