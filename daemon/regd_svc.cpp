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
    const RegdProcedure* entry = regdFindProcedure(procNum);
    if (entry == nullptr) {
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
    void* result = entry->call(&request);
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
