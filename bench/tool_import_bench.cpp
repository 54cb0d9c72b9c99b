// kalvoreg import of a large .reg file, its progress bar on a terminal,
// beside `kalvoreg add` run once per value in a loop, against one private
// daemon. Prints values per second of each and their ratio, and the import
// rate at a fifth of the size to show that time grows with size alone.
//
// Usage: bench_tool_import [VALUES [ADDS [PER_KEY]]]
//   VALUES   values in the big file (default 50000)
//   ADDS     values set by the add loop (default 500)
//   PER_KEY  values per key in the files (default 100; VALUES for one key)
// kalvoreg and kalvo_registryd are taken from this program's directory.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string g_binDir;

// Runs `argv` with standard output to /dev/null and standard error to a
// pseudo-terminal when `onTerminal` (else /dev/null); its exit status, and
// what the terminal showed in *shown.
int run(const std::vector<std::string>& argv, bool onTerminal = false, std::string* shown = nullptr,
        std::string* out = nullptr) {
    int master = -1;
    int slave = -1;
    if (onTerminal && openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -1;
    int outPipe[2] = {-1, -1};
    if (out != nullptr && pipe(outPipe) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(out != nullptr ? outPipe[1] : null, 1);
        dup2(onTerminal ? slave : null, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (out != nullptr) {
        close(outPipe[1]);
        char buf[4096];
        for (ssize_t n; (n = read(outPipe[0], buf, sizeof buf)) > 0;) out->append(buf, static_cast<size_t>(n));
        close(outPipe[0]);
    }
    if (onTerminal) {
        close(slave);
        char buf[4096];
        // A pty gives EIO once the child and its copies are gone.
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) {
            if (shown != nullptr) shown->append(buf, static_cast<size_t>(n));
        }
        close(master);
    }
    int st = 0;
    waitpid(child, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string tool() { return g_binDir + "/kalvoreg"; }

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A REGEDIT4 file of `values` string and dword values, `perKey` to a key.
std::string makeFile(const std::string& dir, const std::string& root, int values, int perKey) {
    std::string path = dir + "/" + root + ".reg";
    std::ofstream f(path, std::ios::binary);
    f << "REGEDIT4\r\n";
    for (int i = 0; i < values; i++) {
        if (i % perKey == 0) f << "\r\n[HKEY_LOCAL_MACHINE\\Software\\" << root << "\\K" << i / perKey << "]\r\n";
        if (i % 2 == 0) {
            f << "\"v" << i << "\"=\"value number " << i << "\" ; a comment\r\n";
        } else {
            f << "\"v" << i << "\"=dword:" << std::hex << i << std::dec << "\r\n";
        }
    }
    return path;
}

// Imports `file` with standard error on a terminal; its time in seconds,
// or a negative number when it failed.
double timeImport(const std::string& file) {
    auto start = std::chrono::steady_clock::now();
    std::string shown;
    int status = run({tool(), "import", file}, true, &shown);
    double took = seconds(start);
    if (status != 0 || shown.find("importing: ") == std::string::npos) {
        fprintf(stderr, "import of %s failed (status %d): %s\n", file.c_str(), status, shown.c_str());
        return -1;
    }
    return took;
}

}  // namespace

int main(int argc, char** argv) {
    int values = argc > 1 ? atoi(argv[1]) : 50000;
    int adds = argc > 2 ? atoi(argv[2]) : 500;
    int perKey = argc > 3 ? atoi(argv[3]) : 100;
    if (values < 5 || adds < 1 || perKey < 1) {
        fprintf(stderr, "usage: %s [VALUES [ADDS [PER_KEY]]]\n", argv[0]);
        return 2;
    }
    g_binDir = std::filesystem::canonical("/proc/self/exe").parent_path();
    char tmpl[] = "/tmp/kalvoreg_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string dir = tmpl;
    std::string prog = std::to_string(0x30000000 + (getpid() % 0xFFFFF) * 16 + 7);
    setenv("KALVO_REGISTRY_HOST", "localhost", 1);
    setenv("KALVO_REGISTRY_PROG", prog.c_str(), 1);
    // The daemon puts itself in the background; ping says when it answers.
    run({g_binDir + "/kalvo_registryd", "-prog", prog, "-d", dir, "-p", "-1"});
    std::string pong;
    for (int i = 0; i < 500 && pong.empty(); i++) {
        if (run({tool(), "ping"}, false, nullptr, &pong) != 0) pong.clear();
        if (pong.empty()) usleep(20000);
    }
    size_t at = pong.find("pid ");
    if (at == std::string::npos) {
        fprintf(stderr, "the daemon did not answer\n");
        return 1;
    }
    pid_t daemon = static_cast<pid_t>(atoi(pong.c_str() + at + 4));

    std::string small = makeFile(dir, "Small", values / 5, perKey);
    std::string big = makeFile(dir, "Big", values, perKey);
    double smallTime = timeImport(small);
    double bigTime = timeImport(big);

    auto start = std::chrono::steady_clock::now();
    int failed = 0;
    for (int i = 0; i < adds; i++) {
        std::string name = "v" + std::to_string(i);
        failed += run({tool(), "add", "HKLM\\Software\\Added", "/v", name, "/d", "value number " + name, "/f"}) != 0;
    }
    double addTime = seconds(start);

    // The daemon saves on the way out; its directory goes after it.
    kill(daemon, SIGTERM);
    for (int i = 0; i < 500 && kill(daemon, 0) == 0; i++) usleep(20000);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    if (smallTime < 0 || bigTime < 0 || failed > 0) return 1;
    double smallRate = values / 5 / smallTime;
    double bigRate = values / bigTime;
    double addRate = adds / addTime;
    printf("import %7d values (%d a key): %8.3f s  %10.0f values/s\n", values / 5, perKey, smallTime, smallRate);
    printf("import %7d values (%d a key): %8.3f s  %10.0f values/s\n", values, perKey, bigTime, bigRate);
    printf("add loop %5d values:            %8.3f s  %10.0f values/s\n", adds, addTime, addRate);
    printf("import / add loop: %.0fx; rate at full size / rate at a fifth: %.2f\n", bigRate / addRate,
           bigRate / smallRate);
    return 0;
}
