// In-process units of the sync server: its endpoint, and the wake-up queue
// of a process that never reads, which no wire request reaches alone.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "sync/sync_internal.h"

namespace {

// A live endpoint's socket file is never taken over by a second one.
TEST(KvSRV, EndpointRefusesAnOccupiedPath) {
    std::string path = "/tmp/kalvo_unit_sock_" + std::to_string(getpid());
    kvSRVRemoveEndpoint(path.c_str());
    int listening = kvSRVListen(path.c_str(), 0600);
    ASSERT_GE(listening, 0);
    EXPECT_EQ(kvSRVListen(path.c_str(), 0600), -1);
    int client = kvSRVConnectNonBlocking(path.c_str());
    EXPECT_GE(client, 0);
    for (int fd : {client, listening}) close(fd);
    kvSRVRemoveEndpoint(path.c_str());
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

// Sends to a process that accepted nothing and reads nothing return at once;
// past the queue's limit its connection goes, and later sends find none.
TEST(KvWake, AProcessThatNeverReadsLosesItsConnectionInsteadOfStallingTheSender) {
    std::unique_ptr<SyncIPCInfo> info(sync_ipc_srv_init());
    ASSERT_NE(info, nullptr);
    const int32_t pid = 5000000 + getpid() % 100000;  // no real process has it
    char* path = kvProcessSRVName(pid);
    kvSRVRemoveEndpoint(path);
    int listening = kvSRVListen(path, 0600);
    ASSERT_GE(listening, 0);
    EXPECT_EQ(kvWakeWaitEntry(info.get(), pid, 1, 0, 0), 0);  // no connection opened yet
    kvInitSRVConnectionToProcess(info.get(), pid, 1, getuid());
    ASSERT_EQ(info->processChannels.size(), 1u);
    int sent = 0;
    while (sent < 100000 && kvWakeWaitEntry(info.get(), pid, static_cast<uint32_t>(sent + 1), 0, 0) == 1) sent++;
    EXPECT_GT(sent, static_cast<int>(KV_MAX_QUEUED_WAKE_BYTES / 24));
    EXPECT_LT(sent, 100000);
    EXPECT_TRUE(info->processChannels.empty());
    // What did reach the socket starts with the first wake-up, whole.
    int fd = accept(listening, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    char first[24];
    ASSERT_EQ(recv(fd, first, sizeof first, MSG_WAITALL), 24);
    EXPECT_EQ(kvWireGetWord(std::span<const char>(first + 12, 12), 0), 1);
    for (int open : {fd, listening}) close(open);
    kvSRVRemoveEndpoint(path);
    free(path);
}

}  // namespace
