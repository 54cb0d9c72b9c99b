// Registry calls against one parent of 1,000 / 30,000 / 100,000 / 1,000,000
// children, through the client library against a real private daemon, each
// beside the null procedure timed in the same run. Per fan-out: the database
// file is built in-process, a daemon is started on it (its start-up until it
// answers is timed too), then open, create, query-value (a sub-key's default
// value by name), set-value and enumeration are timed one call kind at a time.
#include <chrono>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <rpc/rpc.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench/proc_status.h"
#include "base/config.h"
#include "client/kalvo_rpc_client.h"
#include "harness/daemon_harness.h"
#include "kalvo/winreg.h"
#include "store/regdcache.h"
#include "store/regdio.h"

namespace {

constexpr int kCalls = 4000;             // per call kind and fan-out
constexpr uint32_t kEnumLimit = 100000;  // indices enumerated at most

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// kalvo_reg.dat in `dir` with HKLM\Fan holding `n` keys Key<i>, each with a
// default value.
bool buildDatabase(const std::string& dir, int n) {
    std::string cwd = std::filesystem::current_path();
    if (chdir(dir.c_str()) != 0) return false;
    regdInitCache();
    const RegdCaller nobody{};
    uint32_t fan = 0;
    regdInsertKey(nobody, REGD_HKEY_LOCAL_MACHINE, "Fan", 0, nullptr, 0, 0, nullptr, &fan, nullptr, 0);
    for (int i = 0; i < n; i++) {
        uint32_t k = 0;
        std::string name = "Key" + std::to_string(i);
        regdInsertKey(nobody, fan, name.c_str(), 0, nullptr, 0, 0, nullptr, &k, nullptr, 0);
        regdRegSetValue(nobody, k, "", 0, REGD_REG_SZ, reinterpret_cast<const uint8_t*>(name.c_str()),
                        static_cast<uint32_t>(name.size() + 1), 0);
    }
    bool ok = regdWriteRegistryDatabase(nobody, 0, "kalvo_reg.dat", 1) == 0;
    regdDiscardCache();
    return chdir(cwd.c_str()) == 0 && ok;
}

// Microseconds per call of `call(i)` for i from `from` on; -1 when one fails.
template <typename Call>
double perCall(int from, int count, Call call) {
    auto t = Clock::now();
    for (int i = from; i < from + count; i++)
        if (!call(i)) return -1;
    return secondsSince(t) * 1e6 / count;
}

// The machine is shared: every kind runs in rounds that alternate with the
// other kinds, and the best round counts, so a burst of load elsewhere
// does not land on one kind only.
constexpr int kRounds = 8;

struct Row {
    int n;
    double startup, null, open, create, query, set, enumerate;
    uint32_t enumerated;
    // Enumerating while the children change: index 0 then its deletion,
    // until `enumerated` children are gone; a create then index i; and
    // the null calls timed in the same rounds.
    double enumDelete, createEnum, changeNull;
};

bool measure(int n, Row& row) {
    kalvotest::PrivateDaemon daemon;
    char tmpl[] = "/tmp/kalvo_fan_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return false;
    daemon.useBaseDir(tmpl);
    std::string regDir = daemon.regDir();
    mkdir(regDir.c_str(), 0700);
    auto t = Clock::now();
    if (!buildDatabase(regDir, n)) return false;
    fprintf(stderr, "%d children: database of %.1f MB built in %.1f s\n", n,
            std::filesystem::file_size(regDir + "/kalvo_reg.dat") / 1e6, secondsSince(t));
    std::string error;
    t = Clock::now();
    if (!daemon.start(&error)) {
        fprintf(stderr, "cannot start a daemon: %s\n", error.c_str());
        return false;
    }
    row.n = n;
    row.startup = secondsSince(t);
    daemon.exportEnv();
    HKEY parent = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, "Fan", &parent) != ERROR_SUCCESS) return false;
    CLIENT* clnt = kalvoThreadClient(2, &error);
    if (clnt == nullptr) return false;
    xdrproc_t xvoid = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));
    std::mt19937 rng(static_cast<unsigned>(n));
    std::vector<std::string> names;
    for (int i = 0; i < kCalls; i++) names.push_back("Key" + std::to_string(rng() % n));
    std::vector<HKEY> opened(kCalls);
    auto nullCall = [&](int) { return kalvoCall(clnt, 2, REGD_NULLPROC, xvoid, nullptr, xvoid, nullptr) == RPC_SUCCESS; };
    auto open = [&](int i) { return RegOpenKeyA(parent, names[i].c_str(), &opened[i]) == ERROR_SUCCESS; };
    auto create = [&](int i) { return RegCreateKeyA(parent, ("New" + std::to_string(i)).c_str(), &opened[i]) == ERROR_SUCCESS; };
    auto query = [&](int i) {
        char buf[32];
        LONG size = sizeof buf;
        return RegQueryValueA(parent, names[i].c_str(), buf, &size) == ERROR_SUCCESS;
    };
    auto set = [&](int i) {
        DWORD v = static_cast<DWORD>(i);
        std::string name = "Val" + std::to_string(i % 1024);
        return RegSetValueExA(parent, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) == ERROR_SUCCESS;
    };
    auto enumerate = [&](int i) {
        char name[64];
        DWORD len = sizeof name;
        return RegEnumKeyExA(parent, static_cast<DWORD>(i), name, &len, nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS;
    };
    row.null = row.open = row.create = row.query = row.set = row.enumerate = 1e9;
    auto best = [](double& slot, double v) { slot = v < 0 ? -1 : (slot < 0 ? slot : std::min(slot, v)); };
    const int chunk = kCalls / kRounds;
    row.enumerated = std::min<uint32_t>(static_cast<uint32_t>(n), kEnumLimit);
    const int enumChunk = static_cast<int>(row.enumerated) / kRounds;
    for (int r = 0; r < kRounds; r++) {
        best(row.null, perCall(r * chunk, chunk, nullCall));
        best(row.open, perCall(r * chunk, chunk, open));
        for (int i = r * chunk; i < (r + 1) * chunk; i++) RegCloseKey(opened[i]);
        best(row.create, perCall(r * chunk, chunk, create));
        for (int i = r * chunk; i < (r + 1) * chunk; i++) RegCloseKey(opened[i]);
        best(row.query, perCall(r * chunk, chunk, query));
        best(row.set, perCall(r * chunk, chunk, set));
        best(row.enumerate, perCall(r * enumChunk, enumChunk, enumerate));  // every child once over the rounds
    }
    // Last, as it deletes children: every step changes the list.
    auto enumDelete = [&](int) {
        char name[64];
        DWORD len = sizeof name;
        return RegEnumKeyExA(parent, 0, name, &len, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
               RegDeleteKeyA(parent, name) == ERROR_SUCCESS;
    };
    auto createEnum = [&](int i) {
        HKEY k = nullptr;
        if (RegCreateKeyA(parent, ("Alt" + std::to_string(i)).c_str(), &k) != ERROR_SUCCESS) return false;
        RegCloseKey(k);
        return enumerate(i);
    };
    row.enumDelete = row.createEnum = row.changeNull = 1e9;
    for (int r = 0; r < kRounds; r++) {
        best(row.changeNull, perCall(r * chunk, chunk, nullCall));
        best(row.createEnum, perCall(r * chunk, chunk, createEnum));
        best(row.enumDelete, perCall(r * enumChunk, enumChunk, enumDelete));
    }
    RegCloseKey(parent);
    daemon.stop();
    std::filesystem::remove_all(tmpl);
    return true;
}

std::string hostName() {
    char host[256] = {0};
    gethostname(host, sizeof host - 1);
    return host;
}

// CPU seconds (user and system) a process has used so far.
double cpuSeconds(pid_t pid) {
    std::string stat = kalvotest::readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    unsigned long utime = 0, stime = 0;
    // After the name: state and 10 more fields, then utime and stime.
    if (sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return 0;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// VmHWM of a running process in KiB, 0 once it is gone.
long peakKiB(pid_t pid) { return procPeakKiB(std::to_string(pid)); }

// Seconds a command takes, best of three; -1 when it fails.
double bestCommand(const std::vector<std::string>& argv) {
    double best = 1e9;
    for (int r = 0; r < 3; r++) {
        auto t = Clock::now();
        if (kalvotest::runProgram(argv).status != 0) return -1;
        best = std::min(best, secondsSince(t));
    }
    return best;
}

// One daemon start in base directory `base` (its registry directory already
// filled): seconds from its exec until it answers a null call, its peak
// after start-up, the CPU time it used until then (the machine is shared:
// wall time swings with the load), and its peak once the final save of its
// SIGTERM has run.
// Started directly rather than through the test harness, whose start-up
// lock other processes' daemons may hold; a start that meets another
// daemon's start-up guard (and so ends at once) is tried again after 20 s.
bool timedStart(const std::string& base, double& seconds, double& cpu, long& startPeak, long& savePeak) {
    std::string daemonPath = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "kalvo_registryd";
    uint32_t prog = 0x28100000u + static_cast<uint32_t>(getpid() & 0xFFFF);
    for (int attempt = 0; attempt < 5; attempt++) {
        sync();  // what earlier steps wrote is not this start's to flush
        std::string progText = std::to_string(prog);
        const char* argv[] = {daemonPath.c_str(), "-prog", progText.c_str(), "-d", base.c_str(), "-p", "-1", nullptr};
        auto t = Clock::now();
        pid_t pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            execv(argv[0], const_cast<char* const*>(argv));
            _exit(127);
        }
        bool answered = false;
        int status = 0;
        while (!answered && secondsSince(t) < 20) {
            // Timed, but never cut short: a port query abandoned half-way
            // holds up rpcbind, and with it the daemon's registration.
            timeval createTimeout{2, 0};
            CLIENT* c = clnt_create_timed("localhost", prog, 2, "tcp", &createTimeout);
            if (c != nullptr) {
                timeval timeout{0, 20000};  // short: a daemon registered but still loading would hold the call
                xdrproc_t xvoid = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));
                answered = clnt_call(c, 0, xvoid, nullptr, xvoid, nullptr, timeout) == RPC_SUCCESS;
                clnt_destroy(c);
            }
            if (!answered) {
                while (waitpid(-1, &status, WNOHANG) > 0) {}  // the launcher exits once it has forked
                usleep(10000);
            }
        }
        if (!answered) continue;
        seconds = secondsSince(t);
        // The daemon forks into the background: its pid is in its pid file.
        pid_t daemon = static_cast<pid_t>(atol(kalvotest::readFile(base + "/.kalvo." + hostName() + "/kalvo_reg.pid").c_str()));
        cpu = cpuSeconds(daemon);
        startPeak = peakKiB(daemon);
        savePeak = startPeak;
        kill(daemon, SIGTERM);
        for (long k; (k = peakKiB(daemon)) != 0;) {
            savePeak = std::max(savePeak, k);
            usleep(5000);
        }
        while (waitpid(-1, &status, WNOHANG) > 0) {}
        return daemon > 0;
    }
    return false;
}

