// Socket transport of the sync server (kvSRV*): Unix-domain stream sockets, one
// well-known path per process, an accept loop handing each connection to a
// callback, and exact-length read and write. It knows nothing of messages.
// Results: 0 or -1 for the transport calls, a record or null for the
// constructors; failures are reported with perror on standard error.
#pragma once

struct KvSRVConnection {
    int fd;
};

// Called in the accepting thread for each new connection, which it then
// owns; it must return quickly.
using KvSRVConnectionCallback = void (*)(KvSRVConnection* connection, void* context);

struct KvSRVEndpoint {
    int fd;  // listening socket
    char path[108];
    KvSRVConnectionCallback callback;
    void* context;
};

// "/tmp/kalvo_sock_<pid>", newly allocated with malloc; the caller frees it.
char* kvProcessSRVName(int pid);

// A listening endpoint bound to path (backlog 5), or null when the path is
// null or empty, or the socket cannot be made, marked close-on-exec or
// bound (a file already at the path makes bind fail).
KvSRVEndpoint* kvSRVInit(const char* path, KvSRVConnectionCallback callback, void* context);

// Accepts forever and hands each connection to the endpoint's callback. A
// non-zero closeListener closes the listening socket after each accept.
[[noreturn]] void kvSRVConnectLoop(KvSRVEndpoint* endpoint, int closeListener);

// A blocking connection to the socket at path, or null.
KvSRVConnection* kvSRVConnect(const char* path);

// Closes the socket and frees the record; the result of close, -1 for null.
int kvSRVDisconnect(KvSRVConnection* connection);

// Move exactly n bytes. n for success; 0 when n <= 0 or the peer ended the
// stream (even after part of the data moved); -1 for a null connection or a
// failed transfer. Interruptions and transient errors are retried.
int kvSRVRead(KvSRVConnection* connection, void* buffer, int n);
int kvSRVWrite(KvSRVConnection* connection, const void* buffer, int n);

// Removes the socket file at path; null or empty does nothing.
void kvSRVRemoveEndpoint(const char* path);
