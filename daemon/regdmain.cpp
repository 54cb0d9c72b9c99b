// Start-up of the daemon: command line, registry directory, pid file, background
// threads (flush, inactivity check, signals) and the orderly ends of the process.
#include "daemon/regdmain.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <rpc/rpc.h>
#include <string>
#include <sys/file.h>
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

namespace {

char* kalvoDir = nullptr;  // -d value; null stands for /var/adm
int startupLockFd = -1;
std::string startupLockPath;
int dirLockFd = -1;

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

// Ends the daemon after a terminating signal: final write first (waiting for
// any change in progress, so a half-changed cache is never written),
// unregistration last, exit status 2.
[[noreturn]] void shutdownBySignal(int sig) {
    writeToLog(signalLogFormat(sig), sig);
    regdWriteEntireRegistryDatabase();
    removeSyncEndpoint();
    writeToLog("removing pidFile: %s", REGD_PID_FILE);
    unlink(REGD_PID_FILE);
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

// Ends a private daemon nobody uses: unregister first so no new call
// arrives, then the final write; the semaphore set stays for the next
// daemon's start-up to remove. Exit status 0.
[[noreturn]] void shutdownByTimeout() {
    writeToLog("Registry Daemon inactivity time out");
    regd_svc_unregister(g_config.registryProg, g_config.registryVers);
    regdWriteEntireRegistryDatabase();
    writeToLog("removing pidFile: %s", REGD_PID_FILE);
    unlink(REGD_PID_FILE);
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
// save, every g_config.flushInterval seconds.
void* regdFlushCache(void*) {
    for (;;) {
        sleepSeconds(g_config.flushInterval);
        if (g_dirty != 0) regdWriteEntireRegistryDatabase();
    }
    return nullptr;
}

// Inactivity check of a private daemon: ends it once a whole interval went
// by without an open-key or ping call, no version-1 client was ever seen,
// and none of the listed client processes exists.
void* regdCheckPing(void*) {
    for (;;) {
        if (g_Kalvo3AppConnected) g_clientsAreActive = 1;
        if (!g_clientsAreActive && !regdProcessesStillExist()) shutdownByTimeout();
        g_clientsAreActive = 0;
        sleepSeconds(static_cast<int64_t>(g_config.pingCheckInterval) * 60);
    }
    return nullptr;
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
            shutdownBySignal(sig);
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
        regdRemoveStartupLock();
        exit(2);
    }
}

}  // namespace

void regdSetStartupLock(int fd, const char* path) {
    startupLockFd = fd;
    startupLockPath = path;
}

void regdRemoveStartupLock() {
    if (startupLockFd < 0) return;
    close(startupLockFd);
    unlink(startupLockPath.c_str());
    startupLockFd = -1;
}

void regd_svc_unregister(uint32_t prog, uint32_t vers) {
    pmap_unset(prog, vers);
    pmap_unset(prog, 1);
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
    // The main file, else its backup, else an empty registry.
    bool mainFileUsed = false;
    if (!regdLoadRegistry(&mainFileUsed)) {
        writeToLog("Failed to initialize the registry.  Exiting.");
        regdCloseLog();
        unlink(REGD_PID_FILE);
        regdRemoveStartupLock();
        exit(2);
    }
    if (!regdCheckKalvoKey()) {
        (void)regdInsertVersionKey();
        (void)regdInitOleKeys();
    }
    // Only a file that was read successfully becomes the backup.
    if (g_config.keepBackup && mainFileUsed) (void)copyFile(REGD_DB_FILE, REGD_DB_BACKUP_FILE);
}
