#include "harness/wire_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "client/kalvo_rpc_client.h"

namespace kalvotest {

// ---------------- Registry program ----------------

namespace {
std::string opaque(const regd_OPAQUE& o) { return o.val != nullptr ? std::string(o.val, o.len) : std::string(); }
std::string text(const char* s) { return s != nullptr ? s : "<null>"; }
char* str(const std::string& s) { return const_cast<char*>(s.c_str()); }
template <typename Res>
void release(bool_t (*fn)(XDR*, Res*), Res& res) {
    xdr_free(reinterpret_cast<xdrproc_t>(fn), reinterpret_cast<char*>(&res));
}
std::string quoted(const std::string& s) {
    std::string out = "'";
    for (unsigned char c : s) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\x%02X", c);
        out += c == 0              ? std::string("\\0")
               : c < 32 || c > 126 ? std::string(hex)
                                   : std::string(1, static_cast<char>(c));
    }
    return out + "'";
}
std::string n(uint32_t v) { return std::to_string(v); }
std::string time(uint32_t low, uint32_t high) { return low == 0 && high == 0 ? "" : " ft" + n(low) + "," + n(high); }
}  // namespace

std::string show(const QueryResult& r) {
    return n(r.retval) + " t" + n(r.type) + " " + quoted(r.data) + "/" + n(r.cbData);
}
std::string show(const EnumKeyResult& r) {
    return n(r.retval) + " " + quoted(r.name) + "/" + n(r.cbName) + " " + quoted(r.cls) + "/" + n(r.cbClass) +
           time(r.ftLow, r.ftHigh);
}
std::string show(const EnumValueResult& r) {
    return n(r.retval) + " " + quoted(r.name) + "/" + n(r.cbName) + " t" + n(r.type) + " " + quoted(r.data) + "/" +
           n(r.cbData);
}
std::string show(const InfoResult& r) {
    std::string unused =
        r.reserved != 0 || r.cbSecurityDescriptor != 0 ? " r" + n(r.reserved) + " sd" + n(r.cbSecurityDescriptor) : "";
    return n(r.retval) + " " + quoted(r.cls) + "/" + n(r.cbClass) + " null" + n(r.isClassNull) + " k" + n(r.cSubKeys) +
           "/" + n(r.cbMaxSubKeyLen) + " c" + n(r.cbMaxClassLen) + " v" + n(r.cValues) + "/" + n(r.cbMaxValueNameLen) +
           "/" + n(r.cbMaxValueLen) + unused + time(r.ftLow, r.ftHigh);
}

Caller localCaller(const std::string& user) { return Caller{user, 1000, static_cast<uint32_t>(gethostid())}; }
Caller remoteCaller(const std::string& user) { return Caller{user, 1000, static_cast<uint32_t>(gethostid()) + 1}; }

RegistryRpc::RegistryRpc(uint32_t prog, uint32_t version, Caller c) : caller(std::move(c)), version_(version) {
    std::string error;
    clnt_ = kalvoClientCreate(KalvoTarget{"localhost", prog}, version, &error);
    EXPECT_NE(clnt_, nullptr) << error;
}

RegistryRpc::RegistryRpc(const std::string& host, const char* netid, uint32_t prog, uint32_t version, Caller c)
    : caller(std::move(c)), version_(version) {
    if (netconfig* nc = getnetconfigent(netid)) {
        clnt_ = clnt_tp_create(host.c_str(), prog, version, nc);
        freenetconfigent(nc);
    }
    EXPECT_NE(clnt_, nullptr) << clnt_spcreateerror(host.c_str());
}

RegistryRpc::~RegistryRpc() {
    if (clnt_ != nullptr) clnt_destroy(clnt_);
}

