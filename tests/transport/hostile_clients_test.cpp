// Clients that stall, hoard or flood a real daemon: each is dealt with, and
// an ordinary client's calls are answered meanwhile (liveness deadlines, not
// timings).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <thread>
#include <vector>

#include "harness/wire_client.h"
#include "transport/raw_rpc.h"

namespace kalvotest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t MIB = 1024 * 1024;
constexpr double ANSWER_DEADLINE = 3.0;  // seconds an ordinary call may take here

// An ordinary client's call: answered, and within the deadline.
void expectAnswered(RegistryRpc& rpc) {
    auto start = Clock::now();
    EXPECT_EQ(rpc.queryVersion(), "0 2.3.0");
    EXPECT_LT(secondsSince(start), ANSWER_DEADLINE);
}

// CPU seconds the process has used (user plus system).
double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; i++) {
        if (i == 14) utime = std::stoul(f);
        if (i == 15) stime = std::stoul(f);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string nullCall(const PrivateDaemon& d, uint32_t xid = 1) {
    return record(callMessage(xid, d.prog(), 2, 0, ""));
}

TEST(HostileClients, StalledRecordMarkHoldsUpNobodyAndIsCutOff) {
    ScopedEnv idle("KALVO_REGISTRYD_IDLE_RECORD_SECONDS", "2");
    PrivateDaemon d;
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    RawRpc stalled(d.prog());
    ASSERT_GE(stalled.fd, 0);
    // Announces more than 64 KiB, sends a few bytes of it, then nothing.
    ASSERT_TRUE(stalled.send(be32({0x80000000u | 65540u}) + "abcdefgh"));
    RegistryRpc other(d, 2, localCaller("transport"));
    double cpuBefore = cpuSeconds(d.pid());
    auto start = Clock::now();
    while (secondsSince(start) < 1.0) expectAnswered(other);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // Waiting on a stalled record costs no CPU (no spinning on it).
    EXPECT_LT(cpuSeconds(d.pid()) - cpuBefore, 1.0);
    EXPECT_TRUE(closedByPeer(stalled.fd, nullptr, 10000));
    expectAnswered(other);
}

TEST(HostileClients, HugeReplyNobodyReadsIsCutOffAndFreed) {
    ScopedEnv stalledReply("KALVO_REGISTRYD_STALLED_REPLY_SECONDS", "2");
    PrivateDaemon d;
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    RegistryRpc other(d, 2, localCaller("transport"));
    expectAnswered(other);
    long rssBefore = procStatusKb(d.pid(), "VmRSS");
    RawRpc hog(d.prog());
    ASSERT_TRUE(hog.send(record(callMessage(7, d.prog(), 2, REG_QUERY_VALUE_EX, bigQueryArgs(64 * MIB)))));
    // Once the reply has begun to arrive, calls are answered while it sits
    // unread, until it is cut off.
    pollfd p{hog.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 30000), 1);
    auto start = Clock::now();
    while (secondsSince(start) < 3.5) expectAnswered(other);
    std::string received;
    EXPECT_TRUE(closedByPeer(hog.fd, &received, 20000));
    EXPECT_LT(received.size(), size_t{64} * MIB);  // cut off, not delivered
    expectAnswered(other);
    // The reply's memory went with its connection. (AddressSanitizer keeps
    // freed memory in its quarantine, so there the size cannot show it.)
#ifndef __SANITIZE_ADDRESS__
    EXPECT_LT(procStatusKb(d.pid(), "VmRSS") - rssBefore, 16 * 1024);
#else
    (void)rssBefore;
#endif
}

TEST(HostileClients, SlowReaderHoldsUpNobody) {
    PrivateDaemon d;
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    RawRpc slow(d.prog());
    ASSERT_TRUE(slow.send(record(callMessage(7, d.prog(), 2, REG_QUERY_VALUE_EX, bigQueryArgs(64 * MIB)))));
    std::atomic<bool> stop{false};
    std::atomic<size_t> taken{0};
    std::thread reader([&] {
        std::vector<char> buf(256 * 1024);
        while (!stop) {
            ssize_t n = recv(slow.fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n > 0) taken += static_cast<size_t>(n);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    RegistryRpc other(d, 2, localCaller("transport"));
    auto start = Clock::now();
    int calls = 0;
    // Until the reader has taken a few slices (the reply is sent meanwhile).
    while ((taken < size_t{1} * MIB || calls < 10) && secondsSince(start) < 30) {
        expectAnswered(other);
        calls++;
    }
    stop = true;
    reader.join();
    EXPECT_GE(taken.load(), size_t{1} * MIB);
}

// What an idle connection costs is measured by bench/rpc_bench.
TEST(HostileClients, ThousandsOfIdleConnectionsAreHeldWhileOthersAreServed) {
    raiseFileLimit();
    constexpr int N = 2000;
    PrivateDaemon d;
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    RegistryRpc other(d, 2, localCaller("transport"));
    auto idle = servedConnections(d.prog(), N);
    ASSERT_EQ(idle.size(), static_cast<size_t>(N));
    expectAnswered(other);
}

TEST(HostileClients, AtTheConnectionCapTheOldestIdleConnectionGoes) {
    ScopedEnv cap("KALVO_REGISTRYD_MAX_CONNECTIONS", "20");
    PrivateDaemon d;
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    auto conns = servedConnections(d.prog(), 20);
    ASSERT_EQ(conns.size(), 20u);
    RawRpc newcomer(d.prog());
    std::string reply;
    ASSERT_TRUE(newcomer.roundTrip(nullCall(d), &reply));
    EXPECT_TRUE(closedByPeer(conns[0]->fd, nullptr, 5000));
    EXPECT_TRUE(conns[1]->roundTrip(nullCall(d), &reply));
}

TEST(HostileClients, OneUserAtItsCapLosesOnlyItsOwnOldestIdleConnection) {
    ScopedEnv cap("KALVO_REGISTRYD_MAX_CONNECTIONS_PER_UID", "10");
    PrivateDaemon d;
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    auto conns = servedConnections(d.prog(), 11);
    ASSERT_EQ(conns.size(), 11u);
    EXPECT_TRUE(closedByPeer(conns[0]->fd, nullptr, 5000));
    std::string reply;
    for (int i = 1; i < 11; i++) EXPECT_TRUE(conns[i]->roundTrip(nullCall(d), &reply)) << i;
}

TEST(HostileClients, ReplyPastTheQueuedBytesCapIsAnsweredWith1130) {
    ScopedEnv cap("KALVO_REGISTRYD_MAX_QUEUED_REPLY_MB", "1");
    PrivateDaemon d;
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    RegistryRpc rpc(d, 2, localCaller("transport"));
    QueryResult big = rpc.queryValueEx(HKLM, "NoSuchValue", 4 * MIB);
    EXPECT_EQ(big.retval, 1130u);
    EXPECT_EQ(big.data, PLACEHOLDER_BYTES);
    QueryResult small = rpc.queryValueEx(HKLM, "NoSuchValue", 64 * 1024);
    EXPECT_EQ(small.retval, 2u);
    EXPECT_EQ(small.data.size(), 64u * 1024u);
}

}  // namespace
}  // namespace kalvotest
