// version, ping and sync-dump: questions to the daemon itself.
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>

#include "client/kalvo_rpc_client.h"
#include "client/kalvo_sync_client.h"
#include "kalvo/kalvoping.h"
#include "sync/kvipc_wire.h"
#include "tools/regcmds.h"
#include "tools/regerror.h"

#ifndef KALVOREG_VERSION
#define KALVOREG_VERSION "unknown"
#endif

namespace regtool {

namespace {

// "localhost, program 0x3003003c": the daemon the environment names.
std::string daemonName() {
    KalvoTarget target = kalvoTargetFromEnv();
    char prog[16];
    snprintf(prog, sizeof prog, "0x%x", target.prog);
    return target.host + ", program " + prog;
}

}  // namespace

int runVersion(const ParsedArgs& args) {
    if (!expectPositional("version", args, 0, "no arguments")) return 1;
    DWORD major = 0;
    DWORD minor = 0;
    DWORD minorminor = 0;
    printf("kalvoreg %s\n", KALVOREG_VERSION);
    LONG rv = KalvoQueryVersion(&major, &minor, &minorminor);
    if (rv != ERROR_SUCCESS) return reportError("version (daemon on " + daemonName() + ")", rv);
    printf("protocol version %u.%u.%u (daemon on %s)\n", major, minor, minorminor, daemonName().c_str());
    return 0;
}

int runPing(const ParsedArgs& args) {
    if (!expectPositional("ping", args, 0, "no arguments")) return 1;
    DWORD pid = 0;
    LONG rv = KalvoGetDaemonPid(&pid);
    if (rv != ERROR_SUCCESS) return reportError("ping (daemon on " + daemonName() + ")", rv);
    printf("daemon on %s answers: pid %u\n", daemonName().c_str(), pid);
    return 0;
}

int runSyncDump(const ParsedArgs& args) {
    const std::string cmd = "sync-dump";
    if (!expectPositional(cmd, args, 0, "no arguments")) return 1;
    DWORD pid = 0;
    LONG rv = KalvoGetDaemonPid(&pid);
    if (rv != ERROR_SUCCESS) return reportError(cmd + " (daemon on " + daemonName() + ")", rv);
    // The sync server of the very daemon that answered, whatever the
    // environment said before.
    setenv("KALVO_REGISTRY_PID", std::to_string(pid).c_str(), 1);
    // The dump request has no reply; the reply to a harmless request behind
    // it (closing a handle this process never had) says it is written.
    int32_t closeRequest[2] = {kvClientPid(), 0};
    int32_t closeReply[3] = {};
    if (!kvClientCall(KV_OP_SYNC_DEBUG, {}, {}) ||
        !kvClientCall(KV_OP_CLOSE_HANDLE,
                      std::span<const char>(reinterpret_cast<const char*>(closeRequest), sizeof closeRequest),
                      std::span<char>(reinterpret_cast<char*>(closeReply), sizeof closeReply))) {
        return reportError(cmd, RPC_S_SERVER_UNAVAILABLE,
                           "(the sync server of daemon pid " + std::to_string(pid) + " cannot be reached)");
    }
    printf("sync dump written to the standard error of the daemon (pid %u)\n", pid);
    return 0;
}

}  // namespace regtool
