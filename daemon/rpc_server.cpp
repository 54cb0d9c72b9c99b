// The serving loop: accepts, reads and writes on the loop thread; calls on
// worker threads. At most one call per connection is in flight (the next
// record is read once the reply is queued), so replies leave in order and
// each connection holds at most one reply.
#include "daemon/rpc_server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpcb_clnt.h>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "daemon/peer_uid.h"
#include "daemon/regdmain.h"
#include "daemon/rpc_wire.h"
#include "rpc/regd_clients.h"
#include "rpc/regd_notify.h"
#include "rpc/regd_policy.h"
#include "rpc/regd_svc_proc.h"
#include "rpc/regd_xdr.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uid_t UNKNOWN_UID = static_cast<uid_t>(-1);
constexpr size_t READ_CHUNK = 64 * 1024;
constexpr int READS_PER_WAKE = 4;  // then other connections get their turn
constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(200);

enum class Phase { Reading, Calling, Writing };

struct Conn {
    int fd;
    uint64_t id;  // never reused: change notifications belong to a connection
    uid_t uid;
    RegdPeer peer;  // looked up in full by the first call
    Phase phase = Phase::Reading;
    RpcRecordReader reader;
    std::vector<uint8_t> pending;  // bytes read past the record being served
    std::vector<uint8_t> out;      // the reply being written
    size_t outSent = 0;
    size_t outCharged = 0;         // its share of the queued reply bytes
    Clock::time_point lastProgress;
    bool closeAfterCall = false;
    bool dead = false;
};

struct Job {
    Conn* conn;
    std::vector<uint8_t> record;
};

struct Done {
    Conn* conn;
    std::vector<uint8_t> reply;
    size_t charged;
    bool close;
};

struct Server {
    uint32_t prog = 0;
    uint32_t vers = 0;
    RegdServerLimits limits{};
    int epfd = -1;
    std::vector<int> listenFds;  // addresses apart, one port
    int wakeFd = -1;
    std::unordered_map<int, std::unique_ptr<Conn>> conns;
    std::unordered_map<uid_t, size_t> perUid;
    std::vector<Conn*> toClose;
    bool acceptPaused = false;
    uint64_t lastConnId = 0;
    Clock::time_point acceptResume;

    std::mutex jobsMutex;
    std::condition_variable jobsReady;
    std::deque<Job> jobs;
    std::mutex doneMutex;
    std::vector<Done> done;
};

Server g_server;
std::atomic<size_t> g_queuedReplyBytes{0};

// The wake-up eventfd, told apart from connections by its tag; listening
// sockets by LISTENER_BIT and their index (connections and the tag are
// pointers, which never have the top bit set).
int WAKE_TAG;
constexpr uint64_t LISTENER_BIT = 1ull << 63;
// The sockets regdRpcListen opened besides the one it returns.
std::vector<int> g_moreListeners;

// ---- Settings ----

double envNumber(const char* name, double fallback) {
    const char* text = getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    double v = strtod(text, &end);
    return end != text && *end == '\0' && v > 0 ? v : fallback;
}

// ---- Calls (worker threads) ----

// Takes `size` bytes of the global reply allowance; false when it would pass the cap.
bool chargeQueued(size_t size, size_t cap) {
    size_t now = g_queuedReplyBytes.load();
    do {
        if (now + size > cap) return false;
    } while (!g_queuedReplyBytes.compare_exchange_weak(now, now + size));
    return true;
}

void freeVersion1UserName() {
    free(g_userNameToFree);
    g_userNameToFree = nullptr;
}

