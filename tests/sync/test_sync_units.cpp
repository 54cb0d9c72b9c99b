// In-process units of the sync server: the transport on real socket pairs,
// and the server-to-client messages, which no wire request reaches alone.
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
    KvSRVConnection a{-1};
    KvSRVConnection b{-1};
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            a.fd = fds[0];
            b.fd = fds[1];
        }
    }
    ~Pair() {
        if (a.fd >= 0) close(a.fd);
        if (b.fd >= 0) close(b.fd);
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
    struct sigaction sa{};
    sa.sa_handler = noteSignal;  // no SA_RESTART: read fails with EINTR
    struct sigaction old{};
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

std::string bytes(std::initializer_list<int32_t> words) {
    std::string s;
    for (int32_t w : words) s.append(reinterpret_cast<const char*>(&w), 4);
    return s;
}

TEST(KvWake, OnlyAProcessWhoseConnectionWasOpenedIsSentAnything) {
    std::unique_ptr<SyncIPCInfo> info(sync_ipc_srv_init());
    ASSERT_NE(info, nullptr);
    const int32_t pid = 5000000 + getpid() % 100000;  // no real process has it
    char* path = kvProcessSRVName(pid);
    kvSRVRemoveEndpoint(path);
    KvSRVEndpoint* endpoint = kvSRVInit(path, acceptNothing, nullptr);
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(kvSignalClientEvent(info.get(), pid, 7), 0);
    EXPECT_EQ(kvWakeWaitEntry(info.get(), pid, 1, 0, 0), 0);

    kvInitSRVConnectionToProcess(info.get(), pid);
    kvInitSRVConnectionToProcess(info.get(), pid);  // one connection per process
    int fd = accept(endpoint->fd, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    KvSRVConnection process{fd};
    EXPECT_EQ(kvSignalClientEvent(info.get(), pid, 7), 1);
    EXPECT_EQ(kvWakeWaitEntry(info.get(), pid, 0x55, 130, 0), 1);
    char message[16 + 24];
    ASSERT_EQ(kvSRVRead(&process, message, sizeof message), static_cast<int>(sizeof message));
    EXPECT_EQ(std::string(message, sizeof message), bytes({1, 4, 0, 7}) + bytes({0, 12, 0, 0x55, 130, 0}));

    kvDeleteSRVConnectionToProcess(info.get(), pid);
    EXPECT_EQ(kvSRVRead(&process, message, 1), 0);
    EXPECT_EQ(kvWakeWaitEntry(info.get(), pid, 1, 0, 0), 0);
    close(fd);
    close(endpoint->fd);
    free(endpoint);
    kvSRVRemoveEndpoint(path);
    free(path);
}

}  // namespace
