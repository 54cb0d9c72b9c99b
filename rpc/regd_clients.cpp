// The client process list: who pinged, under which uid.
#include "rpc/regd_clients.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <unordered_map>

namespace {

std::mutex pidListMutex;
std::unordered_map<int32_t, uint32_t> pidList;  // pid -> uid
// Written under the lock; read without it as a shortcut for the common
// repeated ping of one process.
std::atomic<int32_t> lastPidAdded{0};
// List size at which adding first drops the processes that are gone.
constexpr size_t MIN_SWEEP_SIZE = 64;
size_t sweepAt = MIN_SWEEP_SIZE;

// A process id that names no process. One we may not signal exists.
bool processGone(int32_t pid) { return pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH); }

// Drops the processes that are gone; the next sweep waits until the list
// has doubled, so each add pays a constant share. Caller holds the lock.
void dropGoneProcesses() {
    for (auto it = pidList.begin(); it != pidList.end();) {
        if (processGone(it->first)) {
            if (lastPidAdded.load(std::memory_order_relaxed) == it->first) lastPidAdded.store(0, std::memory_order_relaxed);
            it = pidList.erase(it);
        } else {
            ++it;
        }
    }
    sweepAt = std::max(MIN_SWEEP_SIZE, 2 * pidList.size());
}

}  // namespace

std::atomic<int> g_clientsAreActive{1};
std::atomic<int> g_Kalvo3AppConnected{0};

void regdAddToClientList(int32_t pid, uint32_t uid) {
    if (pid == lastPidAdded.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> guard(pidListMutex);
    if (pidList.size() >= sweepAt) dropGoneProcesses();
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
    dropGoneProcesses();
    for (const auto& [pid, owner] : pidList) {
        // A process we may not signal counts as gone here, but stays listed.
        if (kill(pid, 0) == 0) return 1;
    }
    return 0;
}

void regdFreePidList() {
    std::lock_guard<std::mutex> guard(pidListMutex);
    pidList.clear();
}

size_t regdClientListSize() {
    std::lock_guard<std::mutex> guard(pidListMutex);
    return pidList.size();
}
