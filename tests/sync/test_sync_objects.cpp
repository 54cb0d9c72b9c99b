// Objects, names, use counts, slots, aliases and duplicates, spoken on the
// wire by raw clients that claim their own pids.
#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

#include "harness/wire_client.h"

using namespace kalvotest;

namespace {

using SyncObjects = SyncDaemonTest;

constexpr int32_t P1 = 4101;
constexpr int32_t P2 = 4102;

// Creates n unnamed semaphores on one connection, pipelined in batches so
// neither side's socket buffer fills; returns the handles in order.
std::vector<uint32_t> createSemaphores(WireClient& c, int32_t pid, int n) {
    std::vector<uint32_t> handles;
    const std::string request = [&] {
        KvIPCHeader h{KV_OP_CREATE_SEMAPHORE, 12, 12};
        return std::string(reinterpret_cast<const char*>(&h), sizeof h) + words({pid, 1, 1});
    }();
    while (static_cast<int>(handles.size()) < n) {
        int batch = std::min(256, n - static_cast<int>(handles.size()));
        std::string burst;
        for (int i = 0; i < batch; i++) burst += request;
        std::string replies;
        if (!c.sendRaw(burst) || !c.recv(static_cast<size_t>(batch) * 12, &replies)) return handles;
        for (int i = 0; i < batch; i++) {
            uint32_t h;
            memcpy(&h, replies.data() + i * 12, 4);
            handles.push_back(h);
        }
    }
    return handles;
}

TEST_F(SyncObjects, NamesFollowWin32CreateAndOpenRules) {
    WireClient c(daemonPid());
    HandleReply mutexA = c.createMutex(P1, 9, true, "Alpha");
    ASSERT_EQ(mutexA.handle, 0x38000000u);

    HandleReply clash = c.createEvent(P1, false, false, "Alpha");
    EXPECT_EQ(clash.handle, 0u);
    EXPECT_EQ(clash.error, 6);
    EXPECT_EQ(clash.flag, 1);

    HandleReply sem = c.createSemaphore(P1, 3, 5, "S");
    HandleReply again = c.createSemaphore(P1, 0, 9, "S");
    EXPECT_EQ(again.handle, sem.handle);
    EXPECT_EQ(again.error, 183);
    EXPECT_EQ(again.flag, 1);

    HandleReply missing = c.open(KV_OP_OPEN_EVENT, P2, "nope");
    EXPECT_EQ(missing.handle, 0u);
    EXPECT_EQ(missing.error, 8);
    EXPECT_EQ(missing.flag, 1);
    HandleReply wrongKind = c.open(KV_OP_OPEN_SEMAPHORE, P2, "Alpha");
    EXPECT_EQ(wrongKind.handle, 0u);
    EXPECT_EQ(wrongKind.error, 6);
    EXPECT_EQ(wrongKind.flag, 1);
    HandleReply opened = c.open(KV_OP_OPEN_MUTEX, P2, "Alpha");
    EXPECT_EQ(opened.handle, mutexA.handle);
    EXPECT_EQ(opened.error, 0);
    EXPECT_EQ(opened.flag, 0);
    // Names compare byte for byte.
    EXPECT_EQ(c.open(KV_OP_OPEN_MUTEX, P2, "alpha").error, 8);

    // open_mutex reads its name one word later than the other opens: there
    // it finds "ha".
    std::vector<int32_t> early = c.call(KV_OP_OPEN_MUTEX, withName({P2, 0, 0}, "Alpha"), 3);
    EXPECT_EQ(early, (std::vector<int32_t>{0, 8, 1}));

    // The clash left the mutex as it was; the second create only added a use.
    EXPECT_EQ(dump(),
              "---------- Cross-process sync objects ---------\n"
              "  handle 0x38000000, name 'Alpha', mutex, owned by pid 4101, tid 9, "
              "in use by (process-refcount-waitcount): 4101-1-0 4102-1-0\n"
              "  handle 0x48000001, name 'S', semaphore, current value 3, maximum value 5, "
              "in use by (process-refcount-waitcount): 4101-2-0\n"
              "---------- Cross-process wait queue ---------\n"
              "----------- Processes connected to cross-process sync server ------------\n"
              "\n");
}

TEST_F(SyncObjects, ObjectLivesUntilItsLastUseCloses) {
    WireClient c(daemonPid());
    HandleReply sem = c.createSemaphore(P1, 2, 4, "counted");
    ASSERT_EQ(c.open(KV_OP_OPEN_SEMAPHORE, P2, "counted").handle, sem.handle);
    ASSERT_EQ(c.open(KV_OP_OPEN_SEMAPHORE, P2, "counted").handle, sem.handle);

    EXPECT_EQ(c.closeHandle(P1, sem.handle), (std::vector<int32_t>{1, 0, 6}));
    // P1 holds no more uses: a further close fails with flag 1, code 6.
    EXPECT_EQ(c.closeHandle(P1, sem.handle), (std::vector<int32_t>{0, 1, 6}));
    EXPECT_EQ(c.closeHandle(P2, sem.handle)[0], 1);
    // One use left: the name still finds the object with its state.
    HandleReply still = c.createSemaphore(P1, 0, 1, "counted");
    EXPECT_EQ(still.error, 183);
    EXPECT_EQ(c.closeHandle(P1, sem.handle)[0], 1);
    EXPECT_EQ(c.closeHandle(P2, sem.handle)[0], 1);

    // Gone: the same name now makes a new object, in the slot just freed.
    HandleReply fresh = c.createSemaphore(P1, 0, 1, "counted");
    EXPECT_EQ(fresh.handle, sem.handle);
    EXPECT_EQ(fresh.error, 0);
    EXPECT_EQ(fresh.flag, 0);
    EXPECT_NE(dump().find("current value 0, maximum value 1"), std::string::npos);
}

TEST_F(SyncObjects, FreedSlotsAreReusedMostRecentFirstAndDisconnectsLast) {
    WireClient c(daemonPid());
    std::vector<uint32_t> h = createSemaphores(c, P1, 5);
    ASSERT_EQ(h.size(), 5u);
    ASSERT_EQ(c.closeHandle(P1, h[3])[0], 1);
    ASSERT_EQ(c.closeHandle(P1, h[1])[0], 1);
    EXPECT_EQ(c.createEvent(P1, false, false).handle, 0x28000001u);
    EXPECT_EQ(c.createEvent(P1, false, false).handle, 0x28000003u);
    EXPECT_EQ(c.createEvent(P1, false, false).handle, 0x28000005u);

    {
        WireClient departing(daemonPid());
        departing.registerPid(P2);
        ASSERT_EQ(departing.createMutex(P2, 1, false, "leaving").handle, 0x38000006u);
    }
    ASSERT_TRUE(waitUntilGone(P2));
    // Slot 6 went to the end of the free list, behind the never-used slots.
    EXPECT_EQ(c.createMutex(P1, 1, false).handle, 0x38000007u);
    EXPECT_EQ(c.open(KV_OP_OPEN_MUTEX, P1, "leaving").error, 8);
}

TEST_F(SyncObjects, EventsNeverLandAboveSlot65535) {
    WireClient c(daemonPid());
    std::vector<uint32_t> h = createSemaphores(c, P1, 65536);
    ASSERT_EQ(h.size(), 65536u);
    HandleReply refused = c.createEvent(P1, false, false, "high");
    EXPECT_EQ(refused.handle, 0u);
    EXPECT_EQ(refused.error, 8);
    EXPECT_EQ(refused.flag, 1);
    EXPECT_EQ(c.createAlias(P1, 1, 1, 0x20000042, 0, 0, 0), (std::vector<int32_t>{0, 0}));
    // Other kinds may go higher; an event takes a low slot once one is free.
    EXPECT_EQ(c.createSemaphore(P1, 0, 1).handle, 0x48010000u);
    ASSERT_EQ(c.closeHandle(P1, h[7])[0], 1);
    EXPECT_EQ(c.createEvent(P1, false, false, "low").handle, 0x28000007u);
}

TEST_F(SyncObjects, DuplicateEventTagsCountTheOldestUsersHandles) {
    WireClient c(daemonPid());
    createSemaphores(c, P1, 1);
    HandleReply mutex = c.createMutex(P1, 1, false);
    HandleReply event = c.createEvent(P1, true, false, "dup");
    ASSERT_EQ(event.handle, 0x28000002u);

    HandleReply first = c.duplicateEvent(P1, event.handle);
    EXPECT_EQ(first.handle, 0x28020002u);
    EXPECT_EQ(first.error, 0);
    EXPECT_EQ(first.flag, 0);
    EXPECT_EQ(c.duplicateEvent(P1, event.handle).handle, 0x28030002u);
    // Another process's duplicate is tagged with the creator's count.
    EXPECT_EQ(c.duplicateEvent(P2, event.handle).handle, 0x28030002u);

    // The tag is ignored wherever the handle is used.
    EXPECT_EQ(c.closeHandle(P1, first.handle)[0], 1);
    EXPECT_EQ(c.duplicateEvent(P1, first.handle).handle, 0x28030002u);

    HandleReply outside = c.duplicateEvent(P1, 0x28000400);
    EXPECT_EQ(outside.handle, 0u);
    EXPECT_EQ(outside.error, 8);
    EXPECT_EQ(outside.flag, 1);
    HandleReply freeSlot = c.duplicateEvent(P1, 0x28000032);
    EXPECT_EQ(freeSlot.handle, 0u);
    EXPECT_EQ(freeSlot.error, 6);
    EXPECT_EQ(freeSlot.flag, 1);
    HandleReply notEvent = c.duplicateEvent(P1, mutex.handle & 0xffff);
    EXPECT_EQ(notEvent.handle, 0u);
    EXPECT_EQ(notEvent.error, 6);
    EXPECT_EQ(notEvent.flag, 1);
}

TEST_F(SyncObjects, AliasesResolveForTheirOwnProcessOnly) {
    WireClient c(daemonPid());
    const uint32_t clientHandle = 0x30000123;
    std::vector<int32_t> alias = c.createAlias(P1, 77, 1, clientHandle, 1, 0, 1);
    ASSERT_EQ(alias, (std::vector<int32_t>{1, 0x38000000}));

    // P2 has no alias: the client handle names slot 0x123, which is empty.
    EXPECT_EQ(c.closeHandle(P2, clientHandle), (std::vector<int32_t>{0, 1, 6}));
    // P1 holds two uses (one extra); both go through the client handle.
    EXPECT_EQ(c.closeHandle(P1, clientHandle)[0], 1);
    EXPECT_EQ(c.closeHandle(P1, clientHandle)[0], 1);
    EXPECT_EQ(c.closeHandle(P1, clientHandle)[0], 0);

    // The older request: client handle in word 1, creation's owner and flags.
    std::vector<int32_t> old = c.call(KV_OP_CREATE_ALIAS_OLD, words({P2, 0x40000055, 4, 8, 0}), 2);
    ASSERT_EQ(old, (std::vector<int32_t>{1, 0x48000000}));
    EXPECT_EQ(dump(),
              "---------- Cross-process sync objects ---------\n"
              "  handle 0x48000000, name '', semaphore, current value 4, maximum value 8, "
              "in use by (process-refcount-waitcount): 4102-1-0\n"
              "---------- Cross-process wait queue ---------\n"
              "----------- Processes connected to cross-process sync server ------------\n"
              "\n");
    EXPECT_EQ(c.closeHandle(P1, 0x40000055)[0], 0);
    EXPECT_EQ(c.closeHandle(P2, 0x40000055)[0], 1);
}

TEST_F(SyncObjects, DisconnectDropsTheProcessesUsesAndAbandonsItsMutexes) {
    WireClient stays(daemonPid());
    stays.registerPid(P2);
    {
        WireClient leaves(daemonPid());
        leaves.registerPid(P1);
        ASSERT_EQ(leaves.createEvent(P1, false, true, "E").error, 0);
        ASSERT_EQ(leaves.createMutex(P1, 5, true, "M").error, 0);
        ASSERT_EQ(leaves.createAlias(P1, 5, 1, 0x30000abc, 1, 0, 0)[0], 1);
        ASSERT_EQ(stays.open(KV_OP_OPEN_MUTEX, P2, "M").error, 0);
    }
    ASSERT_TRUE(waitUntilGone(P1));
    // Slots 0 and 2 died and went behind the unused slots; E is made anew in 3.
    HandleReply recreated = stays.createEvent(P2, false, false, "E");
    EXPECT_EQ(recreated.handle, 0x28000003u);
    EXPECT_EQ(recreated.error, 0);
    EXPECT_EQ(recreated.flag, 0);
    EXPECT_EQ(dump(),
              "---------- Cross-process sync objects ---------\n"
              "  handle 0x38000001, name 'M', mutex, unowned, "
              "in use by (process-refcount-waitcount): 4102-1-0\n"
              "  handle 0x28000003, name 'E', event, unsignalled, "
              "in use by (process-refcount-waitcount): 4102-1-0\n"
              "---------- Cross-process wait queue ---------\n"
              "----------- Processes connected to cross-process sync server ------------\n"
              "4102 \n");
}

TEST_F(SyncObjects, UnregisteredConnectionLeavesItsObjectsBehind) {
    {
        WireClient anonymous(daemonPid());
        ASSERT_EQ(anonymous.createEvent(P1, false, false, "kept").error, 0);
    }
    WireClient c(daemonPid());
    // A use by P1 keeps the object; closing through P1 still works later.
    EXPECT_EQ(c.createEvent(P2, false, false, "kept").error, 183);
    EXPECT_EQ(c.closeHandle(P1, 0x28000000)[0], 1);
}

}  // namespace

namespace {

TEST_F(SyncObjects, TerminationRemovesTheEndpoint) {
    std::string path = "/tmp/kalvo_sock_" + std::to_string(daemonPid());
    ASSERT_EQ(access(path.c_str(), F_OK), 0);
    daemon_->signal(SIGTERM);
    ASSERT_TRUE(daemon_->waitExit(20));
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    daemon_->stop();
    daemon_.reset();
}

}  // namespace
