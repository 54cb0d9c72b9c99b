#include "transport/raw_rpc.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <rpc/pmap_clnt.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "harness/wire_client.h"

namespace kalvotest {

std::string be32(std::initializer_list<uint32_t> words) {
    std::string out;
    for (uint32_t w : words) {
        uint32_t n = htonl(w);
        out.append(reinterpret_cast<const char*>(&n), 4);
    }
    return out;
}

std::string xdrString(const std::string& s) {
    std::string out = be32({static_cast<uint32_t>(s.size())}) + s;
    out.append((4 - s.size() % 4) % 4, '\0');
    return out;
}

std::string opaqueAuth(uint32_t flavor, const std::string& body) { return be32({flavor}) + xdrString(body); }

std::string userHeader() {
    return be32({30000, static_cast<uint32_t>(getuid())}) + xdrString("transport") +
           be32({static_cast<uint32_t>(gethostid())});
}

std::string callMessage(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc, const std::string& args,
                        const std::string& cred, const std::string& verf) {
    return be32({xid, 0, 2, prog, vers, proc}) + cred + verf + args;
}

std::string record(const std::string& body, const std::vector<size_t>& fragmentSizes) {
    std::string out;
    size_t pos = 0;
    for (size_t i = 0; i < fragmentSizes.size(); i++) {
        size_t n = std::min(fragmentSizes[i], body.size() - pos);
        out += be32({static_cast<uint32_t>(n)}) + body.substr(pos, n);
        pos += n;
    }
    size_t rest = body.size() - pos;
    return out + be32({0x80000000u | static_cast<uint32_t>(rest)}) + body.substr(pos);
}

std::string bigQueryArgs(uint32_t capacity) {
    return userHeader() + be32({HKLM}) + xdrString("NoSuchValue") + be32({capacity, 0, 0});
}

RawRpc::RawRpc(uint32_t prog, uint32_t version) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(pmap_getport(&addr, prog, version, IPPROTO_TCP));
    fd = addr.sin_port != 0 ? socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        fd = -1;
    }
}

RawRpc::~RawRpc() {
    if (fd >= 0) close(fd);
}

bool RawRpc::send(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

namespace {

bool readExactly(int fd, char* buf, size_t n, std::chrono::steady_clock::time_point deadline) {
    size_t got = 0;
    while (got < n) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        ssize_t r = recv(fd, buf + got, n - got, 0);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

bool RawRpc::readReply(std::string* body, int timeoutMs, std::vector<uint32_t>* fragmentSizes) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    body->clear();
    for (;;) {
        uint32_t mark = 0;
        if (!readExactly(fd, reinterpret_cast<char*>(&mark), 4, deadline)) return false;
        mark = ntohl(mark);
        uint32_t n = mark & 0x7FFFFFFFu;
        if (fragmentSizes != nullptr) fragmentSizes->push_back(n);
        size_t at = body->size();
        body->resize(at + n);
        if (n > 0 && !readExactly(fd, body->data() + at, n, deadline)) return false;
        if (mark & 0x80000000u) return true;
    }
}

bool RawRpc::roundTrip(const std::string& callRecord, std::string* reply, int timeoutMs) {
    return send(callRecord) && readReply(reply, timeoutMs);
}

uint32_t wordAt(const std::string& replyBody, size_t at) {
    if (at + 4 > replyBody.size()) return 0xFFFFFFFFu;
    uint32_t w;
    memcpy(&w, replyBody.data() + at, 4);
    return ntohl(w);
}

int acceptStatus(const std::string& replyBody) {
    if (replyBody.size() < 24 || wordAt(replyBody, 4) != 1 || wordAt(replyBody, 8) != 0) return -1;
    if (wordAt(replyBody, 16) != 0) return -1;  // verifier with a body
    return static_cast<int>(wordAt(replyBody, 20));
}

std::vector<std::unique_ptr<RawRpc>> servedConnections(uint32_t prog, int n) {
    std::vector<std::unique_ptr<RawRpc>> conns;
    for (int i = 0; i < n; i++) {
        auto c = std::make_unique<RawRpc>(prog);
        std::string reply;
        if (c->fd < 0 || !c->roundTrip(record(callMessage(1, prog, 2, 0, "")), &reply)) break;
        conns.push_back(std::move(c));
    }
    return conns;
}

ScopedEnv::ScopedEnv(const char* n, const char* value) : name(n) { setenv(n, value, 1); }
ScopedEnv::~ScopedEnv() { unsetenv(name.c_str()); }

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

long procStatusKb(pid_t pid, const char* field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key = std::string(field) + ":";
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, key.size(), key) == 0) return atol(line.c_str() + key.size());
    return -1;
}

void raiseFileLimit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0) {
        r.rlim_cur = r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
    }
}

}  // namespace kalvotest
