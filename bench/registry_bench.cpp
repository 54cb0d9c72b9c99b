// Registry calls per second over loopback against a private daemon: open-key,
// query-value and set-value through the client library, beside the null
// procedure (the floor of any call) and a bare OPEN_KEY call. The registry holds 100,000 keys under
// one parent and another 100,000 spread over a three-level tree, so the
// flat case shows the cost of walking a long child list.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "client/kalvo_rpc_client.h"
#include "harness/daemon_harness.h"
#include "kalvo/winreg.h"

namespace {

constexpr int kKeys = 100000;
constexpr int kFanout1 = 50;
constexpr int kFanout2 = 50;
constexpr int kFanout3 = kKeys / (kFanout1 * kFanout2);
constexpr size_t kSamples = 1024;

enum Shape { FLAT = 0, TREE = 1 };

struct Sample {
    std::string path;  // below the shape's parent
    HKEY key;
};

HKEY g_parent[2];
std::vector<Sample> g_samples[2];

std::string flatName(int i) { return "Key" + std::to_string(i); }

std::string treePath(int i) {
    int a = i / (kFanout2 * kFanout3);
    int b = (i / kFanout3) % kFanout2;
    int c = i % kFanout3;
    return "Node" + std::to_string(a) + "\\Node" + std::to_string(b) + "\\Leaf" + std::to_string(c);
}

bool populate(Shape shape) {
    const char* name = shape == FLAT ? "Flat" : "Tree";
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, name, &g_parent[shape]) != ERROR_SUCCESS) return false;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kKeys; i++) {
        HKEY k;
        std::string path = shape == FLAT ? flatName(i) : treePath(i);
        if (RegCreateKeyA(g_parent[shape], path.c_str(), &k) != ERROR_SUCCESS) return false;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fprintf(stderr, "populated %s: %d keys in %.1f s\n", name, kKeys, secs);
    // The keys the benchmarks visit, each with one value.
    std::mt19937 rng(shape == FLAT ? 1 : 2);
    std::uniform_int_distribution<int> pick(0, kKeys - 1);
    for (size_t s = 0; s < kSamples; s++) {
        int i = pick(rng);
        Sample sample{shape == FLAT ? flatName(i) : treePath(i), nullptr};
        if (RegOpenKeyA(g_parent[shape], sample.path.c_str(), &sample.key) != ERROR_SUCCESS) return false;
        DWORD v = static_cast<DWORD>(i);
        if (RegSetValueExA(sample.key, "val", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) !=
            ERROR_SUCCESS)
            return false;
        g_samples[shape].push_back(sample);
    }
    return true;
}

// Calls per second of wall time (the benchmarks run with real time): the
// caller mostly waits on the daemon, so CPU time would overstate the rate.
void setRate(benchmark::State& state) { state.SetItemsProcessed(state.iterations()); }

void BM_NullProcedure(benchmark::State& state) {
    std::string error;
    CLIENT* clnt = kalvoThreadClient(2, &error);
    if (clnt == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    xdrproc_t xvoid = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));
    for (auto _ : state) {
        if (kalvoCall(clnt, 2, REGD_NULLPROC, xvoid, nullptr, xvoid, nullptr) != RPC_SUCCESS) {
            state.SkipWithError("null procedure failed");
            break;
        }
    }
    setRate(state);
}

// Runs `call` on the shape's samples in turn until it fails.
template <typename Call>
void runOverSamples(benchmark::State& state, const char* what, Call call) {
    Shape shape = static_cast<Shape>(state.range(0));
    size_t n = 0;
    for (auto _ : state) {
        if (call(shape, g_samples[shape][n % kSamples], n) != ERROR_SUCCESS) {
            state.SkipWithError(what);
            break;
        }
        n++;
    }
    setRate(state);
}

void BM_OpenKey(benchmark::State& state) {
    runOverSamples(state, "open failed", [](Shape shape, const Sample& s, size_t) {
        HKEY k;
        return RegOpenKeyA(g_parent[shape], s.path.c_str(), &k);
    });
}

void BM_QueryValue(benchmark::State& state) {
    runOverSamples(state, "query failed", [](Shape, const Sample& s, size_t) {
        DWORD v = 0;
        DWORD size = sizeof v;
        DWORD type = 0;
        return RegQueryValueExA(s.key, "val", nullptr, &type, reinterpret_cast<LPBYTE>(&v), &size);
    });
}

void BM_SetValue(benchmark::State& state) {
    runOverSamples(state, "set failed", [](Shape, const Sample& s, size_t n) {
        DWORD v = static_cast<DWORD>(n);
        return RegSetValueExA(s.key, "val", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    });
}

// OPEN_KEY with a header filled once: the call without the library's
// per-call work of looking up the user and host.
void BM_OpenKeyRaw(benchmark::State& state) {
    std::string error;
    CLIENT* clnt = kalvoThreadClient(2, &error);
    if (clnt == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    regd_REG_OPEN_KEY req{};
    kalvoFillHeader(&req.userData);
    runOverSamples(state, "raw open failed", [&](Shape shape, const Sample& s, size_t) -> LONG {
        req.hKey = KALVO_HKEY_VALUE(g_parent[shape]);
        req.lpSubKey = const_cast<char*>(s.path.c_str());
        regd_REG_OPEN_KEY_RES res{};
        enum clnt_stat st = kalvoCall(clnt, 2, REG_OPEN_KEY, reinterpret_cast<xdrproc_t>(xdr_regd_REG_OPEN_KEY),
                                      &req, reinterpret_cast<xdrproc_t>(xdr_regd_REG_OPEN_KEY_RES), &res);
        return st == RPC_SUCCESS ? static_cast<LONG>(res.ret.retval) : RPC_S_CALL_FAILED;
    });
    kalvoFreeHeader(&req.userData);
}

// Also walks the list: opens the key by path from the parent and queries
// in one call, as a caller without a handle does.
void BM_QueryValueByPath(benchmark::State& state) {
    runOverSamples(state, "query by path failed", [](Shape shape, const Sample& s, size_t) {
        std::string path = s.path + "\\val";
        DWORD v = 0;
        DWORD size = sizeof v;
        return RegQueryValueExA(g_parent[shape], path.c_str(), nullptr, nullptr, reinterpret_cast<LPBYTE>(&v),
                                &size);
    });
}

BENCHMARK(BM_NullProcedure)->UseRealTime();
BENCHMARK(BM_OpenKey)->ArgName("tree")->Arg(FLAT)->Arg(TREE)->UseRealTime();
BENCHMARK(BM_OpenKeyRaw)->ArgName("tree")->Arg(FLAT)->Arg(TREE)->UseRealTime();
BENCHMARK(BM_QueryValue)->ArgName("tree")->Arg(FLAT)->Arg(TREE)->UseRealTime();
BENCHMARK(BM_SetValue)->ArgName("tree")->Arg(FLAT)->Arg(TREE)->UseRealTime();
BENCHMARK(BM_QueryValueByPath)->ArgName("tree")->Arg(FLAT)->Arg(TREE)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kalvotest::PrivateDaemon daemon;
    std::string error;
    if (!daemon.start(&error)) {
        fprintf(stderr, "cannot start a daemon: %s\n", error.c_str());
        return 1;
    }
    daemon.exportEnv();
    if (!populate(TREE) || !populate(FLAT)) {
        fprintf(stderr, "populating the registry failed\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    daemon.stop();
    return 0;
}
