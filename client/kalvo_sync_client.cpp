#include "client/kalvo_sync_client.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include "sync/kvipc_wire.h"

namespace {

struct SyncClient {
    std::mutex lock;  // one request and its reply at a time
    int fd = -1;
    pid_t owner = 0;   // the process that opened fd
    pid_t daemon = 0;  // the daemon it leads to
};

SyncClient g_syncClient;
std::once_flag g_forkHandlersOnce;

// The daemon's pid from KALVO_REGISTRY_PID, or 0 when unset or malformed.
pid_t daemonPid() {
    const char* text = getenv("KALVO_REGISTRY_PID");
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    errno = 0;
    long pid = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || pid <= 0 || pid > INT32_MAX) return 0;
    return static_cast<pid_t>(pid);
}

bool sendRequest(int fd, uint32_t opcode, std::span<const char> request, size_t replyLength) {
    KvIPCHeader header{opcode, static_cast<int32_t>(request.size()), static_cast<int32_t>(replyLength)};
    std::string message(reinterpret_cast<const char*>(&header), sizeof header);
    message.append(request.data(), request.size());
    return kvWireSendAll(fd, message.data(), message.size());
}

void closeLocked() {
    if (g_syncClient.fd >= 0) close(g_syncClient.fd);
    g_syncClient.fd = -1;
}

bool connectLocked(pid_t pid) {
    if (pid == 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/", KV_SOCKET_DIR);
    size_t used = strlen(addr.sun_path);
    snprintf(addr.sun_path + used, sizeof addr.sun_path - used, KV_SOCKET_NAME_FORMAT, static_cast<int>(pid));
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
    return true;
}

// A child forked while another thread held the lock would find it held
// forever; holding it across fork keeps it consistent. The child drops the
// parent's connection: it is another process and registers itself.
void installForkHandlers() {
    pthread_atfork([] { g_syncClient.lock.lock(); }, [] { g_syncClient.lock.unlock(); },
                   [] {
                       closeLocked();
                       g_syncClient.lock.unlock();
                   });
}

}  // namespace

bool kvClientCall(uint32_t opcode, std::span<const char> request, std::span<char> reply) {
    std::call_once(g_forkHandlersOnce, installForkHandlers);
    std::lock_guard<std::mutex> guard(g_syncClient.lock);
    pid_t daemon = daemonPid();
    if (g_syncClient.fd >= 0 && (g_syncClient.owner != getpid() || g_syncClient.daemon != daemon)) closeLocked();
    bool fresh = g_syncClient.fd < 0;
    if (fresh && !connectLocked(daemon)) return false;
    if (!sendRequest(g_syncClient.fd, opcode, request, reply.size())) {
        // A daemon that restarted under the same pid, or a connection it
        // dropped: nothing was delivered, so one more try is safe.
        closeLocked();
        if (fresh || !connectLocked(daemon) || !sendRequest(g_syncClient.fd, opcode, request, reply.size())) {
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

int32_t kvClientPid() { return static_cast<int32_t>(getpid()); }

int32_t kvClientThreadId() { return static_cast<int32_t>(syscall(SYS_gettid)); }

void kvClientDisconnect() {
    std::lock_guard<std::mutex> guard(g_syncClient.lock);
    closeLocked();
}