bool RegistryRpc::transport(uint32_t proc, xdrproc_t xdrReq, void* req, xdrproc_t xdrRes, void* res,
                            const int32_t* tag) {
    if (clnt_ == nullptr) return false;
    enum clnt_stat st = kalvoCall(clnt_, version_, proc, xdrReq, req, xdrRes, res);
    EXPECT_EQ(st, RPC_SUCCESS) << "procedure " << proc << ": " << clnt_sperrno(st);
    EXPECT_EQ(*tag, 1) << "procedure " << proc;
    return st == RPC_SUCCESS && *tag == 1;
}

OpenResult RegistryRpc::openKey(uint32_t h, const std::string& sub) {
    regd_REG_OPEN_KEY req{{}, h, str(sub)};
    regd_REG_OPEN_KEY_RES res;
    if (!call(REG_OPEN_KEY, xdr_regd_REG_OPEN_KEY, req, xdr_regd_REG_OPEN_KEY_RES, res)) return {CALL_FAILED, 0};
    return {res.ret.retval, res.ret.hkResult};
}

OpenResult RegistryRpc::openKeyEx(uint32_t h, const std::string& sub, bool subNull) {
    regd_REG_OPEN_KEY_EX req{{}, h, str(sub), 0, subNull};
    regd_REG_OPEN_KEY_RES res;
    if (!call(REG_OPEN_KEY_EX, xdr_regd_REG_OPEN_KEY_EX, req, xdr_regd_REG_OPEN_KEY_RES, res)) return {CALL_FAILED, 0};
    return {res.ret.retval, res.ret.hkResult};
}

CreateResult RegistryRpc::createKey(uint32_t h, const std::string& sub, bool subNull) {
    regd_REG_CREATE_KEY req{{}, h, str(sub), subNull};
    regd_REG_CREATE_KEY_RES res;
    if (!call(REG_CREATE_KEY, xdr_regd_REG_CREATE_KEY, req, xdr_regd_REG_CREATE_KEY_RES, res))
        return {CALL_FAILED, 0, 0};
    return {res.ret.retval, res.ret.hkResult, res.ret.dwDisposition};
}

CreateResult RegistryRpc::createKeyEx(uint32_t h, const std::string& sub, const std::string& cls, uint32_t options,
                                      bool subNull, bool classNull) {
    regd_REG_CREATE_KEY_EX req{{}, h, str(sub), str(cls), options, subNull, classNull};
    regd_REG_CREATE_KEY_RES res;
    if (!call(REG_CREATE_KEY_EX, xdr_regd_REG_CREATE_KEY_EX, req, xdr_regd_REG_CREATE_KEY_RES, res))
        return {CALL_FAILED, 0, 0};
    return {res.ret.retval, res.ret.hkResult, res.ret.dwDisposition};
}

uint32_t RegistryRpc::closeKey(uint32_t h) {
    return basic(REG_CLOSE_KEY, xdr_regd_REG_CLOSE_KEY, regd_REG_CLOSE_KEY{{}, h});
}

uint32_t RegistryRpc::deleteKey(uint32_t h, const std::string& sub) {
    return basic(REG_DELETE_KEY, xdr_regd_REG_DELETE_KEY, regd_REG_DELETE_KEY{{}, h, str(sub)});
}

uint32_t RegistryRpc::flushKey(uint32_t h) {
    return basic(REG_FLUSH_KEY, xdr_regd_REG_FLUSH_KEY, regd_REG_FLUSH_KEY{{}, h});
}

uint32_t RegistryRpc::deleteValue(uint32_t h, const std::string& name, bool nameNull) {
    return basic(REG_DELETE_VALUE, xdr_regd_REG_DELETE_VALUE, regd_REG_DELETE_VALUE{{}, h, str(name), nameNull});
}

uint32_t RegistryRpc::setValue(uint32_t h, const std::string& sub, uint32_t type, const std::string& data,
                               uint32_t cbData, bool subNull) {
    return basic(REG_SET_VALUE, xdr_regd_REG_SET_VALUE,
                 regd_REG_SET_VALUE{{}, h, str(sub), type, str(data), cbData, subNull});
}

