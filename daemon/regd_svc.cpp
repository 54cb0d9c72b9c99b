// The daemon's entry point and the dispatcher of the registry program.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <rpc/rpc.h>
#include <unistd.h>

#include "base/config.h"
#include "daemon/regdmain.h"
#include "rpc/regd_clients.h"
#include "rpc/regd_svc_proc.h"
#include "rpc/regd_xdr.h"

extern "C" bool_t rpc_control(int request, void* info);

namespace {

using RegdProcFn = void* (*)(void*, struct svc_req*);

struct RegdProcEntry {
    xdrproc_t decodeRequest;
    xdrproc_t encodeResult;
    RegdProcFn proc;
};

template <typename Req, typename Res>
constexpr RegdProcEntry procEntry(bool_t (*req)(XDR*, Req*), bool_t (*res)(XDR*, Res*),
                                  Res* (*fn)(Req*, struct svc_req*)) {
    return RegdProcEntry{reinterpret_cast<xdrproc_t>(req), reinterpret_cast<xdrproc_t>(res),
                         reinterpret_cast<RegdProcFn>(fn)};
}

constexpr uint32_t REGD_NPROCS = 28;

// Indexed by procedure number; an entry without a procedure answers
// PROC_UNAVAIL (17 has none by design).
const RegdProcEntry* procTable() {
    static RegdProcEntry table[REGD_NPROCS] = {};
    static bool filled = false;
    if (!filled) {
        table[REG_PING_DAEMON] = procEntry(xdr_regd_REG_PING_DAEMON, xdr_regd_BASIC_RES, reg_ping_daemon_2);
        table[REG_QUERY_VERSION] =
            procEntry(xdr_regd_REG_QUERY_VERSION, xdr_regd_REG_QUERY_VERSION_RES, reg_query_version_2);
        table[REG_CLOSE_KEY] = procEntry(xdr_regd_REG_CLOSE_KEY, xdr_regd_BASIC_RES, reg_close_key_2);
        table[REG_CREATE_KEY] =
            procEntry(xdr_regd_REG_CREATE_KEY, xdr_regd_REG_CREATE_KEY_RES, reg_create_key_2);
        table[REG_CREATE_KEY_EX] =
            procEntry(xdr_regd_REG_CREATE_KEY_EX, xdr_regd_REG_CREATE_KEY_RES, reg_create_key_ex_2);
        table[REG_DELETE_KEY] = procEntry(xdr_regd_REG_DELETE_KEY, xdr_regd_BASIC_RES, reg_delete_key_2);
        table[REG_DELETE_VALUE] =
            procEntry(xdr_regd_REG_DELETE_VALUE, xdr_regd_BASIC_RES, reg_delete_value_2);
        table[REG_ENUM_KEY] = procEntry(xdr_regd_REG_ENUM_KEY, xdr_regd_REG_ENUM_KEY_RES, reg_enum_key_2);
        table[REG_ENUM_KEY_EX] =
            procEntry(xdr_regd_REG_ENUM_KEY_EX, xdr_regd_REG_ENUM_KEY_RES, reg_enum_key_ex_2);
        table[REG_ENUM_VALUE] =
            procEntry(xdr_regd_REG_ENUM_VALUE, xdr_regd_REG_ENUM_VALUE_RES, reg_enum_value_2);
        table[REG_FLUSH_KEY] = procEntry(xdr_regd_REG_FLUSH_KEY, xdr_regd_BASIC_RES, reg_flush_key_2);
        table[REG_OPEN_KEY] = procEntry(xdr_regd_REG_OPEN_KEY, xdr_regd_REG_OPEN_KEY_RES, reg_open_key_2);
        table[REG_OPEN_KEY_EX] =
            procEntry(xdr_regd_REG_OPEN_KEY_EX, xdr_regd_REG_OPEN_KEY_RES, reg_open_key_ex_2);
        table[REG_QUERY_INFO_KEY] =
            procEntry(xdr_regd_REG_QUERY_INFO_KEY, xdr_regd_REG_QUERY_INFO_KEY_RES, reg_query_info_key_2);
        table[REG_QUERY_VALUE] =
            procEntry(xdr_regd_REG_QUERY_VALUE, xdr_regd_REG_QUERY_VALUE_RES, reg_query_value_2);
        table[REG_QUERY_VALUE_EX] =
            procEntry(xdr_regd_REG_QUERY_VALUE_EX, xdr_regd_REG_QUERY_VALUE_RES, reg_query_value_ex_2);
        table[REG_SET_VALUE] = procEntry(xdr_regd_REG_SET_VALUE, xdr_regd_BASIC_RES, reg_set_value_2);
        table[REG_SET_VALUE_EX] =
            procEntry(xdr_regd_REG_SET_VALUE_EX, xdr_regd_BASIC_RES, reg_set_value_ex_2);
        table[REG_LOAD_KEY] = procEntry(xdr_regd_REG_LOAD_KEY, xdr_regd_BASIC_RES, reg_load_key_2);
        table[REG_UNLOAD_KEY] = procEntry(xdr_regd_REG_UNLOAD_KEY, xdr_regd_BASIC_RES, reg_unload_key_2);
        table[REG_REPLACE_KEY] = procEntry(xdr_regd_REG_REPLACE_KEY, xdr_regd_BASIC_RES, reg_replace_key_2);
        table[REG_RESTORE_KEY] = procEntry(xdr_regd_REG_RESTORE_KEY, xdr_regd_BASIC_RES, reg_restore_key_2);
        table[REG_SAVE_KEY] = procEntry(xdr_regd_REG_SAVE_KEY, xdr_regd_BASIC_RES, reg_save_key_2);
        table[REG_GET_KEY_SEC] =
            procEntry(xdr_regd_REG_GET_KEY_SEC, xdr_regd_REG_GET_KEY_SEC_RES, reg_get_key_security_2);
        table[REG_SET_KEY_SEC] = procEntry(xdr_regd_REG_SET_KEY_SEC, xdr_regd_BASIC_RES, reg_set_key_security_2);
        table[REG_NOTIFY_CHANGE_KEY_VALUE] = procEntry(xdr_regd_REG_NOTIFY_CHANGE_KEY_VALUE, xdr_regd_BASIC_RES,
                                                       reg_notify_change_key_value_2);
        filled = true;
    }
    return table;
}

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

void freeVersion1UserName() {
    free(g_userNameToFree);
    g_userNameToFree = nullptr;
}

void regdaemonprog_2(struct svc_req* rqstp, SVCXPRT* transp) {
    g_packetVersion = rqstp->rq_vers;
    if (g_packetVersion == 1) g_Kalvo3AppConnected = 1;

    uint32_t procNum = rqstp->rq_proc;
    if (procNum == REGD_NULLPROC) {
        svc_sendreply(transp, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void)), nullptr);
        return;
    }
    const RegdProcEntry* entry = procNum < REGD_NPROCS ? &procTable()[procNum] : nullptr;
    if (entry == nullptr || entry->proc == nullptr) {
        svcerr_noproc(transp);
        return;
    }

    static RegdRequestBuffer request;
    memset(&request, 0, sizeof request);
    if (!svc_getargs(transp, entry->decodeRequest, reinterpret_cast<char*>(&request))) {
        // Release whatever the partial decode allocated before refusing.
        svc_freeargs(transp, entry->decodeRequest, reinterpret_cast<char*>(&request));
        if (g_userNameToFree != nullptr) freeVersion1UserName();
        svcerr_decode(transp);
        return;
    }
    void* result = entry->proc(&request, rqstp);
    if (result != nullptr && !svc_sendreply(transp, entry->encodeResult, static_cast<char*>(result)))
        svcerr_systemerr(transp);
    if (!svc_freeargs(transp, entry->decodeRequest, reinterpret_cast<char*>(&request))) {
        fprintf(stderr, "unable to free arguments");
        exit(1);
    }
    if (g_packetVersion == 1 && g_userNameToFree != nullptr) freeVersion1UserName();
}

