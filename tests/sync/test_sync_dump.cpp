// The dump's exact text, as the daemon writes it to its standard error.
#include <gtest/gtest.h>

#include "harness/wire_client.h"

using namespace kalvotest;

namespace {

using SyncDump = SyncDaemonTest;

const std::string kObjectsHeading = "---------- Cross-process sync objects ---------\n";
const std::string kWaitsHeading = "---------- Cross-process wait queue ---------\n";
const std::string kProcessesHeading =
    "----------- Processes connected to cross-process sync server ------------\n";

TEST_F(SyncDump, EmptyStateIsThreeHeadingsAndAnEmptyLine) {
    EXPECT_EQ(dump(), kObjectsHeading + kWaitsHeading + kProcessesHeading + "\n");
}

TEST_F(SyncDump, OwnedUnnamedMutexInSlotZero) {
    WireClient c(daemonPid());
    ASSERT_EQ(c.createMutex(300, 7, true).handle, 0x38000000u);
    EXPECT_EQ(dump(), kObjectsHeading +
                          "  handle 0x38000000, name '', mutex, owned by pid 300, tid 7, "
                          "in use by (process-refcount-waitcount): 300-1-0\n" +
                          kWaitsHeading + kProcessesHeading + "\n");
}

TEST_F(SyncDump, EveryKindInCreationOrderWithUsersAndProcessesNewestFirst) {
    WireClient a(daemonPid());
    WireClient b(daemonPid());
    // Registration has no reply: the replies after it order the two.
    a.registerPid(300);
    ASSERT_EQ(a.createEvent(300, true, true, "ev").error, 0);
    ASSERT_EQ(a.createEvent(300, false, false).error, 0);
    ASSERT_EQ(a.createSemaphore(300, 2, 5, "sem").error, 0);
    b.registerPid(400);
    ASSERT_EQ(b.open(KV_OP_OPEN_SEMAPHORE, 400, "sem").error, 0);
    ASSERT_EQ(b.createSemaphore(400, 0, 1, "sem").error, 183);
    ASSERT_EQ(b.createMutex(400, 1, false, "mx").error, 0);
    // An alias of a kind the server does not manage shows no state, and its
    // line goes straight from the name to the users.
    ASSERT_EQ(a.createAlias(300, 1, 1, 0x70000001, 0, 0, 0)[0], 1);
    EXPECT_EQ(dump(), kObjectsHeading +
                          "  handle 0x28000000, name 'ev', event, signalled, "
                          "in use by (process-refcount-waitcount): 300-1-0\n"
                          "  handle 0x28000001, name '', event, unsignalled, "
                          "in use by (process-refcount-waitcount): 300-1-0\n"
                          "  handle 0x48000002, name 'sem', semaphore, current value 2, maximum value 5, "
                          "in use by (process-refcount-waitcount): 300-1-0 400-2-0\n"
                          "  handle 0x38000003, name 'mx', mutex, unowned, "
                          "in use by (process-refcount-waitcount): 400-1-0\n"
                          "  handle 0x78000004, name '',"
                          "in use by (process-refcount-waitcount): 300-1-0\n" +
                          kWaitsHeading + kProcessesHeading + "400 300 \n");
}

}  // namespace
