// The list of local client processes that pinged the daemon, each with its
// user id. Guarded by regdPidListMutex; never taken with regdWriteMutex held.
#pragma once

#include <cstdint>

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
