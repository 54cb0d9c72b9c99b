#include "harness/daemon_harness.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpcb_clnt.h>
#include <rpc/rpc.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kalvotest {

namespace {

std::atomic<uint32_t> progCounter{0};

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool portRegistered(uint32_t prog, uint32_t vers) {
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return pmap_getport(&addr, prog, vers, IPPROTO_TCP) != 0;
}

// Reaps any exited children; records the status of `pid` if among them.
void reap(pid_t pid, int* status) {
    for (;;) {
        int st = 0;
        pid_t r = waitpid(-1, &st, WNOHANG);
        if (r <= 0) return;
        if (r == pid) *status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
}

}  // namespace

StartLock::StartLock() {
    fd_ = open("/tmp/kalvo_test_startup.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // A process that inherited the lock and lives on (a daemon started under
    // flock(1)) would stall every test for good: after 30 s go on without it;
    // start() retries a launch that meets another start's guard file.
    static bool stuck = false;
    for (int i = 0; fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) != 0; i++) {
        if (stuck || i == 300) {
            if (!stuck) fprintf(stderr, "warning: /tmp/kalvo_test_startup.lock held for 30 s (see /proc/locks)\n");
            stuck = true;
            break;
        }
        sleepMs(100);
    }
}

StartLock::~StartLock() {
    if (fd_ >= 0) close(fd_);
}

std::string startupLockPath() {
    char user[L_cuserid + 256] = {0};
    if (cuserid(user) == nullptr) user[0] = '\0';
    return std::string("/tmp/kalvo_prevent_multiple_registry_daemons_for_") + user;
}

uint32_t uniqueProg() {
    uint32_t p = static_cast<uint32_t>(getpid()) & 0x3FFFF;
    return 0x28000000u | (p << 6) | (progCounter++ & 0x3F);
}

std::string privateSubDir() {
    char host[64];
    if (gethostname(host, sizeof host) != 0) return ".kalvo";
    host[sizeof host - 1] = '\0';
    return std::string(".kalvo.") + host;
}

PrivateDaemon::PrivateDaemon(std::vector<std::string> extraArgs)
    : extraArgs_(std::move(extraArgs)), prog_(uniqueProg()) {}

PrivateDaemon::~PrivateDaemon() { stop(); }

std::string PrivateDaemon::regDir() const { return baseDir_ + "/" + privateSubDir(); }

void PrivateDaemon::exportEnv() const {
    setenv("KALVO_REGISTRY_HOST", "localhost", 1);
    setenv("KALVO_REGISTRY_PROG", std::to_string(prog_).c_str(), 1);
}

bool PrivateDaemon::running() const { return pid_ > 0 && kill(pid_, 0) == 0 && exitStatus_ < 0; }

bool PrivateDaemon::start(std::string* error, bool untilServing) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    // The daemon forks and its parent exits at once; as a child subreaper this
    // test process inherits the daemon and can collect its exit status.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (baseDir_.empty() && (baseDir_ = makeTempDir()).empty()) return fail("mkdtemp failed");
    std::vector<std::string> args = {KALVO_DAEMON_PATH, "-prog", std::to_string(prog_), "-d", baseDir_};
    bool hasP = false;
    for (const auto& a : extraArgs_) hasP = hasP || a == "-p" || a == "-P";
    if (!hasP) {
        args.push_back("-p");
        args.push_back("-1");
    }
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());

    StartLock guard;
    std::string pidFile = regDir() + "/kalvo_reg.pid";
    unlink(pidFile.c_str());

    int st = 0;
    // Status 0: another start's guard file is there (only without the lock).
    for (int tries = 0; tries < 200 && (tries == 0 || (WIFEXITED(st) && WEXITSTATUS(st) == 0)); tries++) {
        if (tries > 0) sleepMs(100);
        pid_t launcher = fork();
        if (launcher == 0) {
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            int devnull = open("/dev/null", O_RDONLY);
            if (devnull >= 0) dup2(devnull, 0);
            execv(argv[0], argv.data());
            _exit(127);
        }
        waitpid(launcher, &st, 0);
    }
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 1) {
        return fail("daemon launcher ended with status " + std::to_string(WEXITSTATUS(st)));
    }
    bool ok = false;
    for (int i = 0; i < 1000; i++) {  // up to 20 s
        if (pid_ <= 0) {
            std::string text = readFile(pidFile);
            if (!text.empty()) pid_ = atoi(text.c_str());
        }
        if (pid_ > 0 && (!untilServing || (portRegistered(prog_, 1) && portRegistered(prog_, 2)))) {
            ok = true;
            break;
        }
        int status = -1;
        reap(pid_, &status);
        if (status >= 0) {
            exitStatus_ = status;
            break;
        }
        sleepMs(20);
    }
    if (!ok) {
        stop();
        return fail("daemon did not register within 20 s");
    }
    return true;
}