// Runs one record: the reply to append, or close when it is no call.
void serveRecord(std::vector<uint8_t>& record, RegdPeer& peer, Done* d) {
    regdSetCallConnection(d->conn->id);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(record.data()), static_cast<u_int>(record.size()), XDR_DECODE);
    auto call = std::make_unique<RpcCallHeader>();
    if (!rpcDecodeCall(&x, call.get())) {
        d->close = true;
        return;
    }
    const call_body& body = call->msg.rm_call;
    RpcReplyTo to{static_cast<uint32_t>(call->msg.rm_xid), {}};
    enum auth_stat why = rpcAuthenticate(*call, &to.verf);
    if (why != AUTH_OK) {
        rpcEncodeAuthError(&d->reply, to.xid, why);
        return;
    }
    if (body.cb_prog != g_server.prog) {
        rpcEncodeAcceptError(&d->reply, to, PROG_UNAVAIL);
        return;
    }
    if (body.cb_vers != g_server.vers && body.cb_vers != 1) {
        rpcEncodeAcceptError(&d->reply, to, PROG_MISMATCH, std::min<uint32_t>(1, g_server.vers),
                             std::max<uint32_t>(1, g_server.vers));
        return;
    }
    g_packetVersion = static_cast<uint32_t>(body.cb_vers);
    if (g_packetVersion == 1) g_Kalvo3AppConnected = 1;
    if (body.cb_proc == REGD_NULLPROC) {
        rpcEncodeSuccess(&d->reply, to, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void)),
                         nullptr);
        return;
    }
    const RegdProcedure* entry = regdFindProcedure(static_cast<uint32_t>(body.cb_proc));
    if (entry == nullptr) {
        rpcEncodeAcceptError(&d->reply, to, PROC_UNAVAIL);
        return;
    }
    auto request = std::make_unique<RegdRequestBuffer>();
    memset(request.get(), 0, sizeof *request);
    if (!entry->decodeRequest(&x, request.get())) {
        // Release whatever the partial decode allocated before refusing.
        xdr_free(entry->decodeRequest, reinterpret_cast<char*>(request.get()));
        if (g_userNameToFree != nullptr) freeVersion1UserName();
        rpcEncodeAcceptError(&d->reply, to, GARBAGE_ARGS);
        return;
    }
    // The request record is no longer needed once decoded.
    std::vector<uint8_t>().swap(record);
    auto result = std::make_unique<RegdResultBuffer>();
    memset(result.get(), 0, sizeof *result);
    entry->call(request.get(), result.get(), peer);
    regdNotifyFlush();  // the watchers of a change hear of it before its caller does
    size_t size = rpcReplyWireSize(entry->encodeResult, result.get());
    if (chargeQueued(size, g_server.limits.maxQueuedReplyBytes)) {
        d->charged = size;
    } else {
        entry->refuse(result.get());
    }
    rpcEncodeSuccess(&d->reply, to, entry->encodeResult, result.get());
    xdr_free(entry->encodeResult, reinterpret_cast<char*>(result.get()));
    xdr_free(entry->decodeRequest, reinterpret_cast<char*>(request.get()));
    if (g_packetVersion == 1 && g_userNameToFree != nullptr) freeVersion1UserName();
}

void wakeLoop() {
    uint64_t one = 1;
    (void)!write(g_server.wakeFd, &one, sizeof one);
}

void workerMain() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(g_server.jobsMutex);
            g_server.jobsReady.wait(lock, [] { return !g_server.jobs.empty(); });
            job = std::move(g_server.jobs.front());
            g_server.jobs.pop_front();
        }
        Done d{job.conn, {}, 0, false};
        serveRecord(job.record, job.conn->peer, &d);
        if (d.charged == 0 && !d.close) {
            // Error replies and refusals are small; they always go out.
            d.charged = d.reply.size();
            g_queuedReplyBytes += d.charged;
        } else if (d.charged > d.reply.size()) {
            g_queuedReplyBytes -= d.charged - d.reply.size();
            d.charged = d.reply.size();
        }
        {
            std::lock_guard<std::mutex> lock(g_server.doneMutex);
            g_server.done.push_back(std::move(d));
        }
        wakeLoop();
    }
}

// ---- Connections (loop thread) ----

void watch(Conn& c, uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = &c;
    epoll_ctl(g_server.epfd, EPOLL_CTL_MOD, c.fd, &ev);
}

