#include "client/kalvo_sync_client.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "kalvo/kalvoping.h"
#include "sync/kvipc_wire.h"

namespace {

// ---------------------------------------------------------------------------
// Request connection
// ---------------------------------------------------------------------------

struct SyncClient {
    std::mutex lock;  // one request and its reply at a time; everything below
    int fd = -1;
    pid_t owner = 0;          // the process that opened fd
    pid_t daemon = 0;         // the daemon it leads to
    uint64_t generation = 0;  // counts the connections made
    std::atomic<int> liveFd{-1};  // fd, for the listener to watch without the lock
};

SyncClient g_syncClient;
std::once_flag g_forkHandlersOnce;

// ---------------------------------------------------------------------------
// Wake-up channel: pending waits and the listening socket
// ---------------------------------------------------------------------------

// One connection from the daemon, with the bytes that do not yet make a
// message.
struct Peer {
    int fd;
    std::string pending;
};

struct WakeChannel {
    std::mutex lock;  // everything below
    std::unordered_map<uint32_t, KvClientWait*> waits;
    uint32_t lastEntry = 0;
    int listenFd = -1;
    int nudgeFd = -1;         // an eventfd that makes the listener look again
    pid_t owner = 0;          // the process listening on listenFd
    std::vector<Peer> peers;  // kept here so a forked child can close them
};

// Made once and never destroyed: the listener thread may still use it
// while the process runs its exit handlers and static destructors.
WakeChannel& channel() {
    static WakeChannel* c = new WakeChannel;
    return *c;
}

// Read by the exit handler without a lock; path is written before owner.
char g_listenPath[sizeof(sockaddr_un::sun_path)];
std::atomic<pid_t> g_listenOwner{0};

sockaddr_un processAddress(pid_t pid) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/", KV_SOCKET_DIR);
    size_t used = strlen(addr.sun_path);
    snprintf(addr.sun_path + used, sizeof addr.sun_path - used, KV_SOCKET_NAME_FORMAT, static_cast<int>(pid));
    return addr;
}

static_assert(sizeof(std::atomic<uint32_t>) == 4 && std::atomic<uint32_t>::is_always_lock_free);

// Hands a result to a waiting thread: the result first, then the word it
// sleeps on. Channel lock held, so the wait cannot be removed meanwhile.
void finish(KvClientWait* wait, int32_t result) {
    wait->result = result;
    wait->done.store(1, std::memory_order_release);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&wait->done), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Ends every wait begun on connection `generation` with a failure.
void failWaits(uint64_t generation) {
    WakeChannel& c = channel();
    std::lock_guard<std::mutex> guard(c.lock);
    for (auto& [entry, wait] : c.waits) {
        if (wait->connection != generation || wait->done.load(std::memory_order_relaxed) != 0) continue;
        finish(wait, KV_WAIT_FAILED);
    }
}

// The daemon drops everything of a connection that ends, waits included,
// without waking them: they are failed here.
void closeLocked() {
    if (g_syncClient.fd < 0) return;
    close(g_syncClient.fd);
    g_syncClient.fd = -1;
    g_syncClient.liveFd = -1;
    failWaits(g_syncClient.generation);
}

// The daemon's pid: KALVO_REGISTRY_PID when set (0 if malformed), else the
// registry's answer to a ping (0 when it cannot be had).
pid_t findDaemon() {
    const char* text = getenv("KALVO_REGISTRY_PID");
    if (text != nullptr) {
        char* end = nullptr;
        errno = 0;
        long pid = strtol(text, &end, 10);
        if (*text == '\0' || errno != 0 || *end != '\0' || pid <= 0 || pid > INT32_MAX) return 0;
        return static_cast<pid_t>(pid);
    }
    DWORD pid = 0;
    if (KalvoGetDaemonPid(&pid) != ERROR_SUCCESS || pid == 0 || pid > INT32_MAX) return 0;
    return static_cast<pid_t>(pid);
}

bool sendRequest(int fd, uint32_t opcode, std::span<const char> request, size_t replyLength) {
    KvIPCHeader header{opcode, static_cast<int32_t>(request.size()), static_cast<int32_t>(replyLength)};
    std::string message(reinterpret_cast<const char*>(&header), sizeof header);
    message.append(request.data(), request.size());
    return kvWireSendAll(fd, message.data(), message.size());
}

