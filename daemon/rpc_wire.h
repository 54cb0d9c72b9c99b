// ONC RPC over TCP as the serving loop speaks it: records assembled from
// their fragments, the call header with its credentials checked, and replies
// encoded in exactly the bytes and fragments clients have always received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <rpc/rpc.h>
#include <span>
#include <vector>

// Longest request record served; a longer one ends its connection.
constexpr size_t RPC_MAX_RECORD = 64u * 1024u * 1024u;

// One record being assembled from its fragments. Memory grows with the
// bytes that arrive, never with what a fragment mark announces.
struct RpcRecordReader {
    std::vector<uint8_t> body;  // fragment bodies so far, marks removed
    uint8_t mark[4] = {};
    uint32_t markHave = 0;      // bytes of the next mark received
    uint32_t fragmentLeft = 0;  // body bytes of the current fragment to come
    bool inFragment = false;
    bool lastFragment = false;
};

enum class RpcFeed { More, Complete, TooLong };

// Consumes bytes of `in` up to the end of the current record; *used says how
// many. Complete: reader.body holds the record.
RpcFeed rpcFeedRecord(RpcRecordReader& reader, std::span<const uint8_t> in, size_t* used);

// True once any byte of a record (mark or body) has arrived.
bool rpcRecordStarted(const RpcRecordReader& reader);

// Forgets the record and releases its memory.
void rpcRecordReset(RpcRecordReader& reader);

// A decoded call header; the credential and verifier bodies live here.
struct RpcCallHeader {
    rpc_msg msg{};
    char cred[MAX_AUTH_BYTES];
    char verf[MAX_AUTH_BYTES];
};

// Decodes the call header at the start of `x`: false when the record is no
// version-2 call (the connection is then closed, as it always was).
bool rpcDecodeCall(XDR* x, RpcCallHeader* call);

// Checks the credentials as the RPC library's built-in flavours do: AUTH_OK
// with the verifier every reply to the call carries in *verf (pointing into
// `call`), or the reason for an AUTH_ERROR reply.
enum auth_stat rpcAuthenticate(const RpcCallHeader& call, opaque_auth* verf);

// Where a reply goes and what it carries in its header.
struct RpcReplyTo {
    uint32_t xid;
    opaque_auth verf;
};

// The reply with a result, appended to *out as fragments; false when the
// result could not be encoded (the partial record is still appended, then a
// SYSTEM_ERR reply, as the library's transport did).
bool rpcEncodeSuccess(std::vector<uint8_t>* out, const RpcReplyTo& to, xdrproc_t encode, void* result);

// An accepted reply without result: PROG_UNAVAIL, PROG_MISMATCH (with the
// lowest and highest version), PROC_UNAVAIL, GARBAGE_ARGS or SYSTEM_ERR.
void rpcEncodeAcceptError(std::vector<uint8_t>* out, const RpcReplyTo& to, enum accept_stat stat,
                          uint32_t low = 0, uint32_t high = 0);

// A denied reply for a call whose credentials failed.
void rpcEncodeAuthError(std::vector<uint8_t>* out, uint32_t xid, enum auth_stat why);

// Bytes on the wire of a successful reply with this result, marks included
// (an upper bound within a few bytes); no memory of that size is touched.
size_t rpcReplyWireSize(xdrproc_t encode, void* result);
