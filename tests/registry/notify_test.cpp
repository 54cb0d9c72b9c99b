// Change notifications end to end: RegNotifyChangeKeyValue of the client
// library against a private daemon, with changes made by this thread, other
// threads and forked processes. An event set by a change is set before the
// changing call returns, so a zero wait right after it tells.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "harness/wire_client.h"
#include "kalvo/synchapi.h"
#include "kalvo/winreg.h"

using kalvotest::Child;

namespace {

const BYTE* bytes(const char* s) { return reinterpret_cast<const BYTE*>(s); }

class NotifyTest : public kalvotest::SharedDaemonTest {
  protected:
    // The verbose trace reports the daemon's count of registrations.
    static void SetUpTestSuite() { startShared({"-v", "-l", "-1"}); }
    void SetUp() override {
        SharedDaemonTest::SetUp();
        name_ = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, ("Notify\\" + name_).c_str(), &base_), ERROR_SUCCESS);
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(event_, nullptr);
    }
    void TearDown() override { CloseHandle(event_); }

    bool signalled() { return WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }
    // Signalled, and reset for the next check.
    bool fired() { return signalled() && ResetEvent(event_); }
    // A new key below base_ with a sub-key "C" (its handle in *child) and a value "v".
    HKEY freshKey(const std::string& name, HKEY* child = nullptr) {
        HKEY k = nullptr, c = nullptr;
        EXPECT_EQ(RegCreateKeyA(base_, name.c_str(), &k), ERROR_SUCCESS);
        EXPECT_EQ(RegCreateKeyA(k, "C", child != nullptr ? child : &c), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(k, "v", 0, REG_SZ, bytes("x"), 2), ERROR_SUCCESS);
        return k;
    }
    // The daemon's registrations as its trace last reported them.
    int lastReportedCount() {
        int count = -1;
        for (const std::string& line : kalvotest::logMessages(*shared_))
            if (size_t at = line.find("    registrations: "); at != std::string::npos)
                count = std::stoi(line.substr(at + 19));
        return count;
    }
    static size_t daemonDescriptors() {
        auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(shared_->pid()) + "/fd");
        return static_cast<size_t>(std::distance(it, std::filesystem::directory_iterator()));
    }

    HKEY base_ = nullptr;
    HANDLE event_ = nullptr;
    std::string name_;
};

// Filter and subtree against each change path; 2 and 8 are accepted and
// never fire alone. Every row watches a fresh key W with sub-key C.
TEST_F(NotifyTest, FiltersSubtreesAndChangePaths) {
    HKEY hive = freshKey("HiveSource");
    std::string file = "notify_" + std::to_string(getpid()) + ".hive";
    ASSERT_EQ(RegSaveKeyA(hive, file.c_str(), nullptr), ERROR_SUCCESS);
    enum Change { SetValue, DeleteValue, CreateKey, DeleteKey, SetInChild, CreateInChild, Load, Restore };
    struct Row {
        DWORD filter;
        BOOL subtree;
        Change change;
        bool fires;
    };
    const Row rows[] = {
        {REG_NOTIFY_CHANGE_LAST_SET, FALSE, SetValue, true},     {REG_NOTIFY_CHANGE_LAST_SET, FALSE, DeleteValue, true},
        {REG_NOTIFY_CHANGE_LAST_SET, FALSE, CreateKey, false},   {REG_NOTIFY_CHANGE_LAST_SET, FALSE, SetInChild, false},
        {REG_NOTIFY_CHANGE_LAST_SET, TRUE, SetInChild, true},    {REG_NOTIFY_CHANGE_NAME, FALSE, CreateKey, true},
        {REG_NOTIFY_CHANGE_NAME, FALSE, DeleteKey, true},        {REG_NOTIFY_CHANGE_NAME, FALSE, SetValue, false},
        {REG_NOTIFY_CHANGE_NAME, FALSE, CreateInChild, false},   {REG_NOTIFY_CHANGE_NAME, TRUE, CreateInChild, true},
        {REG_NOTIFY_CHANGE_NAME, FALSE, Load, true},             {REG_NOTIFY_CHANGE_NAME, FALSE, Restore, true},
        {REG_NOTIFY_CHANGE_ATTRIBUTES, TRUE, SetValue, false},   {REG_NOTIFY_CHANGE_SECURITY, TRUE, CreateKey, false},
        {REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET, FALSE, SetValue, true},
    };
    int n = 0;
    for (const Row& r : rows) {
        HKEY c = nullptr, w = freshKey("W" + std::to_string(n++), &c);
        ASSERT_EQ(RegNotifyChangeKeyValue(w, r.subtree, r.filter, event_, TRUE), ERROR_SUCCESS);
        HKEY made = nullptr;
        LONG rv = r.change == SetValue       ? RegSetValueExA(w, "v", 0, REG_SZ, bytes("y"), 2)
                  : r.change == DeleteValue  ? RegDeleteValueA(w, "v")
                  : r.change == CreateKey    ? RegCreateKeyA(w, "New", &made)
                  : r.change == DeleteKey    ? RegDeleteKeyA(w, "C")
                  : r.change == SetInChild   ? RegSetValueExA(c, "v", 0, REG_SZ, bytes("y"), 2)
                  : r.change == CreateInChild ? RegCreateKeyA(c, "New", &made)
                  : r.change == Load         ? RegLoadKeyA(w, "Loaded", file.c_str())
                                             : RegRestoreKeyA(w, file.c_str(), 0);
        ASSERT_EQ(rv, ERROR_SUCCESS) << n;
        EXPECT_EQ(signalled(), r.fires) << "row " << n - 1;
        RegCloseKey(w);  // ends a watch that did not fire
        ResetEvent(event_);
    }
    std::filesystem::remove(shared_->regDir() + "/" + file);
}

