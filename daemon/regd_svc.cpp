// The daemon's entry point: start-up in a child, then the registry program
// registered and served by our own loop (daemon/rpc_server).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <rpc/rpcb_clnt.h>
#include <unistd.h>

#include "daemon/regdmain.h"
#include "daemon/rpc_server.h"

int main(int argc, char** argv) {
    char user[256];
    memset(user, 0, sizeof user);
    if (cuserid(user) == nullptr) user[0] = '\0';
    char lockPath[512];
    snprintf(lockPath, sizeof lockPath, "%s/kalvo_prevent_multiple_registry_daemons_for_%s", "/tmp", user);
    if (regdTakeStartupLock(lockPath) == REGD_STARTUP_LOCK_BUSY) exit(0);

    pid_t child = fork();
    if (child != 0) {  // the parent, or a failed fork
        if (child > 0) regdNameStartupLockCreator(child);
        else regdRemoveStartupLock();
        exit(1);
    }

    uint32_t prog = 0;
    uint32_t vers = 0;
    regdmain(&argc, argv, &prog, &vers);
    regdRemoveStartupLock();

    int listenFd = -1;
    {
        std::lock_guard<std::mutex> registering(g_regdEndMutex);
        rpcb_unset(prog, vers, nullptr);
        rpcb_unset(prog, 1, nullptr);
        listenFd = regdRpcListen(prog, vers);
    }
    regdRpcServe(listenFd, prog, vers, regdServerLimitsFromEnv());
}
