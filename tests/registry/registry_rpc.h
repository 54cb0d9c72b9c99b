// Raw calls of the registry program for tests: any header, any version,
// replies copied into plain values and released at once.
#pragma once

#include <cstdint>
#include <rpc/rpc.h>
#include <string>
#include <vector>

#include "harness/daemon_harness.h"
#include "rpc/regd_xdr.h"

namespace kalvotest {

constexpr uint32_t HKCR = 0x80000000u;
constexpr uint32_t HKCU = 0x80000001u;
constexpr uint32_t HKLM = 0x80000002u;
constexpr uint32_t HKU = 0x80000003u;
constexpr uint32_t HKCC = 0x80000005u;
constexpr uint32_t HKDD = 0x80000006u;

const std::string PLACEHOLDER = "ZORP+IS+COOL";
// The placeholder as an opaque field carries its NUL.
const std::string PLACEHOLDER_BYTES = std::string("ZORP+IS+COOL", 13);

struct Caller {
    std::string user;
    uint32_t userId;
    uint32_t hostId;
};
// A caller on this host, or on another one.
Caller localCaller(const std::string& user);
Caller remoteCaller(const std::string& user);

struct OpenResult { uint32_t retval; uint32_t hk; };
struct CreateResult { uint32_t retval; uint32_t hk; uint32_t disposition; };
struct QueryResult { uint32_t retval; uint32_t type; std::string data; uint32_t cbData; };
struct EnumKeyResult {
    uint32_t retval;
    std::string name;
    uint32_t cbName;
    std::string cls;
    uint32_t cbClass;
    uint32_t ftLow;
    uint32_t ftHigh;
};
struct EnumValueResult {
    uint32_t retval;
    std::string name;
    uint32_t cbName;
    uint32_t type;
    std::string data;
    uint32_t cbData;
};
struct InfoResult {
    uint32_t retval;
    std::string cls;
    uint32_t cbClass, reserved, cSubKeys, cbMaxSubKeyLen, cbMaxClassLen, cValues;
    uint32_t cbMaxValueNameLen, cbMaxValueLen, cbSecurityDescriptor, ftLow, ftHigh;
    uint16_t isClassNull;
};

// Failed transport calls become a gtest failure and a result of ~0.
constexpr uint32_t CALL_FAILED = 0xFFFFFFFFu;

class RegistryRpc {
  public:
    RegistryRpc(const PrivateDaemon& daemon, uint32_t version, Caller caller);
    ~RegistryRpc();
    RegistryRpc(const RegistryRpc&) = delete;
    RegistryRpc& operator=(const RegistryRpc&) = delete;
    bool connected() const { return clnt_ != nullptr; }
    Caller caller;

    OpenResult openKey(uint32_t h, const std::string& sub);
    OpenResult openKeyEx(uint32_t h, const std::string& sub, bool subNull = false);
    CreateResult createKey(uint32_t h, const std::string& sub, bool subNull = false);
    CreateResult createKeyEx(uint32_t h, const std::string& sub, const std::string& cls,
                             uint32_t options = 0, bool subNull = false, bool classNull = false);
    uint32_t closeKey(uint32_t h);
    uint32_t deleteKey(uint32_t h, const std::string& sub);
    uint32_t flushKey(uint32_t h);
    uint32_t deleteValue(uint32_t h, const std::string& name, bool nameNull = false);
    QueryResult queryValue(uint32_t h, const std::string& sub, uint32_t cap, bool subNull = false,
                           bool valueNull = false);
    QueryResult queryValueEx(uint32_t h, const std::string& name, uint32_t cap, bool nameNull = false,
                             bool dataNull = false);
    uint32_t setValue(uint32_t h, const std::string& sub, uint32_t type, const std::string& text,
                      uint32_t cbData, bool subNull = false);
    uint32_t setValueEx(uint32_t h, const std::string& name, uint32_t type, const std::string& bytes,
                        uint32_t cbData, bool nameNull = false);
    EnumKeyResult enumKey(uint32_t h, uint32_t index, uint32_t dwMax);
    EnumKeyResult enumKeyEx(uint32_t h, uint32_t index, uint32_t cbName, uint32_t cbClass);
    EnumValueResult enumValue(uint32_t h, uint32_t index, uint32_t cbValue, uint32_t cbData);
    InfoResult queryInfoKey(uint32_t h);
    uint32_t queryVersionMajor();

    // The handle of a key created (or opened) under h; fails the test if not 0.
    uint32_t mustCreate(uint32_t h, const std::string& sub);

  private:
    template <typename Req, typename Res>
    bool call(uint32_t proc, bool_t (*xdrReq)(XDR*, Req*), Req& req, bool_t (*xdrRes)(XDR*, Res*),
              Res& res);
    CLIENT* clnt_ = nullptr;
    uint32_t version_;
};

// Log lines of a daemon's log without their time stamps and padding.
std::vector<std::string> logMessages(const PrivateDaemon& daemon);

}  // namespace kalvotest
