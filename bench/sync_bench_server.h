// The sync server as the daemon runs it, without the registry around it,
// in a child process of a benchmark; the client library is pointed at it.
#pragma once

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "base/config.h"
#include "sync/sync_server.h"

namespace syncbench {

inline pid_t startServer() {
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, SIG_IGN);
        regdStartupConfig().registryPid = getpid();
        if (regdStartSyncServer(nullptr) == 0) _exit(1);
        for (;;) pause();  // the server's thread serves until the benchmark stops it
    }
    // The socket file appears at bind, before listen: wait for a connect.
    char* path = kvProcessSRVName(pid);
    for (int i = 0; i < 500; i++) {
        int fd = kvSRVConnectNonBlocking(path);
        if (fd >= 0) {
            close(fd);
            break;
        }
        usleep(10000);
    }
    free(path);
    setenv("KALVO_REGISTRY_PID", std::to_string(pid).c_str(), 1);
    return pid;
}

inline void stopChild(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

inline void stopServer(pid_t pid) {
    stopChild(pid);
    char* path = kvProcessSRVName(pid);
    kvSRVRemoveEndpoint(path);
    free(path);
}

}  // namespace syncbench
