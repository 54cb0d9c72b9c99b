#include "sync/regdipcsrv.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unistd.h>
#include <vector>

#include "base/config.h"

SyncIPCInfo* pRegdSyncIPCInfo = nullptr;

namespace {

void* runDispatcher(void* context) {
    kvIPCCallDispatcher(static_cast<KvIPCCallContext*>(context));
    return nullptr;
}

}  // namespace

void* regdRunIPCServer(void* endpoint) {
    if (endpoint != nullptr) kvSRVConnectLoop(static_cast<KvSRVEndpoint*>(endpoint), 0);
    return nullptr;
}

void regdIPCConnectionHandler(KvSRVConnection* connection, void* context) {
    auto* call = new (std::nothrow) KvIPCCallContext{connection, sync_ipc_handler, sync_ipc_disconnect_handler,
                                                     static_cast<SyncIPCInfo*>(context), KV_IPC_MAX_OPCODE};
    // A connection nobody would serve is closed at once, so its client is
    // not left waiting for replies.
    if (call == nullptr) {
        kvSRVDisconnect(connection);
        return;
    }
    pthread_attr_t attr;
    pthread_t thread;
    bool started = pthread_attr_init(&attr) == 0;
    if (started) {
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        started = pthread_create(&thread, &attr, runDispatcher, call) == 0;
        pthread_attr_destroy(&attr);
    }
    if (!started) {
        kvSRVDisconnect(connection);
        delete call;
    }
}