void releaseReply(Conn& c) {
    g_queuedReplyBytes -= c.outCharged;
    c.outCharged = 0;
    std::vector<uint8_t>().swap(c.out);
    c.outSent = 0;
}

// Marks the connection for closing at the end of this loop turn, when no
// event of the turn can refer to it any more (a call in flight finishes first).
void closeConn(Conn& c) {
    if (c.dead) return;
    if (c.phase == Phase::Calling) {
        c.closeAfterCall = true;
        return;
    }
    c.dead = true;
    g_server.toClose.push_back(&c);
    auto it = g_server.perUid.find(c.uid);
    if (it != g_server.perUid.end() && --it->second == 0) g_server.perUid.erase(it);
}

void reapClosed() {
    for (Conn* c : g_server.toClose) {
        regdNotifyConnectionClosed(c->id);
        releaseReply(*c);
        epoll_ctl(g_server.epfd, EPOLL_CTL_DEL, c->fd, nullptr);
        close(c->fd);
        g_server.conns.erase(c->fd);
    }
    g_server.toClose.clear();
}

void dispatch(Conn& c) {
    c.phase = Phase::Calling;
    watch(c, EPOLLONESHOT);  // a hang-up is noted once, not reported in a loop
    Job job{&c, std::move(c.reader.body)};
    rpcRecordReset(c.reader);
    {
        std::lock_guard<std::mutex> lock(g_server.jobsMutex);
        g_server.jobs.push_back(std::move(job));
    }
    g_server.jobsReady.notify_one();
}

// Feeds received bytes to the record being assembled; a complete record
// goes to the workers and the bytes after it wait for its reply.
void feed(Conn& c, std::span<const uint8_t> in) {
    size_t used = 0;
    RpcFeed f = rpcFeedRecord(c.reader, in, &used);
    if (used > 0) c.lastProgress = Clock::now();
    if (f == RpcFeed::TooLong) {
        closeConn(c);
    } else if (f == RpcFeed::Complete) {
        c.pending.insert(c.pending.end(), in.begin() + static_cast<ptrdiff_t>(used), in.end());
        dispatch(c);
    }
}

void readFrom(Conn& c) {
    static uint8_t buf[READ_CHUNK];
    for (int i = 0; i < READS_PER_WAKE && c.phase == Phase::Reading && !c.dead; i++) {
        ssize_t n = read(c.fd, buf, sizeof buf);
        if (n > 0) {
            feed(c, std::span<const uint8_t>(buf, static_cast<size_t>(n)));
            if (static_cast<size_t>(n) < sizeof buf) return;
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            closeConn(c);
            return;
        } else {
            return;
        }
    }
}

// Serves what already arrived after the last record.
void resumeReading(Conn& c) {
    c.phase = Phase::Reading;
    c.lastProgress = Clock::now();
    watch(c, EPOLLIN);
    if (c.pending.empty()) return;
    std::vector<uint8_t> bytes;
    bytes.swap(c.pending);
    feed(c, bytes);
}

void writeTo(Conn& c) {
    while (c.outSent < c.out.size()) {
        ssize_t n = write(c.fd, c.out.data() + c.outSent, c.out.size() - c.outSent);
        if (n > 0) {
            c.outSent += static_cast<size_t>(n);
            c.lastProgress = Clock::now();
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            watch(c, EPOLLOUT);
            return;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            closeConn(c);
            return;
        }
    }
    releaseReply(c);
    resumeReading(c);
}

void finishCalls() {
    uint64_t count;
    (void)!read(g_server.wakeFd, &count, sizeof count);
    std::vector<Done> finished;
    {
        std::lock_guard<std::mutex> lock(g_server.doneMutex);
        finished.swap(g_server.done);
    }
    for (Done& d : finished) {
        Conn& c = *d.conn;
        c.phase = Phase::Writing;
        c.out = std::move(d.reply);
        c.outSent = 0;
        c.outCharged = d.charged;
        c.lastProgress = Clock::now();
        if (d.close || c.closeAfterCall) {
            closeConn(c);
            continue;
        }
        writeTo(c);
    }
}

