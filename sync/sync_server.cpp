// The sync server's state, its listening endpoint and its one loop thread:
// an epoll set over the listening socket, every request connection and
// every wake-up connection, all non-blocking, so that the thread count does
// not grow with the clients and no client can stall another.
#include "sync/sync_server.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/config.h"
#include "sync/sync_internal.h"

SyncIPCInfo* pRegdSyncIPCInfo = nullptr;

namespace {

struct SyncLoop {
    SyncIPCInfo* info;
    int listenFd;
    uint64_t lastId = 0;
    std::unordered_map<uint64_t, std::unique_ptr<SyncConnection>> connections;
    std::vector<uint64_t> repliesToSend;  // connections served this round whose replies wait
    std::vector<KvSRVSend> sends;         // the round's sends, reused
};

// Watches a connection for requests, or, while the peer has not taken all
// its replies, for room instead: a client that does not read only stalls itself.
void watch(SyncLoop& loop, SyncConnection& connection, int op) {
    epoll_event event{};
    connection.awaitingRoom = !connection.out.empty();
    event.events = connection.awaitingRoom ? EPOLLOUT : EPOLLIN | EPOLLRDHUP;
    event.data.u64 = connection.id;
    epoll_ctl(loop.info->epollFd, op, connection.fd, &event);
}

void endConnection(SyncLoop& loop, uint64_t id) {
    auto found = loop.connections.find(id);
    if (found == loop.connections.end()) return;
    sync_ipc_disconnect_handler(found->second.get(), loop.info);
    close(found->second->fd);
    loop.connections.erase(found);
}

void acceptAll(SyncLoop& loop) {
    for (;;) {
        int fd = accept4(loop.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN: all taken; anything else: tried again on the next event
        std::unique_ptr<SyncConnection> connection(new (std::nothrow) SyncConnection{});
        if (connection == nullptr) {
            close(fd);  // nobody would serve it: the client must not wait for replies
            continue;
        }
        connection->fd = fd;
        connection->id = ++loop.lastId;
        // Requests are trusted only as far as the kernel vouches for their sender.
        if (!kvSRVPeerCredentials(fd, &connection->peerPid, &connection->peerUid)) {
            close(fd);
            continue;
        }
        SyncConnection& added = *connection;
        try {
            loop.connections.emplace(added.id, std::move(connection));
        } catch (const std::bad_alloc&) {
            close(fd);
            continue;
        }
        watch(loop, added, EPOLL_CTL_ADD);
    }
}

// Sends what the peer takes now of its pending replies and serves the
// requests held back meanwhile; false when the connection broke. Serving
// stops at a bound of pending replies; while the peer takes them as fast as
// they come, serving goes on with what it sent.
bool flushAndServe(SyncLoop& loop, SyncConnection& connection) {
    auto flush = [&connection] {
        long sent = kvSRVSendSome(connection.fd, connection.out.data(), connection.out.size());
        if (sent > 0) connection.out.erase(0, static_cast<size_t>(sent));
        return sent >= 0;
    };
    if (!flush()) return false;
    while (connection.out.empty()) {
        size_t before = connection.in.size();
        if (!kvIPCServeRequests(&connection, loop.info) || !flush()) return false;
        if (connection.in.size() == before) break;
    }
    return true;
}

// Reads what the peer sent and serves every whole request; the replies go
// with the rest of the round's sends (sendRound), or at once for a peer
// that still has replies to take or is going. False when the connection
// must end.
bool serve(SyncLoop& loop, SyncConnection& connection, uint32_t events) {
    bool ended = false;
    if ((events & EPOLLIN) != 0) {
        char buffer[16384];
        for (;;) {
            ssize_t r = recv(connection.fd, buffer, sizeof buffer, 0);
            if (r > 0) {
                connection.in.append(buffer, static_cast<size_t>(r));
                // The rest waits in the socket until what is held has been served.
                if (static_cast<size_t>(r) < sizeof buffer || connection.in.size() >= KV_MAX_BUFFERED_BYTES) break;
            } else if (r < 0 && errno == EINTR) {
                continue;
            } else {
                ended = r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
                break;
            }
        }
    }
    // Requests that arrived whole before the end are still served and
    // answered; requests held back while replies were pending go once the
    // replies have.
    bool closing = ended || (events & (EPOLLHUP | EPOLLERR)) != 0;
    if (closing || !connection.out.empty()) {
        if (!flushAndServe(loop, connection) || closing) return false;
    } else {
        if (!kvIPCServeRequests(&connection, loop.info)) return false;
        if (!connection.out.empty()) {
            if (kvMakeRoomForOne(loop.repliesToSend)) {
                loop.repliesToSend.push_back(connection.id);
                return true;
            }
            if (!flushAndServe(loop, connection)) return false;
        }
    }
    if (connection.awaitingRoom != !connection.out.empty()) watch(loop, connection, EPOLL_CTL_MOD);
    return true;
}

// The round's held sends: wake-ups first, then replies, all at once, so
// that the processes they wake can run side by side rather than each
// displacing the loop before the next send.
void sendRound(SyncLoop& loop) {
    SyncIPCInfo* info = loop.info;
    std::vector<int32_t>& channels = info->channelsToFlush;
    std::vector<uint64_t>& replies = loop.repliesToSend;
    std::vector<KvSRVSend>& sends = loop.sends;
    sends.clear();
    size_t nChannels = 0;
    bool batched = true;
    try {
        sends.reserve(channels.size() + replies.size());
        for (int32_t pid : channels) {
            auto found = info->processChannels.find(pid);
            // A pid listed twice (its connection remade within the round) sends once.
            if (found == info->processChannels.end() || found->second.out.empty() ||
                std::find(channels.begin(), channels.begin() + static_cast<std::ptrdiff_t>(nChannels), pid) !=
                    channels.begin() + static_cast<std::ptrdiff_t>(nChannels)) {
                pid = 0;  // marks the entry as passed over
            } else {
                sends.push_back(KvSRVSend{found->second.fd, found->second.out.data(), found->second.out.size(), 0});
            }
            channels[nChannels++] = pid;
        }
        for (uint64_t& id : replies) {
            auto found = loop.connections.find(id);
            if (found == loop.connections.end() || found->second->out.empty()) {
                id = 0;
                continue;
            }
            SyncConnection& connection = *found->second;
            sends.push_back(KvSRVSend{connection.fd, connection.out.data(), connection.out.size(), 0});
        }
    } catch (const std::bad_alloc&) {
        batched = false;
    }
    if (batched) kvSRVSendBatch(sends.data(), sends.size());
    size_t next = 0;
    for (int32_t pid : channels) {
        if (pid == 0) continue;
        if (batched && next < sends.size())
            kvProcessChannelSent(info, pid, sends[next++].sent);
        else
            kvFlushProcessChannel(info, pid);
    }
    for (uint64_t id : replies) {
        auto found = loop.connections.find(id);
        if (id == 0 || found == loop.connections.end()) continue;
        SyncConnection& connection = *found->second;
        bool intact = true;
        if (batched && next < sends.size()) {
            long sent = sends[next++].sent;
            if (sent > 0) connection.out.erase(0, static_cast<size_t>(sent));
            intact = sent >= 0 && (!connection.out.empty() || flushAndServe(loop, connection));
        } else {
            intact = flushAndServe(loop, connection);
        }
        if (!intact)
            endConnection(loop, id);
        else if (connection.awaitingRoom != !connection.out.empty())
            watch(loop, connection, EPOLL_CTL_MOD);
    }
    channels.clear();
    replies.clear();
}

// Thread body: the loop; never returns.
void* runSyncLoop(void* context) {
    SyncLoop& loop = *static_cast<SyncLoop*>(context);
    epoll_event events[64];
    for (;;) {
        int n = epoll_wait(loop.info->epollFd, events, 64, -1);
        loop.info->holdWakeUps = true;
        for (int i = 0; i < n; i++) {
            uint64_t what = events[i].data.u64;
            if (what == 0) {
                acceptAll(loop);
            } else if ((what & KV_LOOP_CHANNEL_TAG) != 0) {
                kvFlushProcessChannel(loop.info, static_cast<int32_t>(what & 0xffffffffu));
            } else if (auto found = loop.connections.find(what); found != loop.connections.end()) {
                if (!serve(loop, *found->second, events[i].events)) endConnection(loop, what);
            }
        }
        loop.info->holdWakeUps = false;
        sendRound(loop);
    }
    return nullptr;
}

}  // namespace

SyncIPCInfo* sync_ipc_srv_init() { return new (std::nothrow) SyncIPCInfo{}; }

int regdStartSyncServer(pthread_attr_t* attr) {
    pRegdSyncIPCInfo = sync_ipc_srv_init();
    // Without a state no request could be served, so no endpoint is offered.
    if (pRegdSyncIPCInfo == nullptr) return 0;
    char* name = kvProcessSRVName(g_config.registryPid);
    kvSRVRemoveEndpoint(name);
    // Every user's processes reach the default daemon, and a private one
    // serving others under a policy; a plain private one serves its owner.
    bool shared = g_config.registryProg == REGD_DEFAULT_PROG || getenv("KALVO_REGISTRYD_POLICY") != nullptr;
    int listenFd = kvSRVListen(name, shared ? 0666 : 0600);
    auto* loop = listenFd < 0 ? nullptr : new (std::nothrow) SyncLoop{pRegdSyncIPCInfo, listenFd, 0, {}, {}, {}};
    pRegdSyncIPCInfo->epollFd = loop == nullptr ? -1 : epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = 0;
    pthread_t thread;
    bool started = pRegdSyncIPCInfo->epollFd >= 0 &&
                   epoll_ctl(pRegdSyncIPCInfo->epollFd, EPOLL_CTL_ADD, listenFd, &event) == 0 &&
                   pthread_create(&thread, attr, runSyncLoop, loop) == 0;
    if (!started) {
        perror("regdStartSyncServer -- cannot start the sync server");
        if (listenFd >= 0) {
            kvSRVRemoveEndpoint(name);
            close(listenFd);
        }
        if (pRegdSyncIPCInfo->epollFd >= 0) close(pRegdSyncIPCInfo->epollFd);
        pRegdSyncIPCInfo->epollFd = -1;
        delete loop;
    }
    free(name);
    return started ? 1 : 0;
}
