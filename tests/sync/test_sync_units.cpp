// In-process units of the sync server's transport, on real socket pairs.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "sync/sync_internal.h"

namespace {

// Both ends of a connected stream pair, as transport connections.
struct Pair {
    int fds[2] = {-1, -1};
    KvSRVConnection a{socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0 ? fds[0] : -1}, b{fds[1]};
    ~Pair() {
        for (int fd : {a.fd, b.fd})
            if (fd >= 0) close(fd);
    }
};

// A short message must never pass for a whole one.
TEST(KvSRV, ReadReturnsZeroWhenThePeerClosesMidMessage) {
    Pair p;
    ASSERT_EQ(kvSRVWrite(&p.a, "12345", 5), 5);
    close(p.a.fd);
    p.a.fd = -1;
    char buf[12];
    EXPECT_EQ(kvSRVRead(&p.b, buf, -1), 0);  // nothing asked, nothing taken
    EXPECT_EQ(kvSRVRead(&p.b, buf, 12), 0);
}

void noteSignal(int) {}

// The daemon's signals (verbose on and off) must not end a connection.
TEST(KvSRV, InterruptedReadIsRepeated) {
    struct sigaction sa{}, old{};
    sa.sa_handler = noteSignal;  // no SA_RESTART: read fails with EINTR
    sigaction(SIGUSR1, &sa, &old);
    Pair p;
    pthread_t reader = pthread_self();
    std::thread writer([&] {
        usleep(50000);
        pthread_kill(reader, SIGUSR1);
        usleep(50000);
        kvSRVWrite(&p.a, "abcdefgh", 8);
    });
    char buf[8];
    EXPECT_EQ(kvSRVRead(&p.b, buf, 8), 8);
    EXPECT_EQ(std::string(buf, 8), "abcdefgh");
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
}

void acceptNothing(KvSRVConnection*, void*) {}

// A live endpoint's socket file is never taken over by a second one.
TEST(KvSRV, EndpointRefusesAnOccupiedPath) {
    std::string path = "/tmp/kalvo_unit_sock_" + std::to_string(getpid());
    kvSRVRemoveEndpoint(path.c_str());
    KvSRVEndpoint* endpoint = kvSRVInit(path.c_str(), acceptNothing, nullptr);
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(kvSRVInit(path.c_str(), acceptNothing, nullptr), nullptr);
    KvSRVConnection* client = kvSRVConnect(path.c_str());
    EXPECT_NE(client, nullptr);
    kvSRVDisconnect(client);
    close(endpoint->fd);
    free(endpoint);
    kvSRVRemoveEndpoint(path.c_str());
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

}  // namespace
