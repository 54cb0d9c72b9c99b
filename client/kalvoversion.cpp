// The daemon's protocol version (QUERY_VERSION).
#include <string>

#include "client/kalvo_rpc_client.h"
#include "kalvo/kalvoping.h"

namespace {

constexpr uint32_t PROTOCOL_VERSION = 2;

}  // namespace

extern "C" LONG KalvoQueryVersion(DWORD* major, DWORD* minor, DWORD* minorminor) {
    if (major == nullptr || minor == nullptr || minorminor == nullptr) return ERROR_INVALID_PARAMETER;
    std::string error;
    CLIENT* clnt = kalvoThreadClient(PROTOCOL_VERSION, &error);
    if (clnt == nullptr) return RPC_S_SERVER_UNAVAILABLE;
    regd_REG_QUERY_VERSION req{};
    kalvoFillHeader(&req.userData);
    regd_REG_QUERY_VERSION_RES res{};
    enum clnt_stat st = kalvoCall(clnt, PROTOCOL_VERSION, REG_QUERY_VERSION, kalvoXdr(xdr_regd_REG_QUERY_VERSION),
                                  &req, kalvoXdr(xdr_regd_REG_QUERY_VERSION_RES), &res);
    kalvoFreeHeader(&req.userData);
    if (st != RPC_SUCCESS) {
        kalvoDropThreadClient(PROTOCOL_VERSION);
        return RPC_S_CALL_FAILED;
    }
    LONG rv = res.resultTag == 1 ? static_cast<LONG>(res.ret.retval) : RPC_S_CALL_FAILED;
    if (rv == ERROR_SUCCESS) {
        *major = res.ret.major;
        *minor = res.ret.minor;
        *minorminor = res.ret.minorminor;
    }
    xdr_free(kalvoXdr(xdr_regd_REG_QUERY_VERSION_RES), reinterpret_cast<char*>(&res));
    return rv;
}
