// Start-up of the daemon: command line, registry directory, pid file, background
// threads (flush, inactivity check, signals) and the orderly ends of the process.
#include "daemon/regdmain.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <rpc/rpc.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "rpc/regd_clients.h"
#include "base/config.h"
#include "base/files.h"
#include "base/log.h"
#include "base/strings.h"
#include "sync/sysv_ipcs.h"
#include "store/regdcache.h"
#include "store/regdio.h"
#include "store/regdseed.h"
#include "sync/sync_server.h"

std::mutex g_regdEndMutex;

namespace {

char* kalvoDir = nullptr;  // -d value; null stands for /var/adm
std::atomic<int> startupLockFd{-1};
std::string startupLockPath;
int dirLockFd = -1;

// The registry is whole in memory (loaded, seeded, backed up): from then on
// a terminating signal ends the daemon with a final write, before it with
// none. Set by the main thread under g_regdEndMutex.
std::atomic<bool> registryLoaded{false};
// A terminating signal that came while the registry was still loading; the
// load stops at its next record and start-up ends the process.
std::atomic<int> pendingSignal{0};
// How long the signal thread waits for start-up to end the process before
// it does so itself (a load step that does not report progress).
constexpr auto START_UP_END_WAIT = std::chrono::seconds(10);

constexpr const char* REGD_DIR_LOCK_FILE = "kalvo_reg.lock";

// The signals the daemon handles; they are blocked in every thread and
// taken by the signal thread alone, so the shutdown steps run in ordinary
// thread context and can take locks and write files safely.
sigset_t handledSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGILL);
    sigaddset(&set, SIGFPE);
    sigaddset(&set, SIGSEGV);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    sigaddset(&set, SIGTERM);
    return set;
}

const char* signalLogFormat(int sig) {
    switch (sig) {
    case SIGINT: return "Received signal SIGINT: %d";
    case SIGILL: return "Received signal SIGILL: %d";
    case SIGFPE: return "Received signal SIGFPE: %d";
    case SIGSEGV: return "Received signal SIGSEV: %d";
    default: return "Received signal SIGTERM: %d";
    }
}

void removeSyncEndpoint() {
    char* syncEndpoint = kvProcessSRVName(g_config.registryPid);
    kvSRVRemoveEndpoint(syncEndpoint);
    free(syncEndpoint);
}

// Ends the daemon after a terminating signal, exit status 2. With the
// registry whole, the final write comes first (it waits for any change in
// progress, so a half-changed cache is never written) and unregistration
// last. Before that, nothing is written: the files stay as they were, and
// only what this process put in place is removed.
[[noreturn]] void shutdownBySignal(int sig, bool finalWrite) {
    g_regdEndMutex.lock();  // held to the end: one way out, never two
    writeToLog(signalLogFormat(sig), sig);
    if (finalWrite) regdWriteEntireRegistryDatabase();
    else writeToLog("The registry was not fully loaded: nothing written.");
    removeSyncEndpoint();
    writeToLog("removing pidFile: %s", REGD_PID_FILE);
    unlink(REGD_PID_FILE);
    regdRemoveStartupLock();
    writeToLog("Exiting.");
    regdCloseLog();
    regdFreePidList();
    kvDeleteSemaphoreSet();
    regd_svc_unregister(g_config.registryProg, g_config.registryVers);
    fflush(nullptr);
    // Other threads keep running until the process ends: no static
    // destructors may run under them.
    _exit(2);
}

// Removes what a start-up put in place, before it ends unfinished.
void removeStartupTraces() {
    regdCloseLog();
    unlink(REGD_PID_FILE);
    removeSyncEndpoint();
    regdRemoveStartupLock();
    fflush(nullptr);
}

// Ends a start-up that cannot go on, status 2 (the sync server is the only
// other thread that may be running).
[[noreturn]] void failStartup() {
    g_regdEndMutex.lock();
    removeStartupTraces();
    _exit(2);
}

// Start-up's check between its steps: a signal that came during them ends
// the process here, without a write.
void endIfSignalled() {
    int sig = pendingSignal.load();
    if (sig != 0) shutdownBySignal(sig, false);
}

