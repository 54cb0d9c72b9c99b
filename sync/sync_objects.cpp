// Objects of the sync server: the table of shared events, mutexes and
// semaphores, their handle values, lookup by name, per-process use counts
// that decide when an object dies, aliases (a client's own handle value
// standing for a server object), and the diagnostic dump.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>

#include "sync/sync_internal.h"

namespace {

// The slot index a handle carries: 16 bits for an event (a duplicate tag
// sits above them), 27 bits for the other kinds.
uint32_t kvHandleIndex(uint32_t handle) {
    return (handle & KV_KIND_MASK) == KV_KIND_EVENT ? handle & KV_EVENT_INDEX_MASK : handle & KV_INDEX_MASK;
}

// The use record of pid on the object, or null.
SyncObjectUse* findUse(SyncObject* object, int32_t pid) {
    auto use = std::ranges::find(object->users, pid, &SyncObjectUse::pid);
    return use != object->users.end() ? &*use : nullptr;
}

// The slot the next creation takes: the front of freeSlots, or the first
// slot that growing the table would add.
uint32_t nextFreeIndex(SyncIPCInfo* info) {
    return info->freeSlots.empty() ? info->nSlots : info->freeSlots.front();
}

// Adds KV_SLOT_GROWTH slots at the end, their indices at the back of
// freeSlots in ascending order. On failure the table stays as it was.
bool growSlotTable(SyncIPCInfo* info) {
    if (info->nSlots > UINT32_MAX - KV_SLOT_GROWTH || info->nSlots + KV_SLOT_GROWTH > KV_INDEX_MASK + 1u)
        return false;
    uint32_t first = info->nSlots;
    try {
        // Storage doubles, so that growing a large table copies each slot a
        // bounded number of times in all.
        if (info->slots.capacity() < first + KV_SLOT_GROWTH)
            info->slots.reserve(std::max<size_t>(info->slots.capacity() * 2, first + KV_SLOT_GROWTH));
        info->slots.resize(first + KV_SLOT_GROWTH);
        for (uint32_t i = first; i < first + KV_SLOT_GROWTH; i++) info->freeSlots.push_back(i);
    } catch (const std::bad_alloc&) {
        info->slots.resize(first);
        while (!info->freeSlots.empty() && info->freeSlots.back() >= first) info->freeSlots.pop_back();
        return false;
    }
    for (uint32_t i = first; i < first + KV_SLOT_GROWTH; i++) info->slots[i].index = i;
    info->nSlots += KV_SLOT_GROWTH;
    return true;
}

// The live object whose name equals `name` byte for byte (no two live
// objects share one); null for an empty name. The kind is not compared.
SyncObject* kvFindSyncObject(SyncIPCInfo* info, std::string_view name) {
    if (name.empty()) return nullptr;
    auto found = info->names.find(name);
    return found != info->names.end() ? &info->slots[found->second] : nullptr;
}

// A new object of `kind` with one handle use for pid, in the most recently
// freed slot (the table grows when none is free). Null when memory runs out
// or when an event would land in a slot its handle cannot name.
SyncObject* kvCreateSyncObject(SyncIPCInfo* info, std::string_view name, uint32_t kind, int32_t pid) {
    // An event's handle has 16 bits of index; a higher slot could not be named.
    if (kind == KV_KIND_EVENT && nextFreeIndex(info) >= KV_MAX_EVENT_SLOTS) return nullptr;
    if (info->freeSlots.empty() && !growSlotTable(info)) return nullptr;
    uint32_t index = info->freeSlots.front();
    SyncObject* object = &info->slots[index];
    if (!kvMakeRoomForOne(info->usedSlots)) return nullptr;
    try {
        object->name.assign(name);
        if (!name.empty()) info->names.emplace(object->name, index);
    } catch (const std::bad_alloc&) {
        object->name.clear();
        return nullptr;
    }
    if (!kvIncrSyncObjectUse(object, pid, KV_USE_HANDLE)) {
        info->names.erase(object->name);
        object->name.clear();
        return nullptr;
    }
    info->freeSlots.pop_front();
    info->usedSlots.push_back(index);  // capacity reserved above: cannot fail
    object->flags |= KV_FLAG_IN_USE;
    object->state = 0;
    object->ownerPid = 0;
    object->ownerThread = 0;
    object->kind = kind;
    return object;
}

// Adds a handle use of pid to the object in slot `index`; the object, or
// null when the use cannot be added.
SyncObject* kvDuplicateSyncEvent(SyncIPCInfo* info, uint32_t index, int32_t pid) {
    SyncObject* object = kvSyncObjectAt(info, index);
    if (object == nullptr || !kvIncrSyncObjectUse(object, pid, KV_USE_HANDLE)) return nullptr;
    return object;
}

// Word 0 handle, 1 error code, 2 error flag: the reply of create, open and
// duplicate.
void replyHandle(std::span<char> reply, uint32_t handle, int32_t error, int32_t flag) {
    kvWirePutWord(reply, 0, static_cast<int32_t>(handle));
    kvWirePutWord(reply, 1, error);
    kvWirePutWord(reply, 2, flag);
}

// A further handle to an object found by name; `error` and `flag` are what
// success reports.
void replyFound(std::span<char> reply, SyncObject* found, uint32_t kind, int32_t pid, int32_t error, int32_t flag) {
    if (found->kind != kind)
        replyHandle(reply, 0, KV_ERROR_INVALID_HANDLE, 1);
    else if (!kvIncrSyncObjectUse(found, pid, KV_USE_HANDLE))
        replyHandle(reply, 0, KV_ERROR_NOT_ENOUGH_MEMORY, 1);
    else
        replyHandle(reply, kvSyncObjectHandle(found), error, flag);
}

using SetUpObject = void (*)(SyncObject* object, int32_t pid, std::span<const char> request);

// Create by name with Win32 semantics: an existing object of the same kind
// is opened (its state kept) and reported as already existing.
void createNamedObject(SyncIPCInfo* info, std::span<const char> request, std::span<char> reply,
                       uint32_t kind, SetUpObject setUp) {
    if (info == nullptr) return;
    int32_t pid = kvWireGetWord(request, 0);
    std::string_view name = kvWireName(request, KV_NAME_OFFSET);
    std::lock_guard<std::mutex> lock(info->stateLock);
    if (SyncObject* found = kvFindSyncObject(info, name); found != nullptr) {
        replyFound(reply, found, kind, pid, KV_ERROR_ALREADY_EXISTS, 1);
        return;
    }
    SyncObject* object = kvCreateSyncObject(info, name, kind, pid);
    if (object == nullptr) {
        replyHandle(reply, 0, KV_ERROR_NOT_ENOUGH_MEMORY, 1);
        return;
    }
    setUp(object, pid, request);
    replyHandle(reply, kvSyncObjectHandle(object), 0, 0);
}

// Opens an existing object by name: a further handle of pid to it.
void openNamedObject(SyncIPCInfo* info, std::span<const char> request, std::span<char> reply,
                     uint32_t kind, size_t nameOffset) {
    if (info == nullptr) return;
    int32_t pid = kvWireGetWord(request, 0);
    std::string_view name = kvWireName(request, nameOffset);
    std::lock_guard<std::mutex> lock(info->stateLock);
    SyncObject* found = kvFindSyncObject(info, name);
    if (found == nullptr)
        replyHandle(reply, 0, KV_ERROR_NOT_ENOUGH_MEMORY, 1);
    else
        replyFound(reply, found, kind, pid, 0, 0);
}

// What the newer alias request sets beyond the older one.
struct AliasOwner {
    int32_t thread;
    uint32_t flags;
};

// An unnamed object standing for a client handle of pid. Reply word 0
// success, word 1 the server handle; both stay 0 on failure.
void createAlias(SyncIPCInfo* info, std::span<char> reply, int32_t pid, uint32_t clientHandle, int32_t state,
                 int32_t maximum, int32_t extraUses, const AliasOwner* owner) {
    if (info == nullptr) return;
    std::lock_guard<std::mutex> lock(info->stateLock);
    if (!kvMakeRoomForOne(info->aliases)) return;
    SyncObject* object = kvCreateSyncObject(info, "", clientHandle & KV_KIND_MASK, pid);
    if (object == nullptr) return;
    SyncObjectAlias alias{pid, clientHandle, kvSyncObjectHandle(object)};
    info->aliases.push_back(alias);  // capacity reserved above: cannot fail
    object->state = state;
    object->maximum = maximum;
    if (owner != nullptr) {
        object->ownerPid = pid;
        object->ownerThread = owner->thread;
        object->flags = owner->flags;
    }
    if (extraUses > 0) {
        SyncObjectUse* use = findUse(object, pid);
        int64_t total = static_cast<int64_t>(use->handleCount) + extraUses;
        use->handleCount = total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(total);
    }
    kvWirePutWord(reply, 0, 1);
    kvWirePutWord(reply, 1, static_cast<int32_t>(alias.serverHandle));
}

}  // namespace

