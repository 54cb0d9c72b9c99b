// Record assembly and the bounded decode, in process.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "daemon/rpc_wire.h"
#include "rpc/regd_xdr.h"
#include "transport/raw_rpc.h"

namespace kalvotest {
namespace {

std::span<const uint8_t> bytesOf(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(RecordReader, AssemblesFragmentsFedOneByteAtATime) {
    std::string body = "0123456789abcdefghij";
    std::string wire = record(body, {3, 0, 7}) + record("next");
    RpcRecordReader r;
    size_t pos = 0;
    RpcFeed f = RpcFeed::More;
    while (f == RpcFeed::More && pos < wire.size()) {
        size_t used = 0;
        f = rpcFeedRecord(r, bytesOf(wire).subspan(pos, 1), &used);
        pos += used;
    }
    ASSERT_EQ(f, RpcFeed::Complete);
    EXPECT_EQ(std::string(r.body.begin(), r.body.end()), body);
    // The next record's bytes were left alone.
    EXPECT_EQ(wire.substr(pos), record("next"));
    rpcRecordReset(r);
    EXPECT_FALSE(rpcRecordStarted(r));
}

TEST(RecordReader, RefusesARecordPastTheCapBeforeItsBody) {
    RpcRecordReader r;
    size_t used = 0;
    std::string mark = be32({static_cast<uint32_t>(RPC_MAX_RECORD)}) ;
    EXPECT_EQ(rpcFeedRecord(r, bytesOf(mark), &used), RpcFeed::More);
    EXPECT_TRUE(rpcRecordStarted(r));
    EXPECT_TRUE(r.body.empty());  // nothing allocated for what was only announced
    RpcRecordReader r2;
    std::string over = be32({0x80000000u | static_cast<uint32_t>(RPC_MAX_RECORD + 1)});
    EXPECT_EQ(rpcFeedRecord(r2, bytesOf(over), &used), RpcFeed::TooLong);
}

// Decodes an OPEN_KEY_EX request whose sub-key count claims 16 MiB from a
// 40-byte record; the process's peak address space must not grow by it.
long peakGrowthKbOfLyingDecode() {
    std::string req = userHeader() + be32({0x80000002u, 0x00FFFFFFu}) + "abcd";
    regd_REG_OPEN_KEY_EX warm{};
    std::string good = userHeader() + be32({0x80000002u}) + xdrString("Software") + be32({0, 0});
    XDR x;
    xdrmem_create(&x, good.data(), static_cast<u_int>(good.size()), XDR_DECODE);
    if (!xdr_regd_REG_OPEN_KEY_EX(&x, &warm)) return -1;
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_regd_REG_OPEN_KEY_EX), reinterpret_cast<char*>(&warm));
    long before = procStatusKb(getpid(), "VmPeak");
    regd_REG_OPEN_KEY_EX p{};
    xdrmem_create(&x, req.data(), static_cast<u_int>(req.size()), XDR_DECODE);
    bool ok = xdr_regd_REG_OPEN_KEY_EX(&x, &p);
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_regd_REG_OPEN_KEY_EX), reinterpret_cast<char*>(&p));
    if (ok) return -2;
    return procStatusKb(getpid(), "VmPeak") - before;
}

TEST(BoundedDecode, ACountPastTheRecordIsRefusedBeforeAllocating) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    if (child == 0) {
        long growth = peakGrowthKbOfLyingDecode();
        (void)!write(fds[1], &growth, sizeof growth);
        _exit(0);
    }
    close(fds[1]);
    long growth = -3;
    ASSERT_EQ(read(fds[0], &growth, sizeof growth), static_cast<ssize_t>(sizeof growth));
    close(fds[0]);
    waitpid(child, nullptr, 0);
    EXPECT_GE(growth, 0);  // decoding failed, as it must
    EXPECT_LT(growth, 4 * 1024);
}

}  // namespace
}  // namespace kalvotest
