// Registry procedures: each takes its decoded request and returns its result
// record, which stays valid until the next call of the same procedure.
#pragma once

#include "rpc/regd_xdr.h"

// Logs the entry line and the request header when verbose.
void regdTraceEntry(const char* procName, const regd_USER_DATA& header);

// Releases the previous result of a procedure (after its first call) with
// the result's own XDR routine, and clears the record.
template <typename Res>
void regdReleaseResult(Res& res, bool& calledBefore, bool_t (*xdrRes)(XDR*, Res*)) {
    if (calledBefore) xdr_free(reinterpret_cast<xdrproc_t>(xdrRes), reinterpret_cast<char*>(&res));
    calledBefore = true;
    res = Res{};
}

regd_REG_QUERY_VERSION_RES* reg_query_version_2(regd_REG_QUERY_VERSION* req, struct svc_req* rqstp);
