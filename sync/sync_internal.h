// Inside the sync server, shared by its source files only: the server state,
// objects, waits, the operation table and every operation handler. Nothing
// outside sync/ includes this but the server's own unit test.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sync/kvipc_wire.h"
#include "sync/sync_server.h"
#include "sync/sync_socket.h"

// Bits of SyncObject::flags.
constexpr uint32_t KV_FLAG_IN_USE = 0x1;
constexpr uint32_t KV_FLAG_MANUAL_RESET = 0x2;
constexpr uint32_t KV_FLAG_ABANDONED = 0x4;

// The table's numbering grows by this many slots whenever a creation finds
// none free (which slot comes next depends on it); its storage doubles.
constexpr uint32_t KV_SLOT_GROWTH = 1024;

// Hashes names as strings or string views alike, so lookups copy nothing.
struct KvNameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>{}(name); }
};

// Which counter of a SyncObjectUse an increment or decrement names.
constexpr int KV_USE_HANDLE = 1;
constexpr int KV_USE_WAIT = 2;

// Win32 status codes carried in replies.
constexpr int32_t KV_ERROR_INVALID_HANDLE = 6;
constexpr int32_t KV_ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr int32_t KV_ERROR_INVALID_PARAMETER = 87;
constexpr int32_t KV_ERROR_ALREADY_EXISTS = 183;

// One process's uses of an object; listed while either count is non-zero.
struct SyncObjectUse {
    int32_t pid;
    int32_t handleCount;
    int32_t waitCount;
};

// One slot of the object table.
struct SyncObject {
    uint32_t index;  // the slot's own index, fixed when the slot is made
    uint32_t kind;   // KV_KIND_*; an alias object keeps its client handle's top bits
    uint32_t flags;  // KV_FLAG_*
    int32_t state;   // event: 1 signalled; mutex: 1 free, <= 0 owned 1-state times; semaphore: count
    int32_t maximum;  // semaphore maximum
    int32_t ownerPid;
    int32_t ownerThread;
    std::string name;                  // empty for unnamed and alias objects
    std::vector<SyncObjectUse> users;  // in order of first use
};

// A client handle registered by one process as a name for a server object.
struct SyncObjectAlias {
    int32_t pid;
    uint32_t clientHandle;
    uint32_t serverHandle;
};

// One pending wait of a client thread.
struct WaitQueueItem {
    int32_t nHandles;               // positions whose wait use has been added
    std::vector<uint32_t> handles;  // resolved through aliases
    int32_t nNeeded;                // 1: wait for any; nHandles: wait for all
    uint32_t waiterThread;
    uint32_t waiterPid;
    uint32_t waitEntry;              // the client's opaque identifier of the wait
    uint32_t signalled;              // 1 once satisfied or timed out
    std::vector<uint32_t> acquired;  // per position: 1 when it can be acquired
    int32_t waitResult;
    uint32_t reserved;
    uint64_t connection;  // id of the request connection that began it
};

// A wait travels as the one owner of its record: from the pool to the wait
// queue, to a wake list, and back to the pool.
using KvWait = std::unique_ptr<WaitQueueItem>;
using KvWaitList = std::vector<KvWait>;

// One client's request connection, as the loop serves it: everything the
// server keeps of a connection lives here.
struct SyncConnection {
    int fd = -1;
    uint64_t id = 0;   // never reused: waits name the connection that began them
    // Who connected, as the kernel says. A request naming another pid ends
    // the connection (the superuser's excepted: it may act for anyone).
    int32_t peerPid = 0;
    uint32_t peerUid = 0;
    std::string in;    // received bytes not yet making a whole request
    std::string out;   // replies the peer has not yet taken
    bool awaitingRoom = false;  // watched for room to send rather than for requests
};

// A connection that registered its pid (opcode 13); the pid's process is
// taken to end when the connection does.
struct ConnectedProcess {
    int32_t pid;
    SyncConnection* connection;
};

