// The daemon as an RPC server: its registration with the portmapper. What
// it answers on the wire is the transport tests' business.
#include <gtest/gtest.h>
#include <sstream>
#include <string>

#include "harness/wire_client.h"

namespace {

using DaemonRpcTest = kalvotest::SharedDaemonTest;

TEST_F(DaemonRpcTest, RegisteredUnderVersionsTwoAndOneOverTcpOnly) {
    kalvotest::ProgramRun r = kalvotest::runProgram({"rpcinfo", "-p", "localhost"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream in(r.out);
    std::string prog = std::to_string(shared_->prog());
    std::string registered;
    for (std::string line, p, v, proto; std::getline(in, line);)
        if (std::istringstream(line) >> p >> v >> proto && p == prog) registered += v + "/" + proto + " ";
    EXPECT_TRUE(registered == "1/tcp 2/tcp " || registered == "2/tcp 1/tcp ") << r.out;
}

}  // namespace
