// The daemon's configuration: one record, filled from the command line during
// start-up and read-only afterwards, plus the verbose flag that signals flip.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/types.h>

constexpr uint32_t REGD_DEFAULT_PROG = 0x3003003C;
constexpr uint32_t REGD_DEFAULT_VERS = 2;

struct RegdConfig {
    int keepBackup = 1;               // copy the database to its backup at start
    int32_t logLines = 1000;          // lines of the circular log; -1 unbounded
    int32_t pingCheckInterval = 10;   // minutes; -1 never times out
    int32_t flushInterval = 50;       // seconds
    uint32_t registryProg = REGD_DEFAULT_PROG;
    uint32_t registryVers = REGD_DEFAULT_VERS;
    int32_t numSemaphores = 8;
    int32_t syncPermissions = 438;
    int32_t numProcesses = 1024;
    std::string kalvoDir;             // base directory in use, set by createKalvoDir
    pid_t registryPid = 0;
};

// Every module reads the configuration through this reference.
extern const RegdConfig& g_config;

// The one writable view: for start-up (command line, directory) and tests.
RegdConfig& regdStartupConfig();

// Switched on and off by SIGUSR1 and SIGUSR2 while everything else runs.
extern std::atomic<int> g_verbose;
