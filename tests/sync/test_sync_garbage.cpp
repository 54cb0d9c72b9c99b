// Clients that break the protocol: each is ignored or disconnected, and
// every other client goes on being served.
#include <gtest/gtest.h>

#include <random>

#include "harness/wire_client.h"

using namespace kalvotest;

namespace {

using SyncGarbage = SyncDaemonTest;

constexpr int32_t PID = 5100;

std::string header(uint32_t opcode, int32_t requestLength, int32_t replyLength) {
    KvIPCHeader h{opcode, requestLength, replyLength};
    return std::string(reinterpret_cast<const char*>(&h), sizeof h);
}

// A full create-and-close round trip on a connection of its own.
bool stillServes(pid_t daemon) {
    WireClient probe(daemon);
    HandleReply r = probe.createSemaphore(PID, 0, 1);
    return r.flag == 0 && r.handle != 0 && probe.closeHandle(PID, r.handle) == std::vector<int32_t>{1, 0, 6};
}

TEST_F(SyncGarbage, OpcodesAboveTheTableAreReadAndLeftUnanswered) {
    WireClient c(daemonPid());
    // Opcode 21 with a body and a reply length gets no answer, and the
    // create after it gets its own reply.
    ASSERT_TRUE(c.sendRaw(header(21, 8, 8) + words({1, 2})));
    ASSERT_TRUE(c.send(KV_OP_CREATE_EVENT, withName({PID, 0, 0}, ""), 12));
    std::string reply;
    ASSERT_TRUE(c.recv(12, &reply));
    EXPECT_EQ(reply, words({0x28000000, 0, 0}));
    EXPECT_TRUE(c.silentFor(100));
    ASSERT_TRUE(c.send(0xffffffffu, "", 4));
    EXPECT_EQ(c.createEvent(PID, false, false).handle, 0x28000001u);
}

TEST_F(SyncGarbage, ReplyLengthCutsOrPadsTheRecord) {
    WireClient c(daemonPid());
    std::string reply;
    ASSERT_TRUE(c.send(KV_OP_CREATE_EVENT, withName({PID, 0, 0}, "short"), 4));
    ASSERT_TRUE(c.recv(4, &reply));
    EXPECT_EQ(reply, words({0x28000000}));
    ASSERT_TRUE(c.send(KV_OP_CREATE_EVENT, withName({PID, 0, 0}, "long"), 20));
    ASSERT_TRUE(c.recv(20, &reply));
    EXPECT_EQ(reply, words({0x28000001, 0, 0, 0, 0}));
    // Reply length 0: the operation runs, nothing comes back.
    ASSERT_TRUE(c.send(KV_OP_CREATE_EVENT, withName({PID, 0, 0}, "silent"), 0));
    ASSERT_TRUE(c.send(KV_OP_CLOSE_HANDLE, words({PID, 0x28000000}), -5));
    HandleReply opened = c.open(KV_OP_OPEN_EVENT, PID, "silent");
    EXPECT_EQ(opened.handle, 0x28000002u);
    EXPECT_EQ(opened.error, 0);
    EXPECT_EQ(c.open(KV_OP_OPEN_EVENT, PID, "short").error, 8);
}

TEST_F(SyncGarbage, NameWithoutNulEndsAtTheRequestsEnd) {
    WireClient c(daemonPid());
    ASSERT_TRUE(c.send(KV_OP_CREATE_EVENT, words({PID, 0, 0}) + "ABC", 12));
    std::string reply;
    ASSERT_TRUE(c.recv(12, &reply));
    EXPECT_EQ(c.open(KV_OP_OPEN_EVENT, PID, "ABC").handle, 0x28000000u);
    // A name longer than the kept maximum is cut to it.
    std::string longName(5000, 'n');
    HandleReply created = c.createEvent(PID, false, false, longName);
    EXPECT_EQ(created.error, 0);
    EXPECT_EQ(c.open(KV_OP_OPEN_EVENT, PID, longName.substr(0, 4096)).handle, created.handle);
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

TEST_F(SyncGarbage, RandomBytesNeverStopTheServer) {
    WireClient bystander(daemonPid());
    std::mt19937 random(20240607);
    for (int round = 0; round < 40; round++) {
        SCOPED_TRACE(round);
        WireClient bad(daemonPid());
        std::string noise(1 + random() % 2048, '\0');
        for (char& ch : noise) ch = static_cast<char>(random());
        // Some rounds start with a valid header to get past the first check.
        if (round % 4 == 0) noise = header(random() % 22, static_cast<int32_t>(random() % 64), 12) + noise;
        (void)bad.sendRaw(noise);  // the server may hang up before all of it is read
        bad.shutdownWrite();
        EXPECT_TRUE(bad.closedByPeer());
        HandleReply r = bystander.createEvent(PID, false, false);
        ASSERT_NE(r.handle, 0u);
        ASSERT_EQ(bystander.closeHandle(PID, r.handle)[0], 1);
    }
    EXPECT_TRUE(stillServes(daemonPid()));
}

}  // namespace
