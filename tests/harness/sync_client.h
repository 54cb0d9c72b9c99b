// Test client of the daemon's sync protocol, through the framing shared with
// the client library, with a raw-bytes path for requests no encoder would
// send; and the fixtures and forked children the sync tests run beside it.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>

#include "harness/daemon_harness.h"
#include "sync/kvipc_wire.h"

namespace kalvotest {

// 32-bit words in host order, optionally followed by a name and its NUL.
std::string words(std::initializer_list<int32_t> values);
std::string withName(std::initializer_list<int32_t> values, const std::string& name);
std::string header(uint32_t opcode, int32_t requestLength, int32_t replyLength);

// Handle, error code, error flag: the reply of create, open and duplicate.
struct HandleReply {
    uint32_t handle = 0;
    int32_t error = -1;
    int32_t flag = -1;
};

using Words = std::vector<int32_t>;
inline Words replyOf(const HandleReply& r) { return {static_cast<int32_t>(r.handle), r.error, r.flag}; }
// Reply words of set, pulse and release_mutex (success, error code, flag,
// then the self-wake words), and of begin-wait: queued, or satisfied at once.
inline const Words kSignalled{1, 0, 0, 0, 0, 0}, kInvalidHandle{0, 6, 1, 0, 0, 0};
inline const Words kQueued{1, 0, 0, 0}, kTaken{0, 0, 0, 0};

// True once the peer of fd has closed; what came before goes to *received.
bool closedByPeer(int fd, std::string* received, int timeoutMs = 10000);

// A raw connection to the daemon's sync socket that claims whatever pid it
// is told to.
class WireClient {
  public:
    explicit WireClient(pid_t daemonPid);
    ~WireClient();
    WireClient(const WireClient&) = delete;
    WireClient& operator=(const WireClient&) = delete;

    bool sendRaw(const std::string& bytes);
    bool send(uint32_t opcode, const std::string& body, int32_t replyLength) {
        return sendRaw(header(opcode, static_cast<int32_t>(body.size()), replyLength) + body);
    }
    // Exactly n bytes within ten seconds; false on end of stream or time-out.
    bool recv(size_t n, std::string* out);
    // The reply words of one request; empty if the reply did not come whole.
    Words call(uint32_t opcode, const std::string& body, int replyWords);
    // Sends the requests in batches, so neither side's socket buffer fills;
    // false unless every reply (replyBytes each) came, appended to *replies.
    bool pipelined(const std::vector<std::string>& requests, size_t replyBytes, std::string* replies = nullptr);
    bool closedByPeer(std::string* received = nullptr) { return kalvotest::closedByPeer(fd_, received); }
    bool silentFor(int ms);
    void shutdownWrite();

    void registerPid(int32_t pid) { send(KV_OP_REGISTER_PID, words({pid}), 0); }
    HandleReply createEvent(int32_t pid, bool manual, bool initial, const std::string& name = "") {
        return handleReply(KV_OP_CREATE_EVENT, withName({pid, manual, initial}, name));
    }
    HandleReply createMutex(int32_t pid, int32_t thread, bool owned, const std::string& name = "") {
        return handleReply(KV_OP_CREATE_MUTEX, withName({pid, thread, owned}, name));
    }
    HandleReply createSemaphore(int32_t pid, int32_t count, int32_t maximum, const std::string& name = "") {
        return handleReply(KV_OP_CREATE_SEMAPHORE, withName({pid, count, maximum}, name));
    }
    HandleReply open(uint32_t opcode, int32_t pid, const std::string& name) {
        return handleReply(opcode, opcode == KV_OP_OPEN_MUTEX ? withName({pid, 0, 0, 0}, name)
                                                              : withName({pid, 0, 0}, name));
    }
    HandleReply duplicateEvent(int32_t pid, uint32_t handle) {
        return handleReply(KV_OP_DUPLICATE_EVENT, words({pid, w(handle)}));
    }
    // Words: success, error flag, error code.
    Words closeHandle(int32_t pid, uint32_t handle) { return call(KV_OP_CLOSE_HANDLE, words({pid, w(handle)}), 3); }
    // Words: success, server handle.
    Words createAlias(int32_t pid, int32_t thread, int32_t flags, uint32_t clientHandle, int32_t state, int32_t maximum,
                      int32_t extraUses) {
        return call(KV_OP_CREATE_ALIAS, words({pid, thread, flags, w(clientHandle), state, maximum, extraUses}), 2);
    }
    // Words: pending, wait result, error code, error flag.
    Words beginWait(int32_t pid, uint32_t entry, int32_t thread, int32_t needed,
                    std::initializer_list<uint32_t> handles);
    // Words: not-found flag, wait result.
    Words waitTimeout(int32_t pid, uint32_t entry) { return call(KV_OP_WAIT_TIMEOUT, words({pid, 0, w(entry)}), 2); }
    // Words: still-waiting flag, wait result.
    Words objectStateChange(int32_t pid, uint32_t entry, int32_t position, int32_t value) {
        return call(KV_OP_WAIT_OBJECT_STATE, words({pid, 0, w(entry), position, value}), 2);
    }
    // set (8), reset (9) and pulse (10); the reply words of the opcode.
    Words eventCall(uint32_t opcode, int32_t pid, uint32_t handle) {
        return call(opcode, words({pid, w(handle)}), opcode == KV_OP_RESET_EVENT ? 3 : 6);
    }
    Words releaseMutex(int32_t pid, int32_t thread, uint32_t handle) {
        return call(KV_OP_RELEASE_MUTEX, words({pid, thread, w(handle)}), 6);
    }
    Words releaseSemaphore(int32_t pid, uint32_t handle, int32_t count) {
        return call(KV_OP_RELEASE_SEMAPHORE, words({pid, w(handle), count}), 7);
    }
    void threadExited(int32_t pid, int32_t thread) { send(KV_OP_THREAD_EXITED, words({pid, thread}), 0); }

