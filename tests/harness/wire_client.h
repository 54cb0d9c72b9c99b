// Test client of the daemon's registry program, through the real wire records
// (clnt_call), with a raw-bytes path for requests no encoder would send. The
// sync protocol's client comes with it.
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
#include "harness/sync_client.h"
#include "rpc/regd_xdr.h"

namespace kalvotest {

constexpr uint32_t HKCR = 0x80000000u, HKCU = 0x80000001u, HKLM = 0x80000002u;
constexpr uint32_t HKU = 0x80000003u, HKCC = 0x80000005u, HKDD = 0x80000006u;
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
struct EnumKeyResult { uint32_t retval; std::string name; uint32_t cbName; std::string cls; uint32_t cbClass, ftLow, ftHigh; };
struct EnumValueResult { uint32_t retval; std::string name; uint32_t cbName, type; std::string data; uint32_t cbData; };
struct InfoResult {
    uint32_t retval;
    std::string cls;
    uint32_t cbClass, reserved, cSubKeys, cbMaxSubKeyLen, cbMaxClassLen, cValues, cbMaxValueNameLen, cbMaxValueLen;
    uint32_t cbSecurityDescriptor, ftLow, ftHigh;
    uint16_t isClassNull;
};

// A reply as one line, every field in it, for whole-reply comparisons:
// "retval hk", "retval hk disposition", "retval t<type> 'data'/cbData",
// "retval 'name'/cbName 'class'/cbClass", "retval 'name'/cbName t<type>
// 'data'/cbData" and "retval 'class'/cbClass null<isClassNull>
// k<count>/<maxName> c<maxClass> v<count>/<maxName>/<maxData>"; bytes outside
// ASCII print as \xHH, NUL as \0, times and unused fields only when not zero.
std::string show(const OpenResult& r);
std::string show(const CreateResult& r);
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
    QueryResult queryValue(uint32_t h, const std::string& sub, uint32_t cap, bool subNull = false,
                           bool valueNull = false);
    QueryResult queryValueEx(uint32_t h, const std::string& name, uint32_t cap, bool nameNull = false,
                             bool dataNull = false);
    EnumKeyResult enumKey(uint32_t h, uint32_t index, uint32_t dwMax);
    EnumKeyResult enumKeyEx(uint32_t h, uint32_t index, uint32_t cbName, uint32_t cbClass);
    EnumValueResult enumValue(uint32_t h, uint32_t index, uint32_t cbValue, uint32_t cbData);
    InfoResult queryInfoKey(uint32_t h);
    // QUERY_VERSION: "retval major.minor.minorminor", "" when the call failed.
    std::string queryVersion();
    // The handle of a key created (or opened) under h; fails the test if not 0.
    uint32_t mustCreate(uint32_t h, const std::string& sub);

    // Procedures whose reply is the plain result record: its retval.
    uint32_t closeKey(uint32_t h) { return basic(REG_CLOSE_KEY, xdr_regd_REG_CLOSE_KEY, {{}, h}); }
    uint32_t flushKey(uint32_t h) { return basic(REG_FLUSH_KEY, xdr_regd_REG_FLUSH_KEY, {{}, h}); }
    uint32_t deleteKey(uint32_t h, const std::string& sub) {
        return basic(REG_DELETE_KEY, xdr_regd_REG_DELETE_KEY, {{}, h, s(sub)});
    }
    uint32_t deleteValue(uint32_t h, const std::string& name, bool nameNull = false) {
        return basic(REG_DELETE_VALUE, xdr_regd_REG_DELETE_VALUE, {{}, h, s(name), nameNull});
    }
    uint32_t setValue(uint32_t h, const std::string& sub, uint32_t type, const std::string& text, uint32_t cbData,
                      bool subNull = false) {
        return basic(REG_SET_VALUE, xdr_regd_REG_SET_VALUE, {{}, h, s(sub), type, s(text), cbData, subNull});
    }
    uint32_t setValueEx(uint32_t h, const std::string& name, uint32_t type, const std::string& bytes,
                        uint32_t cbData, bool nameNull = false) {
        regd_OPAQUE data{static_cast<u_int>(bytes.size()), s(bytes)};
        return basic(REG_SET_VALUE_EX, xdr_regd_REG_SET_VALUE_EX, {{}, h, s(name), type, data, cbData, nameNull});
    }
    uint32_t ping(uint32_t pid, uint32_t mode) { return basic(REG_PING_DAEMON, xdr_regd_REG_PING_DAEMON, {{}, pid, mode}); }
    uint32_t saveKey(uint32_t h, const std::string& file) {
        return basic(REG_SAVE_KEY, xdr_regd_REG_SAVE_KEY, {{}, h, s(file), {}});
    }
    uint32_t loadKey(uint32_t h, const std::string& sub, const std::string& file) {
        return basic(REG_LOAD_KEY, xdr_regd_REG_LOAD_KEY, {{}, h, s(sub), s(file)});
    }
    uint32_t restoreKey(uint32_t h, const std::string& file) {
        return basic(REG_RESTORE_KEY, xdr_regd_REG_RESTORE_KEY, {{}, h, s(file), 0});
    }
    uint32_t unloadKey(uint32_t h, const std::string& sub) {
        return basic(REG_UNLOAD_KEY, xdr_regd_REG_UNLOAD_KEY, {{}, h, s(sub)});
    }
    // The old file is `file` with ".old" added.
    uint32_t replaceKey(uint32_t h, const std::string& sub, const std::string& file) {
        std::string old = file + ".old";
        return basic(REG_REPLACE_KEY, xdr_regd_REG_REPLACE_KEY, {{}, h, s(sub), s(file), s(old)});
    }

  private:
    static char* s(const std::string& text) { return const_cast<char*>(text.c_str()); }
    bool transport(uint32_t proc, xdrproc_t xdrReq, void* req, xdrproc_t xdrRes, void* res, const int32_t* tag);
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

// Starts the daemon; a failure says why.
::testing::AssertionResult started(PrivateDaemon& d);

// Log lines of a daemon's log without their time stamps and padding.
std::vector<std::string> logMessages(const PrivateDaemon& daemon);

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

}  // namespace kalvotest
