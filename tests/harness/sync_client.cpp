#include "harness/sync_client.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kalvotest {

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
sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    return addr;
}

// A blocking socket whose receives give up after ten seconds.
int unixConnect(const std::string& path) {
    sockaddr_un addr = unixAddress(path);
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

long procStatus(pid_t pid, const std::string& field) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
    return -1;
}

std::string socketPath(pid_t pid) {
    char name[64];
    snprintf(name, sizeof name, KV_SOCKET_NAME_FORMAT, static_cast<int>(pid));
    return std::string(KV_SOCKET_DIR) + "/" + name;
}

int modeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
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

WireClient::~WireClient() { if (fd_ >= 0) close(fd_); }

bool WireClient::sendRaw(const std::string& bytes) { return kvWireSendAll(fd_, bytes.data(), bytes.size()); }

bool WireClient::recv(size_t n, std::string* out) {
    out->assign(n, '\0');
    return kvWireRecvAll(fd_, out->data(), n);
}

Words WireClient::call(uint32_t opcode, const std::string& body, int replyWords) {
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
    Words w = call(opcode, body, 3);
    return w.size() == 3 ? HandleReply{static_cast<uint32_t>(w[0]), w[1], w[2]} : HandleReply{};
}

Words WireClient::beginWait(int32_t pid, uint32_t entry, int32_t thread, int32_t needed,
                            std::initializer_list<uint32_t> handles) {
    std::string body = words({pid, static_cast<int32_t>(entry), thread, needed, static_cast<int32_t>(handles.size())});
    for (uint32_t h : handles) body += words({static_cast<int32_t>(h)});
    return call(KV_OP_BEGIN_WAIT, body, 4);
}

ProcessSocket::ProcessSocket(int32_t pid) : path_(socketPath(pid)) {
    sockaddr_un addr = unixAddress(path_);
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

Words ProcessSocket::nextWake() {
    std::string m(24, '\0');
    if (!acceptDaemon(5000) || !kvWireRecvAll(fd_, m.data(), m.size())) return {};
    // Opcode 0, a 12-byte body, no reply wanted.
    if (kvWireGetWord(m, 0) != static_cast<int32_t>(KV_MSG_WAKE_WAIT_ENTRY) || kvWireGetWord(m, 1) != 12 ||
        kvWireGetWord(m, 2) != 0)
        return {};
    return {kvWireGetWord(m, 3), kvWireGetWord(m, 4), kvWireGetWord(m, 5)};
}

bool ProcessSocket::closedByDaemon(std::string* received) { return acceptDaemon(10000) && closedByPeer(fd_, received); }

bool ProcessSocket::silentFor(int ms) { return !acceptDaemon(ms) || silent(fd_, ms); }

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
    size_t before = readFile(stderrPath_).size();
    WireClient c(daemonPid());
    // The dump has no reply; the reply to the request after it says it is written.
    if (!c.send(KV_OP_SYNC_DEBUG, "", 0) || c.closeHandle(0, 0).size() != 3) return "<no dump>";
    std::string text = readFile(stderrPath_).substr(before);
    size_t start = text.find(kDumpObjects), tail = text.find(kDumpProcesses, start);
    size_t end = tail == std::string::npos ? tail : text.find('\n', tail + kDumpProcesses.size());
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
