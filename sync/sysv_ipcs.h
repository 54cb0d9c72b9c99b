// The System V semaphore set and shared memory segment handed to client
// processes on request, with the ids file ("kalvo_ipcs.log") that lets the
// next daemon remove what an earlier one left behind.
#pragma once

#include <cstdint>
#include <mutex>

struct KvSyncInfo {
    int semId;      // -1 for none
    int shmId;      // -1 for none
    void* shmAddr;  // the daemon's attach address, null for none
};

extern KvSyncInfo kvSyncInfo;
extern std::mutex kvRegSyncMutex;

// Creates the set and segment (and in dir/subdir the ids file) on the
// first successful call and returns the segment id; later calls return the
// same id. -1 when creation fails (all that was created is removed again;
// the next call retries).
int kvSemaphoreSet(int32_t nSems, int32_t nProcs, int32_t permissions, const char* dir,
                   const char* subdir);

// Removes the set and the segment, whichever exist. Caller holds
// kvRegSyncMutex (or is the exiting process).
void kvDeleteSemaphoreSet();

// Removes a set and segment recorded in the ids file by an earlier daemon,
// when nobody but us attaches to the segment; the ids file is deleted.
void kvCleanupOldIPCSStructures(const char* dir, const char* subdir);