bool idle(const Conn& c) {
    return c.phase == Phase::Reading && !c.dead && !rpcRecordStarted(c.reader) && c.pending.empty();
}

// The idle connection that waited longest (of one uid, unless any), or null.
Conn* oldestIdle(uid_t uid, bool anyUid) {
    Conn* oldest = nullptr;
    for (auto& [fd, c] : g_server.conns)
        if (idle(*c) && (anyUid || c->uid == uid) && (oldest == nullptr || c->lastProgress < oldest->lastProgress))
            oldest = c.get();
    return oldest;
}

// Makes room for a new connection of `uid` within both caps: false when
// only busy connections hold the places.
bool makeRoom(uid_t uid) {
    size_t live = g_server.conns.size() - g_server.toClose.size();
    auto it = g_server.perUid.find(uid);
    if (it != g_server.perUid.end() && it->second >= g_server.limits.maxConnectionsPerUid) {
        Conn* victim = oldestIdle(uid, false);
        if (victim == nullptr) return false;
        closeConn(*victim);
        return true;
    }
    if (live >= g_server.limits.maxConnections) {
        Conn* victim = oldestIdle(uid, true);
        if (victim == nullptr) return false;
        closeConn(*victim);
    }
    return true;
}

void watchListeners(int op, uint32_t events) {
    for (size_t i = 0; i < g_server.listenFds.size(); i++) {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = LISTENER_BIT | i;
        epoll_ctl(g_server.epfd, op, g_server.listenFds[i], &ev);
    }
}

void pauseAccepting() {
    watchListeners(EPOLL_CTL_MOD, 0);
    g_server.acceptPaused = true;
    g_server.acceptResume = Clock::now() + ACCEPT_PAUSE;
}

void acceptAll(int listenFd) {
    for (;;) {
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            // Out of descriptors or memory: try again in a moment, not in a loop.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) pauseAccepting();
            return;
        }
        uid_t uid = UNKNOWN_UID;
        if (!regdLoopbackPeerUid(fd, &uid)) uid = UNKNOWN_UID;
        if (!makeRoom(uid)) {
            close(fd);
            continue;
        }
        auto conn = std::make_unique<Conn>();
        conn->fd = fd;
        conn->id = ++g_server.lastConnId;
        conn->uid = uid;
        conn->peer.local = uid != UNKNOWN_UID;
        conn->peer.uid = uid;
        conn->lastProgress = Clock::now();
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = conn.get();
        if (epoll_ctl(g_server.epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(fd);
            continue;
        }
        g_server.perUid[uid]++;
        g_server.conns[fd] = std::move(conn);
    }
}

// Ends connections whose partial record or unread reply stopped moving.
void checkDeadlines() {
    auto now = Clock::now();
    auto recordLimit = std::chrono::duration<double>(g_server.limits.idleRecordSeconds);
    auto replyLimit = std::chrono::duration<double>(g_server.limits.stalledReplySeconds);
    for (auto& [fd, c] : g_server.conns) {
        if (c->dead) continue;
        bool partial = c->phase == Phase::Reading && (rpcRecordStarted(c->reader) || !c->pending.empty());
        if (partial && now - c->lastProgress > recordLimit) closeConn(*c);
        if (c->phase == Phase::Writing && now - c->lastProgress > replyLimit) closeConn(*c);
    }
    if (g_server.acceptPaused && now >= g_server.acceptResume) {
        watchListeners(EPOLL_CTL_MOD, EPOLLIN);
        g_server.acceptPaused = false;
    }
}

void raiseDescriptorLimit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

}  // namespace