uint32_t kvSyncObjectHandle(const SyncObject* object) {
    return object->kind | object->index | KV_SERVER_MARKER;
}

SyncObject* kvSyncObjectAt(SyncIPCInfo* info, uint32_t index) {
    if (info == nullptr || index >= info->nSlots) return nullptr;
    return &info->slots[index];
}

SyncObject* kvSyncObjectOfHandle(SyncIPCInfo* info, uint32_t handle) {
    SyncObject* object = kvSyncObjectAt(info, kvHandleIndex(handle));
    if (object == nullptr || object->kind != (handle & KV_KIND_MASK)) return nullptr;
    return object;
}

int kvIncrSyncObjectUse(SyncObject* object, int32_t pid, int which) {
    if (object == nullptr) return 0;
    SyncObjectUse* use = findUse(object, pid);
    if (use == nullptr) {
        try {
            use = &object->users.emplace_back(SyncObjectUse{pid, 0, 0});
        } catch (const std::bad_alloc&) {
            return 0;
        }
    }
    int32_t& count = which == KV_USE_WAIT ? use->waitCount : use->handleCount;
    if (count == INT32_MAX) return 0;
    count++;
    return 1;
}

int kvDecrSyncObjectUse(SyncIPCInfo* info, SyncObject* object, int32_t pid, int which) {
    if (info == nullptr || object == nullptr) return 0;
    auto use = std::ranges::find(object->users, pid, &SyncObjectUse::pid);
    if (use == object->users.end()) return 0;
    int32_t& count = which == KV_USE_WAIT ? use->waitCount : use->handleCount;
    // A process cannot give back a use it does not hold; counts never go negative.
    if (count <= 0) return 0;
    count--;
    if (use->handleCount != 0 || use->waitCount != 0) return 1;
    object->users.erase(use);
    if (!object->users.empty()) return 1;
    return kvFreeSyncObjectSlot(info, object, true);
}

