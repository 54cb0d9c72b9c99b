// Waits of the sync server: wait records and the acquisition test, the
// signalling operations, begin-wait, time-out and client state changes, the
// server-to-client connections that carry wake-ups, and what happens when a
// client thread exits or a process disconnects.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <sys/epoll.h>
#include <unistd.h>
#include <vector>

#include "sync/sync_internal.h"

// ---------------------------------------------------------------------------
// Server-to-client connections and wake-ups
// ---------------------------------------------------------------------------

namespace {

// Tells the loop whether pid's socket must be watched for room.
void watchForRoom(SyncIPCInfo* info, int32_t pid, ProcessChannel& channel) {
    channel.awaitingRoom = !channel.out.empty();
    if (info->epollFd < 0) return;
    epoll_event event{};
    event.events = channel.awaitingRoom ? static_cast<uint32_t>(EPOLLOUT) : 0u;
    event.data.u64 = KV_LOOP_CHANNEL_TAG | static_cast<uint32_t>(pid);
    epoll_ctl(info->epollFd, EPOLL_CTL_MOD, channel.fd, &event);
}

// A process that stopped reading: its connection closes and its pending
// waits are withdrawn (their wake-ups could never reach it); what it owns
// stays owned until it disconnects.
void dropStalledProcess(SyncIPCInfo* info, int32_t pid) {
    kvDeleteSRVConnectionToProcess(info, pid);
    std::lock_guard<std::mutex> lock(info->stateLock);
    KvWaitList& queue = info->waitQueue;
    size_t kept = 0;
    for (size_t i = 0; i < queue.size(); i++) {
        if (queue[i]->waiterPid == static_cast<uint32_t>(pid)) {
            kvInactivateWaitQueItem(info, std::move(queue[i]));
        } else {
            if (kept != i) queue[kept] = std::move(queue[i]);
            kept++;
        }
    }
    queue.resize(kept);
}

// Queues one server-to-client message to pid and sends what the socket
// takes, or holds it for the end of the loop's round; 1 when pid has a
// connection.
int sendToProcess(SyncIPCInfo* info, int32_t pid, uint32_t opcode, const void* body, int length) {
    if (info == nullptr) return 0;
    auto found = info->processChannels.find(pid);
    if (found == info->processChannels.end()) return 0;
    ProcessChannel& channel = found->second;
    // At most one message is held per round: each goes in a send of its
    // own, as always, and the socket buffer, which is charged per send,
    // then takes as many from a process that stopped reading before its
    // queue grows, whether they come in one round or in many.
    if (info->holdWakeUps && !channel.out.empty() && !channel.awaitingRoom) kvFlushProcessChannel(info, pid);
    KvIPCHeader header{opcode, length, 0};
    bool wasEmpty = channel.out.empty();
    channel.out.append(reinterpret_cast<const char*>(&header), sizeof header);
    channel.out.append(static_cast<const char*>(body), static_cast<size_t>(length));
    if (channel.out.size() > KV_MAX_QUEUED_WAKE_BYTES) {
        dropStalledProcess(info, pid);
        return 1;
    }
    if (!wasEmpty) return 1;  // already waiting for room
    if (info->holdWakeUps && kvMakeRoomForOne(info->channelsToFlush))
        info->channelsToFlush.push_back(pid);
    else
        kvFlushProcessChannel(info, pid);
    return 1;
}

}  // namespace

void kvFlushProcessChannel(SyncIPCInfo* info, int32_t pid) {
    auto found = info->processChannels.find(pid);
    if (found == info->processChannels.end()) return;
    ProcessChannel& channel = found->second;
    kvProcessChannelSent(info, pid, kvSRVSendSome(channel.fd, channel.out.data(), channel.out.size()));
}

void kvProcessChannelSent(SyncIPCInfo* info, int32_t pid, long sent) {
    auto found = info->processChannels.find(pid);
    if (found == info->processChannels.end()) return;
    ProcessChannel& channel = found->second;
    // A broken connection is kept until pid goes, as a failed send always was.
    channel.out.erase(0, sent < 0 ? channel.out.size() : static_cast<size_t>(sent));
    // The usual wake-up goes out whole and needs no change to the watch.
    if (channel.awaitingRoom != !channel.out.empty()) watchForRoom(info, pid, channel);
}