uint32_t RegistryRpc::setValueEx(uint32_t h, const std::string& name, uint32_t type, const std::string& bytes,
                                 uint32_t cbData, bool nameNull) {
    regd_OPAQUE data{static_cast<u_int>(bytes.size()), str(bytes)};
    return basic(REG_SET_VALUE_EX, xdr_regd_REG_SET_VALUE_EX,
                 regd_REG_SET_VALUE_EX{{}, h, str(name), type, data, cbData, nameNull});
}

uint32_t RegistryRpc::ping(uint32_t pid, uint32_t mode) {
    return basic(REG_PING_DAEMON, xdr_regd_REG_PING_DAEMON, regd_REG_PING_DAEMON{{}, pid, mode});
}

// Query-value and query-value-ex share their reply.
template <typename Req>
QueryResult RegistryRpc::query(uint32_t proc, bool_t (*xdrReq)(XDR*, Req*), Req req) {
    regd_REG_QUERY_VALUE_RES res;
    if (!call(proc, xdrReq, req, xdr_regd_REG_QUERY_VALUE_RES, res)) return {CALL_FAILED, 0, "", 0};
    QueryResult r{res.ret.retval, res.ret.lpType, opaque(res.ret.lpData), res.ret.lpcbData};
    release(xdr_regd_REG_QUERY_VALUE_RES, res);
    return r;
}

QueryResult RegistryRpc::queryValue(uint32_t h, const std::string& sub, uint32_t cap, bool subNull, bool valueNull) {
    return query(REG_QUERY_VALUE, xdr_regd_REG_QUERY_VALUE,
                 regd_REG_QUERY_VALUE{{}, h, str(sub), cap, subNull, valueNull});
}

QueryResult RegistryRpc::queryValueEx(uint32_t h, const std::string& name, uint32_t cap, bool nameNull, bool dataNull) {
    return query(REG_QUERY_VALUE_EX, xdr_regd_REG_QUERY_VALUE_EX,
                 regd_REG_QUERY_VALUE_EX{{}, h, str(name), cap, nameNull, dataNull});
}

// Enum-key and enum-key-ex share their reply.
template <typename Req>
EnumKeyResult RegistryRpc::enumerate(uint32_t proc, bool_t (*xdrReq)(XDR*, Req*), Req req) {
    regd_REG_ENUM_KEY_RES res;
    if (!call(proc, xdrReq, req, xdr_regd_REG_ENUM_KEY_RES, res)) return {CALL_FAILED, "", 0, "", 0, 0, 0};
    const regd_REG_ENUM_KEY_RETURN& x = res.ret;
    EnumKeyResult r{x.retval, text(x.lpName), x.lpcbName, text(x.lpClass), x.lpcbClass,
                    x.ftLastWriteTime.dwLowDateTime, x.ftLastWriteTime.dwHighDateTime};
    release(xdr_regd_REG_ENUM_KEY_RES, res);
    return r;
}

EnumKeyResult RegistryRpc::enumKey(uint32_t h, uint32_t index, uint32_t dwMax) {
    return enumerate(REG_ENUM_KEY, xdr_regd_REG_ENUM_KEY, regd_REG_ENUM_KEY{{}, h, index, dwMax});
}

EnumKeyResult RegistryRpc::enumKeyEx(uint32_t h, uint32_t index, uint32_t cbName, uint32_t cbClass) {
    return enumerate(REG_ENUM_KEY_EX, xdr_regd_REG_ENUM_KEY_EX, regd_REG_ENUM_KEY_EX{{}, h, index, cbName, cbClass});
}

EnumValueResult RegistryRpc::enumValue(uint32_t h, uint32_t index, uint32_t cbValue, uint32_t cbData) {
    regd_REG_ENUM_VALUE req{{}, h, index, cbValue, cbData};
    regd_REG_ENUM_VALUE_RES res;
    if (!call(REG_ENUM_VALUE, xdr_regd_REG_ENUM_VALUE, req, xdr_regd_REG_ENUM_VALUE_RES, res))
        return {CALL_FAILED, "", 0, 0, "", 0};
    const regd_REG_ENUM_VALUE_RETURN& x = res.ret;
    EnumValueResult r{x.retval, text(x.lpszValue), x.lpcbValue, x.lpdwType, opaque(x.lpData), x.lpcbData};
    release(xdr_regd_REG_ENUM_VALUE_RES, res);
    return r;
}