// Start-up of a daemon on the database `dbFile` beside copying it: cp, cp
// and an fsync of the copy (the backup every start-up makes), and an empty
// daemon's start-up. The first start on the file adds the keys every
// registry holds and saves; the second starts on what it saved.
int startupBench(const char* dbFile) {
    char tmpl[] = "/tmp/kalvo_start_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string base = tmpl;
    std::string copy = base + "/copy.dat";
    double cp = bestCommand({"cp", dbFile, copy});
    double cpSync = bestCommand({"sh", "-c", std::string("cp '") + dbFile + "' '" + copy + "' && sync '" + copy + "'"});
    std::filesystem::remove(copy);
    double fileMB = static_cast<double>(std::filesystem::file_size(dbFile)) / (1 << 20);
    std::string regDir = base + "/.kalvo." + hostName();
    double empty = 1e9, emptyCpu = 1e9;
    long ignored = 0;
    for (int r = 0; r < 3; r++) {
        double t = 0, cpu = 0;
        std::filesystem::remove_all(regDir);
        mkdir(regDir.c_str(), 0700);
        if (!timedStart(base, t, cpu, ignored, ignored)) return 1;
        empty = std::min(empty, t);
        emptyCpu = std::min(emptyCpu, cpu);
    }
    std::filesystem::remove_all(regDir);
    mkdir(regDir.c_str(), 0700);
    std::filesystem::copy_file(dbFile, regDir + "/kalvo_reg.dat");
    double budget = 2 * (cp + cpSync + empty);
    printf("file %.1f MiB: cp %.3f s, cp + fsync %.3f s, empty daemon start-up %.3f s (%.3f s CPU); start-up "
           "target %.3f s, peak target %.0f MiB\n", fileMB, cp, cpSync, empty, emptyCpu, budget, 2.5 * fileMB + 64);
    for (const char* which : {"first start (adds the standard keys)", "second start", "third start", "fourth start"}) {
        double t = 0, cpu = 0;
        long startPeak = 0, savePeak = 0;
        if (!timedStart(base, t, cpu, startPeak, savePeak)) return 1;
        printf("%s: answers after %.3f s (%.2fx the target), %.3f s CPU; peak %.0f MiB after start-up, %.0f MiB "
               "with the final save (%.2fx the file)\n", which, t, t / budget, cpu, startPeak / 1024.0,
               savePeak / 1024.0, savePeak / 1024.0 / fileMB);
    }
    std::filesystem::remove_all(base);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    g_verbose = 0;
    if (argc == 3 && strcmp(argv[1], "--startup") == 0) return startupBench(argv[2]);
    std::vector<int> fanOuts = {1000, 30000, 100000, 1000000};
    if (argc > 1) {
        fanOuts.clear();
        for (int i = 1; i < argc; i++) fanOuts.push_back(atoi(argv[i]));
    }
    std::vector<Row> rows;
    for (int n : fanOuts) {
        Row row{};
        if (!measure(n, row)) {
            fprintf(stderr, "fan-out %d failed\n", n);
            return 1;
        }
        rows.push_back(row);
    }
    printf("Best of %d alternating rounds of %d calls per kind; enumeration: indices 0 to %u in %d rounds.\n",
           kRounds, kCalls / kRounds, kEnumLimit - 1, kRounds);
    printf("| children | start-up | null call | open | create | query-value | set-value | enumerate, per item (items) |\n");
    printf("|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : rows)
        printf("| %d | %.2f s | %.1f us | %.1f us (%.2fx) | %.1f us (%.2fx) | %.1f us (%.2fx) | %.1f us (%.2fx) | %.1f us (%.2fx) (%u) |\n",
               r.n, r.startup, r.null, r.open, r.open / r.null, r.create, r.create / r.null, r.query,
               r.query / r.null, r.set, r.set / r.null, r.enumerate, r.enumerate / r.null, r.enumerated);
    printf("\nWhile the children change (per step; the ratio is to as many null calls as the step makes):\n");
    printf("| children | null call | enumerate index 0, delete it (steps) | create, close, enumerate index i |\n");
    printf("|---|---|---|---|\n");
    for (const Row& r : rows)
        printf("| %d | %.1f us | %.1f us (%.2fx) (%u) | %.1f us (%.2fx) |\n", r.n, r.changeNull, r.enumDelete,
               r.enumDelete / (2 * r.changeNull), r.enumerated / kRounds * kRounds, r.createEnum,
               r.createEnum / (3 * r.changeNull));
    const Row& small = rows.front();
    for (const Row& r : rows)
        printf("%d children against %d: open %.2fx, create %.2fx, query-value %.2fx, set-value %.2fx, enumerate %.2fx\n",
               r.n, small.n, r.open / small.open, r.create / small.create, r.query / small.query, r.set / small.set,
               r.enumerate / small.enumerate);
    return 0;
}