// The server's own connection to one process's socket, for wake-ups. It is
// written without blocking; what the socket does not take waits in `out`,
// and a process that lets more than KV_MAX_QUEUED_WAKE_BYTES pile up has
// stopped reading: it loses the connection and its pending waits.
struct ProcessChannel {
    int fd = -1;
    uint64_t openedBy = 0;  // the request connection whose wait opened it
    std::string out;
    bool awaitingRoom = false;  // watched by the loop for room to send the rest of `out`
};
constexpr size_t KV_MAX_QUEUED_WAKE_BYTES = 64 * 1024;

// What an event of the loop's epoll set is about: 0 for the listening
// socket, a request connection's id, or this tag with a wake-up
// connection's pid.
constexpr uint64_t KV_LOOP_CHANNEL_TAG = uint64_t{1} << 62;

// The sync server state, created once at start-up and kept until exit.
// Lock order, all of it: stateLock is the only lock, and only the server's
// one loop thread takes it, never across a socket call that could block
// (every socket is non-blocking).
struct SyncIPCInfo {
    int epollFd = -1;  // the loop's; -1 when no loop runs (unit tests)
    // While the loop serves one round of events, wake-ups are queued and
    // their connections listed here, to be sent with the round's replies.
    bool holdWakeUps = false;
    std::vector<int32_t> channelsToFlush;
    std::unordered_map<int32_t, ProcessChannel> processChannels;  // by pid
    std::mutex stateLock;            // everything below
    uint32_t nSlots;                 // grows by KV_SLOT_GROWTH
    std::vector<SyncObject> slots;   // the object table; only indices are kept across calls
    std::vector<uint32_t> usedSlots;  // slot indices, in order of creation
    std::deque<uint32_t> freeSlots;  // slot indices; the front is reused first
    KvWaitList waitQueue;            // in arrival order
    KvWaitList waitItemPool;         // retired records; the back is reused first
    std::vector<SyncObjectAlias> aliases;  // in order of creation
    // The slot of each named live object, by name.
    std::unordered_map<std::string, uint32_t, KvNameHash, std::equal_to<>> names;
    std::vector<ConnectedProcess> connectedProcesses;  // oldest first
};

