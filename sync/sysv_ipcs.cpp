// The System V semaphore set and segment for client processes, and the ids
// file naming them for the next daemon.
#include "sync/sysv_ipcs.h"

#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>
#include <vector>

#include "base/files.h"

KvSyncInfo kvSyncInfo = {-1, -1, nullptr};
std::mutex kvRegSyncMutex;

namespace {

constexpr const char* KV_IPCS_LOG_FILE = "kalvo_ipcs.log";
constexpr int KV_SYNC_CLEANUP_SECONDS = 15;

pthread_t kvSyncCleanupThread;

union SemArg {
    int val;
    struct semid_ds* buf;
    unsigned short* array;
};

// Waits until only the daemon is attached to the segment, then removes the
// set and segment; a later request creates new ones.
void* kvSyncCleanupRoutine(void*) {
    for (;;) {
        sleep(KV_SYNC_CLEANUP_SECONDS);
        struct shmid_ds st;
        int shmId;
        {
            std::lock_guard<std::mutex> guard(kvRegSyncMutex);
            shmId = kvSyncInfo.shmId;
        }
        if (shmId < 0 || shmctl(shmId, IPC_STAT, &st) != 0 || st.shm_nattch == 1) break;
    }
    std::lock_guard<std::mutex> guard(kvRegSyncMutex);
    kvDeleteSemaphoreSet();
    return nullptr;
}

// Undoes a half-made creation and reports the failing step.
int failCreation(const char* what) {
    perror(what);
    kvDeleteSemaphoreSet();
    return -1;
}

// Size of the segment for nSems semaphores and nProcs process slots (nProcs
// already raised to a multiple of 8): the client library's layout.
size_t kvSegmentSize(int32_t nSems, int32_t nProcs) {
    return static_cast<size_t>(nProcs / 8 + 316) * static_cast<size_t>(nSems - 1) +
           static_cast<size_t>(nProcs) * 4 + 88;
}

// dir + "/" + subdir + "/" + "kalvo_ipcs.log" (without subdir: dir + "/" +
// name); empty for a null dir.
std::string kvGetIPCSLogFilePathName(const char* dir, const char* subdir) {
    if (dir == nullptr) return {};
    std::string path = dir;
    path += "/";
    if (subdir != nullptr) {
        path += subdir;
        path += "/";
    }
    return path + KV_IPCS_LOG_FILE;
}

// Writes "shmId semId\n" to the ids file; failures are silent.
void kvWriteIPCSLogFile(const char* dir, const char* subdir) {
    std::string path = kvGetIPCSLogFilePathName(dir, subdir);
    if (path.empty()) return;
    char line[64];
    int len = snprintf(line, sizeof line, "%d %d\n", kvSyncInfo.shmId, kvSyncInfo.semId);
    (void)regdWriteFileAtomic(path.c_str(), line, static_cast<size_t>(len));
}

}  // namespace

void kvDeleteSemaphoreSet() {
    if (kvSyncInfo.semId != -1) {
        semctl(kvSyncInfo.semId, 0, IPC_RMID);
        kvSyncInfo.semId = -1;
    }
    if (kvSyncInfo.shmAddr != nullptr) {
        shmdt(kvSyncInfo.shmAddr);
        kvSyncInfo.shmAddr = nullptr;
    }
    if (kvSyncInfo.shmId != -1) {
        shmctl(kvSyncInfo.shmId, IPC_RMID, nullptr);
        kvSyncInfo.shmId = -1;
    }
}

void kvCleanupOldIPCSStructures(const char* dir, const char* subdir) {
    std::string path = kvGetIPCSLogFilePathName(dir, subdir);
    if (path.empty()) return;
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) return;
    int oldShm = -1;
    int oldSem = -1;
    if (fscanf(f, "%d %d", &oldShm, &oldSem) == 2) {
        void* addr = shmat(oldShm, nullptr, SHM_RDONLY);
        if (addr != reinterpret_cast<void*>(-1)) {
            struct shmid_ds st;
            // Only a segment that still names the recorded set and that
            // nobody else attaches to is ours to remove: the id may have
            // been reused by someone else since.
            bool ours = shmctl(oldShm, IPC_STAT, &st) == 0 && st.shm_segsz >= sizeof(int) &&
                        *static_cast<const int*>(addr) == oldSem && st.shm_nattch == 1;
            shmdt(addr);
            if (ours) {
                shmctl(oldShm, IPC_RMID, nullptr);
                semctl(oldSem, 0, IPC_RMID);
            }
        }
    }
    fclose(f);
    unlink(path.c_str());
}

int kvSemaphoreSet(int32_t nSems, int32_t nProcs, int32_t permissions, const char* dir,
                   const char* subdir) {
    std::lock_guard<std::mutex> guard(kvRegSyncMutex);
    if (kvSyncInfo.shmAddr != nullptr) return kvSyncInfo.shmId;
    kvCleanupOldIPCSStructures(dir, subdir);
    if (nSems < 1 || nProcs < 0) {
        fprintf(stderr, "registry could not create semaphore set: bad size\n");
        return -1;
    }
    if (nProcs % 8 != 0) nProcs += 8 - nProcs % 8;
    int flags = (permissions & 0777) | IPC_CREAT | IPC_EXCL;

    kvSyncInfo.semId = semget(IPC_PRIVATE, nSems, flags);
    if (kvSyncInfo.semId == -1) return failCreation("registry could not create semaphore set");
    std::vector<unsigned short> values(static_cast<size_t>(nSems), 0);
    values[0] = 1;
    SemArg arg;
    arg.array = values.data();
    if (semctl(kvSyncInfo.semId, 0, SETALL, arg) != 0)
        return failCreation("registry could not initialize semaphore set");

    size_t size = kvSegmentSize(nSems, nProcs);
    kvSyncInfo.shmId = shmget(IPC_PRIVATE, size, flags);
    if (kvSyncInfo.shmId == -1) return failCreation("registry could not create shared memory segment");
    void* addr = shmat(kvSyncInfo.shmId, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) return failCreation("registry could not map shared memory segment");
    kvSyncInfo.shmAddr = addr;

    memset(addr, 0, size);
    int32_t* header = static_cast<int32_t*>(addr);
    header[0] = kvSyncInfo.semId;
    header[1] = nProcs;
    header[2] = nSems;
    header[3] = nSems - 1;
    header[4] = nProcs / 8;

    kvWriteIPCSLogFile(dir, subdir);
    if (pthread_create(&kvSyncCleanupThread, nullptr, kvSyncCleanupRoutine, nullptr) == 0)
        pthread_detach(kvSyncCleanupThread);
    return kvSyncInfo.shmId;
}