// One-shot, the reset on registering, the ends that fire a watch once
// (handle closed, key deleted, thread ended), and refused arguments.
TEST_F(NotifyTest, FiresOnceAndEnds) {
    auto watch = [&](HKEY key, DWORD filter, HANDLE event, BOOL subtree = FALSE) {
        return RegNotifyChangeKeyValue(key, subtree, filter, event, TRUE);
    };
    HKEY w = freshKey("W"), made = nullptr, c = nullptr;
    SetEvent(event_);
    ASSERT_EQ(watch(w, REG_NOTIFY_CHANGE_LAST_SET, event_), ERROR_SUCCESS);
    EXPECT_FALSE(signalled());  // registering reset it
    ASSERT_EQ(RegSetValueExA(w, "v", 0, REG_SZ, bytes("1"), 2), ERROR_SUCCESS);
    EXPECT_TRUE(fired());
    ASSERT_EQ(RegSetValueExA(w, "v", 0, REG_SZ, bytes("2"), 2), ERROR_SUCCESS);
    EXPECT_FALSE(signalled());  // the watch ended with its first change

    ASSERT_EQ(watch(w, REG_NOTIFY_CHANGE_NAME, event_, TRUE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(w), ERROR_SUCCESS);
    EXPECT_TRUE(fired());
    ASSERT_EQ(RegCreateKeyA(w, "After", &made), ERROR_SUCCESS);
    EXPECT_FALSE(signalled());

    ASSERT_EQ(RegOpenKeyA(w, "C", &c), ERROR_SUCCESS);
    ASSERT_EQ(watch(c, REG_NOTIFY_CHANGE_LAST_SET, event_), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(base_, "W"), ERROR_SUCCESS);
    EXPECT_TRUE(fired());

    HKEY other = freshKey("Other");
    std::thread([&] { EXPECT_EQ(watch(other, REG_NOTIFY_CHANGE_LAST_SET, event_), ERROR_SUCCESS); }).join();
    EXPECT_EQ(WaitForSingleObject(event_, 2000), WAIT_OBJECT_0);  // its connection ended with it
    ResetEvent(event_);
    ASSERT_EQ(watch(other, REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_THREAD_AGNOSTIC, event_), ERROR_SUCCESS);
    std::thread([&] { EXPECT_EQ(RegSetValueExA(other, "v", 0, REG_SZ, bytes("3"), 2), ERROR_SUCCESS); }).join();
    EXPECT_TRUE(fired());
    ASSERT_EQ(watch(other, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_THREAD_AGNOSTIC, event_), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(other), ERROR_SUCCESS);  // reaches the process's connection too
    EXPECT_TRUE(signalled());

    EXPECT_EQ(watch(other, 0, event_), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(watch(other, 0x20, event_), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(watch(other, REG_NOTIFY_CHANGE_NAME, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(watch(other, REG_NOTIFY_CHANGE_NAME, reinterpret_cast<HANDLE>(0x12345)), 6);
    EXPECT_EQ(watch(other, REG_NOTIFY_CHANGE_NAME, reinterpret_cast<HANDLE>(0x2800fff0)), 6);
    EXPECT_EQ(watch(KALVO_HKEY(1990), REG_NOTIFY_CHANGE_NAME, event_), ERROR_FILE_NOT_FOUND);
}

// Synchronous mode returns only after a matching change.
TEST_F(NotifyTest, SynchronousWaitsForTheChange) {
    HKEY w = freshKey("W");
    std::atomic<LONG> result{-1};
    std::thread watcher([&] { result = RegNotifyChangeKeyValue(w, FALSE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    HKEY made = nullptr;
    ASSERT_EQ(RegCreateKeyA(w, "NotAValue", &made), ERROR_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(result.load(), -1);
    ASSERT_EQ(RegSetValueExA(w, "v", 0, REG_SZ, bytes("y"), 2), ERROR_SUCCESS);
    watcher.join();
    EXPECT_EQ(result.load(), ERROR_SUCCESS);
}

// Another process's change wakes a waiting thread; a process that registers
// thousands of watches and exits fires each once and leaves nothing behind.
TEST_F(NotifyTest, OtherProcesses) {
    HKEY w = freshKey("W");
    signalled();  // the daemon's wake-up connection to us is open from here on
    size_t descriptors = daemonDescriptors();
    std::string eventName = "notify-test-" + std::to_string(getpid());
    HANDLE named = CreateEventA(nullptr, TRUE, FALSE, eventName.c_str());
    ASSERT_NE(named, nullptr);
    ASSERT_EQ(RegNotifyChangeKeyValue(w, TRUE, REG_NOTIFY_CHANGE_LAST_SET, event_, TRUE), ERROR_SUCCESS);
    constexpr int kWatches = 2000;
    Child child([&](Child& self) {
        char go;
        self.hear(&go);
        HKEY c = nullptr;
        if (RegOpenKeyA(w, "C", &c) != ERROR_SUCCESS || RegSetValueExA(c, "v", 0, REG_SZ, bytes("z"), 2) != 0)
            return 1;
        HANDLE e = OpenEventA(EVENT_ALL_ACCESS, FALSE, eventName.c_str());
        for (int i = 0; i < kWatches; i++) {
            DWORD filter = REG_NOTIFY_CHANGE_NAME | (i % 2 ? REG_NOTIFY_THREAD_AGNOSTIC : 0);
            if (RegNotifyChangeKeyValue(i % 3 ? w : c, i % 5 == 0, filter, e, TRUE) != ERROR_SUCCESS) return 2;
        }
        self.say('r');
        self.hear(&go);
        _exit(0);  // as a crash would: no clean-up of ours (nor the parent's daemon guard)
    });
    std::atomic<DWORD> woken{99};
    std::thread waiter([&] { woken = WaitForSingleObject(event_, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    child.say('g');  // its change wakes the waiting thread
    waiter.join();
    EXPECT_EQ(woken.load(), WAIT_OBJECT_0);
    char ready = 0;
    ASSERT_TRUE(child.hear(&ready));
    EXPECT_EQ(WaitForSingleObject(named, 0), WAIT_TIMEOUT);
    child.say('x');
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(WaitForSingleObject(named, 2000), WAIT_OBJECT_0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (daemonDescriptors() != descriptors && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(daemonDescriptors(), descriptors);
    // Only this one is left: the watch on W fired, the child's are gone.
    ASSERT_EQ(RegNotifyChangeKeyValue(w, FALSE, REG_NOTIFY_CHANGE_NAME, event_, TRUE), ERROR_SUCCESS);
    EXPECT_EQ(lastReportedCount(), 1);
    RegCloseKey(w);
    CloseHandle(named);
}

// kalvoreg watch prints each change as it happens and ends when its key goes.
TEST_F(NotifyTest, WatchCommand) {
    HKEY c = nullptr, w = freshKey("W", &c);
    std::string full = "HKEY_LOCAL_MACHINE\\Notify\\WatchCommand\\W";
    FILE* tool = popen((std::string(KALVOREG_PATH) + " watch 'HKLM\\Notify\\WatchCommand\\W' /s 2>&1").c_str(), "r");
    ASSERT_NE(tool, nullptr);
    auto next = [tool] {
        pollfd p{fileno(tool), POLLIN, 0};
        char buf[512];
        if (poll(&p, 1, 5000) <= 0 || fgets(buf, sizeof buf, tool) == nullptr) return std::string("(nothing)");
        std::string line(buf);
        return line.substr(0, line.find_last_not_of('\n') + 1);
    };
    ASSERT_EQ(next(), "Watching " + full + " and its tree; interrupt to stop.");
    ASSERT_EQ(RegSetValueExA(w, "v", 0, REG_SZ, bytes("y"), 2), ERROR_SUCCESS);
    EXPECT_EQ(next(), "set " + full + "    v    REG_SZ    y");
    HKEY made = nullptr;
    ASSERT_EQ(RegCreateKeyA(w, "New", &made), ERROR_SUCCESS);
    EXPECT_EQ(next(), "added key " + full + "\\New");
    ASSERT_EQ(RegSetValueExA(c, "n", 0, REG_DWORD, bytes("\x05\0\0\0"), 4), ERROR_SUCCESS);
    EXPECT_EQ(next(), "set " + full + "\\C    n    REG_DWORD    0x5");
    ASSERT_EQ(RegDeleteValueA(w, "v"), ERROR_SUCCESS);
    EXPECT_EQ(next(), "deleted value " + full + "    v");
    ASSERT_EQ(RegDeleteKeyA(base_, "W"), ERROR_SUCCESS);
    std::vector<std::string> last;
    for (std::string l = next(); l != "(nothing)"; l = next()) last.push_back(l);
    EXPECT_EQ(last, (std::vector<std::string>{"deleted key " + full, "deleted key " + full + "\\C",
                                              "deleted key " + full + "\\New"}));
    EXPECT_EQ(pclose(tool), 0);
}

}  // namespace
