// Test clients of the daemon's two protocols. The registry program goes
// through the real wire records (clnt_call); the sync protocol through the
// framing shared with the client library. Both keep a raw-bytes path for
// requests no encoder would send.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <rpc/rpc.h>
#include <string>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>

#include "harness/daemon_harness.h"
#include "rpc/regd_xdr.h"
#include "sync/kvipc_wire.h"

namespace kalvotest {

// ---------------- Registry program ----------------

constexpr uint32_t HKCR = 0x80000000u, HKCU = 0x80000001u, HKLM = 0x80000002u;
constexpr uint32_t HKU = 0x80000003u, HKCC = 0x80000005u, HKDD = 0x80000006u;
const std::string PLACEHOLDER = "ZORP+IS+COOL";
// The placeholder as an opaque field carries its NUL.
const std::string PLACEHOLDER_BYTES = std::string("ZORP+IS+COOL", 13);
// A failed transport call: a test failure and this result.
constexpr uint32_t CALL_FAILED = 0xFFFFFFFFu;

struct Caller {
    std::string user;
    uint32_t userId;
    uint32_t hostId;
};
// A caller on this host, or on another one.
Caller localCaller(const std::string& user);
Caller remoteCaller(const std::string& user);

struct OpenResult { uint32_t retval, hk; };
struct CreateResult { uint32_t retval, hk, disposition; };
struct QueryResult { uint32_t retval, type; std::string data; uint32_t cbData; };
struct EnumKeyResult {
    uint32_t retval;
    std::string name;
    uint32_t cbName;
    std::string cls;
    uint32_t cbClass, ftLow, ftHigh;
};
struct EnumValueResult { uint32_t retval; std::string name; uint32_t cbName, type; std::string data; uint32_t cbData; };
struct InfoResult {
    uint32_t retval;
    std::string cls;
    uint32_t cbClass, reserved, cSubKeys, cbMaxSubKeyLen, cbMaxClassLen, cValues;
    uint32_t cbMaxValueNameLen, cbMaxValueLen, cbSecurityDescriptor, ftLow, ftHigh;
    uint16_t isClassNull;
};

// A reply as one line, every field in it, for whole-reply comparisons:
// "retval t<type> 'data'/cbData", "retval 'name'/cbName 'class'/cbClass",
// "retval 'name'/cbName t<type> 'data'/cbData" and, for key information,
// "retval 'class'/cbClass null<isClassNull> k<count>/<maxName> c<maxClass>
// v<count>/<maxName>/<maxData>"; bytes outside ASCII print as \xHH, NUL as
// \0, and times and the unused fields only when not zero.
std::string show(const QueryResult& r);
std::string show(const EnumKeyResult& r);
std::string show(const EnumValueResult& r);
std::string show(const InfoResult& r);

// One connection to a daemon's registry program, speaking as `caller`.
class RegistryRpc {
  public:
    RegistryRpc(uint32_t prog, uint32_t version, Caller caller);
    RegistryRpc(const PrivateDaemon& d, uint32_t version, Caller c) : RegistryRpc(d.prog(), version, std::move(c)) {}
    // Through `netid` ("tcp", "tcp6") to the daemon registered on `host`.
    RegistryRpc(const std::string& host, const char* netid, uint32_t prog, uint32_t version, Caller c);
    ~RegistryRpc();
    RegistryRpc(const RegistryRpc&) = delete;
    RegistryRpc& operator=(const RegistryRpc&) = delete;
    bool connected() const { return clnt_ != nullptr; }
    CLIENT* handle() const { return clnt_; }
    Caller caller;

    // Any procedure with its wire records; the request header is filled from
    // `caller`. False (and a test failure) unless answered with tag 1.
    template <typename Req, typename Res>
    bool call(uint32_t proc, bool_t (*xdrReq)(XDR*, Req*), Req& req, bool_t (*xdrRes)(XDR*, Res*), Res& res) {
        req.userData = {30000, caller.userId, const_cast<char*>(caller.user.c_str()), caller.hostId};
        res = Res{};
        return transport(proc, reinterpret_cast<xdrproc_t>(xdrReq), &req, reinterpret_cast<xdrproc_t>(xdrRes),
                         &res, &res.resultTag);
    }

