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

  private:
    int fd_ = -1;
};

// A private daemon whose standard error goes to a file, with
// KALVO_REGISTRY_PID set for the client library.
class SyncDaemonTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    pid_t daemonPid() const { return daemon_->pid(); }
    // The dump the daemon writes for opcode 17, exactly.
    std::string dump();
    // Waits until no registered connection of pid is left, i.e. the daemon
    // has cleaned up after the process.
    bool waitUntilGone(int32_t pid);
    std::string daemonStderr() const;

    std::unique_ptr<kalvotest::PrivateDaemon> daemon_;
    std::string stderrPath_;
};

// Runs body in a forked child; returns its exit status and what it wrote
// to `out` (handed back through a pipe).
int runChild(const std::function<int(std::string& out)>& body, std::string* out = nullptr);

}  // namespace synctest
