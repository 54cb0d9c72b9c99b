#include "sync/sync_socket.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "sync/kvipc_wire.h"

namespace {

// The Unix-domain address of path, cut to the field's size; false for none.
bool socketAddress(const char* path, sockaddr_un* addr) {
    if (path == nullptr || *path == '\0') return false;
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path, path, strnlen(path, sizeof addr->sun_path));
    return true;
}

// A non-blocking, close-on-exec socket for path that `use` binds or
// connects; -1 when any step fails.
template <typename Use>
int socketAt(const char* path, Use use) {
    sockaddr_un addr;
    if (!socketAddress(path, &addr)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd >= 0 && !use(fd, addr)) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

char* kvProcessSRVName(int pid) {
    char name[64];
    snprintf(name, sizeof name, KV_SOCKET_NAME_FORMAT, pid);
    size_t len = strlen(KV_SOCKET_DIR) + 1 + strlen(name) + 1;
    auto* path = static_cast<char*>(malloc(len));
    if (path != nullptr) snprintf(path, len, "%s/%s", KV_SOCKET_DIR, name);
    return path;
}

int kvSRVListen(const char* path, mode_t mode) {
    // Nobody can connect before listen, so the mode is in place first.
    return socketAt(path, [mode, path](int fd, const sockaddr_un& addr) {
        return bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 && chmod(path, mode) == 0 &&
               listen(fd, KV_LISTEN_BACKLOG) == 0;
    });
}

int kvSRVConnectNonBlocking(const char* path) {
    // A Unix-domain connect completes at once or fails (EAGAIN: backlog full).
    return socketAt(path, [](int fd, const sockaddr_un& addr) {
        return connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    });
}

long kvSRVSendSome(int fd, const char* bytes, size_t n) {
    size_t sent = 0;
    while (sent < n) {
        ssize_t r = send(fd, bytes + sent, n - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r > 0) {
            sent += static_cast<size_t>(r);
        } else if (r < 0 && errno == EINTR) {
            continue;
        } else if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            return -1;
        }
    }
    return static_cast<long>(sent);
}

namespace {

// A submission ring used for sends only, set up on first use by the thread
// that sends; `usable` false when the kernel has none (or refuses it, as
// some sandboxes do), and then every send is a plain one.
struct SendRing {
    bool tried = false;
    bool usable = false;
    int fd = -1;
    uint32_t entries = 0;
    uint32_t* sqTail = nullptr;
    uint32_t sqMask = 0;
    uint32_t* sqArray = nullptr;
    io_uring_sqe* sqes = nullptr;
    uint32_t* cqHead = nullptr;
    uint32_t* cqTail = nullptr;
    uint32_t cqMask = 0;
    io_uring_cqe* cqes = nullptr;
};

thread_local SendRing t_sendRing;

bool setUpRing(SendRing& ring) {
    ring.tried = true;
    io_uring_params params{};
    int fd = static_cast<int>(syscall(SYS_io_uring_setup, 64, &params));
    if (fd < 0) return false;
    // Needed: one mapping for both rings, and sends flagged MSG_DONTWAIT
    // that complete at once with -EAGAIN instead of waiting for room, which
    // the kernels that link files (6.0 on) have.
    if ((params.features & IORING_FEAT_SINGLE_MMAP) == 0 || (params.features & IORING_FEAT_LINKED_FILE) == 0) {
        close(fd);
        return false;
    }
    size_t ringBytes = std::max(params.sq_off.array + params.sq_entries * sizeof(uint32_t),
                                params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe));
    void* rings = mmap(nullptr, ringBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_SQ_RING);
    void* sqes = mmap(nullptr, params.sq_entries * sizeof(io_uring_sqe), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_SQES);
    if (rings == MAP_FAILED || sqes == MAP_FAILED) {
        if (rings != MAP_FAILED) munmap(rings, ringBytes);
        if (sqes != MAP_FAILED) munmap(sqes, params.sq_entries * sizeof(io_uring_sqe));
        close(fd);
        return false;
    }
    char* base = static_cast<char*>(rings);
    ring.fd = fd;
    ring.entries = params.sq_entries;
    ring.sqTail = reinterpret_cast<uint32_t*>(base + params.sq_off.tail);
    ring.sqMask = *reinterpret_cast<uint32_t*>(base + params.sq_off.ring_mask);
    ring.sqArray = reinterpret_cast<uint32_t*>(base + params.sq_off.array);
    ring.sqes = static_cast<io_uring_sqe*>(sqes);
    ring.cqHead = reinterpret_cast<uint32_t*>(base + params.cq_off.head);
    ring.cqTail = reinterpret_cast<uint32_t*>(base + params.cq_off.tail);
    ring.cqMask = *reinterpret_cast<uint32_t*>(base + params.cq_off.ring_mask);
    ring.cqes = reinterpret_cast<io_uring_cqe*>(base + params.cq_off.cqes);
    return true;
}

