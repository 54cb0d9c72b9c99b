// Round trips of the sync protocol: create-and-close of an event through the
// client library against the real server code running in a child process,
// beside a bare Unix-socket ping-pong of the same message sizes between two
// processes, which is the floor any request/reply protocol here stands on.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "kalvo/synchapi.h"
#include "sync/kvipc_wire.h"
#include "sync_bench_server.h"

namespace {

constexpr const char* kEventName = "bench";

pid_t g_serverPid = -1;
pid_t g_echoPid = -1;
int g_echoFd = -1;

// Reads a framed request and answers with reply-length zero bytes.
[[noreturn]] void echoLoop(int fd) {
    char buf[4096];
    for (;;) {
        KvIPCHeader h;
        if (!kvWireRecvAll(fd, &h, sizeof h) || h.requestLength < 0 ||
            h.requestLength > static_cast<int32_t>(sizeof buf) || h.replyLength < 0 ||
            h.replyLength > static_cast<int32_t>(sizeof buf) ||
            !kvWireRecvAll(fd, buf, static_cast<size_t>(h.requestLength)))
            _exit(0);
        memset(buf, 0, static_cast<size_t>(h.replyLength));
        if (!kvWireSendAll(fd, buf, static_cast<size_t>(h.replyLength))) _exit(0);
    }
}

void startEcho() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    g_echoPid = fork();
    if (g_echoPid == 0) {
        close(fds[0]);
        echoLoop(fds[1]);
    }
    close(fds[1]);
    g_echoFd = fds[0];
}

void BM_CreateCloseEvent(benchmark::State& state) {
    for (auto _ : state) {
        HANDLE h = CreateEventA(nullptr, FALSE, FALSE, kEventName);
        if (h == nullptr || !CloseHandle(h)) {
            state.SkipWithError("the sync server did not answer");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * 2);  // round trips
}
BENCHMARK(BM_CreateCloseEvent)->UseRealTime();

// Each request on its own: creations of unnamed events (closed untimed
// afterwards), and closes of handles made ahead in untimed batches.
void BM_CreateEvent(benchmark::State& state) {
    std::vector<HANDLE> made;
    made.reserve(1 << 16);
    for (auto _ : state) {
        HANDLE h = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (h == nullptr) {
            state.SkipWithError("the sync server did not answer");
            break;
        }
        made.push_back(h);
        if (made.size() == made.capacity()) {
            state.PauseTiming();
            for (HANDLE m : made) CloseHandle(m);
            made.clear();
            state.ResumeTiming();
        }
    }
    for (HANDLE m : made) CloseHandle(m);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CreateEvent)->UseRealTime();

void BM_CloseHandle(benchmark::State& state) {
    std::vector<HANDLE> ahead;
    for (auto _ : state) {
        if (ahead.empty()) {
            state.PauseTiming();
            for (int i = 0; i < 4096; i++) ahead.push_back(CreateEventA(nullptr, FALSE, FALSE, nullptr));
            state.ResumeTiming();
        }
        HANDLE h = ahead.back();
        ahead.pop_back();
        if (h == nullptr || !CloseHandle(h)) {
            state.SkipWithError("the sync server did not answer");
            break;
        }
    }
    for (HANDLE h : ahead) CloseHandle(h);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CloseHandle)->UseRealTime();

// The same two messages as create and close: header plus three words and
// the name out, twelve bytes back; header plus two words out, twelve back.
void BM_BareSocketPingPong(benchmark::State& state) {
    auto message = [](uint32_t opcode, size_t bodyLength) {
        KvIPCHeader h{opcode, static_cast<int32_t>(bodyLength), 12};
        return std::string(reinterpret_cast<const char*>(&h), sizeof h) + std::string(bodyLength, 'b');
    };
    const std::string create = message(KV_OP_CREATE_EVENT, 12 + strlen(kEventName) + 1);
    const std::string closing = message(KV_OP_CLOSE_HANDLE, 8);
    char reply[12];
    for (auto _ : state) {
        if (!kvWireSendAll(g_echoFd, create.data(), create.size()) || !kvWireRecvAll(g_echoFd, reply, sizeof reply) ||
            !kvWireSendAll(g_echoFd, closing.data(), closing.size()) || !kvWireRecvAll(g_echoFd, reply, sizeof reply)) {
            state.SkipWithError("the echo process did not answer");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_BareSocketPingPong)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    g_serverPid = syncbench::startServer();
    startEcho();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_echoFd >= 0) close(g_echoFd);
    syncbench::stopChild(g_echoPid);
    syncbench::stopServer(g_serverPid);
    return 0;
}
