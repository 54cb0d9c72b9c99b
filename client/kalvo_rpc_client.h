// Client side of the registry program: connection over TCP through the
// portmapper and calls with the shared wire records. Host and program come
// from KALVO_REGISTRY_HOST (default localhost) and KALVO_REGISTRY_PROG
// (default 0x3003003C; decimal or 0x-prefixed hexadecimal).
#pragma once

#include <cstdint>
#include <rpc/rpc.h>
#include <string>

#include "rpc/regd_xdr.h"

// XDR routine casts for clnt_call.
template <typename T>
inline xdrproc_t kalvoXdr(bool_t (*fn)(XDR*, T*)) {
    return reinterpret_cast<xdrproc_t>(fn);
}
inline xdrproc_t kalvoXdrVoid() {
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));
}

struct KalvoTarget {
    std::string host;
    uint32_t prog;
};

// The daemon named by the environment. A malformed KALVO_REGISTRY_PROG
// falls back to the default program number.
KalvoTarget kalvoTargetFromEnv();

// Parses a program number in decimal or 0x hexadecimal; false if malformed.
bool kalvoParseProg(const char* text, uint32_t* prog);

// A new TCP client handle for (target, version), or null with the reason in
// *error (clnt_spcreateerror's text).
CLIENT* kalvoClientCreate(const KalvoTarget& target, uint32_t version, std::string* error);

// Calls procedure `proc` with the given records. The request is encoded for
// `version` (no header in version 1). Timeout in seconds.
enum clnt_stat kalvoCall(CLIENT* clnt, uint32_t version, uint32_t proc, xdrproc_t encodeReq,
                         void* req, xdrproc_t decodeRes, void* res, int timeoutSeconds = 25);

// Fills a request header for the calling process: user id, user name (heap
// copy, released by kalvoFreeHeader), host id, and the layer version.
void kalvoFillHeader(regd_USER_DATA* header);
void kalvoFreeHeader(regd_USER_DATA* header);

// Calls `proc` over the thread's connection for `version` (created as
// kalvoThreadClient does). When the connection turns out closed before any
// byte of the reply arrived (the daemon closed it while idle, or was
// restarted), reconnects and sends the call once more. On a failure the
// connection is dropped; *error names a connection that could not be made.
enum clnt_stat kalvoThreadCall(uint32_t version, uint32_t proc, xdrproc_t encodeReq, void* req,
                               xdrproc_t decodeRes, void* res, std::string* error, int timeoutSeconds = 25);

// kalvoThreadCall (version 2) over the process-wide connection, which
// outlives the threads that use it: what must not end with a thread (a
// thread-agnostic change notification) is made on it. Calls of all threads
// take turns on it; a forked child opens its own.
enum clnt_stat kalvoProcessCall(uint32_t proc, xdrproc_t encodeReq, void* req, xdrproc_t decodeRes, void* res,
                                std::string* error, int timeoutSeconds = 25);

// A per-thread connection to the daemon of the environment for `version`,
// created on first use and re-created when the environment names another
// daemon, in a forked child, or after a transport failure
// (kalvoDropThreadClient).
CLIENT* kalvoThreadClient(uint32_t version, std::string* error);
void kalvoDropThreadClient(uint32_t version);
