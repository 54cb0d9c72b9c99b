#include "sync/sync_socket.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
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