// Room for one more element, keeping the container's geometric growth, so
// that the push that follows cannot fail; false when memory runs out.
template <typename Vector>
bool kvMakeRoomForOne(Vector& v) {
    if (v.size() < v.capacity()) return true;
    try {
        v.reserve(v.capacity() * 2 + 8);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// ---- Message layer ----

// Bytes a connection may hold, received and not yet served or replies not
// yet sent, before the server stops reading or serving it: the longest
// request, whole. One request's reply may pass it.
constexpr size_t KV_MAX_BUFFERED_BYTES = sizeof(KvIPCHeader) + KV_IPC_MAX_LENGTH;

// Every handler has this shape: the request holds exactly the bytes received
// (at least the operation's fixed words), the reply is the zero-filled reply
// buffer, at least as large as any reply record.
using KvIPCHandler = void (*)(SyncConnection* connection, SyncIPCInfo* info,
                              std::span<const char> request, std::span<char> reply);

// One entry of the operation table. An entry without a handler is read and
// left unanswered, like an opcode above the table.
struct KvIPCOperation {
    KvIPCHandler handler;
    int32_t requestWords;  // fixed words a request must carry
    int32_t countWord;     // word holding a count of further words, or -1
    int32_t replyWords;    // words of the reply record
};

extern const KvIPCOperation sync_ipc_handler[KV_IPC_NUM_OPCODES];

// Both buffers of a connection are at least this large, so a handler may
// always write its whole reply record and read every fixed request word.
extern const int32_t kvIPCMinBufferSize;

// Whether a request of `operation` carries all its fixed words and, for an
// operation with a count word, the words that count announces.
bool kvIPCRequestFits(const KvIPCOperation& operation, std::span<const char> request);

// Whether the connection may make a request that names `pid`.
inline bool kvIPCMaySpeakFor(const SyncConnection* connection, int32_t pid) {
    return pid == connection->peerPid || connection->peerUid == 0;
}

// Serves every whole request buffered in connection->in, in order, and
// appends the replies to connection->out. False when the peer broke the
// protocol or named a pid it may not speak for: the connection must then
// end, and that request has changed nothing.
bool kvIPCServeRequests(SyncConnection* connection, SyncIPCInfo* info);

// ---- Objects (all with stateLock held) ----

// The handle that names an object: kind, server marker and slot index.
uint32_t kvSyncObjectHandle(const SyncObject* object);

// Kinds whose objects the server keeps state for; handles of any other kind
// stand for objects a client manages itself.
inline bool kvIsServerKind(uint32_t kind) {
    return kind == KV_KIND_EVENT || kind == KV_KIND_MUTEX || kind == KV_KIND_SEMAPHORE;
}

// The object of the handle's own kind in the handle's slot (16 bits of index
// for an event, 27 for the other kinds), in use or not; null when the slot
// lies outside the table or holds another kind.
SyncObject* kvSyncObjectOfHandle(SyncIPCInfo* info, uint32_t handle);

// The object in slot `index`, or null when the index is outside the table.
SyncObject* kvSyncObjectAt(SyncIPCInfo* info, uint32_t index);

// Adds one use (KV_USE_HANDLE or KV_USE_WAIT) of pid; 1, or 0 when the use
// record cannot be allocated.
int kvIncrSyncObjectUse(SyncObject* object, int32_t pid, int which);

// Drops one use of pid; the object dies with its last use and its slot is
// reused first. 0 when pid has no use of the object.
int kvDecrSyncObjectUse(SyncIPCInfo* info, SyncObject* object, int32_t pid, int which);

// Ends an object that has no users left: flags cleared, slot moved from
// usedSlots to the front (toHead) or back of freeSlots. 0 when the slot is
// not among the used ones.
int kvFreeSyncObjectSlot(SyncIPCInfo* info, SyncObject* object, bool toHead);

// The handle to act on for `handle` sent by pid: the server handle of pid's
// alias if the handle is a client handle with one, else the handle itself
// (an event handle without its tag).
uint32_t kvResolveAlias(SyncIPCInfo* info, int32_t pid, uint32_t handle);

// ---- Server-to-client connections (loop thread, without stateLock) ----

// Opens the server's connection to pid's socket unless it has one, on
// behalf of request connection `by`, whose peer has user id `uid`. The
// listener must be pid itself or of that user; otherwise, or when the
// connect fails, nothing is kept (wake-ups for pid are then dropped).
void kvInitSRVConnectionToProcess(SyncIPCInfo* info, int32_t pid, uint64_t by, uint32_t uid);
// Closes and forgets the server's connection to pid, if any.
void kvDeleteSRVConnectionToProcess(SyncIPCInfo* info, int32_t pid);
// Server-to-client opcode 0 (wait entry, result, reserved) to pid, queued
// without blocking. 1 when pid has a connection, else 0. A process whose
// queue overflows loses its connection and its queued waits.
int kvWakeWaitEntry(SyncIPCInfo* info, int32_t pid, uint32_t waitEntry, int32_t waitResult, uint32_t reserved);
// Server-to-client opcode 1 with a value of the client's choosing; as above.
int kvSignalClientEvent(SyncIPCInfo* info, int32_t pid, uint32_t value);
// Writes what pid's socket takes now of its queue (the loop calls this
// when the socket has room again, and for wake-ups held over a round).
void kvFlushProcessChannel(SyncIPCInfo* info, int32_t pid);
// The same once `sent` bytes of the queue have gone by other means (-1:
// the connection broke, and what is queued is dropped).
void kvProcessChannelSent(SyncIPCInfo* info, int32_t pid, long sent);
// Wakes every wait of the list in order and retires each (taking stateLock
// briefly per wait).
void kvWakeAndFreeWaitEntries(SyncIPCInfo* info, KvWaitList list);

// ---- Wait records (all with stateLock held) ----

// 1 when every handle of a server kind names an object of that kind that
// is in use (tested as sent, before alias resolution); 0 otherwise or for
// an empty list.
int kvValidateWaitArgs(SyncIPCInfo* info, std::span<const uint32_t> handles);
// A new wait, not queued: handles resolved through pid's aliases, one wait
// use added to each server object named. Null when memory runs out.
KvWait kvCreateWaitQueueItem(SyncIPCInfo* info, std::span<const uint32_t> handles, int32_t needed, int32_t pid,
                             uint32_t thread, uint32_t waitEntry);
// Gives back a wait that is in no queue: its wait uses (which may end
// objects); the record goes to the pool.
void kvInactivateWaitQueItem(SyncIPCInfo* info, KvWait wait);
// 1 when the wait can be satisfied now, having then consumed what it
// acquired and set its result; 0 and nothing changed otherwise.
int kvAcquireWaitObjects(SyncIPCInfo* info, WaitQueueItem* wait);
// Takes every queued wait that can now be satisfied, in arrival order. The
// first of pid's goes to *selfOut when selfOut is given; the others are
// returned as the wake list.
KvWaitList kvDequeueWakeableWaitItems(SyncIPCInfo* info, int32_t pid, KvWait* selfOut);

// ---- Operation handlers (request and reply as for KvIPCHandler) ----
// Opcodes 0-2: a new object of the kind, or a further handle to an existing
// one of that name (reported as already existing).
void create_semaphore(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                      std::span<char> reply);
void create_event(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                  std::span<char> reply);
void create_mutex(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                  std::span<char> reply);
// Opcodes 3-5: a further handle to the object of that name and kind.
void open_semaphore(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                    std::span<char> reply);
void open_event(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                std::span<char> reply);
void open_mutex(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                std::span<char> reply);
// Opcode 11: gives back one handle use; the object dies with its last use.
void close_handle(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                  std::span<char> reply);
// Opcode 20: a further handle to an event, tagged with its oldest user's
// handle count.
void duplicate_event(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                     std::span<char> reply);
// Opcodes 16 and 18: an unnamed object standing for a client handle of the
// process, which then resolves to it.
void kvCreateObjectAliasOld(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                            std::span<char> reply);
void kvCreateObjectAlias(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                         std::span<char> reply);
// Opcode 17: the object table, wait queue and registered processes on
// standard error, as one consistent picture.
void kvSyncDebug(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                 std::span<char> reply);
// Opcodes 6-10: change an object's state and wake the waits that the change
// satisfies (the caller's own first one in the reply); reset wakes none.
void release_semaphore(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                       std::span<char> reply);
void release_mutex(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                   std::span<char> reply);
void set_event(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
               std::span<char> reply);
void reset_event(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                 std::span<char> reply);
void pulse_event(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                 std::span<char> reply);
// Opcode 12: withdraws a pending wait whose time ran out on the client.
void kvWaitEntryTimeout(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                        std::span<char> reply);
// Opcode 14: satisfies a wait at once or queues it.
void kvBeginWait(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                 std::span<char> reply);
// Opcode 15: a client-managed position of a wait changed; tries that wait.
void kvWaitObjectStateChange(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                             std::span<char> reply);
// Opcode 13: remembers that this connection speaks for the request's pid.
void kvRegisterConnectionPid(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                             std::span<char> reply);
// Opcode 19: the thread's mutexes become free and abandoned, its waits go,
// and waits that can now be satisfied are woken.
void kvNotifyThreadExited(SyncConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                          std::span<char> reply);

// Runs when a connection ends: the waits begun on it go, and so does every
// wake-up connection it opened that no other connection's wait still needs;
// the process it registered, if any, loses every use, owned mutex, pending
// wait and alias it had and its wake-up connection; waits of others that
// can now be satisfied are woken.
void sync_ipc_disconnect_handler(SyncConnection* connection, SyncIPCInfo* info);