InfoResult RegistryRpc::queryInfoKey(uint32_t h) {
    regd_REG_QUERY_INFO_KEY req{{}, h, 64};
    regd_REG_QUERY_INFO_KEY_RES res;
    if (!call(REG_QUERY_INFO_KEY, xdr_regd_REG_QUERY_INFO_KEY, req, xdr_regd_REG_QUERY_INFO_KEY_RES, res))
        return InfoResult{CALL_FAILED, "", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const regd_REG_QUERY_INFO_KEY_RETURN& x = res.ret;
    InfoResult r{x.retval, text(x.lpClass), x.lpcbClass, x.lpReserved, x.cSubKeys, x.cbMaxSubKeyLen,
                 x.cbMaxClassLen, x.cValues, x.cbMaxValueNameLen, x.cbMaxValueLen, x.cbSecurityDescriptor,
                 x.ftLastWriteTime.dwLowDateTime, x.ftLastWriteTime.dwHighDateTime, x.isClassNull};
    release(xdr_regd_REG_QUERY_INFO_KEY_RES, res);
    return r;
}

std::string RegistryRpc::queryVersion() {
    regd_REG_QUERY_VERSION req{};
    regd_REG_QUERY_VERSION_RES res;
    if (!call(REG_QUERY_VERSION, xdr_regd_REG_QUERY_VERSION, req, xdr_regd_REG_QUERY_VERSION_RES, res)) return "";
    return n(res.ret.retval) + " " + n(res.ret.major) + "." + n(res.ret.minor) + "." + n(res.ret.minorminor);
}

uint32_t RegistryRpc::mustCreate(uint32_t h, const std::string& sub) {
    CreateResult r = createKey(h, sub);
    EXPECT_EQ(r.retval, 0u) << "creating " << sub;
    return r.hk;
}

int rawRegistryConnection(uint32_t prog, uint32_t version) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint16_t port = pmap_getport(&addr, prog, version, IPPROTO_TCP);
    int s = port != 0 ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    addr.sin_port = htons(port);
    if (s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        s = -1;
    }
    return s;
}

