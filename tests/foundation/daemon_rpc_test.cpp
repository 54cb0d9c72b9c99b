// The daemon as an RPC server: registration, dispatch, errors, versions.
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

#include "client/kalvo_rpc_client.h"
#include "harness/wire_client.h"

using kalvotest::PrivateDaemon;
using kalvotest::RegistryRpc;

namespace {

// One tracing daemon for the whole suite: these tests only read.
class DaemonRpcTest : public kalvotest::SharedDaemonTest {
  protected:
    static void SetUpTestSuite() { startShared({"-v"}); }

    // A procedure with no arguments and no result on `rpc`.
    static clnt_stat callVoid(RegistryRpc& rpc, uint32_t proc) {
        timeval tv = {5, 0};
        return clnt_call(rpc.handle(), proc, kalvoXdrVoid(), nullptr, kalvoXdrVoid(), nullptr, tv);
    }
};

TEST_F(DaemonRpcTest, RegisteredUnderVersionsTwoAndOneOverTcpOnly) {
    kalvotest::ProgramRun r = kalvotest::runProgram({"rpcinfo", "-p", "localhost"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream in(r.out);
    std::string prog = std::to_string(shared_->prog());
    std::string registered;
    for (std::string line, p, v, proto; std::getline(in, line);)
        if (std::istringstream(line) >> p >> v >> proto && p == prog) registered += v + "/" + proto + " ";
    EXPECT_TRUE(registered == "1/tcp 2/tcp " || registered == "2/tcp 1/tcp ") << r.out;
    for (const char* v : {"1", "2"}) {
        r = kalvotest::runProgram({"rpcinfo", "-t", "localhost", prog, v});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("ready and waiting"), std::string::npos) << r.out;
    }
    r = kalvotest::runProgram({"rpcinfo", "-t", "localhost", prog, "3"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE((r.out + r.err).find("mismatch"), std::string::npos) << r.out << r.err;
}

TEST_F(DaemonRpcTest, BothVersionsAnswerNullAndQueryVersionAndRefuseTheRest) {
    for (uint32_t v : {1u, 2u}) {
        RegistryRpc rpc(*shared_, v, kalvotest::localCaller("tester"));
        ASSERT_TRUE(rpc.connected());
        EXPECT_EQ(callVoid(rpc, 0), RPC_SUCCESS);
        EXPECT_EQ(rpc.queryVersion(), "0 2.3.0") << "version " << v;
        for (uint32_t proc : {17u, 28u, 1000u}) EXPECT_EQ(callVoid(rpc, proc), RPC_PROCUNAVAIL) << proc;
    }
    // A version-1 call is served with the fixed header.
    std::string log = kalvotest::readFile(shared_->regDir() + "/kalvo_reg.log");
    EXPECT_NE(log.find("    ptr->userName: .Default"), std::string::npos);
    EXPECT_NE(log.find("    ptr->userId: 123456"), std::string::npos);
    // Re-aim a connected client at version 3 of the same program.
    RegistryRpc rpc(*shared_, 2, kalvotest::localCaller("tester"));
    rpcvers_t three = 3;
    ASSERT_TRUE(clnt_control(rpc.handle(), CLSET_VERS, reinterpret_cast<char*>(&three)));
    EXPECT_EQ(callVoid(rpc, 0), RPC_PROGVERSMISMATCH);
}

// Encodes only the first word of a QUERY_VERSION header.
bool_t truncatedHeader(XDR* x, void*) {
    u_int v = 30000;
    return xdr_u_int(x, &v);
}

TEST_F(DaemonRpcTest, TruncatedAndBadVersionOneRequestsLeaveTheServiceUp) {
    RegistryRpc two(*shared_, 2, kalvotest::localCaller("tester"));
    timeval tv = {5, 0};
    regd_REG_QUERY_VERSION_RES res{};
    EXPECT_EQ(clnt_call(two.handle(), REG_QUERY_VERSION, reinterpret_cast<xdrproc_t>(truncatedHeader), nullptr,
                        reinterpret_cast<xdrproc_t>(xdr_regd_REG_QUERY_VERSION_RES), reinterpret_cast<char*>(&res), tv),
              RPC_CANTDECODEARGS);
    // Version-1 requests that fail must release their header copy and leave
    // the daemon able to serve the next one.
    RegistryRpc one(*shared_, 1, kalvotest::localCaller("tester"));
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(one.queryVersion(), "0 2.3.0") << i;
        EXPECT_NE(callVoid(one, 999), RPC_SUCCESS);
    }
    EXPECT_TRUE(shared_->running());
}

TEST_F(DaemonRpcTest, StalledHalfRequestDoesNotDelayOtherClients) {
    int s = kalvotest::rawRegistryConnection(shared_->prog(), 2);
    ASSERT_GE(s, 0);
    // A last-fragment record mark promising 200 bytes, then 12 of them.
    unsigned char partial[16] = {0x80, 0, 0, 200, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2};
    ASSERT_EQ(write(s, partial, sizeof partial), static_cast<ssize_t>(sizeof partial));
    // Every call of another client is answered while the first one stalls
    // (a call would time out if the server were blocked).
    RegistryRpc rpc(*shared_, 2, kalvotest::localCaller("tester"));
    for (int i = 0; i < 20; i++) ASSERT_EQ(rpc.queryVersion(), "0 2.3.0") << i;
    close(s);
}

}  // namespace