int kvFreeSyncObjectSlot(SyncIPCInfo* info, SyncObject* object, bool toHead) {
    auto used = std::ranges::find(info->usedSlots, object->index);
    if (used == info->usedSlots.end()) return 0;
    // Room first, so that the slot cannot end up in neither list.
    try {
        if (toHead)
            info->freeSlots.push_front(object->index);
        else
            info->freeSlots.push_back(object->index);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    object->flags = 0;
    if (!object->name.empty()) info->names.erase(object->name);
    object->name.clear();
    info->usedSlots.erase(used);
    return 1;
}

uint32_t kvResolveAlias(SyncIPCInfo* info, int32_t pid, uint32_t handle) {
    uint32_t kind = handle & KV_KIND_MASK;
    uint32_t candidate;
    if (kind == KV_KIND_MUTEX || kind == KV_KIND_SEMAPHORE)
        candidate = handle;
    else if (kind == KV_KIND_EVENT)
        candidate = handle & (KV_KIND_MASK | KV_EVENT_INDEX_MASK);
    else
        return handle;
    if ((candidate & KV_SERVER_MARKER) != 0 || info == nullptr) return candidate;
    for (const SyncObjectAlias& alias : info->aliases)
        if (alias.pid == pid && alias.clientHandle == candidate) return alias.serverHandle;
    return candidate;
}

void create_semaphore(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    createNamedObject(info, request, reply, KV_KIND_SEMAPHORE,
                      [](SyncObject* object, int32_t, std::span<const char> req) {
                          object->state = kvWireGetWord(req, 1);
                          object->maximum = kvWireGetWord(req, 2);
                      });
}

void create_event(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    createNamedObject(info, request, reply, KV_KIND_EVENT,
                      [](SyncObject* object, int32_t, std::span<const char> req) {
                          if (kvWireGetWord(req, 1) == 1) object->flags |= KV_FLAG_MANUAL_RESET;
                          object->state = kvWireGetWord(req, 2) == 1 ? 1 : 0;
                      });
}

void create_mutex(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    createNamedObject(info, request, reply, KV_KIND_MUTEX,
                      [](SyncObject* object, int32_t pid, std::span<const char> req) {
                          if (kvWireGetWord(req, 2) == 1) {
                              object->ownerPid = pid;
                              object->ownerThread = kvWireGetWord(req, 1);
                              object->state = 0;
                          } else {
                              object->state = 1;
                          }
                      });
}

void open_semaphore(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    openNamedObject(info, request, reply, KV_KIND_SEMAPHORE, KV_NAME_OFFSET);
}

void open_event(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    openNamedObject(info, request, reply, KV_KIND_EVENT, KV_NAME_OFFSET);
}

void open_mutex(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    openNamedObject(info, request, reply, KV_KIND_MUTEX, KV_OPEN_MUTEX_NAME_OFFSET);
}

// Reply word 0 success, word 1 error flag, word 2 error code: the flag comes
// first here, unlike every other reply.
void close_handle(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    kvWirePutWord(reply, 0, 0);
    kvWirePutWord(reply, 1, 1);
    kvWirePutWord(reply, 2, KV_ERROR_INVALID_HANDLE);
    if (info == nullptr) return;
    int32_t pid = kvWireGetWord(request, 0);
    std::lock_guard<std::mutex> lock(info->stateLock);
    uint32_t handle = kvResolveAlias(info, pid, static_cast<uint32_t>(kvWireGetWord(request, 1)));
    SyncObject* object = kvSyncObjectAt(info, handle & KV_INDEX_MASK);
    if (object == nullptr || !kvIsServerKind(object->kind) || (object->flags & KV_FLAG_IN_USE) == 0) return;
    if (kvDecrSyncObjectUse(info, object, pid, KV_USE_HANDLE) != 1) return;
    kvWirePutWord(reply, 0, 1);
    kvWirePutWord(reply, 1, 0);
}

// The reply handle carries the oldest user's handle count in bits 16-26, so
// that duplicates of one event differ while naming the same slot.
void duplicate_event(SyncConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    if (info == nullptr) return;
    int32_t pid = kvWireGetWord(request, 0);
    uint32_t handle = static_cast<uint32_t>(kvWireGetWord(request, 1));
    uint32_t index = handle & KV_EVENT_INDEX_MASK;
    std::lock_guard<std::mutex> lock(info->stateLock);
    SyncObject* object = kvSyncObjectAt(info, index);
    if (object == nullptr) {
        replyHandle(reply, 0, KV_ERROR_NOT_ENOUGH_MEMORY, 1);
        return;
    }
    if ((object->flags & KV_FLAG_IN_USE) == 0 || object->kind != KV_KIND_EVENT) {
        replyHandle(reply, 0, KV_ERROR_INVALID_HANDLE, 1);
        return;
    }
    if (kvDuplicateSyncEvent(info, index, pid) == nullptr) {
        replyHandle(reply, 0, KV_ERROR_NOT_ENOUGH_MEMORY, 1);
        return;
    }
    const SyncObjectUse& oldest = object->users.front();
    uint32_t tag = (static_cast<uint32_t>(oldest.handleCount) << KV_EVENT_TAG_SHIFT) & KV_EVENT_TAG_MASK;
    replyHandle(reply, handle | tag, 0, 0);
}

void kvCreateObjectAliasOld(SyncConnection*, SyncIPCInfo* info, std::span<const char> request,
                            std::span<char> reply) {
    createAlias(info, reply, kvWireGetWord(request, 0), static_cast<uint32_t>(kvWireGetWord(request, 1)),
                kvWireGetWord(request, 2), kvWireGetWord(request, 3), kvWireGetWord(request, 4), nullptr);
}

void kvCreateObjectAlias(SyncConnection*, SyncIPCInfo* info, std::span<const char> request,
                         std::span<char> reply) {
    AliasOwner owner{kvWireGetWord(request, 1), static_cast<uint32_t>(kvWireGetWord(request, 2))};
    createAlias(info, reply, kvWireGetWord(request, 0), static_cast<uint32_t>(kvWireGetWord(request, 3)),
                kvWireGetWord(request, 4), kvWireGetWord(request, 5), kvWireGetWord(request, 6), &owner);
}

namespace {

// The three parts of the dump, each written with stateLock held.
// Objects in creation order, one line each with their users.
void kvPrintSyncObjects(FILE* out, SyncIPCInfo* info, const char* title) {
    fprintf(out, "---------- %s ---------\n", title);
    for (uint32_t index : info->usedSlots) {
        const SyncObject& object = info->slots[index];
        fprintf(out, "  handle 0x%x,", kvSyncObjectHandle(&object));
        fprintf(out, " name '%s',", object.name.c_str());
        if (object.kind == KV_KIND_EVENT) {
            fprintf(out, " event,%s", object.state >= 1 ? " signalled, " : " unsignalled, ");
        } else if (object.kind == KV_KIND_MUTEX) {
            if (object.state >= 1)
                fprintf(out, " mutex, unowned, ");
            else
                fprintf(out, " mutex, owned by pid %d, tid %d, ", object.ownerPid, object.ownerThread);
        } else if (object.kind == KV_KIND_SEMAPHORE) {
            fprintf(out, " semaphore, current value %d, maximum value %d, ", object.state, object.maximum);
        }
        fprintf(out, "in use by (process-refcount-waitcount):");
        for (const SyncObjectUse& use : object.users)
            fprintf(out, " %d-%d-%d", use.pid, use.handleCount, use.waitCount);
        fprintf(out, "\n");
    }
}

// Pending waits in arrival order, with their handles.
void kvPrintWaitQueue(FILE* out, SyncIPCInfo* info, const char* title) {
    fprintf(out, "---------- %s ---------\n", title);
    int number = 0;
    for (const KvWait& wait : info->waitQueue) {
        fprintf(out, "%d/0x%x - process %d, thread 0x%x, wait entry 0x%x\n", number++,
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(wait.get())), static_cast<int>(wait->waiterPid),
                wait->waiterThread, wait->waitEntry);
        fprintf(out, "    %d objects waited on, %d needed to continue execution\n", wait->nHandles, wait->nNeeded);
        fprintf(out, "    %s signalled\n", wait->signalled == 1 ? "already" : "not yet");
        fprintf(out, "    handles waited on: \n");
        for (int32_t i = 0; i < wait->nHandles; i++) fprintf(out, "       0x%x\n", wait->handles[i]);
    }
}

// The pids of the registered connections, newest first.
void kvPrintConnectedProcesses(FILE* out, SyncIPCInfo* info, const char* title) {
    fprintf(out, "----------- %s ------------\n", title);
    for (auto p = info->connectedProcesses.rbegin(); p != info->connectedProcesses.rend(); ++p)
        fprintf(out, "%d ", p->pid);
    fprintf(out, "\n");
}

}  // namespace

// Opcode 17: the whole state on standard error, as one consistent picture.
void kvSyncDebug(SyncConnection*, SyncIPCInfo* info, std::span<const char>, std::span<char>) {
    if (info == nullptr) return;
    std::lock_guard<std::mutex> lock(info->stateLock);
    flockfile(stderr);  // keeps other threads' messages out of the middle of the dump
    kvPrintSyncObjects(stderr, info, "Cross-process sync objects");
    kvPrintWaitQueue(stderr, info, "Cross-process wait queue");
    kvPrintConnectedProcesses(stderr, info, "Processes connected to cross-process sync server");
    funlockfile(stderr);
}
