// Record marking, call headers, credentials and replies of the registry
// program's TCP service. Replies go through the RPC library's own record
// stream with the buffer its TCP transport used, so their fragments (65,532
// bytes of body each) and headers stay exactly as clients know them.
#include "daemon/rpc_wire.h"

#include <algorithm>
#include <cstring>

namespace {

// The send buffer of the library's TCP transport (64 KiB, mark included).
constexpr u_int REPLY_FRAGMENT_BUFFER = 64u * 1024u;
constexpr uint32_t LAST_FRAGMENT = 0x80000000u;
constexpr uint32_t UNIX_MACHINE_NAME_MAX = 255;
constexpr uint32_t UNIX_GIDS_MAX = 16;
constexpr uint32_t AUTH_DES_FLAVOR = 3;
// RPCSEC_GSS credential fields.
constexpr uint32_t GSS_VERSION = 1;
constexpr uint32_t GSS_DATA = 0, GSS_INIT = 1, GSS_CONTINUE_INIT = 2, GSS_DESTROY = 3;
constexpr uint32_t GSS_SVC_NONE = 1, GSS_SVC_PRIVACY = 3;

uint32_t bigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

uint32_t roundUp4(uint32_t n) { return (n + 3u) & ~3u; }

// A per-thread record stream whose output is appended to `out`.
struct ReplyStream {
    XDR x{};
    std::vector<uint8_t>* out = nullptr;
    ReplyStream() { xdrrec_create(&x, REPLY_FRAGMENT_BUFFER, 0, this, readNothing, append); }
    ~ReplyStream() { XDR_DESTROY(&x); }
    ReplyStream(const ReplyStream&) = delete;
    ReplyStream& operator=(const ReplyStream&) = delete;

    static int readNothing(void*, void*, int) { return -1; }
    static int append(void* handle, void* buf, int len) {
        auto* s = static_cast<ReplyStream*>(handle);
        const auto* bytes = static_cast<const uint8_t*>(buf);
        s->out->insert(s->out->end(), bytes, bytes + len);
        return len;
    }
};

XDR* replyStream(std::vector<uint8_t>* out) {
    static thread_local ReplyStream stream;
    stream.out = out;
    stream.x.x_op = XDR_ENCODE;
    return &stream.x;
}

rpc_msg acceptedReply(const RpcReplyTo& to, enum accept_stat stat) {
    rpc_msg m{};
    m.rm_xid = to.xid;
    m.rm_direction = REPLY;
    m.rm_reply.rp_stat = MSG_ACCEPTED;
    m.acpted_rply.ar_verf = to.verf;
    m.acpted_rply.ar_stat = stat;
    m.acpted_rply.ar_results.where = nullptr;
    m.acpted_rply.ar_results.proc = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));
    return m;
}

// AUTH_SYS: the parameters must fit their length, with a machine name of at
// most 255 bytes and at most 16 group ids.
bool unixCredentialsFit(const opaque_auth& cred) {
    const auto* p = reinterpret_cast<const uint8_t*>(cred.oa_base);
    uint32_t n = cred.oa_length;
    if (n < 8) return false;
    uint32_t nameLen = bigEndian32(p + 4);
    if (nameLen > UNIX_MACHINE_NAME_MAX) return false;
    uint32_t gidsAt = 8 + roundUp4(nameLen) + 8;
    if (gidsAt + 4 > n) return false;
    uint32_t gids = bigEndian32(p + gidsAt);
    if (gids > UNIX_GIDS_MAX) return false;
    return (5 + gids) * 4 + roundUp4(nameLen) <= n;
}

// RPCSEC_GSS: no security context is ever established here, so a
// well-formed credential fails as the library fails it without one.
enum auth_stat gssStatus(const RpcCallHeader& call) {
    const opaque_auth& cred = call.msg.rm_call.cb_cred;
    if (cred.oa_length == 0) return AUTH_BADCRED;
    XDR x;
    xdrmem_create(&x, cred.oa_base, cred.oa_length, XDR_DECODE);
    uint32_t version = 0, proc = 0, seq = 0, service = 0;
    char* context = nullptr;
    u_int contextLen = 0;
    bool ok = xdr_u_int(&x, &version) && xdr_u_int(&x, &proc) && xdr_u_int(&x, &seq) &&
              xdr_u_int(&x, &service) && xdr_bytes(&x, &context, &contextLen, MAX_AUTH_BYTES);
    free(context);
    if (!ok || version != GSS_VERSION) return AUTH_BADCRED;
    if (service < GSS_SVC_NONE || service > GSS_SVC_PRIVACY) return AUTH_BADCRED;
    switch (proc) {
    case GSS_INIT:
    case GSS_CONTINUE_INIT:
        return AUTH_FAILED;
    case GSS_DESTROY:
        return call.msg.rm_call.cb_proc != NULLPROC ? AUTH_FAILED : RPCSEC_GSS_CREDPROBLEM;
    case GSS_DATA:
        return RPCSEC_GSS_CREDPROBLEM;
    default:
        return AUTH_REJECTEDCRED;
    }
}

}  // namespace

