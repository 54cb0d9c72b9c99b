// The sync server's state, its listening endpoint, the accept thread and the
// hand-over of each accepted connection to a dispatcher thread.
#include "sync/sync_server.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <unistd.h>

#include "base/config.h"
#include "sync/sync_internal.h"

SyncIPCInfo* pRegdSyncIPCInfo = nullptr;

namespace {

// Thread body: the request loop of one connection.
void* runDispatcher(void* context) {
    kvIPCCallDispatcher(static_cast<KvIPCCallContext*>(context));
    return nullptr;
}

// Thread body: the accept loop on the endpoint; never returns.
void* regdRunIPCServer(void* endpoint) {
    if (endpoint != nullptr) kvSRVConnectLoop(static_cast<KvSRVEndpoint*>(endpoint), 0);
    return nullptr;
}

}  // namespace

SyncIPCInfo* sync_ipc_srv_init() { return new (std::nothrow) SyncIPCInfo{}; }

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