bool connectLocked(pid_t pid) {
    if (pid == 0) return false;
    sockaddr_un addr = processAddress(pid);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return false;
    }
    int32_t self = kvClientPid();
    if (!sendRequest(fd, KV_OP_REGISTER_PID, {reinterpret_cast<const char*>(&self), sizeof self}, 0)) {
        close(fd);
        return false;
    }
    g_syncClient.fd = fd;
    g_syncClient.owner = getpid();
    g_syncClient.daemon = pid;
    g_syncClient.generation++;
    g_syncClient.liveFd = fd;
    // The listener watches the new connection from now on.
    WakeChannel& c = channel();
    std::lock_guard<std::mutex> guard(c.lock);
    uint64_t one = 1;
    if (c.nudgeFd >= 0 && c.owner == getpid()) (void)!write(c.nudgeFd, &one, sizeof one);
    return true;
}

// A child forked while another thread held a lock would find it held
// forever; holding both across fork keeps them consistent. The child drops
// the parent's connection, listener and waits: it is another process, and
// registers and listens for itself.
void installForkHandlers() {
    pthread_atfork(
        [] {
            g_syncClient.lock.lock();
            channel().lock.lock();
        },
        [] {
            channel().lock.unlock();
            g_syncClient.lock.unlock();
        },
        [] {
            WakeChannel& c = channel();
            c.waits.clear();
            if (c.listenFd >= 0) close(c.listenFd);
            if (c.nudgeFd >= 0) close(c.nudgeFd);
            for (const Peer& peer : c.peers) close(peer.fd);
            c.peers.clear();
            c.listenFd = -1;
            c.nudgeFd = -1;
            c.owner = 0;
            c.lock.unlock();
            closeLocked();
            g_syncClient.lock.unlock();
        });
}

// The wait, if any, is tied to whichever connection the request goes out on.
bool callLocked(uint32_t opcode, std::span<const char> request, std::span<char> reply, KvClientWait* beginning) {
    if (g_syncClient.fd >= 0 && g_syncClient.owner != getpid()) closeLocked();
    // An override naming another daemon than the connected one moves there.
    if (g_syncClient.fd >= 0 && getenv("KALVO_REGISTRY_PID") != nullptr && findDaemon() != g_syncClient.daemon)
        closeLocked();
    bool fresh = g_syncClient.fd < 0;
    if (fresh && !connectLocked(findDaemon())) return false;
    auto send = [&] {
        if (beginning != nullptr) {
            std::lock_guard<std::mutex> guard(channel().lock);
            beginning->connection = g_syncClient.generation;
        }
        return sendRequest(g_syncClient.fd, opcode, request, reply.size());
    };
    if (!send()) {
        // A daemon that restarted, or a connection it dropped: nothing was
        // delivered, so one more try on a new connection is safe.
        closeLocked();
        if (fresh || !connectLocked(findDaemon()) || !send()) {
            closeLocked();
            return false;
        }
    }
    if (!kvWireRecvAll(g_syncClient.fd, reply.data(), reply.size())) {
        closeLocked();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Thread exit
// ---------------------------------------------------------------------------

pthread_key_t g_threadKey;
std::once_flag g_threadKeyOnce;

// Key destructor: runs in a thread that used the library as it ends. Only
// an existing connection is told; a new one would know nothing of the thread.
void threadEnded(void*) {
    std::lock_guard<std::mutex> guard(g_syncClient.lock);
    if (g_syncClient.fd < 0 || g_syncClient.owner != getpid()) return;
    int32_t words[2] = {kvClientPid(), static_cast<int32_t>(syscall(SYS_gettid))};
    if (!sendRequest(g_syncClient.fd, KV_OP_THREAD_EXITED, {reinterpret_cast<const char*>(words), sizeof words}, 0))
        closeLocked();
}

// ---------------------------------------------------------------------------
// Listener thread
// ---------------------------------------------------------------------------

// Longest message body accepted from a peer; the daemon sends 12 or 4.
constexpr int32_t kMaxMessageBody = 256;

// Only the user's own processes (or the superuser's daemon) may wake us.
bool trustedPeer(int fd) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) return false;
    return cred.uid == geteuid() || cred.uid == 0;
}

// Hands a result to the wait with that entry; channel lock held.
void deliverLocked(WakeChannel& c, uint32_t entry, int32_t result) {
    auto found = c.waits.find(entry);
    if (found == c.waits.end() || found->second->done.load(std::memory_order_relaxed) != 0) return;
    finish(found->second, result);
}

