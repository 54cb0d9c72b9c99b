// Objects, names, use counts, slots, aliases and duplicates, spoken on the
// wire by raw clients that claim their own pids; and clients that break the
// protocol, each ignored or disconnected while every other goes on.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "harness/sync_client.h"

using namespace kalvotest;

namespace {

using SyncObjects = SyncWireTest;
using SyncGarbage = SyncWireTest;
const std::string kProcesses = kDumpWaits + kDumpProcesses;
constexpr size_t npos = std::string::npos;

constexpr int32_t P1 = 4101, P2 = 4102;

// Creates n unnamed semaphores on one connection; the handles in order.
std::vector<uint32_t> createSemaphores(WireClient& c, int32_t pid, int n) {
    std::string replies;
    c.pipelined(std::vector<std::string>(n, header(KV_OP_CREATE_SEMAPHORE, 12, 12) + words({pid, 1, 1})), 12, &replies);
    std::vector<uint32_t> handles;
    for (size_t at = 0; at + 12 <= replies.size(); at += 12) handles.push_back(kvWireGetWord(replies, at / 4));
    return handles;
}

TEST_F(SyncObjects, NamesFollowWin32CreateAndOpenRules) {
    ASSERT_EQ(c->createMutex(P1, 9, true, "Alpha").handle, 0x38000000u);

    EXPECT_EQ(replyOf(c->createEvent(P1, false, false, "Alpha")), (Words{0, 6, 1}));

    HandleReply sem = c->createSemaphore(P1, 3, 5, "S");
    EXPECT_EQ(replyOf(c->createSemaphore(P1, 0, 9, "S")), (Words{int32_t(sem.handle), 183, 1}));
    EXPECT_EQ(replyOf(c->open(KV_OP_OPEN_EVENT, P2, "nope")), (Words{0, 8, 1}));
    EXPECT_EQ(replyOf(c->open(KV_OP_OPEN_SEMAPHORE, P2, "Alpha")), (Words{0, 6, 1}));
    EXPECT_EQ(replyOf(c->open(KV_OP_OPEN_MUTEX, P2, "Alpha")), (Words{0x38000000, 0, 0}));
    // Names compare byte for byte.
    EXPECT_EQ(c->open(KV_OP_OPEN_MUTEX, P2, "alpha").error, 8);

    // open_mutex reads its name one word later than the other opens: there
    // it finds "ha".
    EXPECT_EQ(c->call(KV_OP_OPEN_MUTEX, withName({P2, 0, 0}, "Alpha"), 3), (Words{0, 8, 1}));

    // The clash left the mutex as it was; the second create only added a use.
    std::string text = dump();
    EXPECT_NE(text.find("'Alpha', mutex, owned by pid 4101, tid 9, " + kDumpUsers + "4101-1-0 4102-1-0\n"), npos) << text;
    EXPECT_NE(text.find("'S', semaphore, current value 3, maximum value 5, " + kDumpUsers + "4101-2-0\n"), npos) << text;
}

TEST_F(SyncObjects, ObjectLivesUntilItsLastUseCloses) {
    HandleReply sem = c->createSemaphore(P1, 2, 4, "counted");
    ASSERT_EQ(c->open(KV_OP_OPEN_SEMAPHORE, P2, "counted").handle, sem.handle);
    ASSERT_EQ(c->open(KV_OP_OPEN_SEMAPHORE, P2, "counted").handle, sem.handle);

    EXPECT_EQ(c->closeHandle(P1, sem.handle), (Words{1, 0, 6}));
    // P1 holds no more uses: a further close fails with flag 1, code 6.
    EXPECT_EQ(c->closeHandle(P1, sem.handle), (Words{0, 1, 6}));
    EXPECT_EQ(c->closeHandle(P2, sem.handle)[0], 1);
    // One use left: the name still finds the object with its state.
    EXPECT_EQ(c->createSemaphore(P1, 0, 1, "counted").error, 183);
    EXPECT_EQ(c->closeHandle(P1, sem.handle)[0], 1);
    EXPECT_EQ(c->closeHandle(P2, sem.handle)[0], 1);

    // Gone: the same name now makes a new object, in the slot just freed.
    EXPECT_EQ(replyOf(c->createSemaphore(P1, 0, 1, "counted")), (Words{int32_t(sem.handle), 0, 0}));
    EXPECT_NE(dump().find("current value 0, maximum value 1"), std::string::npos);
}

TEST_F(SyncObjects, EventsNeverLandAboveSlot65535) {
    std::vector<uint32_t> h = createSemaphores(*c, P1, 65536);
    ASSERT_EQ(h.size(), 65536u);
    EXPECT_EQ(replyOf(c->createEvent(P1, false, false, "high")), (Words{0, 8, 1}));
    EXPECT_EQ(c->createAlias(P1, 1, 1, 0x20000042, 0, 0, 0), (Words{0, 0}));
    // Other kinds may go higher; an event takes a low slot once one is free.
    EXPECT_EQ(c->createSemaphore(P1, 0, 1).handle, 0x48010000u);
    ASSERT_EQ(c->closeHandle(P1, h[7])[0], 1);
    EXPECT_EQ(c->createEvent(P1, false, false, "low").handle, 0x28000007u);
}

TEST_F(SyncObjects, DuplicateEventTagsCountTheOldestUsersHandles) {
    createSemaphores(*c, P1, 1);
    HandleReply mutex = c->createMutex(P1, 1, false);
    HandleReply event = c->createEvent(P1, true, false, "dup");
    ASSERT_EQ(event.handle, 0x28000002u);

    EXPECT_EQ(replyOf(c->duplicateEvent(P1, event.handle)), (Words{0x28020002, 0, 0}));
    EXPECT_EQ(c->duplicateEvent(P1, event.handle).handle, 0x28030002u);
    // Another process's duplicate is tagged with the creator's count.
    EXPECT_EQ(c->duplicateEvent(P2, event.handle).handle, 0x28030002u);

    // The tag is ignored wherever the handle is used.
    EXPECT_EQ(c->closeHandle(P1, 0x28020002)[0], 1);
    EXPECT_EQ(c->duplicateEvent(P1, 0x28020002).handle, 0x28030002u);
    EXPECT_EQ(replyOf(c->duplicateEvent(P1, 0x28000400)), (Words{0, 8, 1}));  // beyond the table
    EXPECT_EQ(replyOf(c->duplicateEvent(P1, 0x28000032)), (Words{0, 6, 1}));  // a free slot
    EXPECT_EQ(replyOf(c->duplicateEvent(P1, mutex.handle & 0xffff)), (Words{0, 6, 1}));
}

TEST_F(SyncObjects, AliasesResolveForTheirOwnProcessOnly) {
    const uint32_t clientHandle = 0x30000123;
    ASSERT_EQ(c->createAlias(P1, 77, 1, clientHandle, 1, 0, 1), (Words{1, 0x38000000}));

    // P2 has no alias: the client handle names slot 0x123, which is empty.
    EXPECT_EQ(c->closeHandle(P2, clientHandle), (Words{0, 1, 6}));
    // P1 holds two uses (one extra); both go through the client handle.
    EXPECT_EQ(c->closeHandle(P1, clientHandle)[0], 1);
    EXPECT_EQ(c->closeHandle(P1, clientHandle)[0], 1);
    EXPECT_EQ(c->closeHandle(P1, clientHandle)[0], 0);

    // The older request: client handle in word 1, creation's owner and flags.
    ASSERT_EQ(c->call(KV_OP_CREATE_ALIAS_OLD, words({P2, 0x40000055, 4, 8, 0}), 2), (Words{1, 0x48000000}));
    EXPECT_EQ(dump(), kDumpObjects + "  handle 0x48000000, name '', semaphore, current value 4, maximum value 8, " +
                          kDumpUsers + "4102-1-0\n" + kProcesses + "\n");
    EXPECT_EQ(c->closeHandle(P1, 0x40000055)[0], 0);
    EXPECT_EQ(c->closeHandle(P2, 0x40000055)[0], 1);
}

// The dump's text for every kind, with users, and processes newest first.
TEST_F(SyncObjects, DumpShowsEveryKindInCreationOrder) {
    WireClient a(daemonPid()), b(daemonPid());
    // Registration has no reply: the replies after it order the two.
    a.registerPid(300);
    ASSERT_EQ(a.createEvent(300, true, true, "ev").error, 0);
    ASSERT_EQ(a.createEvent(300, false, false).error, 0);
    ASSERT_EQ(a.createSemaphore(300, 2, 5, "sem").error, 0);
    b.registerPid(400);
    ASSERT_EQ(b.open(KV_OP_OPEN_SEMAPHORE, 400, "sem").error, 0);
    ASSERT_EQ(b.createMutex(400, 1, false, "mx").error, 0);
    // An alias of a kind the server does not manage shows no state, and its
    // line goes straight from the name to the users.
    ASSERT_EQ(a.createAlias(300, 1, 1, 0x70000001, 0, 0, 0)[0], 1);
    EXPECT_EQ(dump(), kDumpObjects + "  handle 0x28000000, name 'ev', event, signalled, " + kDumpUsers + "300-1-0\n" +
                          "  handle 0x28000001, name '', event, unsignalled, " + kDumpUsers + "300-1-0\n" +
                          "  handle 0x48000002, name 'sem', semaphore, current value 2, maximum value 5, " + kDumpUsers +
                          "300-1-0 400-1-0\n  handle 0x38000003, name 'mx', mutex, unowned, " + kDumpUsers + "400-1-0\n" +
                          "  handle 0x78000004, name ''," + kDumpUsers + "300-1-0\n" + kProcesses + "400 300 \n");
}

constexpr int32_t PID = 5100;

// A full create-and-close round trip on a connection of its own.
bool stillServes(pid_t daemon) {
    WireClient probe(daemon);
    HandleReply r = probe.createSemaphore(PID, 0, 1);
    return r.flag == 0 && r.handle != 0 && probe.closeHandle(PID, r.handle) == Words{1, 0, 6};
}

// Requests the client library never sends, read whole and served as far
// as their bytes go.
TEST_F(SyncGarbage, OddRequestsAreReadWholeAndServedAsFarAsTheyGo) {
    // Opcodes above the table are read with their body and left unanswered.
    ASSERT_TRUE(c->sendRaw(header(21, 8, 8) + words({1, 2})));
    // A name without its NUL ends at the request's end.
    EXPECT_EQ(c->call(KV_OP_CREATE_EVENT, words({PID, 0, 0}) + "ABC", 3), (Words{0x28000000, 0, 0}));
    EXPECT_TRUE(c->silentFor(100));
    ASSERT_TRUE(c->send(0xffffffffu, "", 4));
    EXPECT_EQ(replyOf(c->open(KV_OP_OPEN_EVENT, PID, "ABC")), (Words{0x28000000, 0, 0}));
    // A name longer than the kept maximum is cut to it.
    std::string longName(5000, 'n');
    ASSERT_EQ(c->createEvent(PID, false, false, longName).handle, 0x28000001u);
    EXPECT_EQ(c->open(KV_OP_OPEN_EVENT, PID, longName.substr(0, 4096)).handle, 0x28000001u);

    // The reply length cuts or pads the record.
    std::string reply;
    ASSERT_TRUE(c->send(KV_OP_CREATE_EVENT, withName({PID, 0, 0}, "short"), 4));
    ASSERT_TRUE(c->recv(4, &reply));
    EXPECT_EQ(reply, words({0x28000002}));
    ASSERT_TRUE(c->send(KV_OP_CREATE_EVENT, withName({PID, 0, 0}, "long"), 20));
    ASSERT_TRUE(c->recv(20, &reply));
    EXPECT_EQ(reply, words({0x28000003, 0, 0, 0, 0}));
    // Reply length 0 or below: the operation runs, nothing comes back.
    ASSERT_TRUE(c->send(KV_OP_CREATE_EVENT, withName({PID, 0, 0}, "silent"), 0));
    ASSERT_TRUE(c->send(KV_OP_CLOSE_HANDLE, words({PID, 0x28000002}), -5));
    EXPECT_EQ(replyOf(c->open(KV_OP_OPEN_EVENT, PID, "silent")), (Words{0x28000004, 0, 0}));
    EXPECT_EQ(c->open(KV_OP_OPEN_EVENT, PID, "short").error, 8);
}

struct Broken {
    const char* what;
    std::string bytes;
    bool waitsForMore = false;  // the daemon hangs up only once the sender ends
};

TEST_F(SyncGarbage, MalformedRequestsEndOnlyTheirOwnConnection) {
    WireClient bystander(daemonPid());
    bystander.registerPid(PID + 1);
    HandleReply held = bystander.createMutex(PID + 1, 3, true, "held");
    ASSERT_EQ(held.error, 0);
    const std::vector<Broken> cases = {
        {"create shorter than its words", header(KV_OP_CREATE_EVENT, 8, 12) + words({PID, 0})},
        {"open_mutex without its fourth word", header(KV_OP_OPEN_MUTEX, 12, 12) + words({PID, 0, 0})},
        {"alias shorter than its words", header(KV_OP_CREATE_ALIAS, 24, 8) + words({PID, 0, 1, 0x30000001, 1, 0})},
        {"registration without a pid", header(KV_OP_REGISTER_PID, 2, 0) + "xx"},
        {"begin-wait counting more handles than it carries",
         header(KV_OP_BEGIN_WAIT, 24, 16) + words({PID, 1, 1, 1, 2, 0x28000000})},
        {"begin-wait counting past any length", header(KV_OP_BEGIN_WAIT, 24, 16) + words({PID, 1, 1, 1, INT32_MAX, 0})},
        {"time-out without its wait entry", header(KV_OP_WAIT_TIMEOUT, 8, 8) + words({PID, 0})},
        {"state change without its value", header(KV_OP_WAIT_OBJECT_STATE, 16, 8) + words({PID, 0, 1, 0})},
        {"release_mutex without its handle", header(KV_OP_RELEASE_MUTEX, 8, 24) + words({PID, 1})},
        {"thread exit without its thread", header(KV_OP_THREAD_EXITED, 4, 0) + words({PID})},
        {"negative request length", header(KV_OP_CREATE_EVENT, -1, 12)},
        {"request length above 1 MiB", header(21, (1 << 20) + 1, 0)},
        {"reply length above 1 MiB", header(KV_OP_CREATE_EVENT, 12, (1 << 20) + 1) + words({PID, 0, 0})},
        {"header cut short", std::string("\x01\x00\x00", 3), true},
        {"body shorter than announced", header(KV_OP_CREATE_EVENT, 100, 12) + words({PID, 0, 0}), true},
    };
    for (const Broken& b : cases) {
        SCOPED_TRACE(b.what);
        WireClient bad(daemonPid());
        bad.registerPid(PID);
        ASSERT_EQ(bad.createEvent(PID, false, false, "owned by the bad client").error, 0);
        ASSERT_TRUE(bad.sendRaw(b.bytes));
        if (b.waitsForMore) bad.shutdownWrite();
        std::string answered;
        EXPECT_TRUE(bad.closedByPeer(&answered));
        EXPECT_EQ(answered, "");
        ASSERT_TRUE(waitUntilGone(PID));
        // The bad client's event went with it; the bystander is untouched.
        EXPECT_EQ(bystander.open(KV_OP_OPEN_EVENT, PID + 1, "owned by the bad client").error, 8);
        EXPECT_EQ(bystander.open(KV_OP_OPEN_MUTEX, PID + 1, "held").handle, held.handle);
        EXPECT_TRUE(stillServes(daemonPid()));
    }
    // A limit that is not crossed is served.
    ASSERT_TRUE(bystander.send(KV_OP_CREATE_EVENT, withName({PID + 1, 0, 0}, std::string((1 << 20) - 13, 'x')), 12));
    std::string reply;
    ASSERT_TRUE(bystander.recv(12, &reply));
}

// 150 requests of a few bytes each asking for a 1 MiB reply, none of them
// read: the daemon serves them only as the replies are taken, so it holds
// about one reply's worth, serves others meanwhile, and loses none.
TEST_F(SyncGarbage, RepliesNobodyTakesAreHeldToABoundedBacklog) {
    WireClient flood(daemonPid());
    HandleReply event = flood.createEvent(PID, true, false);
    ASSERT_EQ(event.error, 0);
    constexpr int kRequests = 150;
    constexpr int32_t kReply = 1 << 20;
    std::string batch;
    for (int i = 0; i < kRequests; i++)
        batch += header(KV_OP_RESET_EVENT, 8, kReply) + words({PID, static_cast<int32_t>(event.handle)});
    const long before = procStatus(daemonPid(), "VmHWM:");
    ASSERT_TRUE(flood.sendRaw(batch));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(stillServes(daemonPid()));
    EXPECT_LT(procStatus(daemonPid(), "VmHWM:") - before, 64 * 1024) << "replies piled up in the daemon";
    std::string replies;
    ASSERT_TRUE(flood.recv(static_cast<size_t>(kRequests) * kReply, &replies));
}

}  // namespace
