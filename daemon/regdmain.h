// Start-up of the daemon: command line, registry directory, pid file,
// background threads and the orderly ends of the process.
#pragma once

#include <cstdint>

// The start sequence, run in the child after the fork. On return the
// registry is loaded and *prog, *vers hold what to register.
void regdmain(int* argc, char** argv, uint32_t* prog, uint32_t* vers);

// Parses the options into the configuration settings.
void checkArgs(int* argc, char** argv);

// Prints the usage text to standard output.
void showUsage(const char* programName);

// Records the per-user start-up lock file so that every path that ends
// start-up removes it.
void regdSetStartupLock(int fd, const char* path);
// Closes and removes the start-up lock file, if still held.
void regdRemoveStartupLock();

// Removes the RPC registration of (prog, vers) and of (prog, 1).
void regd_svc_unregister(uint32_t prog, uint32_t vers);

// ---- Client process list: local client processes that pinged ----

// Adds a process (newest first); a listed process id is left as it is.
void regdAddToClientList(int32_t pid, uint32_t uid);
// Removes the process, if listed.
void regdRemoveFromClientList(int32_t pid);
// 1 if a listed process runs under `uid`, else 0.
int regdFindUid(uint32_t uid);
// 1 if at least one listed process still exists (signal 0 succeeds), else 0.
int regdProcessesStillExist();
// Frees every record (shutdown).
void regdFreePidList();
// Number of listed processes (diagnostics and tests).
int regdClientListLength();
