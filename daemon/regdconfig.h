// Process-wide configuration and state shared by the daemon's subsystems.
// Set once from the command line before anything else reads them; only
// g_verbose changes later (by signal).
#pragma once

#include <cstdint>
#include <mutex>
#include <sys/types.h>

constexpr uint32_t REGD_DEFAULT_PROG = 0x3003003C;
constexpr uint32_t REGD_DEFAULT_VERS = 2;

extern volatile int g_verbose;
extern int keepBackup;
extern int32_t g_logLines;
extern int32_t g_pingCheckInterval;  // minutes; -1 never times out
extern int32_t g_flushInterval;      // seconds
extern uint32_t g_registryProg;
extern uint32_t g_registryVers;
extern int32_t g_numSemaphores;
extern int32_t g_syncPermissions;
extern int32_t g_numProcesses;

extern char* g_kalvoDir;   // base directory in use, set by createKalvoDir
extern pid_t g_registry_pid;

// Activity flag of the inactivity check; set by open-key, open-key-ex and ping.
extern volatile int g_clientsAreActive;
// Set by the first version-1 call; a private daemon then never times out.
extern volatile int g_Kalvo3AppConnected;

// Guards every change of the registry cache and every database file write.
extern std::mutex regdWriteMutex;
// Guards the client process list.
extern std::mutex regdPidListMutex;