void kvInitSRVConnectionToProcess(SyncIPCInfo* info, int32_t pid, uint64_t by, uint32_t uid) {
    if (info == nullptr || info->processChannels.contains(pid)) return;
    char* path = kvProcessSRVName(pid);
    int fd = kvSRVConnectNonBlocking(path);
    free(path);
    if (fd < 0) return;
    // Anyone may bind a dead or waiting process's path in /tmp: wake-ups go
    // only to the process itself or a listener of its user.
    int32_t listenerPid = 0;
    uint32_t listenerUid = 0;
    if (!kvSRVPeerCredentials(fd, &listenerPid, &listenerUid) || (listenerPid != pid && listenerUid != uid)) {
        close(fd);
        return;
    }
    try {
        info->processChannels.try_emplace(pid, ProcessChannel{fd, by, {}, false});
    } catch (const std::bad_alloc&) {
        close(fd);
        return;
    }
    if (info->epollFd >= 0) {
        epoll_event event{};
        event.data.u64 = KV_LOOP_CHANNEL_TAG | static_cast<uint32_t>(pid);
        epoll_ctl(info->epollFd, EPOLL_CTL_ADD, fd, &event);
    }
}

void kvDeleteSRVConnectionToProcess(SyncIPCInfo* info, int32_t pid) {
    if (info == nullptr) return;
    auto found = info->processChannels.find(pid);
    if (found == info->processChannels.end()) return;
    close(found->second.fd);  // also takes it out of the loop's epoll set
    info->processChannels.erase(found);
}

int kvWakeWaitEntry(SyncIPCInfo* info, int32_t pid, uint32_t waitEntry, int32_t waitResult, uint32_t reserved) {
    uint32_t body[3] = {waitEntry, static_cast<uint32_t>(waitResult), reserved};
    return sendToProcess(info, pid, KV_MSG_WAKE_WAIT_ENTRY, body, sizeof body);
}

int kvSignalClientEvent(SyncIPCInfo* info, int32_t pid, uint32_t value) {
    return sendToProcess(info, pid, KV_MSG_SIGNAL_CLIENT_EVENT, &value, sizeof value);
}

void kvWakeAndFreeWaitEntries(SyncIPCInfo* info, KvWaitList list) {
    if (info == nullptr) return;
    for (KvWait& wait : list) {
        kvWakeWaitEntry(info, static_cast<int32_t>(wait->waiterPid), wait->waitEntry, wait->waitResult,
                        wait->reserved);
        std::lock_guard<std::mutex> lock(info->stateLock);
        kvInactivateWaitQueItem(info, std::move(wait));
    }
}

// ---------------------------------------------------------------------------
// Wait records and acquisition
// ---------------------------------------------------------------------------

int kvValidateWaitArgs(SyncIPCInfo* info, std::span<const uint32_t> handles) {
    if (info == nullptr || handles.empty()) return 0;
    for (uint32_t handle : handles) {
        if (!kvIsServerKind(handle & KV_KIND_MASK)) continue;
        SyncObject* object = kvSyncObjectOfHandle(info, handle);
        if (object == nullptr || (object->flags & KV_FLAG_IN_USE) == 0) return 0;
    }
    return 1;
}