RpcFeed rpcFeedRecord(RpcRecordReader& r, std::span<const uint8_t> in, size_t* used) {
    size_t pos = 0;
    for (;;) {
        if (!r.inFragment) {
            while (r.markHave < 4 && pos < in.size()) r.mark[r.markHave++] = in[pos++];
            if (r.markHave < 4) break;
            uint32_t mark = bigEndian32(r.mark);
            r.markHave = 0;
            r.lastFragment = (mark & LAST_FRAGMENT) != 0;
            r.fragmentLeft = mark & ~LAST_FRAGMENT;
            r.inFragment = true;
            if (r.body.size() + r.fragmentLeft > RPC_MAX_RECORD) {
                *used = pos;
                return RpcFeed::TooLong;
            }
        }
        size_t take = std::min<size_t>(r.fragmentLeft, in.size() - pos);
        r.body.insert(r.body.end(), in.begin() + static_cast<ptrdiff_t>(pos),
                      in.begin() + static_cast<ptrdiff_t>(pos + take));
        pos += take;
        r.fragmentLeft -= static_cast<uint32_t>(take);
        if (r.fragmentLeft > 0) break;
        r.inFragment = false;
        if (r.lastFragment) {
            *used = pos;
            return RpcFeed::Complete;
        }
    }
    *used = pos;
    return RpcFeed::More;
}

bool rpcRecordStarted(const RpcRecordReader& r) { return r.markHave > 0 || r.inFragment || !r.body.empty(); }

void rpcRecordReset(RpcRecordReader& r) {
    std::vector<uint8_t>().swap(r.body);
    r.markHave = 0;
    r.fragmentLeft = 0;
    r.inFragment = false;
    r.lastFragment = false;
}

bool rpcDecodeCall(XDR* x, RpcCallHeader* call) {
    call->msg = rpc_msg{};
    call->msg.rm_call.cb_cred.oa_base = call->cred;
    call->msg.rm_call.cb_verf.oa_base = call->verf;
    return xdr_callmsg(x, &call->msg) != 0;
}

enum auth_stat rpcAuthenticate(const RpcCallHeader& call, opaque_auth* verf) {
    *verf = opaque_auth{AUTH_NONE, nullptr, 0};
    const opaque_auth& cred = call.msg.rm_call.cb_cred;
    switch (cred.oa_flavor) {
    case AUTH_NONE:
        return AUTH_OK;
    case AUTH_SYS:
        if (!unixCredentialsFit(cred)) return AUTH_BADCRED;
        // A verifier with a body is sent back as it came.
        if (call.msg.rm_call.cb_verf.oa_length != 0) *verf = call.msg.rm_call.cb_verf;
        return AUTH_OK;
    case AUTH_DES_FLAVOR:
        return AUTH_FAILED;
    case RPCSEC_GSS:
        return gssStatus(call);
    default:
        return AUTH_REJECTEDCRED;
    }
}

bool rpcEncodeSuccess(std::vector<uint8_t>* out, const RpcReplyTo& to, xdrproc_t encode, void* result) {
    out->reserve(out->size() + rpcReplyWireSize(encode, result));
    rpc_msg m = acceptedReply(to, SUCCESS);
    XDR* x = replyStream(out);
    bool ok = xdr_replymsg(x, &m) && encode(x, result);
    xdrrec_endofrecord(x, TRUE);
    if (!ok) rpcEncodeAcceptError(out, to, SYSTEM_ERR);
    return ok;
}

void rpcEncodeAcceptError(std::vector<uint8_t>* out, const RpcReplyTo& to, enum accept_stat stat, uint32_t low,
                          uint32_t high) {
    rpc_msg m = acceptedReply(to, stat);
    if (stat == PROG_MISMATCH) {
        m.acpted_rply.ar_vers.low = low;
        m.acpted_rply.ar_vers.high = high;
    }
    XDR* x = replyStream(out);
    xdr_replymsg(x, &m);
    xdrrec_endofrecord(x, TRUE);
}

void rpcEncodeAuthError(std::vector<uint8_t>* out, uint32_t xid, enum auth_stat why) {
    rpc_msg m{};
    m.rm_xid = xid;
    m.rm_direction = REPLY;
    m.rm_reply.rp_stat = MSG_DENIED;
    m.rjcted_rply.rj_stat = AUTH_ERROR;
    m.rjcted_rply.rj_why = why;
    XDR* x = replyStream(out);
    xdr_replymsg(x, &m);
    xdrrec_endofrecord(x, TRUE);
}

size_t rpcReplyWireSize(xdrproc_t encode, void* result) {
    constexpr size_t header = 6 * 4 + MAX_AUTH_BYTES;
    size_t body = header + xdr_sizeof(encode, result);
    size_t fragments = body / (REPLY_FRAGMENT_BUFFER - 4) + 2;
    return body + 4 * fragments;
}
