// The client process list stays bounded by the processes that exist,
// however many process ids pings name.
#include <gtest/gtest.h>
#include <unistd.h>

#include "rpc/regd_clients.h"

namespace {

TEST(ClientList, ProcessesThatAreGoneAreDropped) {
    // Above any pid_max (at most 2^22): no such process.
    constexpr int32_t kNoProcess = 1 << 30;
    const auto self = static_cast<int32_t>(getpid());
    regdAddToClientList(self, 1);
    for (int32_t i = 0; i < 100000; i++) regdAddToClientList(kNoProcess + i, 7);
    EXPECT_LE(regdClientListSize(), 200u);
    EXPECT_EQ(regdProcessesStillExist(), 1);
    EXPECT_EQ(regdClientListSize(), 1u);
    EXPECT_EQ(regdFindUid(7), 0);
    EXPECT_EQ(regdFindUid(1), 1);
    regdRemoveFromClientList(self);
    EXPECT_EQ(regdProcessesStillExist(), 0);
}

}  // namespace
