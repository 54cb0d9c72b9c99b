#include "sync/sync_wire_client.h"

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace synctest {

std::string words(std::initializer_list<int32_t> values) {
    std::string s;
    for (int32_t v : values) s.append(reinterpret_cast<const char*>(&v), sizeof v);
    return s;
}

std::string withName(std::initializer_list<int32_t> values, const std::string& name) {
    std::string s = words(values);
    s.append(name);
    s.push_back('\0');
    return s;
}

WireClient::WireClient(pid_t daemonPid) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "/tmp/kalvo_sock_%d", static_cast<int>(daemonPid));
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

WireClient::~WireClient() {
    if (fd_ >= 0) close(fd_);
}

bool WireClient::sendRaw(const std::string& bytes) { return kvWireSendAll(fd_, bytes.data(), bytes.size()); }

bool WireClient::send(uint32_t opcode, const std::string& body, int32_t replyLength) {
    KvIPCHeader h{opcode, static_cast<int32_t>(body.size()), replyLength};
    return sendRaw(std::string(reinterpret_cast<const char*>(&h), sizeof h) + body);
}

bool recvExactly(int fd, size_t n, std::string* out, int timeoutMs) {
    out->clear();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (out->size() < n) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) return false;
        ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out->size()), 0);
        if (r <= 0) return false;
        out->append(buf, static_cast<size_t>(r));
    }
    return true;
}

bool WireClient::recv(size_t n, std::string* out, int timeoutMs) { return recvExactly(fd_, n, out, timeoutMs); }

std::vector<int32_t> WireClient::call(uint32_t opcode, const std::string& body, int replyWords) {
    std::string reply;
    if (!send(opcode, body, replyWords * 4) || !recv(static_cast<size_t>(replyWords) * 4, &reply)) return {};
    std::vector<int32_t> result(static_cast<size_t>(replyWords));
    memcpy(result.data(), reply.data(), reply.size());
    return result;
}

