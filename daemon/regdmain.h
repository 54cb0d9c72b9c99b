// Start-up of the daemon: command line, registry directory, pid file,
// background threads and the orderly ends of the process.
#pragma once

#include <cstdint>
#include <mutex>
#include <sys/types.h>

// The start sequence, run in the child after the fork. On return the
// registry is loaded and *prog, *vers hold what to register.
void regdmain(int* argc, char** argv, uint32_t* prog, uint32_t* vers);

// Parses the options into the configuration settings.
void checkArgs(int* argc, char** argv);

// Prints the usage text to standard output.
void showUsage(const char* programName);

// How the per-user start-up lock file in /tmp was met.
enum RegdStartupLockState {
    REGD_STARTUP_LOCK_TAKEN,    // created; this process's pid is in it
    REGD_STARTUP_LOCK_BUSY,     // another start of this user is under way (or no lock can be made)
    REGD_STARTUP_LOCK_IGNORED,  // another user's file: the start goes on without the lock
};
// Creates the lock file `path` (O_EXCL, O_NOFOLLOW, mode 0600) holding this
// process's pid. A file of ours whose creator is gone (or that names no
// creator and is older than a few seconds) is replaced.
RegdStartupLockState regdTakeStartupLock(const char* path);
// Names `pid` as the held lock's creator (the child that goes on starting).
void regdNameStartupLockCreator(pid_t pid);
// Closes and removes the start-up lock file, if still held. Every path that
// ends the process calls it; safe from any thread, more than once.
void regdRemoveStartupLock();

// Held by whichever path ends the process, to the end; the main thread
// holds it while it registers the RPC program, so that an end by signal,
// which unregisters, comes before the registration or after it, never
// between its steps.
extern std::mutex g_regdEndMutex;

// Ends a start-up whose listening or RPC registration failed, exit status 1:
// prints `message`, then removes what the start-up put in place, a
// registration already made included (else a client would find a dead
// port, and the next start a stale pid file). Called with g_regdEndMutex held.
[[noreturn]] void regdFailRegistration(const char* message);

// Removes the RPC registration of (prog, vers) and of (prog, 1).
void regd_svc_unregister(uint32_t prog, uint32_t vers);
