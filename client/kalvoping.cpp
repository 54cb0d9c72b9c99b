#include "kalvo/kalvoping.h"

#include <unistd.h>

#include "client/winreg_call.h"

extern "C" {

LONG KalvoPingDaemon(DWORD mode, LPDWORD retval) {
    regd_REG_PING_DAEMON req{};
    req.pid = static_cast<uint32_t>(getpid());
    req.finalPing = mode;
    kalvoreg::Reply<regd_BASIC_RES> reply(xdr_regd_BASIC_RES);
    if (LONG t = kalvoreg::callDaemon(REG_PING_DAEMON, xdr_regd_REG_PING_DAEMON, &req, reply)) return t;
    if (retval != nullptr) *retval = reply.res.ret.retval;
    return ERROR_SUCCESS;
}

LONG KalvoProcessStart(void) { return KalvoPingDaemon(KALVO_PING_ALIVE, nullptr); }

LONG KalvoProcessEnd(void) { return KalvoPingDaemon(KALVO_PING_PROCESS_END, nullptr); }

LONG KalvoGetDaemonPid(LPDWORD pid) {
    if (pid == nullptr) return ERROR_INVALID_PARAMETER;
    return KalvoPingDaemon(KALVO_PING_DAEMON_PID, pid);
}

LONG KalvoGetSyncSegment(LPDWORD shmId) {
    if (shmId == nullptr) return ERROR_INVALID_PARAMETER;
    DWORD id = 0;
    LONG rv = KalvoPingDaemon(KALVO_PING_SEGMENT, &id);
    if (rv != ERROR_SUCCESS) return rv;
    if (id == 0xFFFFFFFFu) return ERROR_NOT_ENOUGH_MEMORY;
    *shmId = id;
    return ERROR_SUCCESS;
}

}  // extern "C"
