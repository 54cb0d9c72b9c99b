// Registry procedures as the transport sees them: for each procedure number,
// how its request is decoded, how its result is encoded, and the call that
// turns one into the other.
#pragma once

#include <cstdint>

#include "rpc/regd_policy.h"
#include "rpc/regd_xdr.h"

// Largest reply buffer a procedure allocates from a size the client states;
// a larger size is answered with 1130 as an allocation failure would be.
constexpr uint32_t REGD_MAX_REPLY_BUFFER = 64u * 1024u * 1024u;

// Procedure numbers run from 0 (the null procedure) to 27.
constexpr uint32_t REGD_NPROCS = 28;

struct RegdProcedure {
    xdrproc_t decodeRequest;
    xdrproc_t encodeResult;
    // Runs the procedure on a decoded request, filling *result (zeroed
    // storage of the caller's, a RegdResultBuffer), which belongs to the call:
    // the transport encodes it, then releases it with xdr_free(encodeResult).
    // Safe to run on several threads at once: reads share the store's lock,
    // changes run one at a time. `peer` is the connection's caller: a call
    // the policy refuses gets 5 in its result and changes nothing.
    void (*call)(void* request, void* result, RegdPeer& peer);
    // Replaces a filled result by the answer to a reply that cannot be
    // queued: retval 1130 (ERROR_NOT_ENOUGH_SERVER_MEMORY), placeholders in
    // its text and data fields.
    void (*refuse)(void* result);
};

// The procedure numbered procNum, or null when there is none (answer
// PROC_UNAVAIL). The null procedure is the transport's own.
const RegdProcedure* regdFindProcedure(uint32_t procNum);

// Large enough for any result record; cleared before each call.
union RegdResultBuffer {
    regd_BASIC_RES basic;
    regd_REG_CREATE_KEY_RES createKey;
    regd_REG_OPEN_KEY_RES openKey;
    regd_REG_ENUM_KEY_RES enumKey;
    regd_REG_ENUM_VALUE_RES enumValue;
    regd_REG_GET_KEY_SEC_RES getKeySec;
    regd_REG_QUERY_INFO_KEY_RES queryInfoKey;
    regd_REG_QUERY_VALUE_RES queryValue;
    regd_REG_QUERY_VERSION_RES queryVersion;
};

// Large enough for any request record; cleared before each decode.
union RegdRequestBuffer {
    regd_REG_CLOSE_KEY closeKey;
    regd_REG_CREATE_KEY createKey;
    regd_REG_CREATE_KEY_EX createKeyEx;
    regd_REG_DELETE_KEY deleteKey;
    regd_REG_DELETE_VALUE deleteValue;
    regd_REG_ENUM_KEY enumKey;
    regd_REG_ENUM_KEY_EX enumKeyEx;
    regd_REG_ENUM_VALUE enumValue;
    regd_REG_FLUSH_KEY flushKey;
    regd_REG_GET_KEY_SEC getKeySec;
    regd_REG_LOAD_KEY loadKey;
    regd_REG_NOTIFY_CHANGE_KEY_VALUE notify;
    regd_REG_OPEN_KEY openKey;
    regd_REG_OPEN_KEY_EX openKeyEx;
    regd_REG_QUERY_INFO_KEY queryInfoKey;
    regd_REG_QUERY_VALUE queryValue;
    regd_REG_QUERY_VALUE_EX queryValueEx;
    regd_REG_REPLACE_KEY replaceKey;
    regd_REG_RESTORE_KEY restoreKey;
    regd_REG_SAVE_KEY saveKey;
    regd_REG_SET_KEY_SEC setKeySec;
    regd_REG_SET_VALUE setValue;
    regd_REG_SET_VALUE_EX setValueEx;
    regd_REG_UNLOAD_KEY unloadKey;
    regd_REG_QUERY_VERSION queryVersion;
    regd_REG_PING_DAEMON ping;
};
