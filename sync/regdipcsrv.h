// The daemon's side of the sync server: its state, its listening endpoint,
// the accept thread and the hand-over of each connection to its own thread.
#pragma once

#include <pthread.h>

#include "sync/kvipc.h"
#include "sync/kvsrv.h"

// The sync server state, from start-up to exit.
extern SyncIPCInfo* pRegdSyncIPCInfo;

// Creates the sync server state, replaces any stale endpoint of this
// process's socket path with a fresh one and starts the accept thread with
// `attr`. 1 when the server runs; 0 when it could not be set up, and the
// daemon then goes on without it.
int regdStartSyncServer(pthread_attr_t* attr);

// Thread body: the accept loop on the endpoint; never returns.
void* regdRunIPCServer(void* endpoint);

// Accept callback: serves the connection in a detached thread of its own.
void regdIPCConnectionHandler(KvSRVConnection* connection, void* context);
