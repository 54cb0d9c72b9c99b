#include "harness/wire_client.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

#include "client/kalvo_rpc_client.h"

namespace kalvotest {

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
    char one[8];
    for (unsigned char c : s) {
        snprintf(one, sizeof one, c == 0 ? "\\%d" : c < 32 || c > 126 ? "\\x%02X" : "%c", c);
        out += one;
    }
    return out + "'";
}
std::string n(uint32_t v) { return std::to_string(v); }
std::string time(uint32_t low, uint32_t high) { return low == 0 && high == 0 ? "" : " ft" + n(low) + "," + n(high); }
}  // namespace

std::string show(const OpenResult& r) { return n(r.retval) + " " + n(r.hk); }
std::string show(const CreateResult& r) { return n(r.retval) + " " + n(r.hk) + " " + n(r.disposition); }
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

::testing::AssertionResult started(PrivateDaemon& d) {
    std::string error;
    return d.start(&error) ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << error;
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

}  // namespace kalvotest
