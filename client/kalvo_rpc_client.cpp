#include "client/kalvo_rpc_client.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/tcp.h>
#include <mutex>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint32_t DEFAULT_PROG = 0x3003003C;
constexpr uint32_t CLIENT_LAYER_VERSION = 30000;

struct ThreadClient {
    CLIENT* clnt = nullptr;
    std::string host;
    uint32_t prog = 0;
    pid_t pid = 0;  // a forked child must not talk on its parent's connection
    ~ThreadClient() {
        if (clnt != nullptr) clnt_destroy(clnt);
    }
};

thread_local ThreadClient threadClients[3];  // index: version 1 or 2

}  // namespace

bool kalvoParseProg(const char* text, uint32_t* prog) {
    if (text == nullptr || *text == '\0') return false;
    int base = 10;
    const char* digits = text;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text + 2;
        if (*digits == '\0') return false;
    }
    for (const char* p = digits; *p != '\0'; p++) {
        bool ok = base == 16 ? isxdigit(static_cast<unsigned char>(*p)) != 0
                             : (*p >= '0' && *p <= '9');
        if (!ok) return false;
    }
    errno = 0;
    unsigned long long v = strtoull(digits, nullptr, base);
    if (errno != 0 || v > 0xFFFFFFFFull) return false;
    *prog = static_cast<uint32_t>(v);
    return true;
}

KalvoTarget kalvoTargetFromEnv() {
    KalvoTarget t;
    const char* host = getenv("KALVO_REGISTRY_HOST");
    t.host = host != nullptr && *host != '\0' ? host : "localhost";
    t.prog = DEFAULT_PROG;
    uint32_t prog;
    if (kalvoParseProg(getenv("KALVO_REGISTRY_PROG"), &prog)) t.prog = prog;
    return t;
}

CLIENT* kalvoClientCreate(const KalvoTarget& target, uint32_t version, std::string* error) {
    CLIENT* clnt = clnt_create(target.host.c_str(), target.prog, version, "tcp");
    if (clnt == nullptr && error != nullptr) *error = clnt_spcreateerror(target.host.c_str());
    return clnt;
}

enum clnt_stat kalvoCall(CLIENT* clnt, uint32_t version, uint32_t proc, xdrproc_t encodeReq,
                         void* req, xdrproc_t decodeRes, void* res, int timeoutSeconds) {
    g_packetVersion = version;
    struct timeval tv = {timeoutSeconds, 0};
    enum clnt_stat st = clnt_call(clnt, proc, encodeReq, static_cast<char*>(req), decodeRes,
                                  static_cast<char*>(res), tv);
    g_packetVersion = 2;
    return st;
}

namespace {

// The caller's identity, looked up once per process and user id: the host
// id and the password entry each cost more than a whole call to the daemon.
struct CallerIdentity {
    uid_t uid = static_cast<uid_t>(-1);
    std::string name;
    uint32_t hostId = 0;
};

std::mutex identityMutex;
CallerIdentity identity;
bool hostIdKnown = false;

}  // namespace

void kalvoFillHeader(regd_USER_DATA* header) {
    uid_t uid = getuid();
    std::string name;
    uint32_t hostId;
    {
        std::lock_guard<std::mutex> guard(identityMutex);
        if (!hostIdKnown) {
            identity.hostId = static_cast<uint32_t>(gethostid());
            hostIdKnown = true;
        }
        if (identity.uid != uid || identity.name.empty()) {
            struct passwd pw;
            struct passwd* found = nullptr;
            char buf[4096];
            const char* user = "";
            if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr) {
                user = found->pw_name;
            } else if (getenv("USER") != nullptr) {
                user = getenv("USER");
            }
            identity.uid = uid;
            identity.name = user;
        }
        name = identity.name;
        hostId = identity.hostId;
    }
    header->kalvoVersion = CLIENT_LAYER_VERSION;
    header->userId = static_cast<uint32_t>(uid);
    header->userName = strdup(name.c_str());
    header->hostId = hostId;
}

