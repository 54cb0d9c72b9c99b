// Socket plumbing of the sync server: Unix-domain stream sockets, one
// well-known path per process, everything non-blocking so that no peer can
// hold up the server's one loop. It knows nothing of messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// "/tmp/kalvo_sock_<pid>", newly allocated with malloc; the caller frees it.
char* kvProcessSRVName(int pid);

// A non-blocking, close-on-exec socket listening at path with a backlog of
// KV_LISTEN_BACKLOG, its file given `mode` before anyone can connect; -1
// when the path is null or empty or the socket cannot be made or bound (a
// file already at the path makes bind fail).
constexpr int KV_LISTEN_BACKLOG = 512;
int kvSRVListen(const char* path, mode_t mode);

// A non-blocking, close-on-exec connection to the socket at path, or -1
// (also when the listener's backlog is full: the server never waits for it).
int kvSRVConnectNonBlocking(const char* path);

// Sends what the socket takes now of n bytes without blocking or raising
// SIGPIPE: the count sent (0 when it takes nothing now), or -1 once the
// connection is broken.
long kvSRVSendSome(int fd, const char* bytes, size_t n);

// One send of a batch: what to send where, and the outcome as
// kvSRVSendSome reports it.
struct KvSRVSend {
    int fd;
    const char* bytes;
    size_t n;
    long sent;
};

// Makes every send of the batch, in order, without blocking. Where the
// kernel offers a submission ring they all go in one system call: a peer
// woken by one of them cannot then preempt the sender before the next, so
// the server's wake-up and reply of one request reach their two processes
// together. Otherwise one kvSRVSendSome each. Call from one thread only
// (the ring is the calling thread's).
void kvSRVSendBatch(KvSRVSend* sends, size_t count);

// The process id and user id of the peer of a connected socket, as the
// kernel recorded them when the connection was made (for a connection to a
// listening socket: the listener's); false when they cannot be had.
bool kvSRVPeerCredentials(int fd, int32_t* pid, uint32_t* uid);

// Removes the socket file at path; null or empty does nothing.
void kvSRVRemoveEndpoint(const char* path);
