#include "sync/kvsync.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "sync/kvipc.h"

namespace {

// Slot indices live in the data pointers of usedSlots and freeSlots.
uint32_t itemIndex(KvListItem* item) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(kvListItemData(item)));
}

void* indexData(uint32_t index) { return reinterpret_cast<void*>(static_cast<uintptr_t>(index)); }

SyncObjectUse* findUse(SyncObject* object, int32_t pid) {
    for (KvListItem* item = kvListHeadItem(&object->users); item != nullptr; item = kvListNextItem(item)) {
        auto* use = static_cast<SyncObjectUse*>(kvListItemData(item));
        if (use->pid == pid) return use;
    }
    return nullptr;
}

// The slot the next creation takes: the head of freeSlots, or the first
// slot that growing the table would add.
uint32_t nextFreeIndex(SyncIPCInfo* info) {
    KvListItem* head = kvListHeadItem(info->freeSlots);
    return head != nullptr ? itemIndex(head) : info->nSlots;
}

// Adds KV_SLOT_GROWTH slots at the end, their indices at the tail of
// freeSlots in ascending order. On failure the table stays as it was.
bool growSlotTable(SyncIPCInfo* info) {
    if (info->nSlots > UINT32_MAX - KV_SLOT_GROWTH || info->nSlots + KV_SLOT_GROWTH > KV_INDEX_MASK + 1u)
        return false;
    std::vector<KvListItem*> items;
    try {
        items.reserve(KV_SLOT_GROWTH);
        info->slots.reserve(info->nSlots + KV_SLOT_GROWTH);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (uint32_t i = 0; i < KV_SLOT_GROWTH; i++) {
        KvListItem* item = kvListNewItem(indexData(info->nSlots + i));
        if (item == nullptr) {
            for (KvListItem* made : items) kvListFreeItem(made);
            return false;
        }
        items.push_back(item);
    }
    for (uint32_t i = 0; i < KV_SLOT_GROWTH; i++) {
        SyncObject slot{};
        slot.index = info->nSlots + i;
        info->slots.push_back(std::move(slot));  // capacity reserved above: cannot fail
        kvListAddItemToTail(info->freeSlots, items[i]);
    }
    info->nSlots += KV_SLOT_GROWTH;
    return true;
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
    auto* alias = static_cast<SyncObjectAlias*>(calloc(1, sizeof(SyncObjectAlias)));
    KvListItem* item = kvListNewItem(alias);
    uint32_t kind = clientHandle & KV_KIND_MASK;
    SyncObject* object = alias != nullptr && item != nullptr ? kvCreateSyncObject(info, "", kind, pid) : nullptr;
    if (object == nullptr) {
        kvListFreeItem(item);
        free(alias);
        return;
    }
    alias->pid = pid;
    alias->clientHandle = clientHandle;
    alias->serverHandle = kvSyncObjectHandle(object);
    kvListAddItemToTail(info->aliases, item);
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
    kvWirePutWord(reply, 1, static_cast<int32_t>(alias->serverHandle));
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

SyncObject* kvFindSyncObject(SyncIPCInfo* info, std::string_view name) {
    if (info == nullptr || name.empty()) return nullptr;
    for (KvListItem* item = kvListHeadItem(info->usedSlots); item != nullptr; item = kvListNextItem(item)) {
        SyncObject* object = &info->slots[itemIndex(item)];
        if (object->name == name) return object;
    }
    return nullptr;
}

SyncObject* kvCreateSyncObject(SyncIPCInfo* info, std::string_view name, uint32_t kind, int32_t pid) {
    if (info == nullptr) return nullptr;
    // An event's handle has 16 bits of index; a higher slot could not be named.
    if (kind == KV_KIND_EVENT && nextFreeIndex(info) >= KV_MAX_EVENT_SLOTS) return nullptr;
    if (kvListHeadItem(info->freeSlots) == nullptr && !growSlotTable(info)) return nullptr;
    KvListItem* item = kvListHeadItem(info->freeSlots);
    SyncObject* object = &info->slots[itemIndex(item)];
    try {
        object->name.assign(name);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    if (!kvIncrSyncObjectUse(object, pid, KV_USE_HANDLE)) {
        object->name.clear();
        return nullptr;
    }
    kvListRemoveItem(info->freeSlots, item);
    kvListAddItemToTail(info->usedSlots, item);
    object->flags |= KV_FLAG_IN_USE;
    object->state = 0;
    object->ownerPid = 0;
    object->ownerThread = 0;
    object->kind = kind;
    return object;
}

int kvIncrSyncObjectUse(SyncObject* object, int32_t pid, int which) {
    if (object == nullptr) return 0;
    SyncObjectUse* use = findUse(object, pid);
    if (use == nullptr) {
        use = static_cast<SyncObjectUse*>(calloc(1, sizeof(SyncObjectUse)));
        KvListItem* item = kvListNewItem(use);
        if (use == nullptr || item == nullptr) {
            free(use);
            kvListFreeItem(item);
            return 0;
        }
        use->pid = pid;
        kvListAddItemToTail(&object->users, item);
    }
    int32_t& count = which == KV_USE_WAIT ? use->waitCount : use->handleCount;
    if (count == INT32_MAX) return 0;
    count++;
    return 1;
}

int kvDecrSyncObjectUse(SyncIPCInfo* info, SyncObject* object, int32_t pid, int which) {
    if (info == nullptr || object == nullptr) return 0;
    KvListItem* item = kvListHeadItem(&object->users);
    while (item != nullptr && static_cast<SyncObjectUse*>(kvListItemData(item))->pid != pid)
        item = kvListNextItem(item);
    if (item == nullptr) return 0;
    auto* use = static_cast<SyncObjectUse*>(kvListItemData(item));
    int32_t& count = which == KV_USE_WAIT ? use->waitCount : use->handleCount;
    // A process cannot give back a use it does not hold; counts never go negative.
    if (count <= 0) return 0;
    count--;
    if (use->handleCount != 0 || use->waitCount != 0) return 1;
    kvListRemoveAndFreeItem(&object->users, item);
    free(use);
    if (kvListHeadItem(&object->users) != nullptr) return 1;
    return kvFreeSyncObjectSlot(info, object, nullptr, true);
}

int kvFreeSyncObjectSlot(SyncIPCInfo* info, SyncObject* object, KvListItem* usedItem, bool toHead) {
    KvListItem* item = usedItem != nullptr ? usedItem : kvListTailItem(info->usedSlots);
    while (item != nullptr && itemIndex(item) != object->index) item = kvListPrevItem(item);
    if (item == nullptr) return 0;
    object->flags = 0;
    object->name.clear();
    kvListRemoveItem(info->usedSlots, item);
    if (toHead)
        kvListAddItemToHead(info->freeSlots, item);
    else
        kvListAddItemToTail(info->freeSlots, item);
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
    for (KvListItem* item = kvListHeadItem(info->aliases); item != nullptr; item = kvListNextItem(item)) {
        auto* alias = static_cast<SyncObjectAlias*>(kvListItemData(item));
        if (alias->pid == pid && alias->clientHandle == candidate) return alias->serverHandle;
    }
    return candidate;
}

SyncObject* kvDuplicateSyncEvent(SyncIPCInfo* info, uint32_t index, int32_t pid) {
    SyncObject* object = kvSyncObjectAt(info, index);
    if (object == nullptr || !kvIncrSyncObjectUse(object, pid, KV_USE_HANDLE)) return nullptr;
    return object;
}

void create_semaphore(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    createNamedObject(info, request, reply, KV_KIND_SEMAPHORE,
                      [](SyncObject* object, int32_t, std::span<const char> req) {
                          object->state = kvWireGetWord(req, 1);
                          object->maximum = kvWireGetWord(req, 2);
                      });
}

void create_event(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    createNamedObject(info, request, reply, KV_KIND_EVENT,
                      [](SyncObject* object, int32_t, std::span<const char> req) {
                          if (kvWireGetWord(req, 1) == 1) object->flags |= KV_FLAG_MANUAL_RESET;
                          object->state = kvWireGetWord(req, 2) == 1 ? 1 : 0;
                      });
}

void create_mutex(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
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

void open_semaphore(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    openNamedObject(info, request, reply, KV_KIND_SEMAPHORE, KV_NAME_OFFSET);
}

void open_event(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    openNamedObject(info, request, reply, KV_KIND_EVENT, KV_NAME_OFFSET);
}

void open_mutex(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
    openNamedObject(info, request, reply, KV_KIND_MUTEX, KV_OPEN_MUTEX_NAME_OFFSET);
}

// Reply word 0 success, word 1 error flag, word 2 error code: the flag comes
// first here, unlike every other reply.
void close_handle(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
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
void duplicate_event(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request, std::span<char> reply) {
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
    auto* oldest = static_cast<SyncObjectUse*>(kvListItemData(kvListHeadItem(&object->users)));
    uint32_t tag = (static_cast<uint32_t>(oldest->handleCount) << KV_EVENT_TAG_SHIFT) & KV_EVENT_TAG_MASK;
    replyHandle(reply, handle | tag, 0, 0);
}

void kvCreateObjectAliasOld(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request,
                            std::span<char> reply) {
    createAlias(info, reply, kvWireGetWord(request, 0), static_cast<uint32_t>(kvWireGetWord(request, 1)),
                kvWireGetWord(request, 2), kvWireGetWord(request, 3), kvWireGetWord(request, 4), nullptr);
}

void kvCreateObjectAlias(KvSRVConnection*, SyncIPCInfo* info, std::span<const char> request,
                         std::span<char> reply) {
    AliasOwner owner{kvWireGetWord(request, 1), static_cast<uint32_t>(kvWireGetWord(request, 2))};
    createAlias(info, reply, kvWireGetWord(request, 0), static_cast<uint32_t>(kvWireGetWord(request, 3)),
                kvWireGetWord(request, 4), kvWireGetWord(request, 5), kvWireGetWord(request, 6), &owner);
}

void kvPrintSyncObjects(FILE* out, SyncIPCInfo* info, const char* title) {
    fprintf(out, "---------- %s ---------\n", title);
    for (KvListItem* item = kvListHeadItem(info->usedSlots); item != nullptr; item = kvListNextItem(item)) {
        SyncObject& object = info->slots[itemIndex(item)];
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
        for (KvListItem* u = kvListHeadItem(&object.users); u != nullptr; u = kvListNextItem(u)) {
            auto* use = static_cast<SyncObjectUse*>(kvListItemData(u));
            fprintf(out, " %d-%d-%d", use->pid, use->handleCount, use->waitCount);
        }
        fprintf(out, "\n");
    }
}

void kvPrintWaitQueue(FILE* out, SyncIPCInfo* info, const char* title) {
    fprintf(out, "---------- %s ---------\n", title);
    int number = 0;
    for (KvListItem* item = kvListHeadItem(info->waitQueue); item != nullptr; item = kvListNextItem(item)) {
        auto* wait = static_cast<WaitQueueItem*>(kvListItemData(item));
        fprintf(out, "%d/0x%x - process %d, thread 0x%x, wait entry 0x%x\n", number++,
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(wait)), static_cast<int>(wait->waiterPid),
                wait->waiterThread, wait->waitEntry);
        fprintf(out, "    %d objects waited on, %d needed to continue execution\n", wait->nHandles, wait->nNeeded);
        fprintf(out, "    %s signalled\n", wait->signalled == 1 ? "already" : "not yet");
        fprintf(out, "    handles waited on: \n");
        for (int32_t i = 0; i < wait->nHandles; i++) fprintf(out, "       0x%x\n", wait->handles[i]);
    }
}

void kvPrintConnectedProcesses(FILE* out, SyncIPCInfo* info, const char* title) {
    fprintf(out, "----------- %s ------------\n", title);
    for (ConnectedProcess* p = info->connectedProcesses; p != nullptr; p = p->next) fprintf(out, "%d ", p->pid);
    fprintf(out, "\n");
}

// Opcode 17: the whole state on standard error, as one consistent picture.
void kvSyncDebug(KvSRVConnection*, SyncIPCInfo* info, std::span<const char>, std::span<char>) {
    if (info == nullptr) return;
    std::lock_guard<std::mutex> lock(info->stateLock);
    flockfile(stderr);  // keeps other threads' messages out of the middle of the dump
    kvPrintSyncObjects(stderr, info, "Cross-process sync objects");
    kvPrintWaitQueue(stderr, info, "Cross-process wait queue");
    kvPrintConnectedProcesses(stderr, info, "Processes connected to cross-process sync server");
    funlockfile(stderr);
}
