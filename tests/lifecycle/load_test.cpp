// Eight client processes hammer one daemon while the flush thread saves
// every second; afterwards the registry holds exactly what the clients last
// wrote (what a restart reads back is the persistence tests' business), and
// the flush thread writes again only after a change.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness/sync_client.h"
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

// What the registry holds for process p: key index -> value; -1 for a
// stray key or one without its value.
std::map<int, DWORD> stateOf(int p) {
    std::map<int, DWORD> state;
    HKEY base, h;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, processKey(p).c_str(), 0, 0, &base) != ERROR_SUCCESS) return {{-1, 0}};
    char name[64];
    for (DWORD i = 0; RegEnumKeyA(base, i, name, sizeof name) == ERROR_SUCCESS; i++) {
        int k = name[0] == 'K' ? atoi(name + 1) : -1;
        DWORD v = 0, type = 0, size = sizeof v;
        bool read = RegOpenKeyExA(base, name, 0, 0, &h) == ERROR_SUCCESS &&
                    RegQueryValueExA(h, "n", nullptr, &type, reinterpret_cast<LPBYTE>(&v), &size) == ERROR_SUCCESS;
        state[keyName(k) == name && read && type == REG_DWORD ? k : -1] = v;
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
        DWORD v = static_cast<DWORD>(j), back = 0, type = 0, size = sizeof back;
        failures += RegSetValueExA(h, "n", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v) != ERROR_SUCCESS;
        failures += RegQueryValueExA(h, "n", nullptr, &type, reinterpret_cast<LPBYTE>(&back), &size) != ERROR_SUCCESS ||
                    back != v || type != REG_DWORD;
        char name[64];
        LONG rv = j % 7 == 0 ? RegDeleteKeyA(base, keyName((k + 1) % kKeys).c_str())
                             : RegEnumKeyA(base, 0, name, sizeof name);
        failures += rv != ERROR_SUCCESS && (j % 7 != 0 || rv != ERROR_FILE_NOT_FOUND);
    }
    return failures;
}

TEST(LoadTest, EightProcessesAndAFlushEverySecond) {
    PrivateDaemon d({"-i", "1"});
    std::string err;
    ASSERT_TRUE(d.start(&err)) << err;
    d.exportEnv();

    using kalvotest::Child;
    std::vector<std::unique_ptr<Child>> clients;
    for (int p = 0; p < kProcesses; p++)
        clients.push_back(std::make_unique<Child>([p](Child&) { return std::min(runClient(p), 255); }));
    for (auto& c : clients) EXPECT_EQ(c->wait(120000), 0) << "failed calls in a client process";

    // Every process's keys hold what it last wrote, and no other key is left.
    for (int p = 0; p < kProcesses; p++) EXPECT_EQ(stateOf(p), expectedState()) << "process " << p;

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
    for (int i = 0; i < 250 && kalvotest::readFile(db).find("Flushed") == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(kalvotest::readFile(db).find("Flushed"), std::string::npos);
}

}  // namespace