RegdServerLimits regdServerLimitsFromEnv() {
    RegdServerLimits l{};
    unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    l.workers = static_cast<unsigned>(envNumber("KALVO_REGISTRYD_WORKERS", cores));
    l.idleRecordSeconds = envNumber("KALVO_REGISTRYD_IDLE_RECORD_SECONDS", 30);
    l.stalledReplySeconds = envNumber("KALVO_REGISTRYD_STALLED_REPLY_SECONDS", 30);
    l.maxConnections = static_cast<size_t>(envNumber("KALVO_REGISTRYD_MAX_CONNECTIONS", 4096));
    l.maxConnectionsPerUid = static_cast<size_t>(envNumber("KALVO_REGISTRYD_MAX_CONNECTIONS_PER_UID", 2048));
    l.maxQueuedReplyBytes = static_cast<size_t>(envNumber("KALVO_REGISTRYD_MAX_QUEUED_REPLY_MB", 512) * 1024 * 1024);
    return l;
}

namespace {

// An address to listen on, with the port still to be chosen.
struct ListenAddr {
    sockaddr_storage addr{};
    socklen_t len = 0;
    bool optional = false;  // ::1 by default: skipped on a host without IPv6
};

bool parseAddr(const std::string& text, ListenAddr* out) {
    auto* in = reinterpret_cast<sockaddr_in*>(&out->addr);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&out->addr);
    std::string t = text.size() > 2 && text.front() == '[' && text.back() == ']' ? text.substr(1, text.size() - 2) : text;
    if (inet_pton(AF_INET, t.c_str(), &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        out->len = sizeof *in;
        return true;
    }
    if (inet_pton(AF_INET6, t.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        out->len = sizeof *in6;
        return true;
    }
    return false;
}

// KALVO_REGISTRYD_LISTEN (comma-separated), else loopback: 127.0.0.1 and ::1.
std::vector<ListenAddr> listenAddresses() {
    std::vector<ListenAddr> list;
    const char* env = getenv("KALVO_REGISTRYD_LISTEN");
    if (env == nullptr || *env == '\0') {
        for (const char* a : {"127.0.0.1", "::1"}) {
            ListenAddr l;
            parseAddr(a, &l);
            l.optional = l.addr.ss_family == AF_INET6;
            list.push_back(l);
        }
        return list;
    }
    std::string all(env);
    for (size_t at = 0; at <= all.size();) {
        size_t comma = all.find(',', at);
        if (comma == std::string::npos) comma = all.size();
        std::string one = all.substr(at, comma - at);
        one.erase(0, one.find_first_not_of(" \t"));
        one.erase(one.find_last_not_of(" \t") + 1);
        ListenAddr l;
        if (!one.empty() && !parseAddr(one, &l)) {
            fprintf(stderr, "KALVO_REGISTRYD_LISTEN: not an address: %s\n", one.c_str());
            regdFailRegistration("cannot create tcp service.");
        }
        if (!one.empty()) list.push_back(l);
        at = comma + 1;
    }
    return list;
}

void setPort(ListenAddr& l, uint16_t port) {
    if (l.addr.ss_family == AF_INET) reinterpret_cast<sockaddr_in*>(&l.addr)->sin_port = htons(port);
    else reinterpret_cast<sockaddr_in6*>(&l.addr)->sin6_port = htons(port);
}

// A listening socket on `l`; -1 when it cannot be had.
int openListener(ListenAddr& l, bool dualStack) {
    int fd = socket(l.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (l.addr.ss_family == AF_INET6) {
        int only = dualStack ? 0 : 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&l.addr), l.len) != 0 || listen(fd, SOMAXCONN) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Registers (prog, vers) for the IPv6 listener at `l` with rpcbind.
bool registerTcp6(uint32_t prog, uint32_t vers, ListenAddr& l) {
    netconfig* nc = getnetconfigent("tcp6");
    if (nc == nullptr) return false;
    netbuf nb{};
    nb.buf = &l.addr;
    nb.len = nb.maxlen = l.len;
    bool ok = rpcb_set(prog, vers, nc, &nb) != 0;
    freenetconfigent(nc);
    return ok;
}

}  // namespace

int regdRpcListen(uint32_t prog, uint32_t vers) {
    std::vector<ListenAddr> addrs = listenAddresses();
    bool anyV4 = std::any_of(addrs.begin(), addrs.end(), [](const ListenAddr& l) { return l.addr.ss_family == AF_INET; });
    std::vector<int> fds;
    ListenAddr* v6 = nullptr;
    bool haveV4 = false;
    uint16_t port = 0;
    for (ListenAddr& l : addrs) {
        setPort(l, port);
        // "::" alone takes IPv4 callers too; beside an IPv4 address it may not.
        int fd = openListener(l, !anyV4);
        if (fd < 0 && l.optional) continue;
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
            regdFailRegistration("cannot create tcp service.");
        }
        port = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                                : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
        setPort(l, port);
        fds.push_back(fd);
        // A dual-stack "::" takes IPv4 callers, who look it up under tcp.
        bool anyAddr = l.addr.ss_family == AF_INET6 &&
                       IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<sockaddr_in6*>(&l.addr)->sin6_addr);
        if (l.addr.ss_family == AF_INET || (anyAddr && !anyV4)) haveV4 = true;
        if (l.addr.ss_family == AF_INET6 && v6 == nullptr) v6 = &l;
    }
    if (fds.empty()) regdFailRegistration("cannot create tcp service.");
    if (haveV4 && !pmap_set(prog, vers, IPPROTO_TCP, port))
        regdFailRegistration("unable to register (registryProg, registryVers, tcp)\n");
    if (haveV4 && !pmap_set(prog, 1, IPPROTO_TCP, port))
        regdFailRegistration("unable to register (registryProg, 1, tcp)\n");
    if (v6 != nullptr && (!registerTcp6(prog, vers, *v6) || !registerTcp6(prog, 1, *v6)))
        regdFailRegistration("unable to register (registryProg, registryVers, tcp6)\n");
    g_moreListeners.assign(fds.begin() + 1, fds.end());
    return fds.front();
}

