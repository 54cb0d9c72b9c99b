// The sync server as the daemon starts it: its state, its listening
// endpoint, the accept thread and the hand-over of each connection to a
// dispatcher thread of its own.
#pragma once

#include <cstdint>
#include <pthread.h>

#include "sync/sync_socket.h"

struct SyncIPCInfo;

// The sync server state, from start-up to exit.
extern SyncIPCInfo* pRegdSyncIPCInfo;

// A new, empty server state, or null when it cannot be allocated.
SyncIPCInfo* sync_ipc_srv_init();

// Creates the sync server state, replaces any stale endpoint of this
// process's socket path with a fresh one and starts the accept thread with
// `attr`. 1 when the server runs; 0 when it could not be set up, and the
// daemon then goes on without it.
int regdStartSyncServer(pthread_attr_t* attr);

// Accept callback (context: the SyncIPCInfo): serves the connection in a
// detached thread of its own.
void regdIPCConnectionHandler(KvSRVConnection* connection, void* context);

// Server-to-client opcode 1 with a value of the client's choosing, to a
// process whose wake-up connection a wait opened. 1 when pid has one.
int kvSignalClientEvent(SyncIPCInfo* info, int32_t pid, uint32_t value);
