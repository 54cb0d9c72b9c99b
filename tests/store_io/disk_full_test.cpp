// A real daemon whose registry directory fills up: the saves that fail
// leave the old file whole, and the change lands once there is room again.
#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <sys/types.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>

#include "harness/daemon_harness.h"
#include "kalvo/winreg.h"

namespace {

using kalvotest::readFile;

bool waitUntil(double seconds, const std::function<bool()>& done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

bool setText(HKEY key, const char* name, const char* text) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(strlen(text) + 1)) == ERROR_SUCCESS;
}

TEST(DiskFull, FailedSavesKeepTheOldFileAndTheChangeLandsLater) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    std::string base = kalvotest::makeTempDir();
    ASSERT_EQ(kalvotest::runProgram({"mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", base}).status, 0);
    {
        kalvotest::PrivateDaemon daemon({"-i", "1"});  // a flush every second
        daemon.useBaseDir(base);
        std::string error;
        ASSERT_TRUE(daemon.start(&error)) << error;
        daemon.exportEnv();
        const std::string db = daemon.regDir() + "/kalvo_reg.dat";
        const std::string log = daemon.regDir() + "/kalvo_reg.log";
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\DiskFull", &key), ERROR_SUCCESS);
        ASSERT_TRUE(setText(key, "first", "FirstValue"));
        ASSERT_TRUE(waitUntil(10, [&] { return readFile(db).find("FirstValue") != std::string::npos; }));
        const std::string saved = readFile(db);

        // Fill the file system, then leave a little room for the log alone.
        const std::string filler = base + "/filler";
        kalvotest::runProgram({"dd", "if=/dev/zero", "of=" + filler, "bs=4k"});
        ASSERT_EQ(truncate(filler.c_str(), std::max<off_t>(0, static_cast<off_t>(readFile(filler).size()) - 16384)), 0);
        ASSERT_TRUE(setText(key, "second", "SecondValue"));
        ASSERT_TRUE(waitUntil(10, [&] { return readFile(log).find("Saving the registry failed") != std::string::npos; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two more flushes that fail
        EXPECT_EQ(readFile(db), saved);
        EXPECT_EQ(count(readFile(log), "Saving the registry failed"), 1u);

        ASSERT_EQ(unlink(filler.c_str()), 0);
        EXPECT_TRUE(waitUntil(10, [&] { return readFile(db).find("SecondValue") != std::string::npos; }));
        EXPECT_TRUE(waitUntil(5, [&] { return count(readFile(log), "The registry was saved again.") == 1; }));
        RegCloseKey(key);
        daemon.stop();
    }
    EXPECT_EQ(kalvotest::runProgram({"umount", base}).status, 0);
    rmdir(base.c_str());
}

}  // namespace
