#include "daemon/regdclients.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <mutex>

#include "daemon/regdconfig.h"

namespace {

struct RegdClientRec {
    int32_t pid;
    uint32_t uid;
    RegdClientRec* next;
};

RegdClientRec* pidList = nullptr;
// Written under the lock by the RPC thread only; read without it as a
// shortcut for the common repeated ping of one process.
std::atomic<int32_t> lastPidAdded{0};

}  // namespace

void regdAddToClientList(int32_t pid, uint32_t uid) {
    if (pid == lastPidAdded.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> guard(regdPidListMutex);
    for (RegdClientRec* r = pidList; r != nullptr; r = r->next)
        if (r->pid == pid) return;
    // A record that cannot be allocated is skipped; the ping still succeeds.
    RegdClientRec* rec = static_cast<RegdClientRec*>(malloc(sizeof(RegdClientRec)));
    if (rec == nullptr) return;
    *rec = RegdClientRec{pid, uid, pidList};
    pidList = rec;
    lastPidAdded.store(pid, std::memory_order_relaxed);
}

void regdRemoveFromClientList(int32_t pid) {
    std::lock_guard<std::mutex> guard(regdPidListMutex);
    for (RegdClientRec** link = &pidList; *link != nullptr; link = &(*link)->next) {
        if ((*link)->pid == pid) {
            RegdClientRec* gone = *link;
            *link = gone->next;
            free(gone);
            return;
        }
    }
}

int regdFindUid(uint32_t uid) {
    std::lock_guard<std::mutex> guard(regdPidListMutex);
    for (RegdClientRec* r = pidList; r != nullptr; r = r->next)
        if (r->uid == uid) return 1;
    return 0;
}

int regdProcessesStillExist() {
    std::lock_guard<std::mutex> guard(regdPidListMutex);
    for (RegdClientRec* r = pidList; r != nullptr; r = r->next) {
        // A pid of 0 or below would probe a whole process group.
        if (r->pid > 0 && kill(r->pid, 0) == 0) return 1;
    }
    return 0;
}

void regdFreePidList() {
    std::lock_guard<std::mutex> guard(regdPidListMutex);
    while (pidList != nullptr) {
        RegdClientRec* next = pidList->next;
        free(pidList);
        pidList = next;
    }
}

int regdClientListLength() {
    std::lock_guard<std::mutex> guard(regdPidListMutex);
    int n = 0;
    for (RegdClientRec* r = pidList; r != nullptr; r = r->next) n++;
    return n;
}
