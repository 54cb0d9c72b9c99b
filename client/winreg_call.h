// One registry call of the client library: the request header filled for
// the calling process, the thread's connection, and the reply released with
// its own XDR routine when it goes out of scope.
#pragma once

#include <string>

#include "client/kalvo_rpc_client.h"
#include "kalvo/winreg.h"

namespace kalvoreg {

constexpr uint32_t PROTOCOL_VERSION = 2;

// A text field of a request: the daemon always receives a string.
inline char* wireText(const char* s) { return const_cast<char*>(s != nullptr ? s : ""); }

template <typename Res>
struct Reply {
    Res res{};
    bool_t (*xdrRes)(XDR*, Res*);
    explicit Reply(bool_t (*x)(XDR*, Res*)) : xdrRes(x) {}
    ~Reply() { xdr_free(reinterpret_cast<xdrproc_t>(xdrRes), reinterpret_cast<char*>(&res)); }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
};

// Sends `req` (header filled here) and decodes into reply: 0, or the
// library's transport error (the thread's connection is then dropped).
template <typename Req, typename Res>
LONG callDaemon(uint32_t proc, bool_t (*xdrReq)(XDR*, Req*), Req* req, Reply<Res>& reply) {
    std::string error;
    kalvoFillHeader(&req->userData);
    enum clnt_stat st = kalvoThreadCall(PROTOCOL_VERSION, proc, reinterpret_cast<xdrproc_t>(xdrReq), req,
                                        reinterpret_cast<xdrproc_t>(reply.xdrRes), &reply.res, &error);
    kalvoFreeHeader(&req->userData);
    if (st != RPC_SUCCESS) return error.empty() ? RPC_S_CALL_FAILED : RPC_S_SERVER_UNAVAILABLE;
    return reply.res.resultTag == 1 ? ERROR_SUCCESS : RPC_S_CALL_FAILED;
}

// A call whose reply is a bare status: the status, or the transport error.
template <typename Req>
LONG callForStatus(uint32_t proc, bool_t (*xdrReq)(XDR*, Req*), Req* req) {
    Reply<regd_BASIC_RES> reply(xdr_regd_BASIC_RES);
    if (LONG t = callDaemon(proc, xdrReq, req, reply)) return t;
    return static_cast<LONG>(reply.res.ret.retval);
}

}  // namespace kalvoreg
