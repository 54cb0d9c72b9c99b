// The daemon's entry point: start-up in a child, then the registry program
// registered and served by our own loop (daemon/rpc_server).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <rpc/pmap_clnt.h>
#include <unistd.h>

#include "daemon/regdmain.h"
#include "daemon/rpc_server.h"

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

    int listenFd = regdRpcListen(prog, vers);
    regdRpcServe(listenFd, prog, vers, regdServerLimitsFromEnv());
}