// Delivers the whole messages buffered for a peer; false when the peer
// broke the framing and must be dropped. Channel lock held.
bool deliverMessages(WakeChannel& c, Peer& peer) {
    size_t used = 0;
    while (peer.pending.size() - used >= sizeof(KvIPCHeader)) {
        KvIPCHeader header;
        memcpy(&header, peer.pending.data() + used, sizeof header);
        if (header.requestLength < 0 || header.requestLength > kMaxMessageBody) return false;
        size_t total = sizeof header + static_cast<size_t>(header.requestLength);
        if (peer.pending.size() - used < total) break;
        std::span<const char> body(peer.pending.data() + used + sizeof header,
                                   static_cast<size_t>(header.requestLength));
        // Event signals (opcode 1) have no use here and are passed over.
        if (header.opcode == KV_MSG_WAKE_WAIT_ENTRY && body.size() >= 8)
            deliverLocked(c, static_cast<uint32_t>(kvWireGetWord(body, 0)), kvWireGetWord(body, 1));
        used += total;
    }
    peer.pending.erase(0, used);
    return true;
}

// Reads what a peer has sent, without blocking; false once it has ended.
bool readPeer(Peer& peer) {
    char buffer[512];
    for (;;) {
        ssize_t r = recv(peer.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (r > 0) {
            peer.pending.append(buffer, static_cast<size_t>(r));
            continue;
        }
        return r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
}

// The request connection `fd` was closed by the daemon: the daemon is gone
// or has dropped this process, and with it every wait begun on the
// connection, which would otherwise wait for wake-ups that cannot come.
void requestConnectionEnded(int fd) {
    std::lock_guard<std::mutex> guard(g_syncClient.lock);
    if (g_syncClient.fd == fd) closeLocked();
}

// Connections from daemons accepted at once; normally there is one.
constexpr size_t kMaxPeers = 16;

// Watches the listening socket, the daemons' connections to it and the
// request connection (for its end). The peers are touched under the
// channel lock, since a fork may copy them at any moment. Nothing on this
// thread's stack owns heap memory: a child forked meanwhile inherits the
// heap but not this thread.
void* listenForWakeUps(void*) {
    WakeChannel& c = channel();
    int listenFd, nudgeFd;
    {
        std::lock_guard<std::mutex> guard(c.lock);
        listenFd = c.listenFd;
        nudgeFd = c.nudgeFd;
    }
    constexpr size_t kFirstPeer = 3;
    pollfd fds[kFirstPeer + kMaxPeers];
    for (;;) {
        int requestFd = g_syncClient.liveFd.load();
        fds[0] = pollfd{listenFd, POLLIN, 0};
        fds[1] = pollfd{nudgeFd, POLLIN, 0};
        fds[2] = pollfd{requestFd, POLLRDHUP, 0};  // a negative fd is passed over
        size_t polled = kFirstPeer;
        {
            std::lock_guard<std::mutex> guard(c.lock);
            for (const Peer& peer : c.peers) fds[polled++] = pollfd{peer.fd, POLLIN, 0};
        }
        if (poll(fds, polled, -1) < 0) {
            if (errno == EINTR) continue;
            return nullptr;
        }
        // The listening socket is unusable: nothing more can come.
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return nullptr;
        uint64_t nudges;
        if ((fds[1].revents & POLLIN) != 0) (void)!read(nudgeFd, &nudges, sizeof nudges);
        {
            std::lock_guard<std::mutex> guard(c.lock);
            // Only this thread adds and removes peers: fds[kFirstPeer + i] is peer i.
            for (size_t i = c.peers.size(); i-- > 0;) {
                Peer& peer = c.peers[i];
                if (fds[kFirstPeer + i].revents == 0) continue;
                if (readPeer(peer) && deliverMessages(c, peer)) continue;
                close(peer.fd);
                c.peers.erase(c.peers.begin() + static_cast<std::ptrdiff_t>(i));
            }
            if ((fds[0].revents & POLLIN) != 0) {
                int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0 && c.peers.size() < kMaxPeers && trustedPeer(fd))
                    c.peers.push_back(Peer{fd, {}});
                else if (fd >= 0)
                    close(fd);
            }
        }
        // Wake-ups already read were delivered above, before this.
        if (requestFd >= 0 && (fds[2].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
            requestConnectionEnded(requestFd);
    }
}

// At normal process end the socket file goes; the socket itself goes with
// the process. The listener thread is left as it is: exit handlers and
// other threads' last moments should not race each other.
void removeListener() {
    if (g_listenOwner.load() == getpid()) unlink(g_listenPath);
}

}  // namespace

bool kvClientCall(uint32_t opcode, std::span<const char> request, std::span<char> reply) {
    std::call_once(g_forkHandlersOnce, installForkHandlers);
    std::lock_guard<std::mutex> guard(g_syncClient.lock);
    return callLocked(opcode, request, reply, nullptr);
}

bool kvClientBeginWait(KvClientWait* wait, std::span<const char> request, std::span<char> reply) {
    std::call_once(g_forkHandlersOnce, installForkHandlers);
    std::lock_guard<std::mutex> guard(g_syncClient.lock);
    return callLocked(KV_OP_BEGIN_WAIT, request, reply, wait);
}

int32_t kvClientPid() { return static_cast<int32_t>(getpid()); }

int32_t kvClientThreadId() {
    thread_local bool marked = false;
    if (!marked) {
        std::call_once(g_threadKeyOnce, [] { pthread_key_create(&g_threadKey, threadEnded); });
        // A destructor runs only for a non-null value.
        pthread_setspecific(g_threadKey, &g_threadKey);
        marked = true;
    }
    return static_cast<int32_t>(syscall(SYS_gettid));
}

void kvClientDisconnect() {
    std::lock_guard<std::mutex> guard(g_syncClient.lock);
    closeLocked();
}

bool kvClientListen() {
    std::call_once(g_forkHandlersOnce, installForkHandlers);
    WakeChannel& c = channel();
    std::lock_guard<std::mutex> guard(c.lock);
    pid_t self = getpid();
    if (c.listenFd >= 0 && c.owner == self) return true;
    sockaddr_un addr = processAddress(self);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int nudge = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // A file at this process's own path was left by an earlier process
    // that had the same pid.
    unlink(addr.sun_path);
    bool listening = fd >= 0 && nudge >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     chmod(addr.sun_path, 0600) == 0 && ::listen(fd, 16) == 0;
    c.listenFd = fd;
    c.nudgeFd = nudge;
    c.owner = self;
    pthread_attr_t attr;
    pthread_t thread;
    bool started = listening && pthread_attr_init(&attr) == 0;
    if (started) {
        // The thread reads its descriptors once this lock is released.
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        started = pthread_create(&thread, &attr, listenForWakeUps, nullptr) == 0;
        pthread_attr_destroy(&attr);
    }
    if (!started) {
        if (fd >= 0) close(fd);
        if (nudge >= 0) close(nudge);
        if (listening) unlink(addr.sun_path);
        c.listenFd = -1;
        c.nudgeFd = -1;
        c.owner = 0;
        return false;
    }
    static std::once_flag exitHookOnce;  // inherited by forked children
    std::call_once(exitHookOnce, [] { atexit(removeListener); });
    memcpy(g_listenPath, addr.sun_path, sizeof g_listenPath);
    g_listenOwner = self;
    return true;
}

void kvClientAddWait(KvClientWait* wait) {
    WakeChannel& c = channel();
    std::lock_guard<std::mutex> guard(c.lock);
    // Entries are not reused while a wait holds one; 0 means "no wait".
    do {
        c.lastEntry++;
    } while (c.lastEntry == 0 || c.waits.count(c.lastEntry) != 0);
    wait->entry = c.lastEntry;
    wait->done.store(0, std::memory_order_relaxed);
    c.waits[wait->entry] = wait;
}

void kvClientRemoveWait(KvClientWait* wait) {
    WakeChannel& c = channel();
    std::lock_guard<std::mutex> guard(c.lock);
    c.waits.erase(wait->entry);
}

bool kvClientAwait(KvClientWait* wait, const std::chrono::steady_clock::time_point* deadline) {
    auto* word = reinterpret_cast<uint32_t*>(&wait->done);
    while (wait->done.load(std::memory_order_acquire) == 0) {
        timespec until{};
        if (deadline != nullptr) {
            auto since = deadline->time_since_epoch();  // steady_clock is CLOCK_MONOTONIC
            auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
            until.tv_sec = static_cast<time_t>(seconds.count());
            until.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
        }
        long r = syscall(SYS_futex, word, FUTEX_WAIT_BITSET_PRIVATE, 0u, deadline != nullptr ? &until : nullptr,
                         nullptr, FUTEX_BITSET_MATCH_ANY);
        if (r != 0 && errno == ETIMEDOUT) return wait->done.load(std::memory_order_acquire) != 0;
    }
    return true;
}

void kvClientDeliver(uint32_t entry, int32_t result) {
    WakeChannel& c = channel();
    std::lock_guard<std::mutex> guard(c.lock);
    deliverLocked(c, entry, result);
}
