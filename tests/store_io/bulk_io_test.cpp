// Start-up loading at scale: the load-progress hook that lets the daemon
// stop a load, and round trips of large files through the reader and writer.
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "base/log.h"
#include "io_test_util.h"
#include "store/regdio.h"

using namespace iotest;

namespace {

std::vector<uint64_t> g_reported;
uint64_t g_stopAt = 0;  // 0: never stop

bool recordProgress(uint64_t recordsRead) {
    g_reported.push_back(recordsRead);
    return recordsRead != g_stopAt;
}

class ProgressTest : public IoTest {
  protected:
    void SetUp() override {
        IoTest::SetUp();
        g_reported.clear();
        g_stopAt = 0;
        regdSetLoadProgressHook(recordProgress);
    }
    void TearDown() override {
        regdSetLoadProgressHook(nullptr);
        IoTest::TearDown();
    }
};

// Every record of the main file is reported in order; a stop leaves an
// empty cache and a distinct result, tries no backup and writes nothing;
// hive loads report nothing.
TEST_F(ProgressTest, ReportsEachRecordAndStopsOnRequest) {
    ASSERT_EQ(regdInitCache(), 1);
    ASSERT_NE(mkKey(REGD_HKEY_LOCAL_MACHINE, "Software\\A\\B"), 0u);
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, 0, "kalvo_reg.dat", 1), 0u);
    uint32_t records = g_nEntries;
    regdDiscardCache();
    const std::string mainBytes = readFile("kalvo_reg.dat");
    writeFile("kalvo_reg.dat.bak", mainBytes);

    ASSERT_EQ(regdLoadRegistry(), 1);
    ASSERT_EQ(g_reported.size(), records);
    for (size_t i = 0; i < g_reported.size(); i++) EXPECT_EQ(g_reported[i], i + 1);
    g_reported.clear();
    ASSERT_EQ(regdLoadHive(regdFindHKey(testCaller, REGD_HKEY_LOCAL_MACHINE), "kalvo_reg.dat.bak", "Copy", nullptr), 0u);
    EXPECT_TRUE(g_reported.empty());
    regdDiscardCache();

    struct { bool mainGood; uint64_t stopAt; } rows[] = {{true, 1}, {true, 7}, {true, records}, {false, 3}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.stopAt);
        regdResetLogForTest();
        writeFile("kalvo_reg.dat", r.mainGood ? mainBytes : std::string("junk"));
        g_reported.clear();
        g_stopAt = r.stopAt;
        bool mainUsed = true;
        EXPECT_EQ(regdLoadRegistry(&mainUsed), REGD_LOAD_STOPPED);
        EXPECT_FALSE(mainUsed);
        EXPECT_EQ(g_reported.back(), r.stopAt);
        EXPECT_EQ(g_nEntries, 0u);
        EXPECT_EQ(regCacheTable, nullptr);
        EXPECT_EQ(g_dirty.load(), 0u);
        EXPECT_EQ(logText().find("Trying backup") != std::string::npos, !r.mainGood);
        EXPECT_EQ(logText().find("Initializing"), std::string::npos);
    }
    EXPECT_EQ(readFile("kalvo_reg.dat.bak"), mainBytes);
}

}  // namespace
