// Change notifications. The store reports each change through its hook
// (under regdWriteMutex); matching registrations end there and leave their
// events with the thread that made the change, which sets them once the
// change is complete and its locks are released, before its reply goes.
//
// Events are set by a set_event request on a connection of our own to the
// sync server, as any client would: the server's state stays with its one
// loop thread, and the request's reply says the waiters have been woken.
#include "rpc/regd_notify.h"

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <set>
#include <span>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/config.h"
#include "store/regdcache.h"
#include "sync/kvipc_wire.h"
#include "sync/sync_socket.h"

namespace {

constexpr uint32_t ERROR_INVALID_HANDLE = 6;

struct Watch {
    uint64_t connection;
    const RegCacheRec* key;
    uint32_t hKey;  // as the client named the key, for CLOSE_KEY
    uint32_t filter;
    uint32_t event;
    bool subtree;
};

// Lock order: regdWriteMutex (when held) before watchMutex; signalMutex is
// taken with neither.
std::mutex watchMutex;
std::unordered_map<uint64_t, Watch> watches;  // by id, ids rising in order of registration
std::set<std::pair<const RegCacheRec*, uint64_t>> watchesByKey;
std::set<std::pair<uint64_t, uint64_t>> watchesByConnection;
uint64_t lastWatchId = 0;
size_t subtreeWatches = 0;
// Read without the lock by the hook, so that changes pay nothing while
// nobody watches.
std::atomic<size_t> watchCount{0};

thread_local uint64_t callConnection = 0;
thread_local std::vector<uint32_t> firedEvents;

// Ends a watch and keeps its event for setting. watchMutex held.
void fire(uint64_t id, std::vector<uint32_t>& events) {
    auto it = watches.find(id);
    if (it == watches.end()) return;
    const Watch& w = it->second;
    events.push_back(w.event);
    watchesByKey.erase({w.key, id});
    watchesByConnection.erase({w.connection, id});
    if (w.subtree) subtreeWatches--;
    watches.erase(it);
    watchCount.store(watches.size(), std::memory_order_relaxed);
}

// The store's hook: the changed key's own watches whose filter matches, and
// watches of its subtree above it; a deleted key ends every watch on it.
void onChange(const RegCacheRec* key, uint32_t filter) {
    if (watchCount.load(std::memory_order_relaxed) == 0) return;
    std::lock_guard<std::mutex> lock(watchMutex);
    bool deleted = filter == REGD_CHANGE_KEY_DELETED;
    for (const RegCacheRec* k = key; k != nullptr; k = k->parent) {
        auto it = watchesByKey.lower_bound({k, 0});
        while (it != watchesByKey.end() && it->first == k) {
            uint64_t id = (it++)->second;
            const Watch& w = watches.find(id)->second;
            if (deleted || ((w.filter & filter) != 0 && (k == key || w.subtree))) fire(id, firedEvents);
        }
        if (deleted || subtreeWatches == 0) break;
    }
}

// ---- Our connection to the sync server ----

std::mutex signalMutex;  // the connection below, one exchange at a time
int signalFd = -1;

int syncConnection() {
    if (signalFd >= 0) return signalFd;
    char* path = kvProcessSRVName(g_config.registryPid);
    int fd = path != nullptr ? kvSRVConnectNonBlocking(path) : -1;
    free(path);
    if (fd < 0) return -1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);  // our exchanges wait for their replies
    signalFd = fd;
    return fd;
}

// Requests per write: their replies fit the socket buffer many times over,
// so the server never waits for us to read while we write.
constexpr size_t BATCH = 64;