// Ends a private daemon nobody uses: unregister first so no new call
// arrives, then the final write; the semaphore set stays for the next
// daemon's start-up to remove. Exit status 0.
[[noreturn]] void shutdownByTimeout() {
    g_regdEndMutex.lock();
    writeToLog("Registry Daemon inactivity time out");
    regd_svc_unregister(g_config.registryProg, g_config.registryVers);
    regdWriteEntireRegistryDatabase();
    writeToLog("removing pidFile: %s", REGD_PID_FILE);
    unlink(REGD_PID_FILE);
    regdRemoveStartupLock();
    regdCloseLog();
    regdFreePidList();
    removeSyncEndpoint();
    fflush(nullptr);
    _exit(0);
}

// Sleeps whole seconds; a zero or negative period still yields the CPU for
// a second rather than spinning.
void sleepSeconds(int64_t seconds) { sleep(static_cast<unsigned>(seconds > 0 ? seconds : 1)); }

// Flush thread: writes the whole registry when it changed since the last
// save, every g_config.flushInterval seconds; never a half-loaded one.
void* regdFlushCache(void*) {
    for (;;) {
        sleepSeconds(g_config.flushInterval);
        if (registryLoaded && g_dirty != 0) regdWriteEntireRegistryDatabase();
    }
    return nullptr;
}

// Inactivity check of a private daemon: ends it once a whole interval went
// by without an open-key or ping call, no version-1 client was ever seen,
// and none of the listed client processes exists. The checks begin once
// the registry is whole, however long the load took.
void* regdCheckPing(void*) {
    while (!registryLoaded) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (;;) {
        if (g_Kalvo3AppConnected) g_clientsAreActive = 1;
        if (!g_clientsAreActive && !regdProcessesStillExist()) shutdownByTimeout();
        g_clientsAreActive = 0;
        sleepSeconds(static_cast<int64_t>(g_config.pingCheckInterval) * 60);
    }
    return nullptr;
}

// A terminating signal. Before the registry is whole, start-up is asked to
// end the process (the load stops at its next record); should it not get
// there in time, the process ends from here, still without a write.
[[noreturn]] void endOnSignal(int sig) {
    g_regdEndMutex.lock();
    const bool loaded = registryLoaded;
    if (!loaded) pendingSignal = sig;
    g_regdEndMutex.unlock();
    if (loaded) shutdownBySignal(sig, true);
    std::this_thread::sleep_for(START_UP_END_WAIT);
    shutdownBySignal(sig, false);
}

// KALVO_TEST_LOAD_PAUSE_AT=N, for tests: the load stops at record N for up
// to LOAD_PAUSE_MS (saying so in the log) so that a signal can be sent at a
// known point of it.
uint64_t loadPauseAt = 0;
constexpr int LOAD_PAUSE_MS = 5000;

