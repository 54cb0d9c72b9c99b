// Test side of the sync protocol: a raw socket client that can send well-
// formed requests and garbage alike, a daemon fixture that captures the
// daemon's standard error (where the dump goes), and forked child processes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <initializer_list>
#include <string>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>

#include "harness/daemon_harness.h"
#include "sync/kvipc_wire.h"

namespace synctest {

// 32-bit words in host order, optionally followed by a name and its NUL.
std::string words(std::initializer_list<int32_t> values);
std::string withName(std::initializer_list<int32_t> values, const std::string& name);

// Handle, error code, error flag: the reply of create, open and duplicate.
struct HandleReply {
    uint32_t handle = 0;
    int32_t error = -1;
    int32_t flag = -1;
};

// Reads exactly n bytes from fd within the time-out; false on end of stream,
// error or time-out.
bool recvExactly(int fd, size_t n, std::string* out, int timeoutMs);
// True once the peer of fd has closed; what came before goes to *received.
bool closedByPeer(int fd, std::string* received, int timeoutMs);

class WireClient {
  public:
    explicit WireClient(pid_t daemonPid);
    ~WireClient();
    WireClient(const WireClient&) = delete;
    WireClient& operator=(const WireClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    bool sendRaw(const std::string& bytes);
    bool send(uint32_t opcode, const std::string& body, int32_t replyLength);
    // Exactly n bytes within the time-out; false on end of stream or time-out.
    bool recv(size_t n, std::string* out, int timeoutMs = 10000);
    // The reply words of one request; empty if the reply did not come whole.
    std::vector<int32_t> call(uint32_t opcode, const std::string& body, int replyWords);
    // True once the daemon has closed the connection; the bytes that came
    // before the end go to *received.
    bool closedByPeer(std::string* received = nullptr, int timeoutMs = 10000);
    // True if nothing at all arrives within ms.
    bool silentFor(int ms);
    void shutdownWrite();

    void registerPid(int32_t pid);
    HandleReply create(uint32_t opcode, int32_t pid, int32_t a, int32_t b, const std::string& name);
    HandleReply createEvent(int32_t pid, bool manual, bool initial, const std::string& name = "");
    HandleReply createMutex(int32_t pid, int32_t thread, bool owned, const std::string& name = "");
    HandleReply createSemaphore(int32_t pid, int32_t count, int32_t maximum, const std::string& name = "");
    HandleReply open(uint32_t opcode, int32_t pid, const std::string& name);
    HandleReply duplicateEvent(int32_t pid, uint32_t handle);
    // Words: success, error flag, error code.
    std::vector<int32_t> closeHandle(int32_t pid, uint32_t handle);
    // Words: success, server handle.
    std::vector<int32_t> createAlias(int32_t pid, int32_t thread, int32_t flags, uint32_t clientHandle,
                                     int32_t state, int32_t maximum, int32_t extraUses);

    // Words: pending, wait result, error code, error flag.
    std::vector<int32_t> beginWait(int32_t pid, uint32_t entry, int32_t thread, int32_t needed,
                                   std::initializer_list<uint32_t> handles);
    // Words: not-found flag, wait result.
    std::vector<int32_t> waitTimeout(int32_t pid, uint32_t entry);
    // Words: still-waiting flag, wait result.
    std::vector<int32_t> objectStateChange(int32_t pid, uint32_t entry, int32_t position, int32_t value);
    // set (8), reset (9) and pulse (10); the reply words of the opcode.
    std::vector<int32_t> eventCall(uint32_t opcode, int32_t pid, uint32_t handle);
    std::vector<int32_t> releaseMutex(int32_t pid, int32_t thread, uint32_t handle);
    std::vector<int32_t> releaseSemaphore(int32_t pid, uint32_t handle, int32_t count);
    // Opcode 19; no reply.
    void threadExited(int32_t pid, int32_t thread);

  private:
    int fd_ = -1;
};

// Pids no real process can have (Linux pids stay below 2^22): a raw client
// may speak for them and listen on their sockets without meeting anyone.
constexpr int32_t kFakePidBase = 5000000;

// The socket of a process that a raw client speaks for: the daemon connects
// here to send that process its wake-ups.
class ProcessSocket {
  public:
    explicit ProcessSocket(int32_t pid);
    ~ProcessSocket();
    ProcessSocket(const ProcessSocket&) = delete;
    ProcessSocket& operator=(const ProcessSocket&) = delete;

    bool listening() const { return listenFd_ >= 0; }
    // The next wake-up's body (wait entry, wait result, reserved), checking
    // its header; empty if none came whole within the time-out.
    std::vector<int32_t> nextWake(int timeoutMs = 5000);
    // True if no byte arrives within ms.
    bool silentFor(int ms);
    // True once the daemon has closed its connection here; the bytes that
    // came before the end go to *received.
    bool closedByDaemon(std::string* received, int timeoutMs = 10000);

  private:
    bool acceptDaemon(int timeoutMs);
    std::string path_;
    int listenFd_ = -1;
    int fd_ = -1;
};

// A private daemon whose standard error goes to a file, named to the
// client library by KALVO_REGISTRY_HOST and KALVO_REGISTRY_PROG.
class SyncDaemonTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    pid_t daemonPid() const { return daemon_->pid(); }
    // The dump the daemon writes for opcode 17, exactly.
    std::string dump();
    // The dump once `settled` holds for it (a woken wait is retired just
    // after its wake-up is sent), or the last one after a few seconds.
    std::string dumpWhen(const std::function<bool(const std::string&)>& settled);
    // Waits until no registered connection of pid is left, i.e. the daemon
    // has cleaned up after the process.
    bool waitUntilGone(int32_t pid);
    std::string daemonStderr() const;

    std::unique_ptr<kalvotest::PrivateDaemon> daemon_;
    std::string stderrPath_;
};

// A forked child running beside the test, with a two-way byte channel. The
// body's result is the child's exit status; it ends through exit(), as a
// process that ends normally does, so the client library's clean-up runs.
class Child {
  public:
    explicit Child(const std::function<int(Child&)>& body);
    ~Child();  // a child still running is killed and reaped
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // One byte to the other side, and the next byte from it (false when
    // nothing came within the time-out or the other side has gone).
    bool say(char c);
    bool hear(char* c, int timeoutMs = 10000);
    // The exit status (128 + n after signal n), or -1 when the child has not
    // ended within the time-out or was reaped elsewhere (stopping a daemon
    // reaps every child of the test process).
    int wait(int timeoutMs = 10000);
    void kill(int sig);

  private:
    pid_t pid_ = -1;
    int in_ = -1;   // this side reads here
    int out_ = -1;  // this side writes here
    int status_ = -1;
    bool reapedElsewhere_ = false;
};

// Runs body in a forked child, which ends through exit(); returns its exit
// status and what it wrote to `out` (handed back through a pipe).
int runChild(const std::function<int(std::string& out)>& body, std::string* out = nullptr);

}  // namespace synctest
