// The list of local client processes that pinged the daemon, each with its
// user id. Guarded by a lock of its own; never taken with regdWriteMutex held.
// Processes that are gone are dropped as the list grows and at each
// existence test, so pings that name ever new process ids cannot make it
// grow beyond about twice the processes that exist.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Adds a process; a listed process id is left as it is.
void regdAddToClientList(int32_t pid, uint32_t uid);
// Removes the process, if listed.
void regdRemoveFromClientList(int32_t pid);
// 1 if a listed process runs under `uid`, else 0.
int regdFindUid(uint32_t uid);
// 1 if at least one listed process still exists (signal 0 succeeds), else 0.
int regdProcessesStillExist();
// Forgets every process (shutdown).
void regdFreePidList();
// Number of listed processes.
size_t regdClientListSize();

// Activity flag of the inactivity check; set by open-key, open-key-ex and ping.
extern std::atomic<int> g_clientsAreActive;
// Set by the first version-1 call; a private daemon then never times out.
extern std::atomic<int> g_Kalvo3AppConnected;