  private:
    static int32_t w(uint32_t handle) { return static_cast<int32_t>(handle); }
    HandleReply handleReply(uint32_t opcode, const std::string& body);
    int fd_ = -1;
};

// Pids no real process can have (Linux pids stay below 2^22): a raw client
// may speak for them and listen on their sockets without meeting anyone.
constexpr int32_t kFakePidBase = 5000000;

// A number from a process's /proc status ("Threads:", "VmHWM:" in KiB), or
// -1.
long procStatus(pid_t pid, const std::string& field);

// The path of the socket where pid's wake-ups go.
std::string socketPath(pid_t pid);
// A file's permission bits, or -1 for a missing file.
int modeOf(const std::string& path);

// The socket of a process that a raw client speaks for: the daemon connects
// here to send that process its wake-ups.
class ProcessSocket {
  public:
    explicit ProcessSocket(int32_t pid);
    ~ProcessSocket();
    ProcessSocket(const ProcessSocket&) = delete;
    ProcessSocket& operator=(const ProcessSocket&) = delete;

    // The next wake-up's body (wait entry, wait result, reserved), checking
    // its header; empty if none came whole in time.
    Words nextWake();
    bool silentFor(int ms);
    // True once the daemon has closed its connection here.
    bool closedByDaemon(std::string* received);

  private:
    bool acceptDaemon(int timeoutMs);
    std::string path_;
    int listenFd_ = -1;
    int fd_ = -1;
};

// The dump's headings, and the words before an object's users.
inline const std::string kDumpObjects = "---------- Cross-process sync objects ---------\n";
inline const std::string kDumpWaits = "---------- Cross-process wait queue ---------\n";
inline const std::string kDumpProcesses = "----------- Processes connected to cross-process sync server ------------\n";
inline const std::string kDumpUsers = "in use by (process-refcount-waitcount): ";

size_t queuedWaits(const std::string& dump);

// A private daemon whose standard error (where the dump goes) is captured,
// named to the client library by the environment.
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
    // The dump once exactly n waits are queued, or the last one.
    std::string dumpWithWaits(size_t n);
    // Waits until no registered connection of pid is left.
    bool waitUntilGone(int32_t pid);

    std::unique_ptr<PrivateDaemon> daemon_;
    std::string stderrPath_;
};

class SyncWireTest : public SyncDaemonTest {
  protected:
    void SetUp() override {
        SyncDaemonTest::SetUp();
        if (!HasFatalFailure()) c = std::make_unique<WireClient>(daemonPid());
    }
    std::unique_ptr<WireClient> c;
};

// A forked child running beside the test, with a two-way byte channel. The
// body's result is the exit status; it ends through exit(), so the client
// library's clean-up runs.
class Child {
  public:
    explicit Child(const std::function<int(Child&)>& body);
    ~Child();  // a child still running is killed and reaped
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    bool say(char c);
    // The next byte from the other side; false after the time-out or its end.
    bool hear(char* c, int timeoutMs = 10000);
    // The exit status (128 + n after signal n), or -1 when not ended in time
    // or reaped elsewhere (stopping a daemon reaps every child).
    int wait(int timeoutMs = 10000);
    void kill(int sig);

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    int status_ = -1;
    bool reapedElsewhere_ = false;
};

}  // namespace kalvotest
