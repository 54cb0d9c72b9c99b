#include "rpc/regd_svc_proc.h"

#include "daemon/regdconfig.h"
#include "daemon/regdutils.h"

void regdTraceEntry(const char* procName, const regd_USER_DATA& header) {
    if (!g_verbose) return;
    writeToLog("--> Entering %s()", procName);
    writeToLog("    ptr->userName: %s", header.userName != nullptr ? header.userName : "");
    writeToLog("    ptr->userId: %d", static_cast<int>(header.userId));
    writeToLog("    ptr->hostId: %d", static_cast<int>(header.hostId));
}

regd_REG_QUERY_VERSION_RES* reg_query_version_2(regd_REG_QUERY_VERSION* req, struct svc_req*) {
    static regd_REG_QUERY_VERSION_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_query_version", req->userData);
    if (g_verbose) writeToLog("    ptr->kalvoVersion: %d", static_cast<int>(req->userData.kalvoVersion));
    // The caller fields are deliberately left as the previous call set them.
    regdReleaseResult(result, calledBefore, xdr_regd_REG_QUERY_VERSION_RES);
    result.resultTag = 1;
    result.ret.retval = 0;
    result.ret.major = 2;
    result.ret.minor = 3;
    result.ret.minorminor = 0;
    if (g_verbose) {
        writeToLog("    ---");
        writeToLog("    major: %d", static_cast<int>(result.ret.major));
        writeToLog("    minor: %d", static_cast<int>(result.ret.minor));
        writeToLog("    minorminor: %d", static_cast<int>(result.ret.minorminor));
        writeToLog("    retval: %d", static_cast<int>(result.ret.retval));
        writeToLog("<-- Exiting reg_query_version()");
    }
    return &result;
}
