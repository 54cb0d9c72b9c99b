// Loading and fully saving a registry of 1,000,000 records, beside copying
// the same file with cp (and with cp followed by an fsync of the copy, since
// every save is flushed to disk before it replaces the old file). Peak
// memory of a load, and of a load followed by a save, is measured in child
// processes so that each phase has a peak of its own.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/proc_status.h"
#include "base/config.h"
#include "base/files.h"
#include "base/log.h"
#include "base/strings.h"
#include "store/regdcache.h"
#include "store/regdio.h"

extern char** environ;

namespace {

constexpr int kGroups = 250;
constexpr int kKeysPerGroup = 200;
constexpr int kValuesPerKey = 19;  // 50,250 keys and 950,000 values, with the few every registry has
// The main file name, so that regdLoadRegistry reads it and a full save
// rewrites it in place.
const char* const kSource = REGD_DB_FILE;

std::string g_dir;
uint64_t g_fileBytes = 0;

// The registry the benchmarks load: keys with a class, string values.
void buildSourceFile() {
    regdInitCache();
    uint32_t bench = 0;
    regdInsertKey(RegdCaller{}, REGD_HKEY_LOCAL_MACHINE, "Software\\Bench", 0, nullptr, 0, 0, nullptr, &bench, nullptr, 0);
    char name[32];
    char text[64];
    for (int g = 0; g < kGroups; g++) {
        uint32_t group = 0;
        snprintf(name, sizeof name, "Group%03d", g);
        regdInsertKey(RegdCaller{}, bench, name, 0, nullptr, 0, 0, nullptr, &group, nullptr, 0);
        for (int k = 0; k < kKeysPerGroup; k++) {
            uint32_t key = 0;
            snprintf(name, sizeof name, "Key%06d", k);
            regdInsertKey(RegdCaller{}, group, name, 0, k % 4 == 0 ? "class" : nullptr, 0, 0, nullptr, &key, nullptr, 0);
            for (int v = 0; v < kValuesPerKey; v++) {
                snprintf(name, sizeof name, "Value%02d", v);
                int len = snprintf(text, sizeof text, "data %d of key %d/%d", v, g, k);
                regdRegSetValue(RegdCaller{}, key, name, 0, REGD_REG_SZ, reinterpret_cast<const uint8_t*>(text),
                                static_cast<uint32_t>(len), 0);
            }
        }
    }
    if (regdWriteRegistryDatabase(RegdCaller{}, 0, kSource, 1) != 0) {
        fprintf(stderr, "cannot write %s\n", kSource);
        exit(1);
    }
    fprintf(stderr, "registry of %u records, %s is %lld bytes\n", g_nEntries, kSource,
            static_cast<long long>(std::filesystem::file_size(kSource)));
    g_fileBytes = std::filesystem::file_size(kSource);
    regdDiscardCache();
}

// High-water mark of this process's own memory. Not getrusage: its maximum
// carries over from a parent whose memory the child shared before exec.
long peakKiB() { return procPeakKiB("self"); }

long currentKiB() {
    FILE* f = fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (f != nullptr) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Run as a fresh process (see main), so that nothing of the benchmark's own
// building shows in the figures: resident memory before, peak after the
// load, resident after it, and peak once a full save has run as well.
int measurePeaks() {
    long base = currentKiB();
    bool fromMain = false;
    auto t = std::chrono::steady_clock::now();
    clock_t cpu = clock();
    if (regdLoadRegistry(&fromMain) == 0 || !fromMain) return 1;
    fprintf(stderr, "load in a fresh process (as at start-up): %.1f ms, %.1f ms CPU\n",
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count(),
            static_cast<double>(clock() - cpu) * 1000.0 / CLOCKS_PER_SEC);
    long loadPeak = peakKiB();
    long loaded = currentKiB();
    regdSetDirtyFlag();
    regdWriteEntireRegistryDatabase();
    long savePeak = peakKiB();
    fprintf(stderr,
            "memory: %ld KiB resident before the load; load peak %ld KiB (%ld KiB resident after it); "
            "peak with a full save %ld KiB\n",
            base, loadPeak, loaded, savePeak);
    return 0;
}

int timeLoads(int n) {
    for (int i = 0; i < n; i++) {
        auto t0 = std::chrono::steady_clock::now();
        bool fromMain = false;
        if (regdLoadRegistry(&fromMain) == 0 || !fromMain) return 1;
        auto t1 = std::chrono::steady_clock::now();
        fprintf(stderr, "load %.1f ms\n", std::chrono::duration<double, std::milli>(t1 - t0).count());
        regdDiscardCache();
    }
    return 0;
}

int runCommand(const char* const argv[]) {
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) return -1;
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

void BM_Load(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        regdDiscardCache();
        state.ResumeTiming();
        bool fromMain = false;
        if (regdLoadRegistry(&fromMain) == 0 || !fromMain) state.SkipWithError("load failed");
    }
    state.counters["records"] = g_nEntries;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_fileBytes));
    regdDiscardCache();
}

void BM_FullSave(benchmark::State& state) {
    regdDiscardCache();
    regdLoadRegistry();
    for (auto _ : state) {
        regdSetDirtyFlag();
        regdWriteEntireRegistryDatabase();
    }
    state.counters["records"] = g_nEntries;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_fileBytes));
    regdDiscardCache();
}

void BM_CopyWithCp(benchmark::State& state) {
    const char* const cp[] = {"cp", kSource, "copy.dat", nullptr};
    for (auto _ : state)
        if (runCommand(cp) != 0) state.SkipWithError("cp failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_fileBytes));
}

void BM_CopyWithCpAndFsync(benchmark::State& state) {
    const char* const cp[] = {"cp", kSource, "copy.dat", nullptr};
    const char* const sync[] = {"sync", "copy.dat", nullptr};
    for (auto _ : state)
        if (runCommand(cp) != 0 || runCommand(sync) != 0) state.SkipWithError("cp or sync failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_fileBytes));
}

BENCHMARK(BM_Load)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_FullSave)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_CopyWithCp)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_CopyWithCpAndFsync)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    g_verbose = 0;
    if (argc == 3 && strcmp(argv[1], "--peaks-in") == 0)
        return chdir(argv[2]) == 0 ? measurePeaks() : 1;
    if (argc == 3 && strcmp(argv[1], "--loads-in") == 0)  // five loads alone, for a profiler
        return chdir(argv[2]) == 0 ? timeLoads(5) : 1;
    if (argc == 3 && strcmp(argv[1], "--make-in") == 0) {  // the database alone, e.g. for a daemon to start on
        if (chdir(argv[2]) != 0) return 1;
        buildSourceFile();
        return 0;
    }
    char tmpl[] = "/tmp/kalvo_io_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    g_dir = tmpl;
    if (chdir(g_dir.c_str()) != 0) return 1;  // the store's files and log go here
    buildSourceFile();
    const char* const self[] = {"/proc/self/exe", "--peaks-in", g_dir.c_str(), nullptr};
    if (runCommand(self) != 0) fprintf(stderr, "peak measurement failed\n");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (chdir("/") == 0) std::filesystem::remove_all(g_dir);
    return 0;
}
