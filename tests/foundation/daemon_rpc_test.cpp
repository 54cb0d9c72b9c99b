// The daemon as an RPC server: registration, dispatch, errors, versions.
#include <cstring>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "client/kalvo_rpc_client.h"
#include "harness/wire_client.h"

using kalvotest::PrivateDaemon;

namespace {

// One daemon for the whole suite: these tests only read.
class DaemonRpcTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        daemon_ = new PrivateDaemon({"-v"});
        std::string err;
        ASSERT_TRUE(daemon_->start(&err)) << err;
    }
    static void TearDownTestSuite() {
        delete daemon_;
        daemon_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(daemon_, nullptr); }

    static CLIENT* client(uint32_t version) {
        KalvoTarget t{"localhost", daemon_->prog()};
        std::string err;
        CLIENT* c = kalvoClientCreate(t, version, &err);
        EXPECT_NE(c, nullptr) << err;
        return c;
    }

    static clnt_stat queryVersion(CLIENT* c, uint32_t version, regd_REG_QUERY_VERSION_RES* res) {
        regd_REG_QUERY_VERSION req{};
        kalvoFillHeader(&req.userData);
        memset(res, 0, sizeof *res);
        clnt_stat st = kalvoCall(c, version, REG_QUERY_VERSION,
                                 reinterpret_cast<xdrproc_t>(xdr_regd_REG_QUERY_VERSION), &req,
                                 reinterpret_cast<xdrproc_t>(xdr_regd_REG_QUERY_VERSION_RES), res, 5);
        kalvoFreeHeader(&req.userData);
        return st;
    }

    static PrivateDaemon* daemon_;
};

PrivateDaemon* DaemonRpcTest::daemon_ = nullptr;

TEST_F(DaemonRpcTest, RegisteredUnderVersionsTwoAndOneOverTcpOnly) {
    std::string out;
    ASSERT_EQ(kalvotest::runCommand({"rpcinfo", "-p", "localhost"}, &out), 0) << out;
    std::istringstream in(out);
    std::string line;
    std::string prog = std::to_string(daemon_->prog());
    int v1 = 0, v2 = 0, other = 0;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string p, v, proto;
        f >> p >> v >> proto;
        if (p != prog) continue;
        if (v == "1" && proto == "tcp") v1++;
        else if (v == "2" && proto == "tcp") v2++;
        else other++;
    }
    EXPECT_EQ(v1, 1);
    EXPECT_EQ(v2, 1);
    EXPECT_EQ(other, 0) << out;

    for (const char* v : {"1", "2"}) {
        EXPECT_EQ(kalvotest::runCommand({"rpcinfo", "-t", "localhost", prog, v}, &out), 0) << out;
        EXPECT_NE(out.find("ready and waiting"), std::string::npos) << out;
    }
    EXPECT_NE(kalvotest::runCommand({"rpcinfo", "-t", "localhost", prog, "3"}, &out), 0);
    EXPECT_NE(out.find("mismatch"), std::string::npos) << out;
}

TEST_F(DaemonRpcTest, BothVersionsAnswerTheNullProcedureAndQueryVersion) {
    for (uint32_t v : {1u, 2u}) {
        CLIENT* c = client(v);
        ASSERT_NE(c, nullptr);
        struct timeval tv = {5, 0};
        EXPECT_EQ(clnt_call(c, 0, kalvoXdrVoid(), nullptr, kalvoXdrVoid(), nullptr, tv), RPC_SUCCESS);
        regd_REG_QUERY_VERSION_RES res;
        ASSERT_EQ(queryVersion(c, v, &res), RPC_SUCCESS) << "version " << v;
        EXPECT_EQ(res.resultTag, 1);
        EXPECT_EQ(res.ret.retval, 0u);
        EXPECT_EQ((std::vector<uint32_t>{res.ret.major, res.ret.minor, res.ret.minorminor}),
                  (std::vector<uint32_t>{2, 3, 0}));
        clnt_destroy(c);
    }
    // A version-1 call is served with the fixed header.
    std::string log = kalvotest::readFile(daemon_->regDir() + "/kalvo_reg.log");
    EXPECT_NE(log.find("    ptr->userName: .Default"), std::string::npos);
    EXPECT_NE(log.find("    ptr->userId: 123456"), std::string::npos);
}