void kalvoFreeHeader(regd_USER_DATA* header) {
    free(header->userName);
    header->userName = nullptr;
}

namespace {

// The connection of `tc` to the daemon of the environment, made when missing
// or when the environment names another daemon.
CLIENT* clientOf(ThreadClient& tc, uint32_t version, std::string* error) {
    KalvoTarget target = kalvoTargetFromEnv();
    // Closing a copy inherited from the parent leaves the parent's connection alone.
    if (tc.clnt != nullptr && (tc.host != target.host || tc.prog != target.prog || tc.pid != getpid())) {
        clnt_destroy(tc.clnt);
        tc.clnt = nullptr;
    }
    if (tc.clnt == nullptr) {
        tc.clnt = kalvoClientCreate(target, version, error);
        tc.host = target.host;
        tc.prog = target.prog;
        tc.pid = getpid();
    }
    return tc.clnt;
}

void dropClient(ThreadClient& tc) {
    if (tc.clnt != nullptr) clnt_destroy(tc.clnt);
    tc.clnt = nullptr;
}

// The process-wide connection, one call at a time.
std::mutex processClientMutex;
ThreadClient processClient;

}  // namespace

CLIENT* kalvoThreadClient(uint32_t version, std::string* error) {
    if (version < 1 || version > 2) {
        if (error != nullptr) *error = "unsupported protocol version";
        return nullptr;
    }
    return clientOf(threadClients[version], version, error);
}

void kalvoDropThreadClient(uint32_t version) {
    if (version < 1 || version > 2) return;
    dropClient(threadClients[version]);
}

namespace {

// Bytes the connection of `clnt` has received so far, or -1 when unknown.
int64_t bytesReceived(CLIENT* clnt) {
    int fd = -1;
    if (!clnt_control(clnt, CLGET_FD, reinterpret_cast<char*>(&fd)) || fd < 0) return -1;
    tcp_info info{};
    socklen_t len = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 ||
        len < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return -1;
    return static_cast<int64_t>(info.tcpi_bytes_received);
}

}  // namespace

namespace {

enum clnt_stat callOn(ThreadClient& tc, uint32_t version, uint32_t proc, xdrproc_t encodeReq, void* req,
                      xdrproc_t decodeRes, void* res, std::string* error, int timeoutSeconds) {
    enum clnt_stat st = RPC_CANTSEND;
    for (int attempt = 0; attempt < 2; attempt++) {
        CLIENT* clnt = clientOf(tc, version, error);
        if (clnt == nullptr) return RPC_CANTSEND;
        int64_t before = bytesReceived(clnt);
        st = kalvoCall(clnt, version, proc, encodeReq, req, decodeRes, res, timeoutSeconds);
        if (st == RPC_SUCCESS) return st;
        // Sent again only when nothing of a reply came: the daemon cannot
        // have answered this call on that connection.
        bool closedUnanswered = (st == RPC_CANTSEND || st == RPC_CANTRECV) && before >= 0 &&
                                bytesReceived(clnt) == before;
        dropClient(tc);
        if (!closedUnanswered) break;
    }
    return st;
}

}  // namespace

enum clnt_stat kalvoThreadCall(uint32_t version, uint32_t proc, xdrproc_t encodeReq, void* req,
                               xdrproc_t decodeRes, void* res, std::string* error, int timeoutSeconds) {
    if (version < 1 || version > 2) {
        if (error != nullptr) *error = "unsupported protocol version";
        return RPC_CANTSEND;
    }
    return callOn(threadClients[version], version, proc, encodeReq, req, decodeRes, res, error, timeoutSeconds);
}

enum clnt_stat kalvoProcessCall(uint32_t proc, xdrproc_t encodeReq, void* req, xdrproc_t decodeRes, void* res,
                                std::string* error, int timeoutSeconds) {
    std::lock_guard<std::mutex> guard(processClientMutex);
    return callOn(processClient, 2, proc, encodeReq, req, decodeRes, res, error, timeoutSeconds);
}
