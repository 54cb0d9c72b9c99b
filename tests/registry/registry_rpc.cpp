#include "registry/registry_rpc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <unistd.h>
#include <vector>

#include "client/kalvo_rpc_client.h"

namespace kalvotest {

namespace {

std::string opaqueBytes(const regd_OPAQUE& o) {
    return o.val != nullptr ? std::string(o.val, o.len) : std::string();
}

std::string text(const char* s) { return s != nullptr ? s : "<null>"; }

}  // namespace

Caller localCaller(const std::string& user) {
    return Caller{user, 1000, static_cast<uint32_t>(gethostid())};
}

Caller remoteCaller(const std::string& user) {
    return Caller{user, 1000, static_cast<uint32_t>(gethostid()) + 1};
}

RegistryRpc::RegistryRpc(const PrivateDaemon& daemon, uint32_t version, Caller c)
    : caller(std::move(c)), version_(version) {
    std::string error;
    clnt_ = kalvoClientCreate(KalvoTarget{"localhost", daemon.prog()}, version, &error);
    EXPECT_NE(clnt_, nullptr) << error;
}

RegistryRpc::~RegistryRpc() {
    if (clnt_ != nullptr) clnt_destroy(clnt_);
}

template <typename Req, typename Res>
bool RegistryRpc::call(uint32_t proc, bool_t (*xdrReq)(XDR*, Req*), Req& req, bool_t (*xdrRes)(XDR*, Res*),
                       Res& res) {
    if (clnt_ == nullptr) return false;
    req.userData.kalvoVersion = 30000;
    req.userData.userId = caller.userId;
    req.userData.userName = const_cast<char*>(caller.user.c_str());
    req.userData.hostId = caller.hostId;
    res = Res{};
    enum clnt_stat st = kalvoCall(clnt_, version_, proc, reinterpret_cast<xdrproc_t>(xdrReq), &req,
                                  reinterpret_cast<xdrproc_t>(xdrRes), &res);
    EXPECT_EQ(st, RPC_SUCCESS) << "procedure " << proc << ": " << clnt_sperrno(st);
    EXPECT_EQ(res.resultTag, 1) << "procedure " << proc;
    return st == RPC_SUCCESS && res.resultTag == 1;
}

#define RELEASE(routine, res) xdr_free(reinterpret_cast<xdrproc_t>(routine), reinterpret_cast<char*>(&res))

OpenResult RegistryRpc::openKey(uint32_t h, const std::string& sub) {
    regd_REG_OPEN_KEY req{};
    req.hKey = h;
    req.lpSubKey = const_cast<char*>(sub.c_str());
    regd_REG_OPEN_KEY_RES res;
    if (!call(REG_OPEN_KEY, xdr_regd_REG_OPEN_KEY, req, xdr_regd_REG_OPEN_KEY_RES, res))
        return {CALL_FAILED, 0};
    return {res.ret.retval, res.ret.hkResult};
}

OpenResult RegistryRpc::openKeyEx(uint32_t h, const std::string& sub, bool subNull) {
    regd_REG_OPEN_KEY_EX req{};
    req.hKey = h;
    req.lpSubKey = const_cast<char*>(sub.c_str());
    req.isSubKeyNull = subNull;
    regd_REG_OPEN_KEY_RES res;
    if (!call(REG_OPEN_KEY_EX, xdr_regd_REG_OPEN_KEY_EX, req, xdr_regd_REG_OPEN_KEY_RES, res))
        return {CALL_FAILED, 0};
    return {res.ret.retval, res.ret.hkResult};
}

CreateResult RegistryRpc::createKey(uint32_t h, const std::string& sub, bool subNull) {
    regd_REG_CREATE_KEY req{};
    req.hKey = h;
    req.lpSubKey = const_cast<char*>(sub.c_str());
    req.isSubKeyNull = subNull;
    regd_REG_CREATE_KEY_RES res;
    if (!call(REG_CREATE_KEY, xdr_regd_REG_CREATE_KEY, req, xdr_regd_REG_CREATE_KEY_RES, res))
        return {CALL_FAILED, 0, 0};
    return {res.ret.retval, res.ret.hkResult, res.ret.dwDisposition};
}

CreateResult RegistryRpc::createKeyEx(uint32_t h, const std::string& sub, const std::string& cls,
                                      uint32_t options, bool subNull, bool classNull) {
    regd_REG_CREATE_KEY_EX req{};
    req.hKey = h;
    req.lpSubKey = const_cast<char*>(sub.c_str());
    req.lpClass = const_cast<char*>(cls.c_str());
    req.dwOptions = options;
    req.isSubKeyNull = subNull;
    req.isClassNull = classNull;
    regd_REG_CREATE_KEY_RES res;
    if (!call(REG_CREATE_KEY_EX, xdr_regd_REG_CREATE_KEY_EX, req, xdr_regd_REG_CREATE_KEY_RES, res))
        return {CALL_FAILED, 0, 0};
    return {res.ret.retval, res.ret.hkResult, res.ret.dwDisposition};
}

uint32_t RegistryRpc::closeKey(uint32_t h) {
    regd_REG_CLOSE_KEY req{};
    req.hKey = h;
    regd_BASIC_RES res;
    if (!call(REG_CLOSE_KEY, xdr_regd_REG_CLOSE_KEY, req, xdr_regd_BASIC_RES, res)) return CALL_FAILED;
    return res.ret.retval;
}

uint32_t RegistryRpc::deleteKey(uint32_t h, const std::string& sub) {
    regd_REG_DELETE_KEY req{};
    req.hKey = h;
    req.lpSubKey = const_cast<char*>(sub.c_str());
    regd_BASIC_RES res;
    if (!call(REG_DELETE_KEY, xdr_regd_REG_DELETE_KEY, req, xdr_regd_BASIC_RES, res)) return CALL_FAILED;
    return res.ret.retval;
}

uint32_t RegistryRpc::flushKey(uint32_t h) {
    regd_REG_FLUSH_KEY req{};
    req.hKey = h;
    regd_BASIC_RES res;
    if (!call(REG_FLUSH_KEY, xdr_regd_REG_FLUSH_KEY, req, xdr_regd_BASIC_RES, res)) return CALL_FAILED;
    return res.ret.retval;
}

uint32_t RegistryRpc::deleteValue(uint32_t h, const std::string& name, bool nameNull) {
    regd_REG_DELETE_VALUE req{};
    req.hKey = h;
    req.lpValueName = const_cast<char*>(name.c_str());
    req.isValueNameNull = nameNull;
    regd_BASIC_RES res;
    if (!call(REG_DELETE_VALUE, xdr_regd_REG_DELETE_VALUE, req, xdr_regd_BASIC_RES, res)) return CALL_FAILED;
    return res.ret.retval;
}

QueryResult RegistryRpc::queryValue(uint32_t h, const std::string& sub, uint32_t cap, bool subNull,
                                    bool valueNull) {
    regd_REG_QUERY_VALUE req{};
    req.hKey = h;
    req.lpSubKey = const_cast<char*>(sub.c_str());
    req.lpcbValue = cap;
    req.isSubKeyNull = subNull;
    req.isValueNull = valueNull;
    regd_REG_QUERY_VALUE_RES res;
    if (!call(REG_QUERY_VALUE, xdr_regd_REG_QUERY_VALUE, req, xdr_regd_REG_QUERY_VALUE_RES, res))
        return {CALL_FAILED, 0, "", 0};
    QueryResult r{res.ret.retval, res.ret.lpType, opaqueBytes(res.ret.lpData), res.ret.lpcbData};
    RELEASE(xdr_regd_REG_QUERY_VALUE_RES, res);
    return r;
}

QueryResult RegistryRpc::queryValueEx(uint32_t h, const std::string& name, uint32_t cap, bool nameNull,
                                      bool dataNull) {
    regd_REG_QUERY_VALUE_EX req{};
    req.hKey = h;
    req.lpValueName = const_cast<char*>(name.c_str());
    req.lpcbData = cap;
    req.isValueNameNull = nameNull;
    req.isDataNull = dataNull;
    regd_REG_QUERY_VALUE_RES res;
    if (!call(REG_QUERY_VALUE_EX, xdr_regd_REG_QUERY_VALUE_EX, req, xdr_regd_REG_QUERY_VALUE_RES, res))
        return {CALL_FAILED, 0, "", 0};
    QueryResult r{res.ret.retval, res.ret.lpType, opaqueBytes(res.ret.lpData), res.ret.lpcbData};
    RELEASE(xdr_regd_REG_QUERY_VALUE_RES, res);
    return r;
}

uint32_t RegistryRpc::setValue(uint32_t h, const std::string& sub, uint32_t type, const std::string& textData,
                               uint32_t cbData, bool subNull) {
    regd_REG_SET_VALUE req{};
    req.hKey = h;
    req.lpSubKey = const_cast<char*>(sub.c_str());
    req.dwType = type;
    req.lpData = const_cast<char*>(textData.c_str());
    req.cbData = cbData;
    req.isSubKeyNull = subNull;
    regd_BASIC_RES res;
    if (!call(REG_SET_VALUE, xdr_regd_REG_SET_VALUE, req, xdr_regd_BASIC_RES, res)) return CALL_FAILED;
    return res.ret.retval;
}

uint32_t RegistryRpc::setValueEx(uint32_t h, const std::string& name, uint32_t type, const std::string& bytes,
                                 uint32_t cbData, bool nameNull) {
    regd_REG_SET_VALUE_EX req{};
    req.hKey = h;
    req.lpValueName = const_cast<char*>(name.c_str());
    req.dwType = type;
    req.lpData.len = static_cast<u_int>(bytes.size());
    req.lpData.val = const_cast<char*>(bytes.data());
    req.cbData = cbData;
    req.isValueNameNull = nameNull;
    regd_BASIC_RES res;
    if (!call(REG_SET_VALUE_EX, xdr_regd_REG_SET_VALUE_EX, req, xdr_regd_BASIC_RES, res)) return CALL_FAILED;
    return res.ret.retval;
}

namespace {
EnumKeyResult takeEnumKey(regd_REG_ENUM_KEY_RES& res) {
    EnumKeyResult r{res.ret.retval, text(res.ret.lpName), res.ret.lpcbName, text(res.ret.lpClass),
                    res.ret.lpcbClass, res.ret.ftLastWriteTime.dwLowDateTime,
                    res.ret.ftLastWriteTime.dwHighDateTime};
    RELEASE(xdr_regd_REG_ENUM_KEY_RES, res);
    return r;
}
}  // namespace

EnumKeyResult RegistryRpc::enumKey(uint32_t h, uint32_t index, uint32_t dwMax) {
    regd_REG_ENUM_KEY req{};
    req.hKey = h;
    req.dwIndex = index;
    req.dwMax = dwMax;
    regd_REG_ENUM_KEY_RES res;
    if (!call(REG_ENUM_KEY, xdr_regd_REG_ENUM_KEY, req, xdr_regd_REG_ENUM_KEY_RES, res))
        return {CALL_FAILED, "", 0, "", 0, 0, 0};
    return takeEnumKey(res);
}

EnumKeyResult RegistryRpc::enumKeyEx(uint32_t h, uint32_t index, uint32_t cbName, uint32_t cbClass) {
    regd_REG_ENUM_KEY_EX req{};
    req.hKey = h;
    req.dwIndex = index;
    req.lpcbName = cbName;
    req.lpcbClass = cbClass;
    regd_REG_ENUM_KEY_RES res;
    if (!call(REG_ENUM_KEY_EX, xdr_regd_REG_ENUM_KEY_EX, req, xdr_regd_REG_ENUM_KEY_RES, res))
        return {CALL_FAILED, "", 0, "", 0, 0, 0};
    return takeEnumKey(res);
}

EnumValueResult RegistryRpc::enumValue(uint32_t h, uint32_t index, uint32_t cbValue, uint32_t cbData) {
    regd_REG_ENUM_VALUE req{};
    req.hKey = h;
    req.dwIndex = index;
    req.lpcbValue = cbValue;
    req.lpcbData = cbData;
    regd_REG_ENUM_VALUE_RES res;
    if (!call(REG_ENUM_VALUE, xdr_regd_REG_ENUM_VALUE, req, xdr_regd_REG_ENUM_VALUE_RES, res))
        return {CALL_FAILED, "", 0, 0, "", 0};
    EnumValueResult r{res.ret.retval, text(res.ret.lpszValue), res.ret.lpcbValue, res.ret.lpdwType,
                      opaqueBytes(res.ret.lpData), res.ret.lpcbData};
    RELEASE(xdr_regd_REG_ENUM_VALUE_RES, res);
    return r;
}

InfoResult RegistryRpc::queryInfoKey(uint32_t h) {
    regd_REG_QUERY_INFO_KEY req{};
    req.hKey = h;
    req.lpcbClass = 64;
    regd_REG_QUERY_INFO_KEY_RES res;
    InfoResult r{};
    if (!call(REG_QUERY_INFO_KEY, xdr_regd_REG_QUERY_INFO_KEY, req, xdr_regd_REG_QUERY_INFO_KEY_RES, res)) {
        r.retval = CALL_FAILED;
        return r;
    }
    const regd_REG_QUERY_INFO_KEY_RETURN& x = res.ret;
    r = InfoResult{x.retval, text(x.lpClass), x.lpcbClass, x.lpReserved, x.cSubKeys, x.cbMaxSubKeyLen,
                   x.cbMaxClassLen, x.cValues, x.cbMaxValueNameLen, x.cbMaxValueLen,
                   x.cbSecurityDescriptor, x.ftLastWriteTime.dwLowDateTime,
                   x.ftLastWriteTime.dwHighDateTime, x.isClassNull};
    RELEASE(xdr_regd_REG_QUERY_INFO_KEY_RES, res);
    return r;
}

uint32_t RegistryRpc::queryVersionMajor() {
    regd_REG_QUERY_VERSION req{};
    regd_REG_QUERY_VERSION_RES res;
    if (!call(REG_QUERY_VERSION, xdr_regd_REG_QUERY_VERSION, req, xdr_regd_REG_QUERY_VERSION_RES, res))
        return CALL_FAILED;
    return res.ret.major;
}

uint32_t RegistryRpc::mustCreate(uint32_t h, const std::string& sub) {
    CreateResult r = createKey(h, sub);
    EXPECT_EQ(r.retval, 0u) << "creating " << sub;
    return r.hk;
}

std::vector<std::string> logMessages(const PrivateDaemon& daemon) {
    std::istringstream in(readFile(daemon.regDir() + "/kalvo_reg.log"));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        size_t start = line.find("] ");
        std::string msg = start == std::string::npos ? line : line.substr(start + 2);
        size_t end = msg.find_last_not_of(' ');
        lines.push_back(end == std::string::npos ? "" : msg.substr(0, end + 1));
    }
    return lines;
}

}  // namespace kalvotest