TEST_F(DaemonRpcTest, UnknownProceduresAndVersionThreeAreRefused) {
    CLIENT* c = client(2);
    ASSERT_NE(c, nullptr);
    struct timeval tv = {5, 0};
    for (uint32_t proc : {17u, 28u, 1000u})
        EXPECT_EQ(clnt_call(c, proc, kalvoXdrVoid(), nullptr, kalvoXdrVoid(), nullptr, tv), RPC_PROCUNAVAIL) << proc;
    // Re-aim the connected client at version 3 of the same program.
    rpcvers_t three = 3;
    ASSERT_TRUE(clnt_control(c, CLSET_VERS, reinterpret_cast<char*>(&three)));
    EXPECT_EQ(clnt_call(c, 0, kalvoXdrVoid(), nullptr, kalvoXdrVoid(), nullptr, tv), RPC_PROGVERSMISMATCH);
    clnt_destroy(c);
}

// Encodes only the first word of a QUERY_VERSION header.
bool_t truncatedHeader(XDR* x, void*) {
    u_int v = 30000;
    return xdr_u_int(x, &v);
}

TEST_F(DaemonRpcTest, TruncatedRequestGetsGarbageArgsAndServiceGoesOn) {
    CLIENT* c = client(2);
    ASSERT_NE(c, nullptr);
    struct timeval tv = {5, 0};
    regd_REG_QUERY_VERSION_RES res{};
    EXPECT_EQ(clnt_call(c, REG_QUERY_VERSION, reinterpret_cast<xdrproc_t>(truncatedHeader), nullptr,
                        reinterpret_cast<xdrproc_t>(xdr_regd_REG_QUERY_VERSION_RES),
                        reinterpret_cast<char*>(&res), tv),
              RPC_CANTDECODEARGS);
    clnt_destroy(c);

    c = client(1);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(queryVersion(c, 1, &res), RPC_SUCCESS);
    EXPECT_EQ(res.ret.minor, 3u);
    clnt_destroy(c);
}

TEST_F(DaemonRpcTest, StalledHalfRequestDoesNotDelayOtherClients) {
    int s = kalvotest::rawRegistryConnection(daemon_->prog(), 2);
    ASSERT_GE(s, 0);
    // A last-fragment record mark promising 200 bytes, then 12 of them.
    unsigned char partial[16] = {0x80, 0, 0, 200, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2};
    ASSERT_EQ(write(s, partial, sizeof partial), static_cast<ssize_t>(sizeof partial));

    // Every call of another client is answered while the first one stalls
    // (each call would time out after 5 s if the server were blocked).
    CLIENT* c = client(2);
    ASSERT_NE(c, nullptr);
    for (int i = 0; i < 20; i++) {
        regd_REG_QUERY_VERSION_RES res;
        ASSERT_EQ(queryVersion(c, 2, &res), RPC_SUCCESS) << i;
    }
    clnt_destroy(c);
    close(s);
}

TEST_F(DaemonRpcTest, ManyVersionOneCallsIncludingBadOnesKeepServing) {
    // Version-1 requests that fail to decode must release their header copy
    // and leave the daemon able to serve the next one.
    CLIENT* c = client(1);
    ASSERT_NE(c, nullptr);
    struct timeval tv = {5, 0};
    for (int i = 0; i < 200; i++) {
        regd_REG_QUERY_VERSION_RES res{};
        if (i % 2 == 0) {
            ASSERT_EQ(queryVersion(c, 1, &res), RPC_SUCCESS);
        } else {
            EXPECT_NE(clnt_call(c, 999, kalvoXdrVoid(), nullptr,
                                kalvoXdrVoid(), nullptr, tv),
                      RPC_SUCCESS);
        }
    }
    clnt_destroy(c);
    EXPECT_TRUE(daemon_->running());
}

}  // namespace