// Called after each record of the start-up load: a signal stops it.
bool loadProgress(uint64_t recordsRead) {
    if (recordsRead == loadPauseAt) {
        writeToLog("Load paused at record %d", static_cast<int>(recordsRead));
        for (int waited = 0; waited < LOAD_PAUSE_MS && pendingSignal == 0; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pendingSignal == 0;
}

// Start-up is done: from now on a signal ends the daemon with a final
// write; one that came before ends it here without one.
void markRegistryLoaded() {
    g_regdEndMutex.lock();
    const int sig = pendingSignal;
    if (sig == 0) registryLoaded = true;
    g_regdEndMutex.unlock();
    if (sig != 0) shutdownBySignal(sig, false);
}

void* sigHandlerThread(void*) {
    sigset_t set = handledSignals();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (sig == SIGUSR1) {
            g_verbose = 1;
        } else if (sig == SIGUSR2) {
            g_verbose = 0;
        } else {
            endOnSignal(sig);
        }
    }
    return nullptr;
}

// Parses a value the way strtol with base 10 does; no digits give 0.
int32_t optionValue(const char* text) {
    return static_cast<int32_t>(strtol(text, nullptr, 10));
}

bool isOption(const char* arg, char letter, bool upperToo) {
    if (arg[0] != '-' || arg[2] != '\0' || arg[1] == '\0') return false;
    return arg[1] == letter || (upperToo && arg[1] == letter - 'a' + 'A');
}

// Holds a lock on a file of the registry directory for the daemon's whole
// life, so that two daemons never serve one directory. The second one says
// who holds it and ends before touching any other file.
void lockRegistryDirectory() {
    dirLockFd = open(REGD_DIR_LOCK_FILE, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (dirLockFd < 0) return;  // an unwritable directory fails later anyway
    if (flock(dirLockFd, LOCK_EX | LOCK_NB) != 0) {
        char buf[32] = {0};
        ssize_t n = pread(dirLockFd, buf, sizeof buf - 1, 0);
        int other = n > 0 ? atoi(buf) : 0;
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr) snprintf(cwd, sizeof cwd, "%s", ".");
        fprintf(stderr, "kalvo_registryd: registry directory %s is already served by process %d\n",
                cwd, other);
        regdRemoveStartupLock();
        exit(0);
    }
    char pidText[32];
    int len = snprintf(pidText, sizeof pidText, "%d", static_cast<int>(getpid()));
    if (ftruncate(dirLockFd, 0) == 0) {
        ssize_t ignored = pwrite(dirLockFd, pidText, static_cast<size_t>(len), 0);
        (void)ignored;
    }
}

void writePidFile() {
    char pidText[32];
    int len = snprintf(pidText, sizeof pidText, "%d", static_cast<int>(g_config.registryPid));
    if (!regdWriteFileAtomic(REGD_PID_FILE, pidText, static_cast<size_t>(len)))
        writeToLog("Failed to open %s", REGD_PID_FILE);
}

void startThread(pthread_attr_t* attr, void* (*body)(void*), void* arg) {
    pthread_t tid;
    if (pthread_create(&tid, attr, body, arg) != 0) {
        fprintf(stderr, "kalvo_registryd: cannot start a thread: %s\n", strerror(errno));
        failStartup();
    }
}

// The creator's pid as the lock file holds it: fixed width, so that
// rewriting it never shows a reader a shorter or empty text.
void writeLockPid(int fd, pid_t pid) {
    char text[16];
    int len = snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    ssize_t ignored = pwrite(fd, text, static_cast<size_t>(len), 0);
    (void)ignored;
}

pid_t readLockPid(int fd) {
    char text[32] = {0};
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? static_cast<pid_t>(strtol(text, nullptr, 10)) : 0;
}

// A lock file with no pid in it (an earlier version's, or one whose
// creator has not written it yet) counts as live for this long.
constexpr time_t UNNAMED_LOCK_SECONDS = 10;

// Whether the start that created the open lock file `fd` is still under
// way. The parent names its child just before it exits, so a pid found
// dead is read again before the file counts as abandoned.
bool lockCreatorAlive(int fd, const struct stat& st) {
    pid_t pid = readLockPid(fd);
    for (int reads = 0; reads < 3; reads++) {
        if (pid <= 0) return time(nullptr) - st.st_mtime < UNNAMED_LOCK_SECONDS;
        if (kill(pid, 0) == 0 || errno == EPERM) return true;
        pid_t again = readLockPid(fd);
        if (again == pid) return false;
        pid = again;
    }
    return true;
}

}  // namespace

RegdStartupLockState regdTakeStartupLock(const char* path) {
    for (int attempt = 0; attempt < 3; attempt++) {
        int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, REGD_FILE_MODE);
        if (fd >= 0) {
            writeLockPid(fd, getpid());
            startupLockPath = path;
            startupLockFd = fd;
            return REGD_STARTUP_LOCK_TAKEN;
        }
        if (errno != EEXIST) return REGD_STARTUP_LOCK_BUSY;
        struct stat st;
        if (lstat(path, &st) != 0) continue;  // gone meanwhile: try again
        // In sticky /tmp nobody else's file can be removed; nor does one
        // stop this start (the registry directory's own lock keeps one
        // daemon per directory).
        if (st.st_uid != geteuid()) return REGD_STARTUP_LOCK_IGNORED;
        int old = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat ost;
        bool same = old >= 0 && fstat(old, &ost) == 0 && ost.st_dev == st.st_dev && ost.st_ino == st.st_ino;
        bool live = same && S_ISREG(ost.st_mode) && lockCreatorAlive(old, ost);
        if (old >= 0) close(old);
        if (live) return REGD_STARTUP_LOCK_BUSY;
        // Our own leftover (or a non-file of ours under its name): replace it,
        // unless another start replaced it first.
        struct stat now;
        if (lstat(path, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) unlink(path);
    }
    return REGD_STARTUP_LOCK_BUSY;
}

