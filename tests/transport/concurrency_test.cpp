// Calls served side by side: a long save does not hold up short reads,
// readers and a writer on many connections see consistent answers, and the
// client library finds its way back after the daemon closed its connection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "client/kalvo_rpc_client.h"
#include "harness/wire_client.h"
#include "kalvo/winreg.h"
#include "store/regdcache.h"
#include "store/regdio.h"
#include "transport/raw_rpc.h"

namespace kalvotest {
namespace {

using Clock = std::chrono::steady_clock;

// A hive file of about a million records (100 x 100 x 100 keys under one
// top key), written by the store of this process.
bool writeBigHive(const std::string& path) {
    regdInitCache();
    uint32_t top = 0;
    if (regdInsertKey(RegdCaller{}, REGD_HKEY_LOCAL_MACHINE, "BigTree", 0, nullptr, 0, 0, nullptr, &top, nullptr,
                      0) != 0)
        return false;
    char name[32];
    for (int a = 0; a < 100; a++) {
        uint32_t ka = 0;
        snprintf(name, sizeof name, "A%02d", a);
        regdInsertKey(RegdCaller{}, top, name, 0, nullptr, 0, 0, nullptr, &ka, nullptr, 0);
        for (int b = 0; b < 100; b++) {
            uint32_t kb = 0;
            snprintf(name, sizeof name, "B%02d", b);
            regdInsertKey(RegdCaller{}, ka, name, 0, nullptr, 0, 0, nullptr, &kb, nullptr, 0);
            for (int c = 0; c < 100; c++) {
                uint32_t kc = 0;
                snprintf(name, sizeof name, "C%02d", c);
                regdInsertKey(RegdCaller{}, kb, name, 0, nullptr, 0, 0, nullptr, &kc, nullptr, 0);
            }
        }
    }
    return regdWriteRegistryDatabase(RegdCaller{}, top, path.c_str(), 1) == 0;
}

TEST(Concurrency, ShortReadsKeepTheirLatencyWhileALongSaveRuns) {
    PrivateDaemon d;
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    std::string hive = d.baseDir() + "/big_hive.dat";
    ASSERT_TRUE(writeBigHive(hive));
    RegistryRpc loader(d, 2, localCaller("transport"));
    regd_REG_LOAD_KEY load{};
    load.hKey = HKLM;
    load.lpSubKey = const_cast<char*>("Big");
    load.lpFile = const_cast<char*>(hive.c_str());
    regd_BASIC_RES loaded{};
    ASSERT_TRUE(loader.call(REG_LOAD_KEY, xdr_regd_REG_LOAD_KEY, load, xdr_regd_BASIC_RES, loaded));
    ASSERT_EQ(loaded.ret.retval, 0u);
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_regd_BASIC_RES), reinterpret_cast<char*>(&loaded));
    uint32_t big = loader.openKey(HKLM, "Big").hk;
    ASSERT_NE(big, 0u);
    ASSERT_EQ(loader.setValue(big, "", 1, "small", 6), 0u);

    RegistryRpc reader(d, 2, localCaller("transport"));
    std::atomic<bool> saving{true};
    double saveSeconds = 0;
    std::thread saver([&] {
        RegistryRpc rpc(d, 2, localCaller("transport"));
        std::string out = d.baseDir() + "/saved_big.dat";
        regd_REG_SAVE_KEY save{};
        save.hKey = big;
        save.lpFile = const_cast<char*>(out.c_str());
        regd_BASIC_RES res{};
        auto start = Clock::now();
        EXPECT_TRUE(rpc.call(REG_SAVE_KEY, xdr_regd_REG_SAVE_KEY, save, xdr_regd_BASIC_RES, res));
        saveSeconds = secondsSince(start);
        EXPECT_EQ(res.ret.retval, 0u);
        xdr_free(reinterpret_cast<xdrproc_t>(xdr_regd_BASIC_RES), reinterpret_cast<char*>(&res));
        saving = false;
    });
    // A save that held out readers would let one read through at most;
    // how long each read takes is a question for a benchmark, not a test.
    int calls = 0;
    while (saving) {
        EXPECT_EQ(reader.queryValueEx(big, "", 64).retval, 0u);
        calls++;
    }
    saver.join();
    EXPECT_GE(calls, 3) << "reads were held up by a save of " << saveSeconds << " s";
}

TEST(Concurrency, ReadersAndAWriterOnManyConnectionsSeeWholeValues) {
    PrivateDaemon d;
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    RegistryRpc setup(d, 2, localCaller("transport"));
    uint32_t key = setup.mustCreate(HKLM, "Shared");
    std::string a(1000, 'a'), b(3000, 'b');
    ASSERT_EQ(setup.setValueEx(key, "V", 3, a, static_cast<uint32_t>(a.size())), 0u);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0}, reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 6; t++) {
        readers.emplace_back([&] {
            RegistryRpc rpc(d, 2, localCaller("transport"));
            while (!stop) {
                QueryResult q = rpc.queryValueEx(key, "V", 4000);
                std::string data = q.data.substr(0, q.cbData);
                if (q.retval != 0 || (data != a && data != b)) torn++;
                reads++;
            }
        });
    }
    RegistryRpc writer(d, 2, localCaller("transport"));
    for (int i = 0; i < 200; i++) {
        const std::string& v = i % 2 ? a : b;
        ASSERT_EQ(writer.setValueEx(key, "V", 3, v, static_cast<uint32_t>(v.size())), 0u);
    }
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
}

// True when the peer of fd has closed (nothing left to read but the end).
bool peerClosed(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return false;
    char c;
    return recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

TEST(ClientLibrary, CallsGoOnAfterTheDaemonClosedTheIdleConnection) {
    ScopedEnv cap("KALVO_REGISTRYD_MAX_CONNECTIONS", "4");
    PrivateDaemon d;
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    d.exportEnv();
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Retry", &k), ERROR_SUCCESS);
    CLIENT* clnt = kalvoThreadClient(2, &err);
    ASSERT_NE(clnt, nullptr);
    int fd = -1;
    ASSERT_TRUE(clnt_control(clnt, CLGET_FD, reinterpret_cast<char*>(&fd)));
    // Four newer connections push the library's idle one out.
    auto others = servedConnections(d.prog(), 4);
    ASSERT_EQ(others.size(), 4u);
    ASSERT_TRUE(peerClosed(fd));
    EXPECT_EQ(RegSetValueExA(k, "after", 0, REG_SZ, reinterpret_cast<const BYTE*>("yes"), 4), ERROR_SUCCESS);
    char buf[16] = {};
    DWORD size = sizeof buf;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(k, "after", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "yes");
    kalvoDropThreadClient(2);
}

}  // namespace
}  // namespace kalvotest