void regdRpcServe(int listenFd, uint32_t prog, uint32_t vers, const RegdServerLimits& limits) {
    raiseDescriptorLimit();
    Server& s = g_server;
    s.prog = prog;
    s.vers = vers;
    s.limits = limits;
    regdPolicyInit(prog);
    s.listenFds.push_back(listenFd);
    s.listenFds.insert(s.listenFds.end(), g_moreListeners.begin(), g_moreListeners.end());
    s.epfd = epoll_create1(EPOLL_CLOEXEC);
    s.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s.epfd < 0 || s.wakeFd < 0) {
        fprintf(stderr, "svc_run returned");
        exit(1);
    }
    watchListeners(EPOLL_CTL_ADD, EPOLLIN);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &WAKE_TAG;
    epoll_ctl(s.epfd, EPOLL_CTL_ADD, s.wakeFd, &ev);
    for (unsigned i = 0; i < std::max(1u, limits.workers); i++) std::thread(workerMain).detach();

    double shortest = std::min(limits.idleRecordSeconds, limits.stalledReplySeconds);
    int tickMs = std::clamp(static_cast<int>(shortest * 250), 50, 1000);
    auto nextCheck = Clock::now();
    epoll_event events[256];
    for (;;) {
        int n = epoll_wait(s.epfd, events, 256, tickMs);
        for (int i = 0; i < n; i++) {
            void* tag = events[i].data.ptr;
            if (events[i].data.u64 & LISTENER_BIT) {
                acceptAll(s.listenFds[events[i].data.u64 & ~LISTENER_BIT]);
            } else if (tag == &WAKE_TAG) {
                finishCalls();
            } else {
                Conn& c = *static_cast<Conn*>(tag);
                if (c.dead) continue;
                uint32_t e = events[i].events;
                if (c.phase == Phase::Calling) {
                    if (e & (EPOLLHUP | EPOLLERR)) c.closeAfterCall = true;
                } else if (c.phase == Phase::Writing && (e & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
                    writeTo(c);
                } else if (c.phase == Phase::Reading && (e & (EPOLLIN | EPOLLERR | EPOLLHUP))) {
                    readFrom(c);
                }
            }
        }
        if (Clock::now() >= nextCheck) {
            checkDeadlines();
            nextCheck = Clock::now() + std::chrono::milliseconds(tickMs);
        }
        reapClosed();
    }
}