void regdNameStartupLockCreator(pid_t pid) {
    int fd = startupLockFd;
    if (fd >= 0) writeLockPid(fd, pid);
}

void regdRemoveStartupLock() {
    int fd = startupLockFd.exchange(-1);
    if (fd < 0) return;
    // Only the file this process created: never one that replaced it.
    struct stat mine, named;
    if (fstat(fd, &mine) == 0 && lstat(startupLockPath.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
        mine.st_ino == named.st_ino)
        unlink(startupLockPath.c_str());
    close(fd);
}

[[noreturn]] void regdFailRegistration(const char* message) {
    fputs(message, stderr);
    regd_svc_unregister(g_config.registryProg, g_config.registryVers);
    removeStartupTraces();
    _exit(1);
}

void regd_svc_unregister(uint32_t prog, uint32_t vers) {
    // Every transport: tcp, and tcp6 where ::1 was served.
    rpcb_unset(prog, vers, nullptr);
    rpcb_unset(prog, 1, nullptr);
}

void showUsage(const char* programName) {
    const char* slash = strrchr(programName, '/');
    const char* name = slash != nullptr ? slash + 1 : programName;
    const std::string dashes(78, '-');
    printf("%s\n", dashes.c_str());
    printf("Kalvo Registry Daemon\n\n");
    printf("SYNTAX: %s [-d dirname] [-h] [-i seconds] [-l lines] [-m mode] [-n processes] "
           "[-s semaphores] [-v]\n\n",
           name);
    printf("FUNCTION: The Kalvo registry daemon provides a central registry\n");
    printf("          for data storage and retrieval via the Registry APIs.\n\n");
    printf("OPTIONAL SWITCHES:\n\n");
    printf("\t [-d] Specifies the location of the kalvo_reg.dat file.\n");
    printf("\t      Default is %s/kalvo or $HOME/.kalvo.$HOSTNAME for private registries\n",
           REGD_DEFAULT_BASE);
    printf("\t      and the kalvo_reg.log file is kept in the same place.\n");
    printf("\t [-h] Shows this help.\n");
    printf("\t [-i] Time interval for flushing the cache to disk.  Default is\n");
    printf("\t      %d seconds.\n", g_config.flushInterval);
    printf("\t [-k] Keep a backup copy of the registry.  Default is on.\n");
    printf("\t [-l] Specifies the number of lines in the log file.  The log\n");
    printf("\t      file is circular and has 1000 lines by default.  If -1 is\n");
    printf("\t      specified, the log is no longer circular.\n");
    printf("\t [-m] Access permissions to assign to semaphore set. Default is %d\n", g_config.syncPermissions);
    printf("\t [-n] Number of processes able to access semaphore set. Default is %d\n", g_config.numProcesses);
    printf("\t [-p] Ping check interval.  The registry daemon will timeout if\n");
    printf("\t      no clients ping it after <p> minutes.  Default is 10 min.\n");
    printf("\t      -1 prevents the daemon from timing out.\n");
    printf("\t [-s] Number of semaphores to allocate in semaphore set. Default is %d.\n", g_config.numSemaphores);
    printf("\t [-v] Turns verbose mode on.  Default is off.\n");
    printf("%s\n", dashes.c_str());
    fflush(stdout);
}

void checkArgs(int* argc, char** argv) {
    int n = *argc;
    for (int i = 1; i < n; i++) {
        const char* arg = argv[i];
        if (strcmp(arg, "-h") == 0 || strcmp(arg, "-H") == 0 || strcmp(arg, "-help") == 0) {
            showUsage(argv[0]);
            regdRemoveStartupLock();
            exit(1);
        }
        if (isOption(arg, 'v', true)) {
            g_verbose = 1;
            continue;
        }
        if (isOption(arg, 'k', true)) {
            regdStartupConfig().keepBackup = 0;
            continue;
        }
        bool takesValue = isOption(arg, 'l', true) || isOption(arg, 'p', true) ||
                          isOption(arg, 'i', true) || isOption(arg, 'd', true) ||
                          isOption(arg, 's', false) || isOption(arg, 'm', false) ||
                          isOption(arg, 'n', false) || strcmp(arg, "-prog") == 0 ||
                          strcmp(arg, "-vers") == 0;
        if (!takesValue) continue;
        if (i + 1 >= n) break;  // an option without its value is ignored
        const char* value = argv[++i];
        if (isOption(arg, 'd', true)) {
            free(kalvoDir);
            kalvoDir = regdStrdupOrDie(value);
        } else if (isOption(arg, 'l', true)) {
            regdStartupConfig().logLines = optionValue(value);
        } else if (isOption(arg, 'p', true)) {
            regdStartupConfig().pingCheckInterval = optionValue(value);
        } else if (isOption(arg, 'i', true)) {
            regdStartupConfig().flushInterval = optionValue(value);
        } else if (isOption(arg, 's', false)) {
            regdStartupConfig().numSemaphores = optionValue(value);
        } else if (isOption(arg, 'm', false)) {
            regdStartupConfig().syncPermissions = optionValue(value);
        } else if (isOption(arg, 'n', false)) {
            regdStartupConfig().numProcesses = optionValue(value);
        } else if (strcmp(arg, "-prog") == 0) {
            regdStartupConfig().registryProg = static_cast<uint32_t>(optionValue(value));
        } else {
            regdStartupConfig().registryVers = static_cast<uint32_t>(optionValue(value));
        }
    }
}

void regdmain(int* argc, char** argv, uint32_t* prog, uint32_t* vers) {
    regdStartupConfig().registryPid = getpid();
    setpgrp();
    signal(SIGPIPE, SIG_IGN);
    sigset_t signals = handledSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    checkArgs(argc, argv);
    (void)createKalvoDir(kalvoDir != nullptr ? kalvoDir : REGD_DEFAULT_BASE);
    free(kalvoDir);
    kalvoDir = nullptr;
    lockRegistryDirectory();

    *prog = g_config.registryProg;
    *vers = g_config.registryVers;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    // Sync server state and endpoint, then its serving thread.
    (void)regdStartSyncServer(&attr);

    startThread(&attr, regdFlushCache, nullptr);
    if (g_config.pingCheckInterval != -1 && g_config.registryProg != REGD_DEFAULT_PROG) {
        if (g_verbose) writeToLog("Setting up timeout check every %d seconds", g_config.pingCheckInterval * 60);
        startThread(&attr, regdCheckPing, nullptr);
    }

    writePidFile();
    startThread(&attr, sigHandlerThread, nullptr);
    pthread_attr_destroy(&attr);

    if (g_verbose) writeToLog("The registry file is: %s/%s/%s", g_config.kalvoDir.c_str(), getKalvoSubDir(), REGD_DB_FILE);
    kvCleanupOldIPCSStructures(g_config.kalvoDir.c_str(), getKalvoSubDir());
    endIfSignalled();
    // The main file, else its backup, else an empty registry.
    const char* pauseAt = getenv("KALVO_TEST_LOAD_PAUSE_AT");
    if (pauseAt != nullptr) loadPauseAt = strtoull(pauseAt, nullptr, 10);
    regdSetLoadProgressHook(loadProgress);
    bool mainFileUsed = false;
    const int loaded = regdLoadRegistry(&mainFileUsed);
    if (loaded == REGD_LOAD_STOPPED) endIfSignalled();  // the hook stops it for a signal only
    if (loaded != 1) {
        writeToLog("Failed to initialize the registry.  Exiting.");
        failStartup();
    }
    if (!regdCheckKalvoKey()) {
        (void)regdInsertVersionKey();
        (void)regdInitOleKeys();
    }
    endIfSignalled();
    // Only a file that was read successfully becomes the backup.
    if (g_config.keepBackup && mainFileUsed) (void)copyFile(REGD_DB_FILE, REGD_DB_BACKUP_FILE);
    markRegistryLoaded();
}
