// The sync server as the daemon starts it: its state, its listening
// endpoint and the one thread that serves every connection.
#pragma once

#include <pthread.h>

// The endpoint's path and its removal at exit.
#include "sync/sync_socket.h"

struct SyncIPCInfo;

// The sync server state, from start-up to exit.
extern SyncIPCInfo* pRegdSyncIPCInfo;

// A new, empty server state, or null when it cannot be allocated.
SyncIPCInfo* sync_ipc_srv_init();

// Creates the sync server state, replaces any stale endpoint of this
// process's socket path with a fresh one and starts the serving thread with
// `attr`. 1 when the server runs; 0 when it could not be set up, and the
// daemon then goes on without it.
int regdStartSyncServer(pthread_attr_t* attr);
