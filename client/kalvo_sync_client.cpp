#include "client/kalvo_sync_client.h"

#include <algorithm>
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
    std::atomic<int> liveFd{-1};  // fd, for the reader to watch without the lock
    std::atomic<uint64_t> liveGeneration{0};  // generation, likewise
};

SyncClient g_syncClient;
std::once_flag g_forkHandlersOnce;
std::atomic<pid_t> g_selfPid{0};  // this process's pid once asked for; 0 in a new child
thread_local int32_t t_threadId = 0;  // likewise the calling thread's id

// ---------------------------------------------------------------------------
// Wake-up channel: pending waits and the listening socket
// ---------------------------------------------------------------------------

// One connection from the daemon, with the bytes that do not yet make a
// message, and the request connection current when it was accepted.
struct Peer {
    int fd;
    std::string pending;
    uint64_t generation;
};

struct WakeChannel {
    std::mutex lock;  // everything below
    std::unordered_map<uint32_t, KvClientWait*> waits;
    uint32_t lastEntry = 0;
    int listenFd = -1;
    int nudgeFd = -1;         // an eventfd that makes the reader look again
    pid_t owner = 0;          // the process listening on listenFd
    std::vector<Peer> peers;  // added by the reader, dropped at each new connection
    KvClientWait* reader = nullptr;  // the wait whose thread reads the sockets now
};

// Made once and never destroyed: a waiting thread may still use it while
// the process runs its exit handlers and static destructors.
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

// The wait the calling thread is reading the sockets for, if any.
thread_local KvClientWait* t_readingFor = nullptr;

long futexWake(KvClientWait* wait) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(&wait->word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void nudgeReader(WakeChannel& c) {
    uint64_t one = 1;
    if (c.nudgeFd >= 0 && c.owner == kvClientPid()) (void)!write(c.nudgeFd, &one, sizeof one);
}

// Hands a result to a waiting thread: the result first, then the word it
// sleeps on; a reader other than the caller is in poll and is nudged.
// Channel lock held, so the wait cannot be removed meanwhile.
void finish(WakeChannel& c, KvClientWait* wait, int32_t result) {
    wait->result = result;
    wait->word.fetch_or(KV_CLIENT_WAIT_DONE, std::memory_order_release);
    if (c.reader == wait) {
        if (t_readingFor != wait) nudgeReader(c);
    } else {
        futexWake(wait);
    }
}

bool isDone(const KvClientWait* wait) {
    return (wait->word.load(std::memory_order_acquire) & KV_CLIENT_WAIT_DONE) != 0;
}

// Ends every wait begun on connection `generation` (only those the daemon
// queued, when `queuedOnly`) with a failure. Channel lock held.
void failWaitsLocked(WakeChannel& c, uint64_t generation, bool queuedOnly) {
    for (auto& [entry, wait] : c.waits) {
        if (wait->connection != generation || isDone(wait) || (queuedOnly && !wait->queued)) continue;
        finish(c, wait, KV_WAIT_FAILED);
    }
}

void failWaits(uint64_t generation) {
    WakeChannel& c = channel();
    std::lock_guard<std::mutex> guard(c.lock);
    failWaitsLocked(c, generation, false);
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
    // One send for header and body; most requests fit on the stack.
    char small[512];
    std::string large;
    char* message = small;
    size_t length = sizeof header + request.size();
    if (length > sizeof small) {
        large.resize(length);
        message = large.data();
    }
    memcpy(message, &header, sizeof header);
    if (!request.empty()) memcpy(message + sizeof header, request.data(), request.size());
    return kvWireSendAll(fd, message, length);
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
    g_syncClient.owner = kvClientPid();
    g_syncClient.daemon = pid;
    g_syncClient.generation++;
    g_syncClient.liveFd = fd;
    g_syncClient.liveGeneration = g_syncClient.generation;
    WakeChannel& c = channel();
    std::lock_guard<std::mutex> guard(c.lock);
    // Wake-up connections of the connection before are dropped with it by
    // the daemon: their end must not fail the waits begun from now on.
    if (c.owner == kvClientPid()) {
        for (const Peer& peer : c.peers) close(peer.fd);
        c.peers.clear();
        for (int old; (old = accept4(c.listenFd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) close(old);
    }
    // The reader watches the new connection from now on.
    if (c.reader != nullptr) nudgeReader(c);
    return true;
}

// A child forked while another thread held a lock would find it held
// forever; holding both across fork keeps them consistent. The child drops
// the parent's connection, socket and waits: it is another process, and
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
            g_selfPid = 0;
            t_threadId = 0;  // the forking thread is another thread in the child
            WakeChannel& c = channel();
            c.waits.clear();
            if (c.listenFd >= 0) close(c.listenFd);
            if (c.nudgeFd >= 0) close(c.nudgeFd);
            for (const Peer& peer : c.peers) close(peer.fd);
            c.peers.clear();
            c.listenFd = -1;
            c.nudgeFd = -1;
            c.owner = 0;
            c.reader = nullptr;
            c.lock.unlock();
            closeLocked();
            g_syncClient.lock.unlock();
        });
}