long ringEnter(const SendRing& ring, uint32_t submit, uint32_t wait) {
    for (;;) {
        long r = syscall(SYS_io_uring_enter, ring.fd, submit, wait, wait > 0 ? IORING_ENTER_GETEVENTS : 0u, nullptr, 0);
        if (r >= 0 || errno != EINTR) return r;
    }
}

// Sends up to ring.entries items through the ring; false when the ring
// failed before taking any of them (they are then still to send).
bool sendThroughRing(SendRing& ring, KvSRVSend* sends, uint32_t count) {
    uint32_t tail = *ring.sqTail;  // only this thread moves it
    for (uint32_t i = 0; i < count; i++) {
        uint32_t slot = (tail + i) & ring.sqMask;
        io_uring_sqe& sqe = ring.sqes[slot];
        memset(&sqe, 0, sizeof sqe);
        sqe.opcode = IORING_OP_SEND;
        sqe.fd = sends[i].fd;
        sqe.addr = reinterpret_cast<uintptr_t>(sends[i].bytes);
        sqe.len = static_cast<uint32_t>(std::min<size_t>(sends[i].n, UINT32_MAX));
        sqe.msg_flags = MSG_DONTWAIT | MSG_NOSIGNAL;
        sqe.user_data = i;
        ring.sqArray[slot] = slot;
        sends[i].sent = -2;  // no outcome yet
    }
    __atomic_store_n(ring.sqTail, tail + count, __ATOMIC_RELEASE);
    uint32_t taken = 0;
    while (taken < count) {
        long r = ringEnter(ring, count - taken, 0);
        if (r <= 0) {
            // Nothing more taken: the rest stay queued and the ring is given
            // up, so they can never go twice.
            ring.usable = false;
            if (taken == 0) return false;
            break;
        }
        taken += static_cast<uint32_t>(r);
    }
    // Sends that would block complete at once, so every taken one has its
    // outcome now; waiting covers a kernel that says otherwise.
    uint32_t done = 0;
    while (done < taken) {
        uint32_t head = *ring.cqHead;
        uint32_t end = __atomic_load_n(ring.cqTail, __ATOMIC_ACQUIRE);
        if (head == end) {
            if (ringEnter(ring, 0, taken - done) < 0) {
                ring.usable = false;
                break;
            }
            continue;
        }
        for (; head != end; head++, done++) {
            const io_uring_cqe& cqe = ring.cqes[head & ring.cqMask];
            int res = cqe.res;
            sends[cqe.user_data].sent = res >= 0 ? res : (res == -EAGAIN || res == -EWOULDBLOCK || res == -EINTR) ? 0 : -1;
        }
        __atomic_store_n(ring.cqHead, head, __ATOMIC_RELEASE);
    }
    // Whatever has no outcome went nowhere for certain only if it was never
    // taken; the rest is reported as broken rather than sent twice.
    for (uint32_t i = 0; i < count; i++)
        if (sends[i].sent == -2) sends[i].sent = i < taken ? -1 : kvSRVSendSome(sends[i].fd, sends[i].bytes, sends[i].n);
    return true;
}

}  // namespace

void kvSRVSendBatch(KvSRVSend* sends, size_t count) {
    SendRing& ring = t_sendRing;
    if (!ring.tried && count > 1) ring.usable = setUpRing(ring);
    size_t i = 0;
    // One send alone gains nothing from the ring.
    while (ring.usable && count - i > 1) {
        uint32_t part = static_cast<uint32_t>(std::min<size_t>(count - i, ring.entries));
        if (!sendThroughRing(ring, sends + i, part)) break;
        i += part;
    }
    for (; i < count; i++) sends[i].sent = kvSRVSendSome(sends[i].fd, sends[i].bytes, sends[i].n);
}

bool kvSRVPeerCredentials(int fd, int32_t* pid, uint32_t* uid) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred || cred.pid <= 0)
        return false;
    *pid = cred.pid;
    *uid = cred.uid;
    return true;
}

void kvSRVRemoveEndpoint(const char* path) {
    if (path == nullptr || *path == '\0') return;
    unlink(path);
}
