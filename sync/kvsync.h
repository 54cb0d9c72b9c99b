// Objects of the sync server: the table of shared events, mutexes and
// semaphores, their handle values, lookup by name, per-process use counts
// that decide when an object dies, and aliases (a client's own handle value
// standing for a server object). Everything here runs with stateLock of the
// SyncIPCInfo held; operation handlers take it themselves.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "sync/kvipc_wire.h"
#include "sync/kvlist.h"

struct SyncIPCInfo;
struct KvSRVConnection;

// Bits of SyncObject::flags.
constexpr uint32_t KV_FLAG_IN_USE = 0x1;
constexpr uint32_t KV_FLAG_MANUAL_RESET = 0x2;
constexpr uint32_t KV_FLAG_ABANDONED = 0x4;

// The table grows by this many slots whenever a creation finds none free.
constexpr uint32_t KV_SLOT_GROWTH = 1024;

// Which counter of a SyncObjectUse an increment or decrement names.
constexpr int KV_USE_HANDLE = 1;
constexpr int KV_USE_WAIT = 2;

// Win32 status codes carried in replies.
constexpr int32_t KV_ERROR_INVALID_HANDLE = 6;
constexpr int32_t KV_ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr int32_t KV_ERROR_INVALID_PARAMETER = 87;
constexpr int32_t KV_ERROR_ALREADY_EXISTS = 183;

// One slot of the object table.
struct SyncObject {
    uint32_t index;  // the slot's own index, fixed when the slot is made
    uint32_t kind;   // KV_KIND_*; an alias object keeps its client handle's top bits
    uint32_t flags;  // KV_FLAG_*
    int32_t state;   // event: 1 signalled; mutex: 1 free, <= 0 owned 1-state times; semaphore: count
    int32_t maximum;  // semaphore maximum
    int32_t ownerPid;
    int32_t ownerThread;
    std::string name;  // empty for unnamed and alias objects
    KvList users;      // SyncObjectUse, in order of first use
};

// One process's uses of an object; listed while either count is non-zero.
struct SyncObjectUse {
    int32_t pid;
    int32_t handleCount;
    int32_t waitCount;
};

// A client handle registered by one process as a name for a server object.
struct SyncObjectAlias {
    int32_t pid;
    uint32_t clientHandle;
    uint32_t serverHandle;
};

// Handles of up to this many objects are kept inside the wait record.
constexpr int KV_WAIT_INLINE_HANDLES = 64;

// One pending wait of a client thread.
struct WaitQueueItem {
    int32_t nHandles;
    uint32_t inlineHandles[KV_WAIT_INLINE_HANDLES];
    uint32_t* handles;  // inlineHandles or a separate array; resolved through aliases
    int32_t nNeeded;    // 1: wait for any; nHandles: wait for all
    uint32_t waiterThread;
    uint32_t waiterPid;
    uint32_t waitEntry;  // the client's opaque identifier of the wait
    uint32_t signalled;  // 1 once satisfied or timed out
    uint32_t inlineAcquired[KV_WAIT_INLINE_HANDLES];
    uint32_t* acquired;
    int32_t waitResult;
    uint32_t reserved;
};

// The handle that names an object: kind, server marker and slot index.
uint32_t kvSyncObjectHandle(const SyncObject* object);

// Kinds whose objects the server keeps state for; handles of any other kind
// stand for objects a client manages itself.
inline bool kvIsServerKind(uint32_t kind) {
    return kind == KV_KIND_EVENT || kind == KV_KIND_MUTEX || kind == KV_KIND_SEMAPHORE;
}

// The slot index a handle carries: 16 bits for an event (a duplicate tag
// sits above them), 27 bits for the other kinds.
inline uint32_t kvHandleIndex(uint32_t handle) {
    return (handle & KV_KIND_MASK) == KV_KIND_EVENT ? handle & KV_EVENT_INDEX_MASK : handle & KV_INDEX_MASK;
}

// The object of the handle's own kind in the handle's slot, in use or not;
// null when the slot lies outside the table or holds another kind.
SyncObject* kvSyncObjectOfHandle(SyncIPCInfo* info, uint32_t handle);

// The object in slot `index`, or null when the index is outside the table.
SyncObject* kvSyncObjectAt(SyncIPCInfo* info, uint32_t index);

// First object in creation order whose name equals `name` byte for byte;
// null for an empty name. The kind is not compared.
SyncObject* kvFindSyncObject(SyncIPCInfo* info, std::string_view name);

// A new object of `kind` with one handle use for pid, in the most recently
// freed slot (the table grows when none is free). Null when memory runs out
// or when an event would land in a slot its handle cannot name.
SyncObject* kvCreateSyncObject(SyncIPCInfo* info, std::string_view name, uint32_t kind, int32_t pid);

// Adds one use (KV_USE_HANDLE or KV_USE_WAIT) of pid; 1, or 0 when the use
// record cannot be allocated.
int kvIncrSyncObjectUse(SyncObject* object, int32_t pid, int which);

// Drops one use of pid; the object dies with its last use and its slot is
// reused first. 0 when pid has no use of the object.
int kvDecrSyncObjectUse(SyncIPCInfo* info, SyncObject* object, int32_t pid, int which);

// The handle to act on for `handle` sent by pid: the server handle of pid's
// alias if the handle is a client handle with one, else the handle itself
// (an event handle without its tag).
uint32_t kvResolveAlias(SyncIPCInfo* info, int32_t pid, uint32_t handle);

// Adds a handle use of pid to the object in slot `index`; the object, or
// null when the use cannot be added.
SyncObject* kvDuplicateSyncEvent(SyncIPCInfo* info, uint32_t index, int32_t pid);

// Ends an object that has no users left: flags cleared, slot moved from
// usedSlots to the head (toHead) or tail of freeSlots. usedItem is the
// slot's item in usedSlots if the caller has it, else null to look it up.
// 0 when the slot is not among the used ones.
int kvFreeSyncObjectSlot(SyncIPCInfo* info, SyncObject* object, KvListItem* usedItem, bool toHead);

// The dump of the whole state, written to `out` with stateLock held.
void kvPrintSyncObjects(FILE* out, SyncIPCInfo* info, const char* title);
void kvPrintWaitQueue(FILE* out, SyncIPCInfo* info, const char* title);
void kvPrintConnectedProcesses(FILE* out, SyncIPCInfo* info, const char* title);

// Operation handlers: the request holds exactly the bytes received (at
// least the operation's fixed words), the reply is the zero-filled reply
// buffer, at least as large as any reply record.
void create_semaphore(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                      std::span<char> reply);
void create_event(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                  std::span<char> reply);
void create_mutex(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                  std::span<char> reply);
void open_semaphore(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                    std::span<char> reply);
void open_event(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                std::span<char> reply);
void open_mutex(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                std::span<char> reply);
void close_handle(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                  std::span<char> reply);
void duplicate_event(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                     std::span<char> reply);
void kvCreateObjectAliasOld(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                            std::span<char> reply);
void kvCreateObjectAlias(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                         std::span<char> reply);
void kvSyncDebug(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                 std::span<char> reply);