std::vector<std::string> logMessages(const PrivateDaemon& daemon) {
    std::istringstream in(readFile(daemon.regDir() + "/kalvo_reg.log"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        size_t start = line.find("] ");
        std::string msg = start == std::string::npos ? line : line.substr(start + 2);
        lines.push_back(msg.substr(0, msg.find_last_not_of(' ') + 1));
    }
    return lines;
}

// ---------------- Sync protocol ----------------

std::string words(std::initializer_list<int32_t> values) {
    std::string s(values.size() * 4, '\0');
    size_t i = 0;
    for (int32_t v : values) kvWirePutWord(s, i++, v);
    return s;
}

std::string withName(std::initializer_list<int32_t> values, const std::string& name) {
    return words(values) + name + '\0';
}

std::string header(uint32_t opcode, int32_t requestLength, int32_t replyLength) {
    KvIPCHeader h{opcode, requestLength, replyLength};
    return std::string(reinterpret_cast<const char*>(&h), sizeof h);
}

namespace {
// A blocking socket whose receives give up after ten seconds.
int unixConnect(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void receiveTimeout(int fd) {
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool silent(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

}  // namespace

std::string socketPath(pid_t pid) {
    char name[64];
    snprintf(name, sizeof name, KV_SOCKET_NAME_FORMAT, static_cast<int>(pid));
    return std::string(KV_SOCKET_DIR) + "/" + name;
}

bool closedByPeer(int fd, std::string* received, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r == 0 || (r < 0 && errno == ECONNRESET)) return true;
        if (r > 0 && received != nullptr) received->append(buf, static_cast<size_t>(r));
    }
    return false;
}

WireClient::WireClient(pid_t daemonPid) : fd_(unixConnect(socketPath(daemonPid))) { receiveTimeout(fd_); }

WireClient::~WireClient() {
    if (fd_ >= 0) close(fd_);
}

bool WireClient::sendRaw(const std::string& bytes) { return kvWireSendAll(fd_, bytes.data(), bytes.size()); }

bool WireClient::send(uint32_t opcode, const std::string& body, int32_t replyLength) {
    return sendRaw(header(opcode, static_cast<int32_t>(body.size()), replyLength) + body);
}

bool WireClient::recv(size_t n, std::string* out) {
    out->assign(n, '\0');
    return kvWireRecvAll(fd_, out->data(), n);
}

std::vector<int32_t> WireClient::call(uint32_t opcode, const std::string& body, int replyWords) {
    std::string reply;
    if (!send(opcode, body, replyWords * 4) || !recv(static_cast<size_t>(replyWords) * 4, &reply)) return {};
    std::vector<int32_t> result;
    for (int i = 0; i < replyWords; i++) result.push_back(kvWireGetWord(reply, static_cast<size_t>(i)));
    return result;
}

bool WireClient::pipelined(const std::vector<std::string>& requests, size_t replyBytes, std::string* replies) {
    for (size_t at = 0; at < requests.size(); at += 256) {
        std::string burst, batch;
        size_t n = std::min<size_t>(256, requests.size() - at);
        for (size_t i = 0; i < n; i++) burst += requests[at + i];
        if (!sendRaw(burst) || !recv(n * replyBytes, &batch)) return false;
        if (replies != nullptr) *replies += batch;
    }
    return true;
}

bool WireClient::silentFor(int ms) { return silent(fd_, ms); }

void WireClient::shutdownWrite() { shutdown(fd_, SHUT_WR); }

HandleReply WireClient::handleReply(uint32_t opcode, const std::string& body) {
    std::vector<int32_t> w = call(opcode, body, 3);
    if (w.size() != 3) return {};
    return {static_cast<uint32_t>(w[0]), w[1], w[2]};
}

HandleReply WireClient::createEvent(int32_t pid, bool manual, bool initial, const std::string& name) {
    return handleReply(KV_OP_CREATE_EVENT, withName({pid, manual, initial}, name));
}

HandleReply WireClient::createMutex(int32_t pid, int32_t thread, bool owned, const std::string& name) {
    return handleReply(KV_OP_CREATE_MUTEX, withName({pid, thread, owned}, name));
}

HandleReply WireClient::createSemaphore(int32_t pid, int32_t count, int32_t maximum, const std::string& name) {
    return handleReply(KV_OP_CREATE_SEMAPHORE, withName({pid, count, maximum}, name));
}

HandleReply WireClient::open(uint32_t opcode, int32_t pid, const std::string& name) {
    return handleReply(opcode,
                       opcode == KV_OP_OPEN_MUTEX ? withName({pid, 0, 0, 0}, name) : withName({pid, 0, 0}, name));
}

HandleReply WireClient::duplicateEvent(int32_t pid, uint32_t handle) {
    return handleReply(KV_OP_DUPLICATE_EVENT, words({pid, static_cast<int32_t>(handle)}));
}

std::vector<int32_t> WireClient::closeHandle(int32_t pid, uint32_t handle) {
    return call(KV_OP_CLOSE_HANDLE, words({pid, static_cast<int32_t>(handle)}), 3);
}

std::vector<int32_t> WireClient::createAlias(int32_t pid, int32_t thread, int32_t flags, uint32_t clientHandle,
                                             int32_t state, int32_t maximum, int32_t extraUses) {
    return call(KV_OP_CREATE_ALIAS,
                words({pid, thread, flags, static_cast<int32_t>(clientHandle), state, maximum, extraUses}), 2);
}

std::vector<int32_t> WireClient::beginWait(int32_t pid, uint32_t entry, int32_t thread, int32_t needed,
                                           std::initializer_list<uint32_t> handles) {
    std::string body = words({pid, static_cast<int32_t>(entry), thread, needed, static_cast<int32_t>(handles.size())});
    for (uint32_t h : handles) body += words({static_cast<int32_t>(h)});
    return call(KV_OP_BEGIN_WAIT, body, 4);
}

std::vector<int32_t> WireClient::waitTimeout(int32_t pid, uint32_t entry) {
    return call(KV_OP_WAIT_TIMEOUT, words({pid, 0, static_cast<int32_t>(entry)}), 2);
}

std::vector<int32_t> WireClient::objectStateChange(int32_t pid, uint32_t entry, int32_t position, int32_t value) {
    return call(KV_OP_WAIT_OBJECT_STATE, words({pid, 0, static_cast<int32_t>(entry), position, value}), 2);
}

std::vector<int32_t> WireClient::eventCall(uint32_t opcode, int32_t pid, uint32_t handle) {
    return call(opcode, words({pid, static_cast<int32_t>(handle)}), opcode == KV_OP_RESET_EVENT ? 3 : 6);
}

std::vector<int32_t> WireClient::releaseMutex(int32_t pid, int32_t thread, uint32_t handle) {
    return call(KV_OP_RELEASE_MUTEX, words({pid, thread, static_cast<int32_t>(handle)}), 6);
}

std::vector<int32_t> WireClient::releaseSemaphore(int32_t pid, uint32_t handle, int32_t count) {
    return call(KV_OP_RELEASE_SEMAPHORE, words({pid, static_cast<int32_t>(handle), count}), 7);
}

ProcessSocket::ProcessSocket(int32_t pid) : path_(socketPath(pid)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    unlink(path_.c_str());
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ >= 0 &&
        (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 4) != 0)) {
        close(listenFd_);
        listenFd_ = -1;
    }
}

