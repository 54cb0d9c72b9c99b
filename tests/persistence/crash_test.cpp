// A daemon killed with SIGKILL at random moments while its flush thread
// saves a large registry over and over must always come back on a readable
// registry that holds one whole earlier save: never a torn file, never the
// backup, never less than a save known to be done.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness/big_registry.h"
#include "persistence_util.h"

using namespace persisttest;

namespace {

constexpr int kRounds = 25;
constexpr int kBulkKeys = 10000;  // about 200,000 records in all

// The file's inode: each save replaces the file by a new one.
ino_t fileId(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The generations present under HKLM\Software\Crash: must be exactly
// g1..gN (keys are made one after another, so any whole save holds such a
// prefix); returns N, or -1 when the set has a hole or a stranger.
int crashGenerations() {
    HKEY crash = openKey(HKEY_LOCAL_MACHINE, "Software\\Crash");
    if (crash == nullptr) return 0;
    std::set<std::string> names;
    char name[64];
    LONG rv = ERROR_SUCCESS;
    for (DWORD i = 0; (rv = RegEnumKeyA(crash, i, name, sizeof name)) == ERROR_SUCCESS; i++) names.insert(name);
    if (rv != ERROR_NO_MORE_ITEMS) return -1;
    int n = static_cast<int>(names.size());
    for (int g = 1; g <= n; g++)
        if (names.count("g" + std::to_string(g)) == 0) return -1;
    return n;
}

TEST(CrashTest, KilledWhileSavingAlwaysRestartsOnAWholeEarlierSave) {
    RegistryHome home;
    ASSERT_TRUE(kalvotest::writeBigRegistry(home.file("kalvo_reg.dat"), false, kBulkKeys));
    const uintmax_t bigSize = std::filesystem::file_size(home.file("kalvo_reg.dat"));
    unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> delayMs(0, 1500);
    std::cout << "seed " << seed << ", main file " << bigSize << " bytes\n";
    int lastSaved = 0;   // the newest generation known to be saved
    int killedMidWrite = 0;
    int totalSaves = 0;
    for (int round = 0; round <= kRounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto d = home.start({"-i", "1"});
        ASSERT_NE(d, nullptr);
        ASSERT_EQ(home.log().find("Trying backup"), std::string::npos) << "the main file was unreadable";
        ASSERT_EQ(subKeyCount(HKEY_LOCAL_MACHINE, "Software\\Big"), static_cast<DWORD>(kBulkKeys / 200));
        int k = static_cast<int>(rng() % kBulkKeys), v = static_cast<int>(rng() % 19);
        char key[32], value[8];
        snprintf(key, sizeof key, "Software\\Big\\G%03d\\K%03d", k / 200, k % 200);
        snprintf(value, sizeof value, "V%02d", v);
        ASSERT_EQ(queryValue(HKEY_LOCAL_MACHINE, key, value),
                  "value " + std::to_string(v) + " of key " + std::to_string(k) + '\0');
        int present = crashGenerations();
        ASSERT_GE(present, 0) << "generations with a hole: a torn save";
        ASSERT_GE(present, lastSaved) << "a finished save was lost";
        if (round == kRounds) {
            stopDaemon(d);
            break;
        }

        // New generations every few milliseconds; the flush thread (every
        // second) saves them. The main file is replaced whole by each save,
        // so a generation is surely saved once the file was replaced twice
        // after it was made: the second save began after the first ended.
        std::atomic<bool> stop{false};
        std::atomic<int> saved{present};  // what the daemon read is saved
        std::atomic<int> saves{0};
        std::thread saver([&, present] {
            HKEY crash = nullptr;
            if (RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\Crash", &crash) != ERROR_SUCCESS) return;
            std::vector<int> replacedWhenMade{0};  // by generation, from present + 1
            ino_t ino = fileId(home.file("kalvo_reg.dat"));
            for (int gen = present + 1; !stop; gen++) {
                HKEY g = nullptr;
                if (RegCreateKeyA(crash, ("g" + std::to_string(gen)).c_str(), &g) != ERROR_SUCCESS) return;
                replacedWhenMade.push_back(saves);
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
                ino_t now = fileId(home.file("kalvo_reg.dat"));
                if (now == ino) continue;
                ino = now;
                saves++;
                while (saved < gen && saves - replacedWhenMade[saved + 1 - present] >= 2) saved++;
            }
        });
        // Half the kills come at any moment, half just after a save began.
        if (round % 2 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(rng)));
        } else {
            for (int i = 0; i < 3000 && !std::filesystem::exists(home.file(".kalvo_reg.dat.tmp")); i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 40));
        }
        d->signal(SIGKILL);
        EXPECT_TRUE(d->waitExit(20));
        killedMidWrite += std::filesystem::exists(home.file(".kalvo_reg.dat.tmp")) ? 1 : 0;
        stop = true;
        saver.join();
        lastSaved = saved;
        totalSaves += saves;
        d->stop();
    }
    std::cout << kRounds << " kills, " << killedMidWrite << " of them with a save half written, " << totalSaves
              << " saves completed, newest saved generation " << lastSaved << "\n";
}

}  // namespace
