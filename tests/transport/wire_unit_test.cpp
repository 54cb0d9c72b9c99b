// The wire records byte for byte, record assembly and the bounded decode,
// in process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "daemon/rpc_wire.h"
#include "rpc/regd_xdr.h"
#include "transport/raw_rpc.h"

namespace kalvotest {
namespace {

using Bytes = std::vector<uint8_t>;

template <typename T>
Bytes encode(bool_t (*fn)(XDR*, T*), T* rec, uint32_t version = 2) {
    g_packetVersion = version;
    Bytes buf(4096);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(buf.data()), static_cast<u_int>(buf.size()), XDR_ENCODE);
    bool ok = fn(&x, rec);
    u_int len = xdr_getpos(&x);
    xdr_destroy(&x);
    g_packetVersion = 2;
    if (!ok) return {};
    buf.resize(len);
    return buf;
}

template <typename T>
bool decode(bool_t (*fn)(XDR*, T*), const Bytes& bytes, T* rec, uint32_t version = 2) {
    g_packetVersion = version;
    memset(rec, 0, sizeof *rec);
    XDR x;
    xdrmem_create(&x, const_cast<char*>(reinterpret_cast<const char*>(bytes.data())),
                  static_cast<u_int>(bytes.size()), XDR_DECODE);
    bool ok = fn(&x, rec);
    xdr_destroy(&x);
    return ok;
}

template <typename T>
void release(bool_t (*fn)(XDR*, T*), T* rec) {
    xdr_free(reinterpret_cast<xdrproc_t>(fn), reinterpret_cast<char*>(rec));
}

const Bytes kOpenKeyBody = {0x00, 0x00, 0x75, 0x30, 0x00, 0x00, 0x01, 0xF4, 0x00, 0x00, 0x00, 0x03,
                            0x6A, 0x6F, 0x65, 0x00, 0x00, 0x01, 0xE2, 0x40, 0x80, 0x00, 0x00, 0x02,
                            0x00, 0x00, 0x00, 0x08, 0x53, 0x6F, 0x66, 0x74, 0x77, 0x61, 0x72, 0x65};

// The request and its reply byte for byte; a request cut anywhere is refused.
TEST(WireRecords, OpenKeyRecordsAreByteExactAndWholeOrRefused) {
    char name[] = "joe";
    char sub[] = "Software";
    regd_REG_OPEN_KEY req{{30000, 500, name, 123456}, 0x80000002, sub};
    EXPECT_EQ(encode(xdr_regd_REG_OPEN_KEY, &req), kOpenKeyBody);
    // The encoder is exact, so decoding is right when it encodes back alike.
    regd_REG_OPEN_KEY back;
    ASSERT_TRUE(decode(xdr_regd_REG_OPEN_KEY, kOpenKeyBody, &back));
    EXPECT_EQ(encode(xdr_regd_REG_OPEN_KEY, &back), kOpenKeyBody);
    release(xdr_regd_REG_OPEN_KEY, &back);
    for (size_t cut = 0; cut < kOpenKeyBody.size(); cut++) {
        EXPECT_FALSE(decode(xdr_regd_REG_OPEN_KEY, Bytes(kOpenKeyBody.begin(), kOpenKeyBody.begin() + cut), &back)) << cut;
        release(xdr_regd_REG_OPEN_KEY, &back);
    }
    regd_REG_OPEN_KEY_RES res{1, {0, 42}};
    EXPECT_EQ(encode(xdr_regd_REG_OPEN_KEY_RES, &res), (Bytes{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x2A}));
    // A result union with another tag carries nothing.
    regd_REG_QUERY_VERSION_RES other;
    EXPECT_TRUE(decode(xdr_regd_REG_QUERY_VERSION_RES, Bytes{0, 0, 0, 0}, &other));
    EXPECT_EQ(other.resultTag, 0);
    EXPECT_EQ(other.ret.major, 0u);
}

TEST(WireRecords, U16TakesFourBytesBothWaysAndStringsArePadded) {
    char name[] = "";
    char sub[] = "abcde";
    regd_REG_CREATE_KEY req{{0, 0, name, 0}, 7, sub, 1};
    Bytes out = encode(xdr_regd_REG_CREATE_KEY, &req);
    // header 16 bytes (empty name is a bare count), hKey, count 5 + 5 bytes + 3 pad, u16.
    Bytes expectedTail = {0, 0, 0, 7, 0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e', 0, 0, 0, 0, 0, 0, 1};
    ASSERT_EQ(out.size(), 16u + expectedTail.size());
    EXPECT_EQ(Bytes(out.begin() + 16, out.end()), expectedTail);

    // Two u16 fields side by side decode to their own values (encoding
    // back alike), and every byte of the request is taken.
    char cls[] = "c";
    regd_REG_CREATE_KEY_EX ex{{0, 0, name, 0}, 7, sub, cls, 9, 0xBEEF, 0x0102};
    Bytes exBytes = encode(xdr_regd_REG_CREATE_KEY_EX, &ex);
    EXPECT_EQ(Bytes(exBytes.end() - 8, exBytes.end()), (Bytes{0, 0, 0xBE, 0xEF, 0, 0, 0x01, 0x02}));
    regd_REG_CREATE_KEY_EX back;
    ASSERT_TRUE(decode(xdr_regd_REG_CREATE_KEY_EX, exBytes, &back));
    EXPECT_EQ(encode(xdr_regd_REG_CREATE_KEY_EX, &back), exBytes);
    release(xdr_regd_REG_CREATE_KEY_EX, &back);
    exBytes.pop_back();  // the last u16 cut short
    EXPECT_FALSE(decode(xdr_regd_REG_CREATE_KEY_EX, exBytes, &back));
    release(xdr_regd_REG_CREATE_KEY_EX, &back);
}

TEST(WireRecords, VersionOneHeaderIsSuppliedOnceAndLeftToItsOwner) {
    // A version-1 OPEN_KEY body starts directly with hKey.
    Bytes body(kOpenKeyBody.begin() + 20, kOpenKeyBody.end());
    ASSERT_EQ(g_userNameToFree, nullptr);
    regd_REG_OPEN_KEY rec;
    ASSERT_TRUE(decode(xdr_regd_REG_OPEN_KEY, body, &rec, 1));
    EXPECT_EQ(rec.hKey, 0x80000002u);
    EXPECT_STREQ(rec.lpSubKey, "Software");
    EXPECT_EQ(rec.userData.kalvoVersion, 30000u);
    EXPECT_EQ(rec.userData.userId, 123456u);
    EXPECT_EQ(rec.userData.hostId, 123456u);
    EXPECT_STREQ(rec.userData.userName, ".Default");
    EXPECT_EQ(g_userNameToFree, rec.userData.userName);

    // While the copy is held, another decode does not touch the header.
    regd_REG_OPEN_KEY second;
    ASSERT_TRUE(decode(xdr_regd_REG_OPEN_KEY, body, &second, 1));
    EXPECT_EQ(second.userData.userName, nullptr);

    // The release pass leaves the copy to its owner, and encoding writes no
    // header: the registry tests' version-1 calls show both.
    g_packetVersion = 1;
    release(xdr_regd_REG_OPEN_KEY, &rec);
    release(xdr_regd_REG_OPEN_KEY, &second);
    g_packetVersion = 2;
    free(g_userNameToFree);
    g_userNameToFree = nullptr;
}

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
    std::string lie = userHeader() + be32({0x80000002u, 0x00FFFFFFu}) + "abcd";
    std::string good = userHeader() + be32({0x80000002u}) + xdrString("Software") + be32({0, 0});
    regd_REG_OPEN_KEY_EX p{};
    if (!decode(xdr_regd_REG_OPEN_KEY_EX, Bytes(good.begin(), good.end()), &p)) return -1;
    release(xdr_regd_REG_OPEN_KEY_EX, &p);
    long before = procStatusKb(getpid(), "VmPeak");
    bool ok = decode(xdr_regd_REG_OPEN_KEY_EX, Bytes(lie.begin(), lie.end()), &p);
    release(xdr_regd_REG_OPEN_KEY_EX, &p);
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
