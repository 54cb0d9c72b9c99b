// The client process list: who pinged, under which uid.
#include "rpc/regd_clients.h"

#include <csignal>
#include <mutex>
#include <unordered_map>

namespace {

std::mutex pidListMutex;
std::unordered_map<int32_t, uint32_t> pidList;  // pid -> uid
// Written under the lock; read without it as a shortcut for the common
// repeated ping of one process.
std::atomic<int32_t> lastPidAdded{0};

}  // namespace

std::atomic<int> g_clientsAreActive{1};
std::atomic<int> g_Kalvo3AppConnected{0};

void regdAddToClientList(int32_t pid, uint32_t uid) {
    if (pid == lastPidAdded.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> guard(pidListMutex);
    pidList.try_emplace(pid, uid);
    lastPidAdded.store(pid, std::memory_order_relaxed);
}

void regdRemoveFromClientList(int32_t pid) {
    std::lock_guard<std::mutex> guard(pidListMutex);
    pidList.erase(pid);
    if (lastPidAdded.load(std::memory_order_relaxed) == pid) lastPidAdded.store(0, std::memory_order_relaxed);
}

int regdFindUid(uint32_t uid) {
    std::lock_guard<std::mutex> guard(pidListMutex);
    for (const auto& [pid, owner] : pidList)
        if (owner == uid) return 1;
    return 0;
}

int regdProcessesStillExist() {
    std::lock_guard<std::mutex> guard(pidListMutex);
    for (const auto& [pid, owner] : pidList) {
        // A pid of 0 or below would probe a whole process group.
        if (pid > 0 && kill(pid, 0) == 0) return 1;
    }
    return 0;
}

void regdFreePidList() {
    std::lock_guard<std::mutex> guard(pidListMutex);
    pidList.clear();
}