ProcessSocket::~ProcessSocket() {
    if (fd_ >= 0) close(fd_);
    if (listenFd_ >= 0) close(listenFd_);
    unlink(path_.c_str());
}

bool ProcessSocket::acceptDaemon(int timeoutMs) {
    if (fd_ >= 0) return true;
    if (listenFd_ < 0 || silent(listenFd_, timeoutMs)) return false;
    fd_ = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    receiveTimeout(fd_);
    return fd_ >= 0;
}

std::vector<int32_t> ProcessSocket::nextWake() {
    std::string m(24, '\0');
    if (!acceptDaemon(5000) || !kvWireRecvAll(fd_, m.data(), m.size())) return {};
    // Opcode 0, a 12-byte body, no reply wanted.
    if (kvWireGetWord(m, 0) != static_cast<int32_t>(KV_MSG_WAKE_WAIT_ENTRY) || kvWireGetWord(m, 1) != 12 ||
        kvWireGetWord(m, 2) != 0)
        return {};
    return {kvWireGetWord(m, 3), kvWireGetWord(m, 4), kvWireGetWord(m, 5)};
}

bool ProcessSocket::closedByDaemon(std::string* received) {
    return acceptDaemon(10000) && closedByPeer(fd_, received);
}

bool ProcessSocket::silentFor(int ms) { return !acceptDaemon(ms) || silent(fd_, ms); }

std::unique_ptr<PrivateDaemon> SharedDaemonTest::shared_;

void SharedDaemonTest::startShared(std::vector<std::string> args) {
    shared_ = std::make_unique<PrivateDaemon>(std::move(args));
    std::string error;
    ASSERT_TRUE(shared_->start(&error)) << error;
}

void SharedDaemonTest::SetUp() {
    ASSERT_TRUE(shared_ != nullptr && shared_->running());
    shared_->exportEnv();
}