    OpenResult openKey(uint32_t h, const std::string& sub);
    OpenResult openKeyEx(uint32_t h, const std::string& sub, bool subNull = false);
    CreateResult createKey(uint32_t h, const std::string& sub, bool subNull = false);
    CreateResult createKeyEx(uint32_t h, const std::string& sub, const std::string& cls, uint32_t options = 0,
                             bool subNull = false, bool classNull = false);
    uint32_t closeKey(uint32_t h);
    uint32_t deleteKey(uint32_t h, const std::string& sub);
    uint32_t flushKey(uint32_t h);
    uint32_t deleteValue(uint32_t h, const std::string& name, bool nameNull = false);
    QueryResult queryValue(uint32_t h, const std::string& sub, uint32_t cap, bool subNull = false,
                           bool valueNull = false);
    QueryResult queryValueEx(uint32_t h, const std::string& name, uint32_t cap, bool nameNull = false,
                             bool dataNull = false);
    uint32_t setValue(uint32_t h, const std::string& sub, uint32_t type, const std::string& text, uint32_t cbData,
                      bool subNull = false);
    uint32_t setValueEx(uint32_t h, const std::string& name, uint32_t type, const std::string& bytes,
                        uint32_t cbData, bool nameNull = false);
    EnumKeyResult enumKey(uint32_t h, uint32_t index, uint32_t dwMax);
    EnumKeyResult enumKeyEx(uint32_t h, uint32_t index, uint32_t cbName, uint32_t cbClass);
    EnumValueResult enumValue(uint32_t h, uint32_t index, uint32_t cbValue, uint32_t cbData);
    InfoResult queryInfoKey(uint32_t h);
    // QUERY_VERSION: "retval major.minor.minorminor", "" when the call failed.
    std::string queryVersion();
    // PING_DAEMON; the reply's retval.
    uint32_t ping(uint32_t pid, uint32_t mode);
    // The handle of a key created (or opened) under h; fails the test if not 0.
    uint32_t mustCreate(uint32_t h, const std::string& sub);

  private:
    bool transport(uint32_t proc, xdrproc_t xdrReq, void* req, xdrproc_t xdrRes, void* res, const int32_t* tag);
    // A procedure whose reply is the plain result record: its retval.
    template <typename Req>
    uint32_t basic(uint32_t proc, bool_t (*xdrReq)(XDR*, Req*), Req req) {
        regd_BASIC_RES res;
        return call(proc, xdrReq, req, xdr_regd_BASIC_RES, res) ? res.ret.retval : CALL_FAILED;
    }
    template <typename Req>
    QueryResult query(uint32_t proc, bool_t (*xdrReq)(XDR*, Req*), Req req);
    template <typename Req>
    EnumKeyResult enumerate(uint32_t proc, bool_t (*xdrReq)(XDR*, Req*), Req req);
    CLIENT* clnt_ = nullptr;
    uint32_t version_;
};

// A plain TCP connection to the port of (prog, version), for raw bytes; -1
// when there is none.
int rawRegistryConnection(uint32_t prog, uint32_t version);

// Log lines of a daemon's log without their time stamps and padding.
std::vector<std::string> logMessages(const PrivateDaemon& daemon);

// ---------------- Sync protocol ----------------

// 32-bit words in host order, optionally followed by a name and its NUL.
std::string words(std::initializer_list<int32_t> values);
std::string withName(std::initializer_list<int32_t> values, const std::string& name);
// A message header, on its own.
std::string header(uint32_t opcode, int32_t requestLength, int32_t replyLength);

// Handle, error code, error flag: the reply of create, open and duplicate.
struct HandleReply {
    uint32_t handle = 0;
    int32_t error = -1;
    int32_t flag = -1;
};

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
    bool send(uint32_t opcode, const std::string& body, int32_t replyLength);
    // Exactly n bytes within ten seconds; false on end of stream or time-out.
    bool recv(size_t n, std::string* out);
    // The reply words of one request; empty if the reply did not come whole.
    std::vector<int32_t> call(uint32_t opcode, const std::string& body, int replyWords);
    // Sends the requests in batches, so neither side's socket buffer fills;
    // false unless every reply (replyBytes each) came, appended to *replies.
    bool pipelined(const std::vector<std::string>& requests, size_t replyBytes, std::string* replies = nullptr);
    bool closedByPeer(std::string* received = nullptr) { return kalvotest::closedByPeer(fd_, received); }
    // True if nothing at all arrives within ms.
    bool silentFor(int ms);
    void shutdownWrite();

    void registerPid(int32_t pid) { send(KV_OP_REGISTER_PID, words({pid}), 0); }
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
    void threadExited(int32_t pid, int32_t thread) { send(KV_OP_THREAD_EXITED, words({pid, thread}), 0); }

  private:
    HandleReply handleReply(uint32_t opcode, const std::string& body);
    int fd_ = -1;
};

// Pids no real process can have (Linux pids stay below 2^22): a raw client
// may speak for them and listen on their sockets without meeting anyone.
constexpr int32_t kFakePidBase = 5000000;

// The path of the socket where pid's wake-ups go.
std::string socketPath(pid_t pid);

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
    std::vector<int32_t> nextWake();
    // True if no byte arrives within ms.
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

// How many waits a dump lists.
size_t queuedWaits(const std::string& dump);

// One private daemon for every test of a suite, named to the client library
// before each test. A suite that wants other daemon arguments calls
// startShared from its own SetUpTestSuite.
class SharedDaemonTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { startShared({}); }
    static void TearDownTestSuite() { shared_.reset(); }
    static void startShared(std::vector<std::string> args);
    void SetUp() override;

    static std::unique_ptr<PrivateDaemon> shared_;
};

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