KvWait kvCreateWaitQueueItem(SyncIPCInfo* info, std::span<const uint32_t> handles, int32_t needed, int32_t pid,
                             uint32_t thread, uint32_t waitEntry) {
    if (info == nullptr || handles.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
    KvWait wait;
    if (!info->waitItemPool.empty()) {
        wait = std::move(info->waitItemPool.back());
        info->waitItemPool.pop_back();
    } else {
        wait.reset(new (std::nothrow) WaitQueueItem{});
        if (wait == nullptr) return nullptr;
    }
    size_t n = handles.size();
    wait->waiterPid = static_cast<uint32_t>(pid);
    try {
        // A recycled record keeps its arrays' capacity: no allocation then.
        wait->handles.assign(n, 0);
        wait->acquired.assign(n, 0);
    } catch (const std::bad_alloc&) {
        kvInactivateWaitQueItem(info, std::move(wait));  // nHandles is still 0: no uses to give back
        return nullptr;
    }
    for (size_t i = 0; i < n; i++) {
        uint32_t handle = kvResolveAlias(info, pid, handles[i]);
        SyncObject* object = kvIsServerKind(handle & KV_KIND_MASK) ? kvSyncObjectOfHandle(info, handle) : nullptr;
        // A use goes only to a live object: a free slot must stay without users.
        if (object != nullptr && (object->flags & KV_FLAG_IN_USE) != 0 &&
            !kvIncrSyncObjectUse(object, pid, KV_USE_WAIT)) {
            kvInactivateWaitQueItem(info, std::move(wait));  // gives back the uses of positions before i
            return nullptr;
        }
        wait->handles[i] = handle;
        wait->nHandles = static_cast<int32_t>(i + 1);
    }
    wait->nNeeded = needed;
    wait->waiterThread = thread;
    wait->waitEntry = waitEntry;
    wait->signalled = 0;
    return wait;
}

void kvInactivateWaitQueItem(SyncIPCInfo* info, KvWait wait) {
    if (info == nullptr || wait == nullptr) return;
    for (int32_t i = 0; i < wait->nHandles; i++) {
        uint32_t handle = wait->handles[i];
        if (!kvIsServerKind(handle & KV_KIND_MASK)) continue;
        kvDecrSyncObjectUse(info, kvSyncObjectOfHandle(info, handle), static_cast<int32_t>(wait->waiterPid),
                            KV_USE_WAIT);
    }
    // Cleared but for the arrays' capacity, which the next wait reuses.
    std::vector<uint32_t> handles = std::move(wait->handles);
    std::vector<uint32_t> acquired = std::move(wait->acquired);
    handles.clear();
    acquired.clear();
    *wait = WaitQueueItem{};
    wait->handles = std::move(handles);
    wait->acquired = std::move(acquired);
    try {
        info->waitItemPool.push_back(std::move(wait));
    } catch (const std::bad_alloc&) {
        // Not kept for reuse: the record is freed here.
    }
}

int kvAcquireWaitObjects(SyncIPCInfo* info, WaitQueueItem* wait) {
    if (info == nullptr || wait == nullptr) return 0;
    int32_t count = 0;
    for (int32_t i = 0; i < wait->nHandles; i++) {
        uint32_t kind = wait->handles[i] & KV_KIND_MASK;
        if (kvIsServerKind(kind)) {
            SyncObject* object = kvSyncObjectOfHandle(info, wait->handles[i]);
            bool free = object != nullptr && object->state >= 1;
            bool ownedByWaiter = object != nullptr && kind == KV_KIND_MUTEX &&
                                 static_cast<uint32_t>(object->ownerThread) == wait->waiterThread &&
                                 static_cast<uint32_t>(object->ownerPid) == wait->waiterPid;
            wait->acquired[i] = free || ownedByWaiter ? 1 : 0;
        }
        if (wait->acquired[i] == 1) count++;
    }
    if (count == 0 || count < wait->nNeeded) return 0;

    wait->signalled = 1;
    bool abandoned = false;
    for (int32_t i = 0; i < wait->nHandles; i++) {
        if (wait->acquired[i] != 1) continue;
        SyncObject* object = kvSyncObjectOfHandle(info, wait->handles[i]);
        bool positionAbandoned = false;
        if (object != nullptr && object->kind == KV_KIND_EVENT) {
            if ((object->flags & KV_FLAG_MANUAL_RESET) == 0) object->state = 0;
        } else if (object != nullptr && object->kind == KV_KIND_MUTEX) {
            object->ownerPid = static_cast<int32_t>(wait->waiterPid);
            object->ownerThread = static_cast<int32_t>(wait->waiterThread);
            object->state--;
            if ((object->flags & KV_FLAG_ABANDONED) != 0) {
                object->flags &= ~KV_FLAG_ABANDONED;
                positionAbandoned = abandoned = true;
            }
        } else if (object != nullptr && object->kind == KV_KIND_SEMAPHORE) {
            object->state--;
        }
        if (wait->nNeeded == 1) {
            wait->waitResult = i + (positionAbandoned ? KV_WAIT_ABANDONED_0 : 0);
            return 1;
        }
    }
    wait->waitResult = abandoned ? KV_WAIT_ABANDONED_0 : 0;
    return 1;
}

KvWaitList kvDequeueWakeableWaitItems(SyncIPCInfo* info, int32_t pid, KvWait* selfOut) {
    KvWaitList wake;
    if (info == nullptr) return wake;
    // Room made before anything is dequeued: a satisfied wait has consumed
    // its objects and must not be lost for want of a place in the list.
    try {
        wake.reserve(info->waitQueue.size());
    } catch (const std::bad_alloc&) {
        return wake;
    }
    // Each satisfied wait consumes before the next is tried: earlier waits win.
    KvWaitList& queue = info->waitQueue;
    size_t kept = 0;
    for (size_t i = 0; i < queue.size(); i++) {
        KvWait& wait = queue[i];
        if (!kvAcquireWaitObjects(info, wait.get())) {
            if (kept != i) queue[kept] = std::move(wait);
            kept++;
        } else if (selfOut != nullptr && *selfOut == nullptr && wait->waiterPid == static_cast<uint32_t>(pid)) {
            *selfOut = std::move(wait);
        } else {
            wake.push_back(std::move(wait));  // room reserved above: cannot fail
        }
    }
    queue.resize(kept);
    return wake;
}

namespace {

// The first queued wait of pid with that entry (only a pending one when
// `pendingOnly`); the end of the queue when there is none.
KvWaitList::iterator findQueuedWait(SyncIPCInfo* info, int32_t pid, uint32_t waitEntry, bool pendingOnly) {
    return std::ranges::find_if(info->waitQueue, [&](const KvWait& wait) {
        return wait->waiterPid == static_cast<uint32_t>(pid) && wait->waitEntry == waitEntry &&
               (!pendingOnly || wait->signalled == 0);
    });
}

}  // namespace

// ---------------------------------------------------------------------------
// Signalling operations
// ---------------------------------------------------------------------------

namespace {

// Reply words of a signalling operation: success in word 0, then (after
// word 1 for release_semaphore's previous count) error code and error flag,
// then the three self-wake words for the operations that dequeue.
struct SignalReply {
    std::span<char> words;
    size_t errorWord;

    void fail(int32_t error) const {
        kvWirePutWord(words, 0, 0);
        kvWirePutWord(words, errorWord, error);
        kvWirePutWord(words, errorWord + 1, 1);
    }
    void succeed() const {
        kvWirePutWord(words, 0, 1);
        kvWirePutWord(words, errorWord, 0);
        kvWirePutWord(words, errorWord + 1, 0);
    }
    // The caller's own satisfied wait, answered here instead of by a message.
    void selfWake(const WaitQueueItem* wait) const {
        kvWirePutWord(words, errorWord + 2, static_cast<int32_t>(wait->waitEntry));
        kvWirePutWord(words, errorWord + 3, wait->waitResult);
        kvWirePutWord(words, errorWord + 4, static_cast<int32_t>(wait->reserved));
    }
};

// The object a signalling request names for pid: the kind must match and
// the slot lie inside the table. The in-use bit is not tested: a handle to
// a freed slot is not invalidated, it names whatever the slot holds.
SyncObject* signalTarget(SyncIPCInfo* info, int32_t pid, uint32_t handle, uint32_t kind) {
    uint32_t resolved = kvResolveAlias(info, pid, handle);
    if ((resolved & KV_KIND_MASK) != kind) return nullptr;
    return kvSyncObjectOfHandle(info, resolved);
}

// After a change that may satisfy waits: the caller's first satisfied wait
// is answered in the reply and retired; the others are returned to wake
// once stateLock is released. stateLock held.
KvWaitList dequeueAfterChange(SyncIPCInfo* info, int32_t pid, const SignalReply& reply) {
    KvWait self;
    KvWaitList wake = kvDequeueWakeableWaitItems(info, pid, &self);
    if (self != nullptr) {
        reply.selfWake(self.get());
        kvInactivateWaitQueItem(info, std::move(self));
    }
    return wake;
}

// set_event and pulse_event: signal, release what that satisfies, and for
// a pulse leave the event unsignalled whatever happened.
void signalEvent(SyncIPCInfo* info, std::span<const char> request, std::span<char> replyWords, bool pulse) {
    SignalReply reply{replyWords, 1};
    reply.fail(KV_ERROR_INVALID_HANDLE);
    if (info == nullptr) return;
    int32_t pid = kvWireGetWord(request, 0);
    uint32_t handle = static_cast<uint32_t>(kvWireGetWord(request, 1));
    KvWaitList wake;
    {
        std::lock_guard<std::mutex> lock(info->stateLock);
        SyncObject* event = signalTarget(info, pid, handle, KV_KIND_EVENT);
        if (event == nullptr) return;
        event->state = 1;
        reply.succeed();
        wake = dequeueAfterChange(info, pid, reply);
        if (pulse) event->state = 0;
    }
    kvWakeAndFreeWaitEntries(info, std::move(wake));
}

}  // namespace

void release_semaphore(SyncConnection*, SyncIPCInfo* info, std::span<const char> request,
                       std::span<char> replyWords) {
    SignalReply reply{replyWords, 2};
    reply.fail(KV_ERROR_INVALID_HANDLE);
    if (info == nullptr) return;
    int32_t pid = kvWireGetWord(request, 0);
    uint32_t handle = static_cast<uint32_t>(kvWireGetWord(request, 1));
    int32_t count = kvWireGetWord(request, 2);
    KvWaitList wake;
    {
        std::lock_guard<std::mutex> lock(info->stateLock);
        SyncObject* semaphore = signalTarget(info, pid, handle, KV_KIND_SEMAPHORE);
        if (semaphore == nullptr) return;
        if (count < 1 || static_cast<int64_t>(semaphore->state) + count > semaphore->maximum) {
            reply.fail(KV_ERROR_INVALID_PARAMETER);
            return;
        }
        kvWirePutWord(replyWords, 1, semaphore->state);
        semaphore->state += count;
        reply.succeed();
        wake = dequeueAfterChange(info, pid, reply);
    }
    kvWakeAndFreeWaitEntries(info, std::move(wake));
}

void release_mutex(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> replyWords) {
    SignalReply reply{replyWords, 1};
    reply.fail(KV_ERROR_INVALID_HANDLE);
    if (info == nullptr) return;
    int32_t pid = kvWireGetWord(request, 0);
    int32_t thread = kvWireGetWord(request, 1);
    uint32_t handle = static_cast<uint32_t>(kvWireGetWord(request, 2));
    KvWaitList wake;
    {
        std::lock_guard<std::mutex> lock(info->stateLock);
        SyncObject* mutex = signalTarget(info, pid, handle, KV_KIND_MUTEX);
        if (mutex == nullptr || mutex->state > 0 || mutex->ownerPid != pid || mutex->ownerThread != thread) return;
        // Free again at 1; the owner fields stay until the next owner.
        mutex->state++;
        reply.succeed();
        wake = dequeueAfterChange(info, pid, reply);
    }
    kvWakeAndFreeWaitEntries(info, std::move(wake));
}

void set_event(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    signalEvent(info, request, reply, false);
}

void pulse_event(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    signalEvent(info, request, reply, true);
}

void reset_event(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> replyWords) {
    SignalReply reply{replyWords, 1};
    reply.fail(KV_ERROR_INVALID_HANDLE);
    if (info == nullptr) return;
    std::lock_guard<std::mutex> lock(info->stateLock);
    SyncObject* event = signalTarget(info, kvWireGetWord(request, 0),
                                     static_cast<uint32_t>(kvWireGetWord(request, 1)), KV_KIND_EVENT);
    if (event == nullptr) return;
    event->state = 0;
    reply.succeed();
}

// ---------------------------------------------------------------------------
// Waits
// ---------------------------------------------------------------------------

namespace {

// Reply of begin-wait: pending flag, wait result, error code, error flag.
void replyWait(std::span<char> reply, int32_t pending, int32_t result, int32_t error) {
    kvWirePutWord(reply, 0, pending);
    kvWirePutWord(reply, 1, result);
    kvWirePutWord(reply, 2, error);
    kvWirePutWord(reply, 3, error != 0 ? 1 : 0);
}

constexpr size_t KV_BEGIN_WAIT_HANDLES_WORD = 5;

}  // namespace

void kvBeginWait(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    replyWait(reply, 0, KV_WAIT_FAILED, KV_ERROR_INVALID_HANDLE);
    if (info == nullptr) return;
    int32_t pid = kvWireGetWord(request, 0);
    uint32_t waitEntry = static_cast<uint32_t>(kvWireGetWord(request, 1));
    uint32_t thread = static_cast<uint32_t>(kvWireGetWord(request, 2));
    int32_t needed = kvWireGetWord(request, 3);
    int32_t count = kvWireGetWord(request, 4);
    // The dispatcher has checked that the counted handles were received.
    std::vector<uint32_t> handles;
    if (count > 0) {
        try {
            handles.resize(static_cast<size_t>(count));
        } catch (const std::bad_alloc&) {
            replyWait(reply, 0, KV_WAIT_FAILED, KV_ERROR_NOT_ENOUGH_MEMORY);
            return;
        }
        for (size_t i = 0; i < handles.size(); i++)
            handles[i] = static_cast<uint32_t>(kvWireGetWord(request, KV_BEGIN_WAIT_HANDLES_WORD + i));
    }
    // Before the wait can be queued, so that its wake-up can reach pid.
    kvInitSRVConnectionToProcess(info, pid, connection->id, connection->peerUid);

    std::lock_guard<std::mutex> lock(info->stateLock);
    if (!kvValidateWaitArgs(info, handles)) return;
    // Neither "any" (1) nor "all" nor anything in between: such a wait could
    // never be satisfied and would only hold its objects alive.
    if (needed < 1 || needed > count) {
        replyWait(reply, 0, KV_WAIT_FAILED, KV_ERROR_INVALID_PARAMETER);
        return;
    }
    // Room in the queue first, so that a wait that must queue always can.
    KvWait wait = kvMakeRoomForOne(info->waitQueue) ? kvCreateWaitQueueItem(info, handles, needed, pid, thread, waitEntry) : nullptr;
    if (wait == nullptr) {
        replyWait(reply, 0, KV_WAIT_FAILED, KV_ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    if (kvAcquireWaitObjects(info, wait.get())) {
        replyWait(reply, 0, wait->waitResult, 0);
        kvInactivateWaitQueItem(info, std::move(wait));
    } else {
        replyWait(reply, 1, 0, 0);
        wait->connection = connection->id;
        info->waitQueue.push_back(std::move(wait));
    }
}

void kvWaitEntryTimeout(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    // Not found until found: the wait was satisfied and its wake-up is
    // sent or on its way, or it never existed.
    kvWirePutWord(reply, 0, 1);
    if (info == nullptr) return;
    std::lock_guard<std::mutex> lock(info->stateLock);
    auto found =
        findQueuedWait(info, kvWireGetWord(request, 0), static_cast<uint32_t>(kvWireGetWord(request, 2)), true);
    if (found == info->waitQueue.end()) return;
    KvWait wait = std::move(*found);
    info->waitQueue.erase(found);
    wait->waitResult = KV_WAIT_TIMEOUT;
    wait->reserved = 0;
    wait->signalled = 1;
    kvWirePutWord(reply, 0, 0);
    kvWirePutWord(reply, 1, KV_WAIT_TIMEOUT);
    kvInactivateWaitQueItem(info, std::move(wait));
}

void kvWaitObjectStateChange(SyncConnection*, SyncIPCInfo* info, std::span<const char> request,
                             std::span<char> reply) {
    kvWirePutWord(reply, 0, 1);  // still waiting
    if (info == nullptr) return;
    int32_t position = kvWireGetWord(request, 3);
    std::lock_guard<std::mutex> lock(info->stateLock);
    auto found =
        findQueuedWait(info, kvWireGetWord(request, 0), static_cast<uint32_t>(kvWireGetWord(request, 2)), false);
    if (found == info->waitQueue.end()) return;
    WaitQueueItem* wait = found->get();
    if (wait->signalled != 0 || position < 0 || position >= wait->nHandles) return;
    wait->acquired[position] = static_cast<uint32_t>(kvWireGetWord(request, 4));
    // Only this wait is tried: the client changed an object only it sees.
    if (!kvAcquireWaitObjects(info, wait)) return;
    kvWirePutWord(reply, 0, 0);
    kvWirePutWord(reply, 1, wait->waitResult);
    KvWait satisfied = std::move(*found);
    info->waitQueue.erase(found);
    kvInactivateWaitQueItem(info, std::move(satisfied));
}

// ---------------------------------------------------------------------------
// Thread exit and process disconnect
// ---------------------------------------------------------------------------

namespace {

// A mutex whose owner went: free at once whatever the recursion depth, and
// marked so that its next owner learns of it.
void abandonMutex(SyncObject* mutex) {
    mutex->state = 1;
    mutex->ownerPid = 0;
    mutex->ownerThread = 0;
    mutex->flags |= KV_FLAG_ABANDONED;
}

bool ownedMutex(const SyncObject* object) { return object->kind == KV_KIND_MUTEX && object->state <= 0; }

// Withdraws, without waking, every queued wait that `matches`.
template <typename Matches>
void withdrawWaits(SyncIPCInfo* info, Matches matches) {
    KvWaitList& queue = info->waitQueue;
    size_t kept = 0;
    for (size_t i = 0; i < queue.size(); i++) {
        if (matches(queue[i].get())) {
            kvInactivateWaitQueItem(info, std::move(queue[i]));
        } else {
            if (kept != i) queue[kept] = std::move(queue[i]);
            kept++;
        }
    }
    queue.resize(kept);
}

}  // namespace

void kvNotifyThreadExited(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char>) {
    if (info == nullptr) return;
    int32_t pid = kvWireGetWord(request, 0);
    int32_t thread = kvWireGetWord(request, 1);
    KvWaitList wake;
    {
        std::lock_guard<std::mutex> lock(info->stateLock);
        for (uint32_t index : info->usedSlots) {
            SyncObject* object = &info->slots[index];
            if (ownedMutex(object) && object->ownerPid == pid && object->ownerThread == thread) abandonMutex(object);
        }
        withdrawWaits(info, [&](const WaitQueueItem* wait) {
            return wait->waiterPid == static_cast<uint32_t>(pid) && wait->waiterThread == static_cast<uint32_t>(thread);
        });
        wake = kvDequeueWakeableWaitItems(info, pid, nullptr);
    }
    kvWakeAndFreeWaitEntries(info, std::move(wake));
}

void kvRegisterConnectionPid(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                             std::span<char>) {
    if (info == nullptr) return;
    std::lock_guard<std::mutex> lock(info->stateLock);
    try {
        info->connectedProcesses.push_back(ConnectedProcess{kvWireGetWord(request, 0), connection});
    } catch (const std::bad_alloc&) {
        // Silent, as the request has no reply: the process is then never
        // cleaned up after.
    }
}

namespace {

// The wake-up connections that `connection` opened: each goes over to the
// connection of a wait of its process still queued, or closes. stateLock held.
std::vector<int32_t> channelsLeftBy(SyncIPCInfo* info, uint64_t connection) {
    std::vector<int32_t> unneeded;
    for (auto& [pid, channel] : info->processChannels) {
        if (channel.openedBy != connection) continue;
        auto heir = std::ranges::find(info->waitQueue, static_cast<uint32_t>(pid), [](const KvWait& w) { return w->waiterPid; });
        if (heir != info->waitQueue.end())
            channel.openedBy = (*heir)->connection;
        else
            unneeded.push_back(pid);
    }
    return unneeded;
}

}  // namespace

void sync_ipc_disconnect_handler(SyncConnection* connection, SyncIPCInfo* info) {
    if (info == nullptr) return;
    int32_t pid = 0;
    bool registered = false;
    std::vector<int32_t> unneeded;
    KvWaitList wake;
    {
        std::lock_guard<std::mutex> lock(info->stateLock);
        // Whatever pid its requests claimed, the waits begun here end with it.
        withdrawWaits(info, [&](const WaitQueueItem* wait) { return wait->connection == connection->id; });
        // The newest registration of this connection names the departing process.
        auto& processes = info->connectedProcesses;
        auto process = std::find_if(processes.rbegin(), processes.rend(),
                                    [&](const ConnectedProcess& p) { return p.connection == connection; });
        if (process != processes.rend()) {
            registered = true;
            pid = process->pid;
            processes.erase(std::next(process).base());
            std::vector<uint32_t> dead;
            for (uint32_t index : info->usedSlots) {
                SyncObject* object = &info->slots[index];
                std::erase_if(object->users, [&](const SyncObjectUse& use) { return use.pid == pid; });
                if (ownedMutex(object) && object->ownerPid == pid) abandonMutex(object);
                if (object->users.empty()) dead.push_back(index);
            }
            // Slots freed by a departing process are reused last, in creation order.
            for (uint32_t index : dead) kvFreeSyncObjectSlot(info, &info->slots[index], false);
            // Their wait uses went with the process's uses above.
            withdrawWaits(info,
                          [&](const WaitQueueItem* wait) { return wait->waiterPid == static_cast<uint32_t>(pid); });
            std::erase_if(info->aliases, [&](const SyncObjectAlias& alias) { return alias.pid == pid; });
        }
        unneeded = channelsLeftBy(info, connection->id);
        wake = kvDequeueWakeableWaitItems(info, pid, nullptr);
    }
    if (registered) kvDeleteSRVConnectionToProcess(info, pid);
    for (int32_t left : unneeded) kvDeleteSRVConnectionToProcess(info, left);
    kvWakeAndFreeWaitEntries(info, std::move(wake));
}
