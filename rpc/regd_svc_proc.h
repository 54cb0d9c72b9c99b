// Registry procedures: each takes its decoded request and returns its result
// record, which stays valid until the next call of the same procedure.
#pragma once

#include "rpc/regd_xdr.h"
#include "store/regdcache.h"

// Largest reply buffer a procedure allocates from a size the client states;
// a larger size is answered with 1130 as an allocation failure would be.
constexpr uint32_t REGD_MAX_REPLY_BUFFER = 64u * 1024u * 1024u;

// Logs the entry line and the request header when verbose.
void regdTraceEntry(const char* procName, const regd_USER_DATA& header);

// Logs "    ---" and the exit line with retval when verbose.
void regdTraceExit(const char* procName, uint32_t retval);

// The caller a request header names; a name longer than 31 bytes is cut.
RegdCaller regdCallerOf(const regd_USER_DATA& header);

// Releases the previous result of a procedure (after its first call) with
// the result's own XDR routine, and clears the record.
template <typename Res>
void regdReleaseResult(Res& res, bool& calledBefore, bool_t (*xdrRes)(XDR*, Res*)) {
    if (calledBefore) xdr_free(reinterpret_cast<xdrproc_t>(xdrRes), reinterpret_cast<char*>(&res));
    calledBefore = true;
    res = Res{};
}

// Skeleton steps 2 to 4: the caller from the header (returned), previous
// result released, resultTag 1.
template <typename Res>
RegdCaller regdStartResult(const regd_USER_DATA& header, Res& res, bool& calledBefore,
                           bool_t (*xdrRes)(XDR*, Res*)) {
    regdReleaseResult(res, calledBefore, xdrRes);
    res.resultTag = 1;
    return regdCallerOf(header);
}

regd_REG_QUERY_VERSION_RES* reg_query_version_2(regd_REG_QUERY_VERSION* req, struct svc_req* rqstp);

// Client process life cycle: ordinary ping (0), process end (1), segment id
// (2), daemon pid (3).
regd_BASIC_RES* reg_ping_daemon_2(regd_REG_PING_DAEMON* req, struct svc_req* rqstp);

// Keys.
regd_REG_OPEN_KEY_RES* reg_open_key_2(regd_REG_OPEN_KEY* req, struct svc_req* rqstp);
regd_REG_OPEN_KEY_RES* reg_open_key_ex_2(regd_REG_OPEN_KEY_EX* req, struct svc_req* rqstp);
regd_REG_CREATE_KEY_RES* reg_create_key_2(regd_REG_CREATE_KEY* req, struct svc_req* rqstp);
regd_REG_CREATE_KEY_RES* reg_create_key_ex_2(regd_REG_CREATE_KEY_EX* req, struct svc_req* rqstp);
regd_BASIC_RES* reg_close_key_2(regd_REG_CLOSE_KEY* req, struct svc_req* rqstp);
regd_BASIC_RES* reg_delete_key_2(regd_REG_DELETE_KEY* req, struct svc_req* rqstp);
// Answers with the close procedure's result record.
regd_BASIC_RES* reg_flush_key_2(regd_REG_FLUSH_KEY* req, struct svc_req* rqstp);

// Values.
regd_REG_QUERY_VALUE_RES* reg_query_value_2(regd_REG_QUERY_VALUE* req, struct svc_req* rqstp);
regd_REG_QUERY_VALUE_RES* reg_query_value_ex_2(regd_REG_QUERY_VALUE_EX* req, struct svc_req* rqstp);
regd_BASIC_RES* reg_set_value_2(regd_REG_SET_VALUE* req, struct svc_req* rqstp);
regd_BASIC_RES* reg_set_value_ex_2(regd_REG_SET_VALUE_EX* req, struct svc_req* rqstp);
regd_BASIC_RES* reg_delete_value_2(regd_REG_DELETE_VALUE* req, struct svc_req* rqstp);

// Enumeration and key information.
regd_REG_ENUM_KEY_RES* reg_enum_key_2(regd_REG_ENUM_KEY* req, struct svc_req* rqstp);
regd_REG_ENUM_KEY_RES* reg_enum_key_ex_2(regd_REG_ENUM_KEY_EX* req, struct svc_req* rqstp);
regd_REG_ENUM_VALUE_RES* reg_enum_value_2(regd_REG_ENUM_VALUE* req, struct svc_req* rqstp);
regd_REG_QUERY_INFO_KEY_RES* reg_query_info_key_2(regd_REG_QUERY_INFO_KEY* req, struct svc_req* rqstp);

// Hives, security and notification.
regd_BASIC_RES* reg_load_key_2(regd_REG_LOAD_KEY* req, struct svc_req* rqstp);
regd_BASIC_RES* reg_unload_key_2(regd_REG_UNLOAD_KEY* req, struct svc_req* rqstp);
regd_BASIC_RES* reg_replace_key_2(regd_REG_REPLACE_KEY* req, struct svc_req* rqstp);
regd_BASIC_RES* reg_restore_key_2(regd_REG_RESTORE_KEY* req, struct svc_req* rqstp);
regd_BASIC_RES* reg_save_key_2(regd_REG_SAVE_KEY* req, struct svc_req* rqstp);
regd_REG_GET_KEY_SEC_RES* reg_get_key_security_2(regd_REG_GET_KEY_SEC* req, struct svc_req* rqstp);
regd_BASIC_RES* reg_set_key_security_2(regd_REG_SET_KEY_SEC* req, struct svc_req* rqstp);
regd_BASIC_RES* reg_notify_change_key_value_2(regd_REG_NOTIFY_CHANGE_KEY_VALUE* req, struct svc_req* rqstp);
