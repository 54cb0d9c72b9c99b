// Calls served side by side: a long save does not hold up short reads,
// readers and a writer on many connections see consistent answers, and the
// client library finds its way back after the daemon closed its connection
// or ended.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "client/kalvo_rpc_client.h"
#include "harness/big_registry.h"
#include "harness/wire_client.h"
#include "kalvo/winreg.h"
#include "transport/raw_rpc.h"

namespace kalvotest {
namespace {

using Concurrency = SharedDaemonTest;

TEST_F(Concurrency, ShortReadsGoOnWhileALongSaveRuns) {
    std::string hive = shared_->baseDir() + "/big_hive.dat";
    ASSERT_TRUE(writeBigRegistry(hive, true));
    ASSERT_EQ(RegLoadKeyA(HKEY_LOCAL_MACHINE, "Big", hive.c_str()), ERROR_SUCCESS);
    HKEY big = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Big", &big), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueA(big, nullptr, REG_SZ, "small", 6), ERROR_SUCCESS);
    // The library gives each thread a connection of its own.
    std::atomic<bool> saving{true};
    std::thread saver([&] {
        EXPECT_EQ(RegSaveKeyA(big, (shared_->baseDir() + "/saved_big.dat").c_str(), nullptr), ERROR_SUCCESS);
        saving = false;
    });
    // A save that held out readers would let one read through at most;
    // how long each read takes is a question for a benchmark, not a test.
    int calls = 0;
    while (saving) {
        char buf[16];
        LONG size = sizeof buf;
        EXPECT_EQ(RegQueryValueA(big, nullptr, buf, &size), ERROR_SUCCESS);
        calls++;
    }
    saver.join();
    EXPECT_GE(calls, 3) << "reads were held up by the save";
}

TEST_F(Concurrency, ReadersAndAWriterOnManyConnectionsSeeWholeValues) {
    RegistryRpc setup(*shared_, 2, localCaller("transport"));
    uint32_t key = setup.mustCreate(HKLM, "Shared");
    std::string a(1000, 'a'), b(3000, 'b');
    ASSERT_EQ(setup.setValueEx(key, "V", 3, a, static_cast<uint32_t>(a.size())), 0u);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0}, reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 6; t++) {
        readers.emplace_back([&] {
            RegistryRpc rpc(*shared_, 2, localCaller("transport"));
            while (!stop) {
                QueryResult q = rpc.queryValueEx(key, "V", 4000);
                std::string data = q.data.substr(0, q.cbData);
                if (q.retval != 0 || (data != a && data != b)) torn++;
                reads++;
            }
        });
    }
    RegistryRpc writer(*shared_, 2, localCaller("transport"));
    for (int i = 0; i < 200; i++) {
        const std::string& v = i % 2 ? a : b;
        ASSERT_EQ(writer.setValueEx(key, "V", 3, v, static_cast<uint32_t>(v.size())), 0u);
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

// The library finds its way back after the daemon closed its connection,
// says the daemon is gone once it is, and reaches the next one.
TEST(ClientLibrary, CallsGoOnAfterTheDaemonClosedTheConnectionOrEnded) {
    ScopedEnv cap("KALVO_REGISTRYD_MAX_CONNECTIONS", "4");
    PrivateDaemon d;
    ASSERT_TRUE(started(d));
    d.exportEnv();
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Retry", &k), ERROR_SUCCESS);
    std::string err;
    CLIENT* clnt = kalvoThreadClient(2, &err);
    ASSERT_NE(clnt, nullptr);
    int fd = -1;
    ASSERT_TRUE(clnt_control(clnt, CLGET_FD, reinterpret_cast<char*>(&fd)));
    // At the cap the oldest idle connection goes: four newer ones push the
    // library's out, and they are served on.
    auto others = servedConnections(d.prog(), 4);
    ASSERT_EQ(others.size(), 4u);
    ASSERT_TRUE(closedByPeer(fd, nullptr, 5000));
    std::string reply;
    EXPECT_TRUE(others[0]->roundTrip(record(callMessage(2, d.prog(), 2, 0, "")), &reply));
    EXPECT_EQ(RegSetValueA(k, nullptr, REG_SZ, "yes", 4), ERROR_SUCCESS);
    char buf[16] = {};
    LONG size = sizeof buf;
    EXPECT_EQ(RegQueryValueA(k, nullptr, buf, &size), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "yes");
    others.clear();
    d.stop();
    LONG broken = RegOpenKeyA(HKEY_LOCAL_MACHINE, "Retry", &k);
    EXPECT_TRUE(broken == RPC_S_CALL_FAILED || broken == RPC_S_SERVER_UNAVAILABLE) << broken;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Retry", &k), RPC_S_SERVER_UNAVAILABLE);
    PrivateDaemon again;
    ASSERT_TRUE(started(again));
    again.exportEnv();
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Retry", &k), ERROR_SUCCESS);
    kalvoDropThreadClient(2);
}

}  // namespace
}  // namespace kalvotest