// Reads a reply of n bytes. A thread asleep in recv on a Unix socket is
// also woken each time the daemon reads one of its requests (the freed
// send space is announced on the same wait queue), then preempts the
// daemon only to sleep again; poll waits for arriving bytes alone.
bool awaitReply(int fd, char* data, size_t n) {
    while (n > 0) {
        pollfd readable{fd, POLLIN, 0};
        int ready = poll(&readable, 1, -1);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        ssize_t r = recv(fd, data, n, MSG_DONTWAIT);
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (r <= 0) return false;
        data += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// The wait, if any, is tied to whichever connection the request goes out on.
bool callLocked(uint32_t opcode, std::span<const char> request, std::span<char> reply, KvClientWait* beginning) {
    if (g_syncClient.fd >= 0 && g_syncClient.owner != kvClientPid()) closeLocked();
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
    if (!awaitReply(g_syncClient.fd, reply.data(), reply.size())) {
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
    if (g_syncClient.fd < 0 || g_syncClient.owner != kvClientPid()) return;
    int32_t words[2] = {kvClientPid(), static_cast<int32_t>(syscall(SYS_gettid))};
    if (!sendRequest(g_syncClient.fd, KV_OP_THREAD_EXITED, {reinterpret_cast<const char*>(words), sizeof words}, 0))
        closeLocked();
}

// ---------------------------------------------------------------------------
// Reading the wake-up sockets
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
    if (found == c.waits.end() || isDone(found->second)) return;
    finish(c, found->second, result);
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
            if (static_cast<size_t>(r) < sizeof buffer) return true;
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

// Connections from daemons kept at once; normally there is one.
constexpr size_t kMaxPeers = 16;
constexpr size_t kFirstPeer = 3;

// One look at the listening socket, the daemons' connections to it and the
// request connection (for its end), as the reader, until something happens
// or the deadline passes (false then). Entered and left with the channel
// lock held; it is released while the thread sleeps in poll.
bool readOnce(WakeChannel& c, std::unique_lock<std::mutex>& guard, const std::chrono::steady_clock::time_point* deadline) {
    pollfd fds[kFirstPeer + kMaxPeers];
    int requestFd = g_syncClient.liveFd.load();
    fds[0] = pollfd{c.listenFd, POLLIN, 0};
    fds[1] = pollfd{c.nudgeFd, POLLIN, 0};
    fds[2] = pollfd{requestFd, POLLRDHUP, 0};  // a negative fd is passed over
    size_t polled = kFirstPeer;
    for (const Peer& peer : c.peers) fds[polled++] = pollfd{peer.fd, POLLIN, 0};
    timespec left{};
    if (deadline != nullptr) {
        auto rest = std::max(*deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero());
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(rest);
        left.tv_sec = static_cast<time_t>(seconds.count());
        left.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(rest - seconds).count());
    }
    guard.unlock();
    int n = ppoll(fds, polled, deadline != nullptr ? &left : nullptr, nullptr);
    guard.lock();
    if (n == 0) return false;
    if (n < 0) return true;  // EINTR: looked at again
    uint64_t nudges;
    if ((fds[1].revents & POLLIN) != 0) (void)!read(c.nudgeFd, &nudges, sizeof nudges);
    // Peers are added only here, and all dropped at a new connection: a
    // polled peer that is gone is passed over.
    for (size_t i = c.peers.size(); i-- > 0;) {
        Peer& peer = c.peers[i];
        const pollfd* polledPeer = std::find_if(fds + kFirstPeer, fds + polled, [&](const pollfd& p) { return p.fd == peer.fd; });
        if (polledPeer == fds + polled || polledPeer->revents == 0) continue;
        bool open = readPeer(peer);
        if (deliverMessages(c, peer) && open) continue;
        // The daemon closes a process's wake-up connection when the process
        // stopped reading, withdrawing its queued waits: they fail here.
        if (!open && peer.generation == g_syncClient.liveGeneration.load()) failWaitsLocked(c, peer.generation, true);
        close(peer.fd);
        c.peers.erase(c.peers.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if ((fds[0].revents & POLLIN) != 0) {
        int fd;
        while ((fd = accept4(c.listenFd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
            if (c.peers.size() < kMaxPeers && trustedPeer(fd))
                c.peers.push_back(Peer{fd, {}, g_syncClient.liveGeneration.load()});
            else
                close(fd);
        }
    }
    // Wake-ups already read were delivered above, before this.
    if (requestFd >= 0 && (fds[2].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
        guard.unlock();
        requestConnectionEnded(requestFd);
        guard.lock();
    }
    return true;
}

// Sleeps on the wait's word until it changes or the deadline passes
// (false then). Channel lock held on entry and exit, released meanwhile.
bool sleepOn(KvClientWait* wait, std::unique_lock<std::mutex>& guard, const std::chrono::steady_clock::time_point* deadline) {
    timespec until{};
    if (deadline != nullptr) {
        auto since = deadline->time_since_epoch();  // steady_clock is CLOCK_MONOTONIC
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
        until.tv_sec = static_cast<time_t>(seconds.count());
        until.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    }
    guard.unlock();
    long r = syscall(SYS_futex, reinterpret_cast<uint32_t*>(&wait->word), FUTEX_WAIT_BITSET_PRIVATE, 0u,
                     deadline != nullptr ? &until : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
    bool timedOut = r != 0 && errno == ETIMEDOUT;
    guard.lock();
    return !timedOut;
}

// With no reader left, another pending wait is asked to take the reading
// over (it does so as soon as its thread waits). Channel lock held.
void passReading(WakeChannel& c, const KvClientWait* leaving) {
    if (c.reader != nullptr) return;
    for (auto& [entry, wait] : c.waits) {
        if (wait == leaving || isDone(wait)) continue;
        if ((wait->word.fetch_or(KV_CLIENT_WAIT_READ) & KV_CLIENT_WAIT_READ) == 0) futexWake(wait);
        return;
    }
}

// At normal process end the socket file goes; the socket itself goes with
// the process.
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
    if (!callLocked(KV_OP_BEGIN_WAIT, request, reply, wait)) return false;
    std::lock_guard<std::mutex> waits(channel().lock);
    wait->queued = kvWireGetWord(reply, 0) != 0;
    return true;
}

int32_t kvClientPid() {
    // Asked for on every call, and getpid is a system call: kept, and
    // forgotten in a forked child.
    std::call_once(g_forkHandlersOnce, installForkHandlers);
    pid_t pid = g_selfPid.load(std::memory_order_relaxed);
    if (pid == 0) {
        pid = getpid();
        g_selfPid.store(pid, std::memory_order_relaxed);
    }
    return static_cast<int32_t>(pid);
}

int32_t kvClientThreadId() {
    thread_local bool marked = false;
    if (!marked) {
        std::call_once(g_threadKeyOnce, [] { pthread_key_create(&g_threadKey, threadEnded); });
        // A destructor runs only for a non-null value.
        pthread_setspecific(g_threadKey, &g_threadKey);
        marked = true;
    }
    std::call_once(g_forkHandlersOnce, installForkHandlers);
    if (t_threadId == 0) t_threadId = static_cast<int32_t>(syscall(SYS_gettid));
    return t_threadId;
}

void kvClientDisconnect() {
    std::lock_guard<std::mutex> guard(g_syncClient.lock);
    closeLocked();
}

bool kvClientListen() {
    std::call_once(g_forkHandlersOnce, installForkHandlers);
    WakeChannel& c = channel();
    std::lock_guard<std::mutex> guard(c.lock);
    pid_t self = kvClientPid();
    if (c.listenFd >= 0 && c.owner == self) return true;
    sockaddr_un addr = processAddress(self);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int nudge = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // A file at this process's own path was left by an earlier process
    // that had the same pid.
    unlink(addr.sun_path);
    bool listening = fd >= 0 && nudge >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     chmod(addr.sun_path, 0600) == 0 && ::listen(fd, 16) == 0;
    if (!listening) {
        if (fd >= 0) close(fd);
        if (nudge >= 0) close(nudge);
        unlink(addr.sun_path);
        return false;
    }
    c.listenFd = fd;
    c.nudgeFd = nudge;
    c.owner = self;
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
    wait->word.store(0, std::memory_order_relaxed);
    wait->queued = false;
    c.waits[wait->entry] = wait;
}

void kvClientRemoveWait(KvClientWait* wait) {
    WakeChannel& c = channel();
    std::lock_guard<std::mutex> guard(c.lock);
    c.waits.erase(wait->entry);
    // It may have been asked to read and never waited.
    passReading(c, wait);
}

bool kvClientAwait(KvClientWait* wait, const std::chrono::steady_clock::time_point* deadline) {
    WakeChannel& c = channel();
    std::unique_lock<std::mutex> guard(c.lock);
    bool inTime = true;
    while (inTime && !isDone(wait)) {
        wait->word.fetch_and(~KV_CLIENT_WAIT_READ);
        if (c.reader == nullptr && c.listenFd >= 0 && c.owner == kvClientPid()) c.reader = wait;
        if (c.reader == wait) {
            t_readingFor = wait;
            inTime = readOnce(c, guard, deadline);
            t_readingFor = nullptr;
        } else {
            inTime = sleepOn(wait, guard, deadline);
        }
    }
    if (c.reader == wait) c.reader = nullptr;
    passReading(c, wait);
    return isDone(wait);
}

void kvClientDeliver(uint32_t entry, int32_t result) {
    WakeChannel& c = channel();
    std::lock_guard<std::mutex> guard(c.lock);
    deliverLocked(c, entry, result);
}
