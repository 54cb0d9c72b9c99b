// In-process unit of the sync server: its endpoint, which a second daemon on
// the same path must not take over.
#include <gtest/gtest.h>

#include <string>
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

}  // namespace