void SyncDaemonTest::SetUp() {
    char path[] = "/tmp/kalvo_sync_stderr_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    stderrPath_ = path;
    // The daemon inherits standard error from this process at its start.
    fflush(stderr);
    int saved = dup(2);
    dup2(fd, 2);
    close(fd);
    daemon_ = std::make_unique<PrivateDaemon>();
    std::string error;
    bool started = daemon_->start(&error);
    dup2(saved, 2);
    close(saved);
    ASSERT_TRUE(started) << error;
    // The client library finds the daemon through the registry's ping.
    daemon_->exportEnv();
    unsetenv("KALVO_REGISTRY_PID");
}

void SyncDaemonTest::TearDown() {
    if (daemon_) {
        EXPECT_TRUE(daemon_->running()) << "the daemon ended during the test";
        daemon_->stop();
    }
    std::string text = readFile(stderrPath_);
    EXPECT_EQ(text.find("Sanitizer"), std::string::npos) << text;
    EXPECT_EQ(text.find("runtime error"), std::string::npos) << text;
    unlink(stderrPath_.c_str());
}

std::string SyncDaemonTest::dump() {
    const std::string first = "---------- Cross-process sync objects";
    const std::string last = "----------- Processes connected to cross-process sync server";
    size_t before = readFile(stderrPath_).size();
    WireClient c(daemonPid());
    // The dump has no reply; the reply to the request after it says it is written.
    if (!c.send(KV_OP_SYNC_DEBUG, "", 0) || c.closeHandle(0, 0).size() != 3) return "<no dump>";
    std::string text = readFile(stderrPath_).substr(before);
    size_t start = text.find(first);
    size_t tail = text.find(last, start);
    size_t headingEnd = tail == std::string::npos ? tail : text.find('\n', tail);
    size_t end = headingEnd == std::string::npos ? headingEnd : text.find('\n', headingEnd + 1);
    if (start == std::string::npos || end == std::string::npos) return "<no dump>";
    return text.substr(start, end + 1 - start);
}

std::string SyncDaemonTest::dumpWhen(const std::function<bool(const std::string&)>& settled) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string text = dump();
    while (!settled(text) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        text = dump();
    }
    return text;
}

size_t queuedWaits(const std::string& dump) {
    size_t n = 0;
    for (size_t at = 0; (at = dump.find("wait entry", at)) != std::string::npos; at++) n++;
    return n;
}

std::string SyncDaemonTest::dumpWithWaits(size_t n) {
    return dumpWhen([n](const std::string& d) { return queuedWaits(d) == n; });
}

bool SyncDaemonTest::waitUntilGone(int32_t pid) {
    // The last line of the dump lists the connected processes.
    auto gone = [pid](const std::string& d) {
        std::istringstream pids(d.substr(d.rfind('\n', d.size() - 2) + 1));
        for (int32_t p; pids >> p;)
            if (p == pid) return false;
        return d != "<no dump>";
    };
    return gone(dumpWhen(gone));
}

Child::Child(const std::function<int(Child&)>& body) {
    int down[2], up[2];
    if (pipe2(down, O_CLOEXEC) != 0) return;
    if (pipe2(up, O_CLOEXEC) != 0) {
        close(down[0]);
        close(down[1]);
        return;
    }
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        close(down[1]);
        close(up[0]);
        in_ = down[0];
        out_ = up[1];
        exit(body(*this));
    }
    close(down[0]);
    close(up[1]);
    in_ = up[0];
    out_ = down[1];
}

Child::~Child() {
    if (pid_ > 0 && status_ < 0 && !reapedElsewhere_) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
}

bool Child::say(char c) { return write(out_, &c, 1) == 1; }

bool Child::hear(char* c, int timeoutMs) { return !silent(in_, timeoutMs) && read(in_, c, 1) == 1; }

int Child::wait(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (status_ < 0) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (r < 0) {  // reaped elsewhere: ended, with a status unknown here
            reapedElsewhere_ = true;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

void Child::kill(int sig) { ::kill(pid_, sig); }

}  // namespace kalvotest