SVCXPRT* createTransport() {
    SVCXPRT* transp = svctcp_create(RPC_ANYSOCK, 0, 0);
    if (transp == nullptr) {
        fprintf(stderr, "cannot create tcp service.");
        exit(1);
    }
    return transp;
}

}  // namespace

int main(int argc, char** argv) {
    char user[256];
    memset(user, 0, sizeof user);
    if (cuserid(user) == nullptr) user[0] = '\0';
    char lockPath[512];
    snprintf(lockPath, sizeof lockPath, "%s/kalvo_prevent_multiple_registry_daemons_for_%s", "/tmp", user);
    int lockFd = open(lockPath, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (lockFd < 0) exit(0);

    pid_t child = fork();
    if (child != 0) exit(1);  // the parent, or a failed fork
    regdSetStartupLock(lockFd, lockPath);

    uint32_t prog = 0;
    uint32_t vers = 0;
    regdmain(&argc, argv, &prog, &vers);
    regdRemoveStartupLock();

    pmap_unset(prog, vers);
    pmap_unset(prog, 1);

    // Assemble each request without blocking, so a client that sends half a
    // request and stalls cannot hold up the single RPC thread.
    int maxRecord = 64 * 1024 * 1024;
    rpc_control(RPC_SVC_CONNMAXREC_SET, &maxRecord);

    SVCXPRT* transp = createTransport();
    if (!svc_register(transp, prog, vers, regdaemonprog_2, IPPROTO_TCP)) {
        fprintf(stderr, "unable to register (registryProg, registryVers, tcp)\n");
        exit(1);
    }
    SVCXPRT* transp1 = createTransport();
    if (!svc_register(transp1, prog, 1, regdaemonprog_2, IPPROTO_TCP)) {
        fprintf(stderr, "unable to register (registryProg, 1, tcp)\n");
        exit(1);
    }
    svc_run();
    fprintf(stderr, "svc_run returned");
    exit(1);
}