// Sends `opcode` (set or reset event) for each event, in batches, and reads
// the replies; okOut, when given, receives the first reply's success word.
// False when the sync server cannot be reached.
bool eventRequests(uint32_t opcode, int32_t replyLength, std::span<const uint32_t> events, bool* okOut) {
    std::lock_guard<std::mutex> lock(signalMutex);
    int32_t pid = static_cast<int32_t>(g_config.registryPid);
    for (size_t start = 0; start < events.size(); start += BATCH) {
        size_t n = std::min(BATCH, events.size() - start);
        std::string out;
        for (size_t i = 0; i < n; i++) {
            KvIPCHeader header{opcode, 8, replyLength};
            int32_t body[2] = {pid, static_cast<int32_t>(events[start + i])};
            out.append(reinterpret_cast<const char*>(&header), sizeof header);
            out.append(reinterpret_cast<const char*>(body), sizeof body);
        }
        std::string replies(n * static_cast<size_t>(replyLength), '\0');
        int fd = syncConnection();
        if (fd < 0 || !kvWireSendAll(fd, out.data(), out.size()) ||
            !kvWireRecvAll(fd, replies.data(), replies.size())) {
            if (fd >= 0) close(fd);
            signalFd = -1;
            return false;
        }
        if (okOut != nullptr && start == 0) *okOut = kvWireGetWord(replies, 0) != 0;
    }
    return true;
}

void setEvents(std::span<const uint32_t> events) {
    if (!events.empty()) eventRequests(KV_OP_SET_EVENT, 24, events, nullptr);
}

}  // namespace

void regdSetCallConnection(uint64_t connection) { callConnection = connection; }

uint64_t regdCallConnection() { return callConnection; }

uint32_t regdNotifyRegister(const RegdCaller& caller, uint32_t hKey, bool subtree, uint32_t filter, uint32_t event) {
    if ((filter & REGD_NOTIFY_FILTER_MASK) == 0 ||
        (filter & ~(REGD_NOTIFY_FILTER_MASK | REGD_NOTIFY_THREAD_AGNOSTIC)) != 0)
        return REGD_ERROR_INVALID_PARAMETER;
    const RegCacheRec* key = regdFindHKey(caller, hKey);
    if (key == nullptr) return REGD_ERROR_FILE_NOT_FOUND;
    // Registering resets the event; a handle the server does not know as an
    // event fails here.
    bool reset = false;
    if (!eventRequests(KV_OP_RESET_EVENT, 12, std::span<const uint32_t>(&event, 1), &reset) || !reset)
        return ERROR_INVALID_HANDLE;
    std::lock_guard<std::mutex> lock(watchMutex);
    uint64_t id = ++lastWatchId;
    try {
        watches.emplace(id, Watch{callConnection, key, hKey, filter & REGD_NOTIFY_FILTER_MASK, event, subtree});
        watchesByKey.insert({key, id});
        watchesByConnection.insert({callConnection, id});
    } catch (const std::bad_alloc&) {
        watches.erase(id);
        watchesByKey.erase({key, id});
        watchesByConnection.erase({callConnection, id});
        return REGD_ERROR_NOT_ENOUGH_MEMORY;
    }
    if (subtree) subtreeWatches++;
    watchCount.store(watches.size(), std::memory_order_relaxed);
    // Installed by the first registration: until then the store calls nothing.
    // Safe here: the store reads the hook only under regdWriteMutex held
    // exclusively, and this call holds it shared.
    regdSetChangeHook(onChange);
    return REGD_ERROR_SUCCESS;
}

void regdNotifyHandleClosed(uint32_t hKey) {
    if (watchCount.load(std::memory_order_relaxed) == 0) return;
    std::lock_guard<std::mutex> lock(watchMutex);
    auto it = watchesByConnection.lower_bound({callConnection, 0});
    while (it != watchesByConnection.end() && it->first == callConnection) {
        uint64_t id = (it++)->second;
        if (watches.find(id)->second.hKey == hKey) fire(id, firedEvents);
    }
}

void regdNotifyConnectionClosed(uint64_t connection) {
    if (watchCount.load(std::memory_order_relaxed) == 0) return;
    std::vector<uint32_t> events;
    {
        std::lock_guard<std::mutex> lock(watchMutex);
        auto it = watchesByConnection.lower_bound({connection, 0});
        while (it != watchesByConnection.end() && it->first == connection) fire((it++)->second, events);
    }
    setEvents(events);
}

void regdNotifyFlush() {
    if (firedEvents.empty()) return;
    std::vector<uint32_t> events;
    events.swap(firedEvents);
    setEvents(events);
}

size_t regdNotifyCount() { return watchCount.load(std::memory_order_relaxed); }
