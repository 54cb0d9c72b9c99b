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
