#include "sync/sync_socket.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "sync/kvipc_wire.h"

namespace {

static_assert(sizeof(sockaddr_un::sun_path) == sizeof(KvSRVEndpoint::path));

// Copies a path into a zero-filled 108-byte field, cut at 108 bytes.
void copyPath(char (&field)[108], const char* path) {
    memcpy(field, path, strnlen(path, sizeof field));
}

// The Unix-domain address of path.
sockaddr_un socketAddress(const char* path) {
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    copyPath(addr.sun_path, path);
    return addr;
}

int setCloseOnExec(int fd) { return fcntl(fd, F_SETFD, FD_CLOEXEC); }

// Errors after which the transfer is simply tried again.
bool isTransient(int err) {
    switch (err) {
    case EINTR: case EAGAIN: case EFBIG: case ENOSPC: case ENOSR: case ENOLINK: case EDQUOT:
        return true;
    default:
        return false;
    }
}

// The exact-length loop shared by read and write.
template <typename Transfer>
int transferExactly(KvSRVConnection* connection, int n, const char* failure, Transfer transfer) {
    if (connection == nullptr) return -1;
    if (n <= 0) return 0;
    int moved = 0;
    while (moved < n) {
        ssize_t r = transfer(connection->fd, moved, static_cast<size_t>(n - moved));
        if (r == 0) return 0;
        if (r < 0) {
            if (isTransient(errno)) continue;
            perror(failure);
            return static_cast<int>(r);
        }
        moved += static_cast<int>(r);
    }
    return moved;
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

KvSRVEndpoint* kvSRVInit(const char* path, KvSRVConnectionCallback callback, void* context) {
    if (path == nullptr || *path == '\0') return nullptr;
    auto* endpoint = static_cast<KvSRVEndpoint*>(calloc(1, sizeof(KvSRVEndpoint)));
    if (endpoint == nullptr) return nullptr;
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = socketAddress(path);
    if (fd < 0 || setCloseOnExec(fd) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (fd >= 0) close(fd);
        free(endpoint);
        return nullptr;
    }
    listen(fd, 5);
    endpoint->fd = fd;
    copyPath(endpoint->path, path);
    endpoint->callback = callback;
    endpoint->context = context;
    return endpoint;
}

void kvSRVConnectLoop(KvSRVEndpoint* endpoint, int closeListener) {
    for (;;) {
        int fd = accept(endpoint->fd, nullptr, nullptr);
        if (fd < 0) continue;
        if (closeListener != 0) close(endpoint->fd);
        if (setCloseOnExec(fd) != 0) {
            close(fd);
            continue;
        }
        auto* connection = static_cast<KvSRVConnection*>(malloc(sizeof(KvSRVConnection)));
        if (connection == nullptr) {
            close(fd);
            continue;
        }
        connection->fd = fd;
        endpoint->callback(connection, endpoint->context);
    }
}

KvSRVConnection* kvSRVConnect(const char* path) {
    if (path == nullptr || *path == '\0') return nullptr;
    auto* connection = static_cast<KvSRVConnection*>(malloc(sizeof(KvSRVConnection)));
    if (connection == nullptr) return nullptr;
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = socketAddress(path);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        setCloseOnExec(fd) != 0) {
        if (fd >= 0) close(fd);
        free(connection);
        return nullptr;
    }
    connection->fd = fd;
    return connection;
}

int kvSRVDisconnect(KvSRVConnection* connection) {
    if (connection == nullptr) return -1;
    int r = close(connection->fd);
    free(connection);
    return r;
}

int kvSRVRead(KvSRVConnection* connection, void* buffer, int n) {
    auto* bytes = static_cast<char*>(buffer);
    return transferExactly(connection, n, "kvSRVRead -- connection lost",
                           [bytes](int fd, int at, size_t count) { return read(fd, bytes + at, count); });
}

int kvSRVWrite(KvSRVConnection* connection, const void* buffer, int n) {
    const auto* bytes = static_cast<const char*>(buffer);
    return transferExactly(connection, n, "kvSRVWrite -- connection lost",
                           [bytes](int fd, int at, size_t count) { return write(fd, bytes + at, count); });
}

void kvSRVRemoveEndpoint(const char* path) {
    if (path == nullptr || *path == '\0') return;
    unlink(path);
}
