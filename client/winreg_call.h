// One registry call of the client library: the request header filled for
// the calling process, the thread's connection, and the reply released with
// its own XDR routine when it goes out of scope.
#pragma once

#include <string>
#include <utility>

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

// Which connection a call goes on.
enum class Via { Thread, Process };

// Sends `req` (header filled here) and decodes into reply: 0, or the
// library's transport error (the connection is then dropped).
template <typename Req, typename Res>
LONG callDaemon(uint32_t proc, bool_t (*xdrReq)(XDR*, Req*), Req* req, Reply<Res>& reply, Via via = Via::Thread) {
    std::string error;
    kalvoFillHeader(&req->userData);
    auto encode = reinterpret_cast<xdrproc_t>(xdrReq);
    auto decode = reinterpret_cast<xdrproc_t>(reply.xdrRes);
    enum clnt_stat st = via == Via::Thread
                            ? kalvoThreadCall(PROTOCOL_VERSION, proc, encode, req, decode, &reply.res, &error)
                            : kalvoProcessCall(proc, encode, req, decode, &reply.res, &error);
    kalvoFreeHeader(&req->userData);
    if (st != RPC_SUCCESS) return error.empty() ? RPC_S_CALL_FAILED : RPC_S_SERVER_UNAVAILABLE;
    return reply.res.resultTag == 1 ? ERROR_SUCCESS : RPC_S_CALL_FAILED;
}

// A call whose reply is a bare status: the status, or the transport error.
template <typename Req>
LONG callForStatus(uint32_t proc, bool_t (*xdrReq)(XDR*, Req*), Req* req, Via via = Via::Thread) {
    Reply<regd_BASIC_RES> reply(xdr_regd_BASIC_RES);
    if (LONG t = callDaemon(proc, xdrReq, req, reply, via)) return t;
    return static_cast<LONG>(reply.res.ret.retval);
}

// Keys that have change notifications on the process-wide connection (closing
// them must reach it) or on this thread's.
void noteWatchedKey(uint32_t hKey, Via via);
// Which connections a close of hKey must go on, forgetting hKey: the thread's
// (first) and the process's.
std::pair<bool, bool> takeWatchedKey(uint32_t hKey);

}  // namespace kalvoreg