void PrivateDaemon::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

bool PrivateDaemon::waitExit(double seconds) {
    if (pid_ <= 0) return true;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        reap(pid_, &exitStatus_);
        if (exitStatus_ >= 0) return true;
        if (kill(pid_, 0) != 0 && errno == ESRCH) return true;
        sleepMs(10);
    }
    return false;
}

void PrivateDaemon::cleanupAfterExit() {
    // Every transport the daemon registered (tcp, and tcp6 for ::1).
    rpcb_unset(prog_, 1, nullptr);
    rpcb_unset(prog_, 2, nullptr);
    if (pid_ > 0) {
        std::string sock = "/tmp/kalvo_sock_" + std::to_string(pid_);
        unlink(sock.c_str());
    }
    // System V objects whose ids the daemon recorded ("shmId semId").
    std::istringstream ids(readFile(regDir() + "/kalvo_ipcs.log"));
    int shmId = -1;
    int semId = -1;
    if (ids >> shmId >> semId) {
        shmctl(shmId, IPC_RMID, nullptr);
        semctl(semId, 0, IPC_RMID);
    }
}

void PrivateDaemon::stop() {
    if (pid_ > 0 && exitStatus_ < 0) {
        if (kill(pid_, 0) == 0) {
            kill(pid_, SIGTERM);
            if (!waitExit(20)) {
                kill(pid_, SIGKILL);
                waitExit(5);
            }
        }
    }
    if (pid_ > 0 || !baseDir_.empty()) cleanupAfterExit();
    if (!keepDir_ && ownsDir_ && !baseDir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(baseDir_, ec);
        baseDir_.clear();
    }
    pid_ = -1;
}

ProgramRun runProgram(const std::vector<std::string>& argv, bool onTerminal) {
    ProgramRun run;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return run;
    if (onTerminal ? openpty(&err[0], &err[1], nullptr, nullptr, nullptr) != 0 : pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return run;
    }
    fflush(nullptr);
    run.pid = fork();
    if (run.pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    // Both to their end; a terminal says EIO once the program is gone.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string* into[2] = {&run.out, &run.err};
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    while ((p[0].fd >= 0 || p[1].fd >= 0) && std::chrono::steady_clock::now() < deadline) {
        if (poll(p, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; i++) {
            char buf[4096];
            ssize_t n = p[i].revents != 0 ? read(p[i].fd, buf, sizeof buf) : -1;
            if (n > 0) into[i]->append(buf, static_cast<size_t>(n));
            if (p[i].revents != 0 && (n == 0 || (n < 0 && errno != EINTR))) {
                close(p[i].fd);
                p[i].fd = -1;
            }
        }
    }
    for (pollfd& f : p)
        if (f.fd >= 0) close(f.fd);
    int st = 0;
    pid_t ended;
    while ((ended = waitpid(run.pid, &st, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) sleepMs(10);
    if (ended == 0) {
        kill(run.pid, SIGKILL);
        waitpid(run.pid, &st, 0);
    }
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return run;
}

int collectChild(int readFd, pid_t child, std::string* out) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(readFd, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(readFd);
    int st = 0;
    waitpid(child, &st, 0);
    if (out != nullptr) *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string makeTempDir() {
    char tmpl[] = "/tmp/kalvo_test_XXXXXX";
    return mkdtemp(tmpl) != nullptr ? tmpl : "";
}

}  // namespace kalvotest
