// The bytes a real daemon answers, record marks included: the expected
// replies were recorded from the daemon as it served through the RPC
// library's own loop, so any change on the wire shows here. Also records
// sent in several fragments, records past the cap, and counts that lie.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "harness/wire_client.h"
#include "transport/raw_rpc.h"

namespace kalvotest {
namespace {

std::string toHex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

class WireBytes : public SharedDaemonTest {
  protected:
    static uint32_t prog() { return shared_->prog(); }

    // Sends `bytes` on a fresh connection: the reply record as hex, or ""
    // when the daemon closed the connection unanswered. A connection that
    // answered must go on serving.
    static std::string answer(const std::string& bytes) {
        RawRpc c(prog());
        EXPECT_TRUE(c.send(bytes));
        std::string body, next;
        std::vector<uint32_t> fragments;
        if (!c.readReply(&body, 5000, &fragments)) {
            EXPECT_TRUE(fragments.empty() && closedByPeer(c.fd, nullptr, 5000)) << "a part of a reply, or no end";
            return "";
        }
        EXPECT_TRUE(c.roundTrip(record(callMessage(2, prog(), 2, 0, "")), &next)) << "no longer served";
        EXPECT_EQ(fragments.size(), 1u);
        return toHex(record(body));
    }
};

// Replies to xid 1: accepted with a status, or refused for the credential.
std::string accepted(uint32_t stat) { return "800000180000000100000001000000000000000000000000" + toHex(be32({stat})); }
std::string authError(uint32_t stat) { return "8000001400000001000000010000000100000001" + toHex(be32({stat})); }

TEST_F(WireBytes, RepliesAreTheBytesClientsAlwaysReceived) {
    const uint32_t p = prog(), v = REG_QUERY_VERSION;
    const std::string unixCred = be32({0}) + xdrString("host") + be32({1000, 1000, 1, 1000});
    const std::string gss = be32({0, 0, 1}) + xdrString("x");  // after the GSS version
    // (case, call record body, reply as hex; "": closed without a reply)
    const std::vector<std::tuple<const char*, std::string, std::string>> cases = {
        {"null v2", callMessage(1, p, 2, 0, ""), accepted(0)},
        {"null v1", callMessage(1, p, 1, 0, ""), accepted(0)},
        {"xid kept", callMessage(0xdeadbeef, p, 2, 0, ""), "80000018deadbeef0000000100000000000000000000000000000000"},
        {"RPC version 3 closes", be32({1, 0, 3, p, 2, 0}) + opaqueAuth(0) + opaqueAuth(0), ""},
        {"PROG_UNAVAIL", callMessage(1, p + 1, 2, 0, ""), accepted(1)},
        {"PROG_MISMATCH 1..2", callMessage(1, p, 7, 0, ""),
         "800000200000000100000001000000000000000000000000000000020000000100000002"},
        {"PROC_UNAVAIL 17", callMessage(1, p, 2, 17, ""), accepted(3)},
        {"PROC_UNAVAIL 28", callMessage(1, p, 2, 28, ""), accepted(3)},
        {"GARBAGE_ARGS", callMessage(1, p, 2, v, ""), accepted(4)},
        {"GARBAGE_ARGS v1", callMessage(1, p, 1, REG_OPEN_KEY_EX, be32({HKLM, 0x00FFFFFF})), accepted(4)},
        {"AUTH_BADCRED", callMessage(1, p, 2, v, userHeader(), opaqueAuth(1, be32({0}))), authError(1)},
        {"AUTH_BADCRED before version", callMessage(1, p, 7, 0, "", opaqueAuth(1, be32({0}))), authError(1)},
        {"AUTH_REJECTEDCRED short", callMessage(1, p, 2, 0, "", opaqueAuth(2, be32({1}))), authError(2)},
        {"AUTH_REJECTEDCRED 99", callMessage(1, p, 2, 0, "", opaqueAuth(99)), authError(2)},
        {"AUTH_FAILED des", callMessage(1, p, 2, 0, "", opaqueAuth(3, be32({1, 5}))), authError(7)},
        {"GSS CREDPROBLEM", callMessage(1, p, 2, 0, "", opaqueAuth(6, be32({1}) + gss)), authError(13)},
        {"GSS BADCRED version", callMessage(1, p, 2, 0, "", opaqueAuth(6, be32({2}) + gss)), authError(1)},
        {"credential over 400 bytes closes", callMessage(1, p, 2, 0, "", opaqueAuth(1, std::string(404, '\0'))), ""},
        {"AUTH_SYS verifier sent back", callMessage(1, p, 7, 0, "", opaqueAuth(1, unixCred), opaqueAuth(1, be32({9}))),
         "80000024000000010000000100000000000000010000000400000009000000020000000100000002"},
        {"reply message closes", be32({1, 1, 2, p, 2, 0}) + opaqueAuth(0) + opaqueAuth(0), ""},
        {"empty record closes", "", ""},
        {"string count past the record", callMessage(1, p, 2, REG_OPEN_KEY_EX, userHeader() + be32({HKLM, 0x00FFFFFF}) + "abcd"),
         accepted(4)},
        {"user name count past the record", callMessage(1, p, 2, v, be32({30000, 1000, 0x00FFFFF0}) + "ab"), accepted(4)},
        {"query version", callMessage(1, p, 2, v, userHeader()),
         "8000002c0000000100000001000000000000000000000000000000000000000100000000000000020000000300000000"},
    };
    for (const auto& [name, call, reply] : cases) EXPECT_EQ(answer(record(call)), reply) << name;
}

TEST_F(WireBytes, LongRepliesComeInFragmentsOf65532Bytes) {
    RawRpc c(prog());
    std::string reply;
    std::vector<uint32_t> fragments;
    ASSERT_TRUE(c.send(record(callMessage(1, prog(), 2, REG_QUERY_VALUE_EX, bigQueryArgs(200000)))));
    ASSERT_TRUE(c.readReply(&reply, 10000, &fragments));
    EXPECT_EQ(fragments, (std::vector<uint32_t>{65532, 65532, 65532, 3448}));
    // 65,532 bytes of body end exactly at a fragment boundary.
    fragments.clear();
    ASSERT_TRUE(c.send(record(callMessage(2, prog(), 2, REG_QUERY_VALUE_EX, bigQueryArgs(65520 - 24)))));
    ASSERT_TRUE(c.readReply(&reply, 10000, &fragments));
    EXPECT_EQ(fragments, (std::vector<uint32_t>{65532, 8}));
    EXPECT_EQ(wordAt(reply, 28), 2u);  // retval: no such value
}

TEST_F(WireBytes, RecordsInSeveralFragmentsAreServed) {
    std::string call = callMessage(1, prog(), 2, REG_QUERY_VERSION, userHeader());
    std::string whole = answer(record(call));
    ASSERT_FALSE(whole.empty());
    for (const std::vector<size_t>& sizes : {std::vector<size_t>{1, 1, 1, 1}, {3}, {0, 5}, {24, 4}, {40}})
        EXPECT_EQ(answer(record(call, sizes)), whole) << sizes.size() << " leading fragments";
    // A long request in three fragments of which none is the whole.
    std::string longCall = callMessage(1, prog(), 2, REG_QUERY_VERSION, userHeader() + std::string(200000, '\0'));
    EXPECT_EQ(answer(record(longCall, {70000, 70000})), whole);
}

TEST_F(WireBytes, PipelinedCallsAreAnsweredInOrder) {
    RawRpc c(prog());
    std::string batch;
    for (uint32_t xid = 1; xid <= 20; xid++) {
        uint32_t proc = xid % 2 ? 0u : static_cast<uint32_t>(REG_QUERY_VERSION);
        batch += record(callMessage(xid, prog(), 2, proc, xid % 2 ? "" : userHeader()));
    }
    ASSERT_TRUE(c.send(batch));
    for (uint32_t xid = 1; xid <= 20; xid++) {
        std::string reply;
        ASSERT_TRUE(c.readReply(&reply));
        EXPECT_EQ(wordAt(reply, 0), xid);
        EXPECT_EQ(acceptStatus(reply), 0);
    }
}

// A single fragment past the cap is the record reader's unit test.
TEST_F(WireBytes, RecordPastTheCapEndsTheConnectionUnanswered) {
    // Fragments that together pass the cap count as one record.
    RawRpc d(prog());
    ASSERT_TRUE(d.send(be32({48u * 1024u * 1024u}) + std::string(48u * 1024u * 1024u, '\0') +
                       be32({0x80000000u | (17u * 1024u * 1024u)})));
    std::string got;
    EXPECT_TRUE(closedByPeer(d.fd, &got, 10000));
    EXPECT_TRUE(got.empty());
}

}  // namespace
}  // namespace kalvotest
