// Eight client processes hammer one daemon while the flush thread saves
// every second; afterwards the registry holds exactly what the clients last
// wrote (what a restart reads back is the persistence tests' business), and
// the flush thread writes again only after a change.
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness/daemon_harness.h"
#include "kalvo/winreg.h"

using kalvotest::PrivateDaemon;

namespace {

constexpr int kProcesses = 8;
constexpr int kIterations = 2500;  // four calls each: 10,000 calls a process
constexpr int kKeys = 50;

std::string processKey(int p) { return "Software\\Load\\P" + std::to_string(p); }
std::string keyName(int k) { return "K" + std::to_string(k); }

// What one process leaves behind: key index -> last value written.
std::map<int, DWORD> expectedState() {
    std::map<int, DWORD> state;
    for (int j = 0; j < kIterations; j++) {
        int k = j % kKeys;
        state[k] = static_cast<DWORD>(j);
        if (j % 7 == 0) state.erase((k + 1) % kKeys);
    }
    return state;
}

// The body of one client process; returns the number of failed calls.
int runClient(int p) {
    int failures = 0;
    HKEY base;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, processKey(p).c_str(), &base) != ERROR_SUCCESS) return 1;
    for (int j = 0; j < kIterations; j++) {
        int k = j % kKeys;
        HKEY h;
        if (RegCreateKeyA(base, keyName(k).c_str(), &h) != ERROR_SUCCESS) {
            failures++;
            continue;
        }
        DWORD v = static_cast<DWORD>(j);
        if (RegSetValueExA(h, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v) != ERROR_SUCCESS)
            failures++;
        DWORD back = 0, type = 0, size = sizeof back;
        if (RegQueryValueExA(h, "n", nullptr, &type, reinterpret_cast<LPBYTE>(&back), &size) != ERROR_SUCCESS ||
            back != v || type != REG_DWORD)
            failures++;
        if (j % 7 == 0) {
            LONG rv = RegDeleteKeyA(base, keyName((k + 1) % kKeys).c_str());
            if (rv != ERROR_SUCCESS && rv != ERROR_FILE_NOT_FOUND) failures++;
        } else {
            char name[64];
            LONG rv = RegEnumKeyA(base, 0, name, sizeof name);
            if (rv != ERROR_SUCCESS) failures++;
        }
    }
    return failures;
}

TEST(LoadTest, EightProcessesAndAFlushEverySecond) {
    PrivateDaemon d({"-i", "1"});
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    d.exportEnv();

    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; p++) {
        pid_t c = fork();
        if (c == 0) {
            int failures = runClient(p);
            _exit(failures > 255 ? 255 : failures);
        }
        ASSERT_GT(c, 0);
        children.push_back(c);
    }
    for (pid_t c : children) {
        int st = 0;
        ASSERT_EQ(waitpid(c, &st, 0), c);
        ASSERT_TRUE(WIFEXITED(st));
        EXPECT_EQ(WEXITSTATUS(st), 0) << "failed calls in a client process";
    }

    const std::map<int, DWORD> expected = expectedState();
    for (int p = 0; p < kProcesses; p++) {
        HKEY pk;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, processKey(p).c_str(), 0, 0, &pk), ERROR_SUCCESS);
        DWORD subKeys = 0;
        ASSERT_EQ(RegQueryInfoKeyA(pk, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(subKeys, expected.size()) << "process " << p;
        for (int k = 0; k < kKeys; k++) {
            HKEY h;
            LONG rv = RegOpenKeyExA(pk, keyName(k).c_str(), 0, 0, &h);
            auto it = expected.find(k);
            if (it == expected.end()) {
                EXPECT_EQ(rv, ERROR_FILE_NOT_FOUND) << "P" << p << "\\K" << k;
                continue;
            }
            ASSERT_EQ(rv, ERROR_SUCCESS) << "P" << p << "\\K" << k;
            DWORD v = 0, type = 0, size = sizeof v;
            ASSERT_EQ(RegQueryValueExA(h, "n", nullptr, &type, reinterpret_cast<LPBYTE>(&v), &size), ERROR_SUCCESS);
            EXPECT_EQ(v, it->second) << "P" << p << "\\K" << k;
        }
    }

    // Once the last changes are written the file is left alone; the next
    // change is written by the timer.
    const std::string db = d.regDir() + "/kalvo_reg.dat";
    struct stat before {}, after {};
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ASSERT_EQ(stat(db.c_str(), &before), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    ASSERT_EQ(stat(db.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    HKEY flushed;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Flushed", &flushed), ERROR_SUCCESS);
    bool written = false;
    for (int i = 0; i < 250 && !written; i++) {
        written = kalvotest::readFile(db).find("Flushed") != std::string::npos;
        if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(written);
}

}  // namespace