bool WireClient::closedByPeer(std::string* received, int timeoutMs) {
    return synctest::closedByPeer(fd_, received, timeoutMs);
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

bool WireClient::silentFor(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

void WireClient::shutdownWrite() { shutdown(fd_, SHUT_WR); }

void WireClient::registerPid(int32_t pid) { send(KV_OP_REGISTER_PID, words({pid}), 0); }

HandleReply WireClient::create(uint32_t opcode, int32_t pid, int32_t a, int32_t b, const std::string& name) {
    std::vector<int32_t> w = call(opcode, withName({pid, a, b}, name), 3);
    if (w.size() != 3) return {};
    return {static_cast<uint32_t>(w[0]), w[1], w[2]};
}

HandleReply WireClient::createEvent(int32_t pid, bool manual, bool initial, const std::string& name) {
    return create(KV_OP_CREATE_EVENT, pid, manual ? 1 : 0, initial ? 1 : 0, name);
}

HandleReply WireClient::createMutex(int32_t pid, int32_t thread, bool owned, const std::string& name) {
    return create(KV_OP_CREATE_MUTEX, pid, thread, owned ? 1 : 0, name);
}

HandleReply WireClient::createSemaphore(int32_t pid, int32_t count, int32_t maximum, const std::string& name) {
    return create(KV_OP_CREATE_SEMAPHORE, pid, count, maximum, name);
}

HandleReply WireClient::open(uint32_t opcode, int32_t pid, const std::string& name) {
    std::string body = opcode == KV_OP_OPEN_MUTEX ? withName({pid, 0, 0, 0}, name) : withName({pid, 0, 0}, name);
    std::vector<int32_t> w = call(opcode, body, 3);
    if (w.size() != 3) return {};
    return {static_cast<uint32_t>(w[0]), w[1], w[2]};
}

HandleReply WireClient::duplicateEvent(int32_t pid, uint32_t handle) {
    std::vector<int32_t> w = call(KV_OP_DUPLICATE_EVENT, words({pid, static_cast<int32_t>(handle)}), 3);
    if (w.size() != 3) return {};
    return {static_cast<uint32_t>(w[0]), w[1], w[2]};
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

void WireClient::threadExited(int32_t pid, int32_t thread) { send(KV_OP_THREAD_EXITED, words({pid, thread}), 0); }

ProcessSocket::ProcessSocket(int32_t pid) : path_("/tmp/kalvo_sock_" + std::to_string(pid)) {
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
    pollfd p{listenFd_, POLLIN, 0};
    if (listenFd_ < 0 || poll(&p, 1, timeoutMs) <= 0) return false;
    fd_ = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    return fd_ >= 0;
}

std::vector<int32_t> ProcessSocket::nextWake(int timeoutMs) {
    std::string message;
    if (!acceptDaemon(timeoutMs) || !recvExactly(fd_, 24, &message, timeoutMs)) return {};
    std::vector<int32_t> w(6);
    memcpy(w.data(), message.data(), message.size());
    // Opcode 0, a 12-byte body, no reply wanted.
    if (w[0] != static_cast<int32_t>(KV_MSG_WAKE_WAIT_ENTRY) || w[1] != 12 || w[2] != 0) return {};
    return {w[3], w[4], w[5]};
}

bool ProcessSocket::closedByDaemon(std::string* received, int timeoutMs) {
    return acceptDaemon(timeoutMs) && closedByPeer(fd_, received, timeoutMs);
}

bool ProcessSocket::silentFor(int ms) {
    if (!acceptDaemon(ms)) return true;
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
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
    daemon_ = std::make_unique<kalvotest::PrivateDaemon>();
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
    std::string text = daemonStderr();
    EXPECT_EQ(text.find("Sanitizer"), std::string::npos) << text;
    EXPECT_EQ(text.find("runtime error"), std::string::npos) << text;
    unlink(stderrPath_.c_str());
}

std::string SyncDaemonTest::daemonStderr() const { return kalvotest::readFile(stderrPath_); }

std::string SyncDaemonTest::dump() {
    const std::string first = "---------- Cross-process sync objects";
    const std::string last = "----------- Processes connected to cross-process sync server";
    size_t before = daemonStderr().size();
    WireClient c(daemonPid());
    // The dump has no reply; the reply to the request after it says it is written.
    if (!c.send(KV_OP_SYNC_DEBUG, "", 0) || c.closeHandle(0, 0).size() != 3) return "<no dump>";
    std::string text = daemonStderr().substr(before);
    size_t start = text.find(first);
    size_t tail = text.find(last, start);
    if (start == std::string::npos || tail == std::string::npos) return "<no dump>";
    size_t headingEnd = text.find('\n', tail);
    size_t end = headingEnd == std::string::npos ? std::string::npos : text.find('\n', headingEnd + 1);
    if (end == std::string::npos) return "<no dump>";
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

bool SyncDaemonTest::waitUntilGone(int32_t pid) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = dump();
        size_t lineStart = text.rfind('\n', text.size() - 2);
        std::istringstream pids(text.substr(lineStart + 1));
        bool listed = false;
        for (int32_t p; pids >> p;) listed = listed || p == pid;
        if (text != "<no dump>" && !listed) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
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

bool Child::hear(char* c, int timeoutMs) {
    pollfd p{in_, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && read(in_, c, 1) == 1;
}

int Child::wait(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (status_ < 0) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (r < 0) {  // reaped elsewhere: it has ended, with a status unknown here
            reapedElsewhere_ = true;
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

void Child::kill(int sig) { ::kill(pid_, sig); }

int runChild(const std::function<int(std::string& out)>& body, std::string* out) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        std::string text;
        int code = body(text);
        size_t done = 0;
        while (done < text.size()) {
            ssize_t r = write(fds[1], text.data() + done, text.size() - done);
            if (r <= 0) break;
            done += static_cast<size_t>(r);
        }
        close(fds[1]);
        // A normal end, so the client library cleans up as it would anywhere.
        exit(code);
    }
    close(fds[1]);
    return kalvotest::collectChild(fds[0], child, out);
}

}  // namespace synctest