int regdStartSyncServer(pthread_attr_t* attr) {
    pRegdSyncIPCInfo = sync_ipc_srv_init();
    // Without a state no request could be served, so no endpoint is offered.
    if (pRegdSyncIPCInfo == nullptr) return 0;
    char* name = kvProcessSRVName(g_config.registryPid);
    kvSRVRemoveEndpoint(name);
    free(name);
    name = kvProcessSRVName(g_config.registryPid);
    KvSRVEndpoint* endpoint = kvSRVInit(name, regdIPCConnectionHandler, pRegdSyncIPCInfo);
    free(name);
    if (endpoint == nullptr) return 0;
    pthread_t thread;
    if (pthread_create(&thread, attr, regdRunIPCServer, endpoint) != 0) {
        perror("regdStartSyncServer -- cannot start the IPC server thread");
        kvSRVRemoveEndpoint(endpoint->path);
        close(endpoint->fd);
        free(endpoint);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Server-to-client connections and wake-ups
// ---------------------------------------------------------------------------

namespace {

// The server's connection to pid; connectionLock held.
KvListItem* processConnectionItem(SyncIPCInfo* info, int32_t pid) {
    for (KvListItem* item = kvListHeadItem(info->processConnections); item != nullptr; item = kvListNextItem(item))
        if (static_cast<ProcessConnection*>(kvListItemData(item))->pid == pid) return item;
    return nullptr;
}

// Sends one server-to-client message to pid; 1 when pid has a connection.
// A failed send is not reported: the connection stays until pid goes.
int sendToProcess(SyncIPCInfo* info, int32_t pid, uint32_t opcode, const void* body, int length) {
    if (info == nullptr) return 0;
    std::lock_guard<std::mutex> lock(info->connectionLock);
    KvListItem* item = processConnectionItem(info, pid);
    if (item == nullptr) return 0;
    (void)kvIPCServerCall(static_cast<ProcessConnection*>(kvListItemData(item))->connection, opcode, body, length,
                          nullptr, 0);
    return 1;
}

}  // namespace

void kvInitSRVConnectionToProcess(SyncIPCInfo* info, int32_t pid) {
    if (info == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(info->connectionLock);
        if (processConnectionItem(info, pid) != nullptr) return;
    }
    // Connected without the lock: a process slow to accept must not hold up
    // the wake-ups of everybody else.
    char* path = kvProcessSRVName(pid);
    KvSRVConnection* connection = kvSRVConnect(path);
    free(path);
    if (connection == nullptr) return;
    std::lock_guard<std::mutex> lock(info->connectionLock);
    if (processConnectionItem(info, pid) != nullptr) {  // another thread was quicker
        kvSRVDisconnect(connection);
        return;
    }
    auto* record = static_cast<ProcessConnection*>(calloc(1, sizeof(ProcessConnection)));
    KvListItem* item = kvListNewItem(record);
    if (record == nullptr || item == nullptr) {
        free(record);
        kvListFreeItem(item);
        kvSRVDisconnect(connection);
        return;
    }
    record->pid = pid;
    record->connection = connection;
    kvListAddItemToHead(info->processConnections, item);
}

void kvDeleteSRVConnectionToProcess(SyncIPCInfo* info, int32_t pid) {
    if (info == nullptr) return;
    std::lock_guard<std::mutex> lock(info->connectionLock);
    KvListItem* item = processConnectionItem(info, pid);
    if (item == nullptr) return;
    auto* record = static_cast<ProcessConnection*>(kvListItemData(item));
    kvListRemoveAndFreeItem(info->processConnections, item);
    kvSRVDisconnect(record->connection);
    free(record);
}

int kvWakeWaitEntry(SyncIPCInfo* info, int32_t pid, uint32_t waitEntry, int32_t waitResult, uint32_t reserved) {
    uint32_t body[3] = {waitEntry, static_cast<uint32_t>(waitResult), reserved};
    return sendToProcess(info, pid, KV_MSG_WAKE_WAIT_ENTRY, body, sizeof body);
}

int kvSignalClientEvent(SyncIPCInfo* info, int32_t pid, uint32_t value) {
    return sendToProcess(info, pid, KV_MSG_SIGNAL_CLIENT_EVENT, &value, sizeof value);
}

void kvWakeAndFreeWaitEntries(SyncIPCInfo* info, KvList* list) {
    if (info == nullptr || list == nullptr) return;
    KvListItem* item = kvListHeadItem(list);
    while (item != nullptr) {
        KvListItem* next = kvListNextItem(item);
        auto* wait = static_cast<WaitQueueItem*>(kvListItemData(item));
        kvWakeWaitEntry(info, static_cast<int32_t>(wait->waiterPid), wait->waitEntry, wait->waitResult,
                        wait->reserved);
        kvListRemoveItem(list, item);
        {
            std::lock_guard<std::mutex> lock(info->stateLock);
            kvInactivateWaitQueItem(info, item);
        }
        item = next;
    }
    kvListDeleteList(list);
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

KvListItem* kvCreateWaitQueueItem(SyncIPCInfo* info, std::span<const uint32_t> handles, int32_t needed,
                                  int32_t pid, uint32_t thread, uint32_t waitEntry) {
    if (info == nullptr || handles.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
    KvListItem* item = kvListHeadItem(info->waitItemPool);
    WaitQueueItem* wait;
    if (item != nullptr) {
        kvListRemoveItem(info->waitItemPool, item);
        wait = static_cast<WaitQueueItem*>(kvListItemData(item));
        *wait = WaitQueueItem{};
    } else {
        wait = static_cast<WaitQueueItem*>(calloc(1, sizeof(WaitQueueItem)));
        item = kvListNewItem(wait);
        if (wait == nullptr || item == nullptr) {
            free(wait);
            kvListFreeItem(item);
            return nullptr;
        }
    }
    size_t n = handles.size();
    wait->waiterPid = static_cast<uint32_t>(pid);
    wait->handles = wait->inlineHandles;
    wait->acquired = wait->inlineAcquired;
    if (n > KV_WAIT_INLINE_HANDLES) {
        wait->handles = static_cast<uint32_t*>(calloc(n, sizeof(uint32_t)));
        wait->acquired = static_cast<uint32_t*>(calloc(n, sizeof(uint32_t)));
        if (wait->handles == nullptr || wait->acquired == nullptr) {
            kvInactivateWaitQueItem(info, item);  // nHandles is still 0: no uses to give back
            return nullptr;
        }
    }
    for (size_t i = 0; i < n; i++) {
        uint32_t handle = kvResolveAlias(info, pid, handles[i]);
        SyncObject* object = kvIsServerKind(handle & KV_KIND_MASK) ? kvSyncObjectOfHandle(info, handle) : nullptr;
        // A use goes only to a live object: a free slot must stay without users.
        if (object != nullptr && (object->flags & KV_FLAG_IN_USE) != 0 &&
            !kvIncrSyncObjectUse(object, pid, KV_USE_WAIT)) {
            kvInactivateWaitQueItem(info, item);  // gives back the uses of positions before i
            return nullptr;
        }
        wait->handles[i] = handle;
        wait->nHandles = static_cast<int32_t>(i + 1);
    }
    wait->nNeeded = needed;
    wait->waiterThread = thread;
    wait->waitEntry = waitEntry;
    wait->signalled = 0;
    return item;
}

void kvInactivateWaitQueItem(SyncIPCInfo* info, KvListItem* item) {
    auto* wait = static_cast<WaitQueueItem*>(kvListItemData(item));
    if (info == nullptr || wait == nullptr) return;
    for (int32_t i = 0; i < wait->nHandles; i++) {
        uint32_t handle = wait->handles[i];
        if (!kvIsServerKind(handle & KV_KIND_MASK)) continue;
        kvDecrSyncObjectUse(info, kvSyncObjectOfHandle(info, handle), static_cast<int32_t>(wait->waiterPid),
                            KV_USE_WAIT);
    }
    if (wait->handles != wait->inlineHandles) free(wait->handles);
    if (wait->acquired != wait->inlineAcquired) free(wait->acquired);
    wait->handles = wait->inlineHandles;
    wait->acquired = wait->inlineAcquired;
    wait->nHandles = 0;
    kvListAddItemToHead(info->waitItemPool, item);
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

KvList* kvDequeueWakeableWaitItems(SyncIPCInfo* info, int32_t pid, KvListItem** selfOut) {
    if (info == nullptr) return nullptr;
    // Made before anything is dequeued: a satisfied wait has consumed its
    // objects and must not be lost for want of a list to put it on.
    KvList* wake = kvListNewList();
    if (wake == nullptr) return nullptr;
    KvListItem* item = kvListHeadItem(info->waitQueue);
    while (item != nullptr) {
        KvListItem* next = kvListNextItem(item);
        auto* wait = static_cast<WaitQueueItem*>(kvListItemData(item));
        if (kvAcquireWaitObjects(info, wait)) {
            kvListRemoveItem(info->waitQueue, item);
            if (selfOut != nullptr && *selfOut == nullptr && wait->waiterPid == static_cast<uint32_t>(pid))
                *selfOut = item;
            else
                kvListAddItemToTail(wake, item);
        }
        item = next;
    }
    if (kvListHeadItem(wake) == nullptr) {
        kvListDeleteList(wake);
        return nullptr;
    }
    return wake;
}

KvListItem* kvWaitQueueListItemOfWaiter(SyncIPCInfo* info, int32_t pid, uint32_t waitEntry) {
    if (info == nullptr) return nullptr;
    for (KvListItem* item = kvListHeadItem(info->waitQueue); item != nullptr; item = kvListNextItem(item)) {
        auto* wait = static_cast<WaitQueueItem*>(kvListItemData(item));
        if (wait->waiterPid == static_cast<uint32_t>(pid) && wait->waitEntry == waitEntry) return item;
    }
    return nullptr;
}

KvListItem* kvGetTimedOutWaitEntry(SyncIPCInfo* info, int32_t pid, uint32_t waitEntry) {
    if (info == nullptr) return nullptr;
    for (KvListItem* item = kvListHeadItem(info->waitQueue); item != nullptr; item = kvListNextItem(item)) {
        auto* wait = static_cast<WaitQueueItem*>(kvListItemData(item));
        if (wait->waiterPid == static_cast<uint32_t>(pid) && wait->waitEntry == waitEntry && wait->signalled == 0)
            return item;
    }
    return nullptr;
}

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
KvList* dequeueAfterChange(SyncIPCInfo* info, int32_t pid, const SignalReply& reply) {
    KvListItem* self = nullptr;
    KvList* wake = kvDequeueWakeableWaitItems(info, pid, &self);
    if (self != nullptr) {
        reply.selfWake(static_cast<WaitQueueItem*>(kvListItemData(self)));
        kvInactivateWaitQueItem(info, self);
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
    KvList* wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(info->stateLock);
        SyncObject* event = signalTarget(info, pid, handle, KV_KIND_EVENT);
        if (event == nullptr) return;
        event->state = 1;
        reply.succeed();
        wake = dequeueAfterChange(info, pid, reply);
        if (pulse) event->state = 0;
    }
    kvWakeAndFreeWaitEntries(info, wake);
}

}  // namespace

void release_semaphore(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request,
                       std::span<char> replyWords) {
    SignalReply reply{replyWords, 2};
    reply.fail(KV_ERROR_INVALID_HANDLE);
    if (info == nullptr) return;
    int32_t pid = kvWireGetWord(request, 0);
    uint32_t handle = static_cast<uint32_t>(kvWireGetWord(request, 1));
    int32_t count = kvWireGetWord(request, 2);
    KvList* wake = nullptr;
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
    kvWakeAndFreeWaitEntries(info, wake);
}

void release_mutex(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> replyWords) {
    SignalReply reply{replyWords, 1};
    reply.fail(KV_ERROR_INVALID_HANDLE);
    if (info == nullptr) return;
    int32_t pid = kvWireGetWord(request, 0);
    int32_t thread = kvWireGetWord(request, 1);
    uint32_t handle = static_cast<uint32_t>(kvWireGetWord(request, 2));
    KvList* wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(info->stateLock);
        SyncObject* mutex = signalTarget(info, pid, handle, KV_KIND_MUTEX);
        if (mutex == nullptr || mutex->state > 0 || mutex->ownerPid != pid || mutex->ownerThread != thread) return;
        // Free again at 1; the owner fields stay until the next owner.
        mutex->state++;
        reply.succeed();
        wake = dequeueAfterChange(info, pid, reply);
    }
    kvWakeAndFreeWaitEntries(info, wake);
}

void set_event(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    signalEvent(info, request, reply, false);
}

void pulse_event(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    signalEvent(info, request, reply, true);
}

void reset_event(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> replyWords) {
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

void kvBeginWait(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
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
    kvInitSRVConnectionToProcess(info, pid);

    std::lock_guard<std::mutex> lock(info->stateLock);
    if (!kvValidateWaitArgs(info, handles)) return;
    // Neither "any" (1) nor "all" nor anything in between: such a wait could
    // never be satisfied and would only hold its objects alive.
    if (needed < 1 || needed > count) {
        replyWait(reply, 0, KV_WAIT_FAILED, KV_ERROR_INVALID_PARAMETER);
        return;
    }
    KvListItem* item = kvCreateWaitQueueItem(info, handles, needed, pid, thread, waitEntry);
    if (item == nullptr) {
        replyWait(reply, 0, KV_WAIT_FAILED, KV_ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    auto* wait = static_cast<WaitQueueItem*>(kvListItemData(item));
    if (kvAcquireWaitObjects(info, wait)) {
        replyWait(reply, 0, wait->waitResult, 0);
        kvInactivateWaitQueItem(info, item);
    } else {
        replyWait(reply, 1, 0, 0);
        kvListAddItemToTail(info->waitQueue, item);
    }
}

void kvWaitEntryTimeout(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    // Not found until found: the wait was satisfied and its wake-up is
    // sent or on its way, or it never existed.
    kvWirePutWord(reply, 0, 1);
    if (info == nullptr) return;
    std::lock_guard<std::mutex> lock(info->stateLock);
    KvListItem* item =
        kvGetTimedOutWaitEntry(info, kvWireGetWord(request, 0), static_cast<uint32_t>(kvWireGetWord(request, 2)));
    if (item == nullptr) return;
    auto* wait = static_cast<WaitQueueItem*>(kvListItemData(item));
    wait->waitResult = KV_WAIT_TIMEOUT;
    wait->reserved = 0;
    wait->signalled = 1;
    kvListRemoveItem(info->waitQueue, item);
    kvWirePutWord(reply, 0, 0);
    kvWirePutWord(reply, 1, KV_WAIT_TIMEOUT);
    kvInactivateWaitQueItem(info, item);
}

void kvWaitObjectStateChange(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request,
                             std::span<char> reply) {
    kvWirePutWord(reply, 0, 1);  // still waiting
    if (info == nullptr) return;
    int32_t position = kvWireGetWord(request, 3);
    std::lock_guard<std::mutex> lock(info->stateLock);
    KvListItem* item =
        kvWaitQueueListItemOfWaiter(info, kvWireGetWord(request, 0), static_cast<uint32_t>(kvWireGetWord(request, 2)));
    if (item == nullptr) return;
    auto* wait = static_cast<WaitQueueItem*>(kvListItemData(item));
    if (wait->signalled != 0 || position < 0 || position >= wait->nHandles) return;
    wait->acquired[position] = static_cast<uint32_t>(kvWireGetWord(request, 4));
    // Only this wait is tried: the client changed an object only it sees.
    if (!kvAcquireWaitObjects(info, wait)) return;
    kvWirePutWord(reply, 0, 0);
    kvWirePutWord(reply, 1, wait->waitResult);
    kvListRemoveItem(info->waitQueue, item);
    kvInactivateWaitQueItem(info, item);
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

uint32_t slotOf(KvListItem* item) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(kvListItemData(item))); }

// Withdraws, without waking, every queued wait that `matches`.
template <typename Matches>
void withdrawWaits(SyncIPCInfo* info, Matches matches) {
    KvListItem* item = kvListHeadItem(info->waitQueue);
    while (item != nullptr) {
        KvListItem* next = kvListNextItem(item);
        if (matches(static_cast<WaitQueueItem*>(kvListItemData(item)))) {
            kvListRemoveItem(info->waitQueue, item);
            kvInactivateWaitQueItem(info, item);
        }
        item = next;
    }
}

}  // namespace

void kvNotifyThreadExited(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char>) {
    if (info == nullptr) return;
    int32_t pid = kvWireGetWord(request, 0);
    int32_t thread = kvWireGetWord(request, 1);
    KvList* wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(info->stateLock);
        for (KvListItem* item = kvListHeadItem(info->usedSlots); item != nullptr; item = kvListNextItem(item)) {
            SyncObject* object = kvSyncObjectAt(info, slotOf(item));
            if (ownedMutex(object) && object->ownerPid == pid && object->ownerThread == thread) abandonMutex(object);
        }
        withdrawWaits(info, [&](const WaitQueueItem* wait) {
            return wait->waiterPid == static_cast<uint32_t>(pid) && wait->waiterThread == static_cast<uint32_t>(thread);
        });
        wake = kvDequeueWakeableWaitItems(info, pid, nullptr);
    }
    kvWakeAndFreeWaitEntries(info, wake);
}

void sync_ipc_disconnect_handler(KvSRVConnection* connection, SyncIPCInfo* info) {
    if (info == nullptr) return;
    int32_t pid;
    KvList* wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(info->stateLock);
        ConnectedProcess** link = &info->connectedProcesses;
        while (*link != nullptr && (*link)->connection != connection) link = &(*link)->next;
        ConnectedProcess* process = *link;
        if (process == nullptr) return;  // never registered: nothing of it to undo
        *link = process->next;
        pid = process->pid;

        KvListItem* item = kvListHeadItem(info->usedSlots);
        while (item != nullptr) {
            KvListItem* nextItem = kvListNextItem(item);
            SyncObject* object = kvSyncObjectAt(info, slotOf(item));
            KvListItem* u = kvListHeadItem(&object->users);
            while (u != nullptr) {
                KvListItem* nextUse = kvListNextItem(u);
                auto* use = static_cast<SyncObjectUse*>(kvListItemData(u));
                if (use->pid == pid) {
                    kvListRemoveAndFreeItem(&object->users, u);
                    free(use);
                }
                u = nextUse;
            }
            if (ownedMutex(object) && object->ownerPid == pid) abandonMutex(object);
            // Slots freed by a departing process are reused last.
            if (kvListHeadItem(&object->users) == nullptr) kvFreeSyncObjectSlot(info, object, item, false);
            item = nextItem;
        }
        // Their wait uses went with the process's uses above.
        withdrawWaits(info, [&](const WaitQueueItem* wait) { return wait->waiterPid == static_cast<uint32_t>(pid); });

        KvListItem* a = kvListHeadItem(info->aliases);
        while (a != nullptr) {
            KvListItem* nextAlias = kvListNextItem(a);
            auto* alias = static_cast<SyncObjectAlias*>(kvListItemData(a));
            if (alias->pid == pid) {
                kvListRemoveAndFreeItem(info->aliases, a);
                free(alias);
            }
            a = nextAlias;
        }
        wake = kvDequeueWakeableWaitItems(info, pid, nullptr);
        free(process);
    }
    kvDeleteSRVConnectionToProcess(info, pid);
    kvWakeAndFreeWaitEntries(info, wake);
}
