// Starts a real private daemon (own program number, own temporary base
// directory) under the running rpcbind, and stops and cleans it up.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kalvotest {

// A program number in the user range that no other test process uses.
uint32_t uniqueProg();

// The registry subdirectory name a private daemon uses on this host.
std::string privateSubDir();

// Holds the lock that serialises daemon starts across all test processes
// (the daemon's per-user start-up guard would refuse overlapping starts).
class StartLock {
  public:
    StartLock();
    ~StartLock();
    StartLock(const StartLock&) = delete;
    StartLock& operator=(const StartLock&) = delete;

  private:
    int fd_;
};

// The daemon's per-user start-up lock file for the calling user.
std::string startupLockPath();

class PrivateDaemon {
  public:
    // extraArgs are appended to "-prog N -d BASE"; unless they contain -p,
    // "-p -1" is added so the daemon never times out during a test.
    explicit PrivateDaemon(std::vector<std::string> extraArgs = {});
    ~PrivateDaemon();
    PrivateDaemon(const PrivateDaemon&) = delete;
    PrivateDaemon& operator=(const PrivateDaemon&) = delete;

    // Starts the daemon and waits until both versions are registered (or,
    // with untilServing false, only until its pid file names it).
    bool start(std::string* error = nullptr, bool untilServing = true);

    // SIGTERM, wait for the process to end (SIGKILL after 20 s), then remove
    // portmapper entries, socket, System V objects and the base directory.
    void stop();

    void signal(int sig);
    // Waits up to `seconds` for the daemon to end; true if it ended.
    bool waitExit(double seconds);
    // The daemon's exit status once it ended (-1 unknown, 128+n by signal n).
    int exitStatus() const { return exitStatus_; }
    bool running() const;

    uint32_t prog() const { return prog_; }
    pid_t pid() const { return pid_; }
    const std::string& baseDir() const { return baseDir_; }
    // Base directory plus the registry subdirectory.
    std::string regDir() const;
    // Sets KALVO_REGISTRY_HOST and KALVO_REGISTRY_PROG for this process.
    void exportEnv() const;
    // Keeps the base directory on stop (for restarts on the same registry).
    void keepDirectory(bool keep) { keepDir_ = keep; }
    // Serves under this program number instead of a unique one (before start).
    void useProg(uint32_t prog) { prog_ = prog; }
    // Uses an existing base directory instead of a fresh temporary one.
    void useBaseDir(const std::string& dir) { baseDir_ = dir; ownsDir_ = false; }

  private:
    std::vector<std::string> extraArgs_;
    uint32_t prog_;
    pid_t pid_ = -1;
    std::string baseDir_;
    bool ownsDir_ = true;
    bool keepDir_ = false;
    int exitStatus_ = -1;
    void cleanupAfterExit();
};

// How a program run to its end ended, and what it wrote.
struct ProgramRun {
    int status = -1;  // exit status; 128 + n when killed by signal n
    std::string out;
    std::string err;
    pid_t pid = -1;
};

// Runs `argv` (argv[0] looked up in PATH) with nothing on standard input and
// its output and error captured apart, the error on a pseudo-terminal when
// onTerminal (what the terminal showed comes back in err); killed after 60 s.
ProgramRun runProgram(const std::vector<std::string>& argv, bool onTerminal = false);

// Reads `readFd` to its end into *out (when not null), closes it, waits for
// `child` and returns its exit status (128 + n when killed by signal n).
int collectChild(int readFd, pid_t child, std::string* out);

// Reads a whole file; empty if missing.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
// A fresh directory under /tmp.
std::string makeTempDir();

}  // namespace kalvotest
