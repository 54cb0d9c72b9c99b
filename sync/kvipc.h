// Message layer of the sync server: the server state, the per-connection
// request loop, the operation table and the server-to-client call.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "sync/kvipc_wire.h"
#include "sync/kvlist.h"
#include "sync/kvsrv.h"
#include "sync/kvsync.h"

// A connection that registered its pid (opcode 13); the pid's process is
// taken to end when the connection does.
struct ConnectedProcess {
    int32_t pid;
    KvSRVConnection* connection;
    ConnectedProcess* next;
};

// The server's own connection to a client process's socket, for wake-ups.
struct ProcessConnection {
    int32_t pid;
    KvSRVConnection* connection;
};

// The sync server state, created once at start-up and kept until exit.
// stateLock and connectionLock are never held together.
struct SyncIPCInfo {
    std::mutex connectionLock;        // processConnections and every send on them
    KvList* processConnections;       // ProcessConnection, newest first
    std::mutex stateLock;             // everything below
    uint32_t nSlots;                  // grows by KV_SLOT_GROWTH
    std::vector<SyncObject> slots;    // the object table; only indices are kept across calls
    KvList* usedSlots;                // slot indices, in order of creation
    KvList* freeSlots;                // slot indices; the head is reused first
    KvList* waitQueue;                // WaitQueueItem, in arrival order
    KvList* waitItemPool;             // retired WaitQueueItem records
    KvList* aliases;                  // SyncObjectAlias, in order of creation
    ConnectedProcess* connectedProcesses;  // newest first
};

// Every handler has this shape; see kvsync.h for what the spans hold.
using KvIPCHandler = void (*)(KvSRVConnection* connection, SyncIPCInfo* info,
                              std::span<const char> request, std::span<char> reply);
using KvIPCDisconnectHandler = void (*)(KvSRVConnection* connection, SyncIPCInfo* info);

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

// Given to each dispatcher thread, which owns it and its connection.
struct KvIPCCallContext {
    KvSRVConnection* connection;
    const KvIPCOperation* table;
    KvIPCDisconnectHandler disconnectHandler;
    SyncIPCInfo* info;
    uint32_t maxOpcode;
};

// A new state with empty lists, or null when it cannot be allocated.
SyncIPCInfo* sync_ipc_srv_init();

// Whether a request of `operation` carries all its fixed words and, for an
// operation with a count word, the words that count announces.
bool kvIPCRequestFits(const KvIPCOperation& operation, std::span<const char> request);

// The request loop of one connection; frees the context and the connection
// when the connection ends, after running the disconnect handler.
void kvIPCCallDispatcher(KvIPCCallContext* context);

// Sends a header and request and reads back replyLength bytes. 0, or -1
// when anything did not move whole.
int kvIPCServerCall(KvSRVConnection* connection, uint32_t opcode, const void* request, int requestLength,
                    void* reply, int replyLength);

// Opcode 13: remembers that this connection speaks for the request's pid.
void kvRegisterConnectionPid(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                             std::span<char> reply);
