// The Win32 registry functions of the client library against a private
// daemon named by the environment.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

#include "harness/daemon_harness.h"
#include "kalvo/winreg.h"

using kalvotest::PrivateDaemon;

namespace {

class WinRegTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        daemon_ = std::make_unique<PrivateDaemon>();
        std::string error;
        ASSERT_TRUE(daemon_->start(&error)) << error;
        daemon_->exportEnv();
    }
    static void TearDownTestSuite() { daemon_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(daemon_ != nullptr && daemon_->running());
        daemon_->exportEnv();
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, ("WinReg\\" + name).c_str(), &base_), ERROR_SUCCESS);
    }

    static std::unique_ptr<PrivateDaemon> daemon_;
    HKEY base_ = nullptr;
};
std::unique_ptr<PrivateDaemon> WinRegTest::daemon_;

// ---- Keys ----

TEST_F(WinRegTest, CreateOpenCloseDelete) {
    HKEY made = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(base_, "Made\\Deeper", 0, const_cast<char*>("cls"), REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &made, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    HKEY again = nullptr;
    ASSERT_EQ(RegCreateKeyExA(base_, "made\\DEEPER", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(again, made);
    HKEY opened = nullptr;
    ASSERT_EQ(RegOpenKeyExA(base_, "Made\\Deeper", 0, KEY_READ, &opened), ERROR_SUCCESS);
    EXPECT_EQ(opened, made);
    ASSERT_EQ(RegOpenKeyA(base_, "Made\\Deeper", &opened), ERROR_SUCCESS);
    EXPECT_EQ(opened, made);
    // Null and empty sub-keys give back the key itself.
    HKEY self = nullptr;
    EXPECT_EQ(RegOpenKeyExA(made, "", 0, KEY_READ, &self), ERROR_SUCCESS);
    EXPECT_EQ(self, made);
    EXPECT_EQ(RegOpenKeyExA(made, nullptr, 0, KEY_READ, &self), ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyA(made, nullptr, &self), ERROR_SUCCESS);
    EXPECT_EQ(self, made);
    EXPECT_EQ(RegCloseKey(made), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(made), ERROR_SUCCESS);

    HKEY untouched = KALVO_HKEY(4242);
    EXPECT_EQ(RegOpenKeyA(base_, "Missing", &untouched), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(untouched, KALVO_HKEY(4242));
    EXPECT_EQ(RegOpenKeyA(base_, "Missing", nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyA(KALVO_HKEY(1990), nullptr, &self), ERROR_INVALID_PARAMETER);

    EXPECT_EQ(RegDeleteKeyA(base_, "Made"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyA(base_, "Made\\Deeper", &opened), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(base_, "Made"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(base_, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(made), ERROR_SUCCESS);  // taken off the deleted-handle list
    EXPECT_EQ(RegCloseKey(HKEY_PERFORMANCE_DATA), ERROR_FILE_NOT_FOUND);
}

// ---- Values ----

TEST_F(WinRegTest, SetAndQueryValues) {
    const char text[] = "hello";
    ASSERT_EQ(RegSetValueExA(base_, "str", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
              ERROR_SUCCESS);
    DWORD word = 0x11223344;
    ASSERT_EQ(RegSetValueExA(base_, "word", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&word), 4),
              ERROR_SUCCESS);
    char buf[32];
    DWORD type = 0;
    DWORD size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(base_, "str", nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 6u);
    EXPECT_STREQ(buf, "hello");
    DWORD back = 0;
    size = sizeof back;
    ASSERT_EQ(RegQueryValueExA(base_, "WORD", nullptr, &type, reinterpret_cast<LPBYTE>(&back), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(back, word);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    // Size only, too small a buffer, missing value.
    size = 0;
    EXPECT_EQ(RegQueryValueExA(base_, "str", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    memset(buf, 'x', sizeof buf);
    size = 3;
    EXPECT_EQ(RegQueryValueExA(base_, "str", nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(std::string(buf, 4), "helx");
    size = sizeof buf;
    EXPECT_EQ(RegQueryValueExA(base_, "nope", nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(size, sizeof buf);
    EXPECT_EQ(RegQueryValueExA(base_, "str", nullptr, &type, reinterpret_cast<LPBYTE>(buf), nullptr),
              ERROR_INVALID_PARAMETER);
    // A string sent with cbData 0 is sized from its text.
    ASSERT_EQ(RegSetValueExA(base_, "sized", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>("%PATH%"), 0),
              ERROR_SUCCESS);
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(base_, "sized", nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(RegSetValueExA(base_, "bad", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    // Default value through a null name, then deleted.
    ASSERT_EQ(RegSetValueExA(base_, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("d"), 2), ERROR_SUCCESS);
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueExA(base_, "", nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "d");
    EXPECT_EQ(RegDeleteValueA(base_, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(base_, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(base_, "word"), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(base_, "word", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(WinRegTest, ShortSetAndQueryUseSubKeyDefaults) {
    ASSERT_EQ(RegSetValueA(base_, "Sub", REG_SZ, "sub default", 12), ERROR_SUCCESS);
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyA(base_, "Sub", &sub), ERROR_SUCCESS);
    char buf[32];
    LONG size = sizeof buf;
    ASSERT_EQ(RegQueryValueA(base_, "Sub", buf, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 12);
    EXPECT_STREQ(buf, "sub default");
    size = 0;
    EXPECT_EQ(RegQueryValueA(base_, "Sub", nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 12);
    size = 4;
    EXPECT_EQ(RegQueryValueA(base_, "Sub", buf, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12);
    // Own default value with a null sub-key.
    ASSERT_EQ(RegSetValueA(sub, nullptr, REG_SZ, "own", 4), ERROR_SUCCESS);
    size = sizeof buf;
    ASSERT_EQ(RegQueryValueA(sub, nullptr, buf, &size), ERROR_SUCCESS);
    EXPECT_STREQ(buf, "own");
    EXPECT_EQ(RegSetValueA(base_, "Sub", REG_SZ, "abc", 9), ERROR_INVALID_PARAMETER);
    size = -1;
    EXPECT_EQ(RegQueryValueA(base_, "Sub", buf, &size), ERROR_INVALID_PARAMETER);
}

// ---- Enumeration ----

TEST_F(WinRegTest, EnumerateKeys) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyA(base_, "Bee", &k), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(base_, "Alpha", 0, const_cast<char*>("classy"), 0, KEY_ALL_ACCESS, nullptr, &k,
                              nullptr),
              ERROR_SUCCESS);
    char name[16];
    EXPECT_EQ(RegEnumKeyA(base_, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Alpha");
    EXPECT_EQ(RegEnumKeyA(base_, 1, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Bee");
    EXPECT_EQ(RegEnumKeyA(base_, 2, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyA(base_, 0, name, 5), ERROR_MORE_DATA);  // "Alpha" and its NUL need 6
    EXPECT_STREQ(name, "Alph");
    EXPECT_EQ(RegEnumKeyA(base_, 0, name, 6), ERROR_SUCCESS);
    EXPECT_EQ(RegEnumKeyA(base_, 0, nullptr, 6), ERROR_INVALID_PARAMETER);

    char cls[16];
    DWORD nameLen = sizeof name;
    DWORD classLen = sizeof cls;
    FILETIME ft = {7, 7};
    ASSERT_EQ(RegEnumKeyExA(base_, 0, name, &nameLen, nullptr, cls, &classLen, &ft), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Alpha");
    EXPECT_EQ(nameLen, 5u);
    EXPECT_STREQ(cls, "classy");
    EXPECT_EQ(classLen, 6u);
    EXPECT_EQ(ft.dwLowDateTime, 0u);
    nameLen = sizeof name;
    classLen = 6;
    EXPECT_EQ(RegEnumKeyExA(base_, 0, name, &nameLen, nullptr, cls, &classLen, nullptr), ERROR_MORE_DATA);
    EXPECT_STREQ(cls, "class");
    EXPECT_EQ(classLen, 6u);
    nameLen = 5;
    EXPECT_EQ(RegEnumKeyExA(base_, 0, name, &nameLen, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    nameLen = sizeof name;
    classLen = sizeof cls;
    ASSERT_EQ(RegEnumKeyExA(base_, 1, name, &nameLen, nullptr, cls, &classLen, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Bee");
    EXPECT_STREQ(cls, "");
    EXPECT_EQ(classLen, 0u);
    EXPECT_EQ(RegEnumKeyExA(base_, 2, name, &nameLen, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumKeyExA(base_, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumKeyExA(KALVO_HKEY(1990), 0, name, &nameLen, nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(WinRegTest, EnumerateValues) {
    ASSERT_EQ(RegSetValueExA(base_, "first", 0, REG_BINARY, reinterpret_cast<const BYTE*>("0123456789"), 10),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(base_, "second", 0, REG_SZ, reinterpret_cast<const BYTE*>("two"), 4), ERROR_SUCCESS);
    char name[16];
    BYTE data[16];
    DWORD nameLen = sizeof name;
    DWORD dataLen = sizeof data;
    DWORD type = 0;
    ASSERT_EQ(RegEnumValueA(base_, 0, name, &nameLen, nullptr, &type, data, &dataLen), ERROR_SUCCESS);
    EXPECT_STREQ(name, "second");
    EXPECT_EQ(nameLen, 6u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(dataLen, 4u);
    EXPECT_STREQ(reinterpret_cast<char*>(data), "two");
    nameLen = sizeof name;
    dataLen = sizeof data;
    ASSERT_EQ(RegEnumValueA(base_, 1, name, &nameLen, nullptr, &type, data, &dataLen), ERROR_SUCCESS);
    EXPECT_STREQ(name, "first");
    EXPECT_EQ(memcmp(data, "0123456789", 10), 0);
    // Too small a data buffer: the size needed, nothing copied.
    memset(data, 0xEE, sizeof data);
    nameLen = sizeof name;
    dataLen = 4;
    EXPECT_EQ(RegEnumValueA(base_, 1, name, &nameLen, nullptr, &type, data, &dataLen), ERROR_MORE_DATA);
    EXPECT_EQ(dataLen, 10u);
    EXPECT_EQ(data[0], 0xEE);
    // Size only.
    nameLen = sizeof name;
    dataLen = 0;
    EXPECT_EQ(RegEnumValueA(base_, 1, name, &nameLen, nullptr, &type, nullptr, &dataLen), ERROR_SUCCESS);
    EXPECT_EQ(dataLen, 10u);
    nameLen = 6;  // "second" needs 7
    EXPECT_EQ(RegEnumValueA(base_, 0, name, &nameLen, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    nameLen = sizeof name;
    EXPECT_EQ(RegEnumValueA(base_, 2, name, &nameLen, nullptr, &type, data, &dataLen), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegEnumValueA(base_, 0, name, &nameLen, nullptr, &type, data, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(WinRegTest, QueryInfoKey) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(base_, "Info", 0, const_cast<char*>("InfoClass"), 0, KEY_ALL_ACCESS, nullptr,
                              &k, nullptr),
              ERROR_SUCCESS);
    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyExA(k, "Child", 0, const_cast<char*>("cc"), 0, KEY_ALL_ACCESS, nullptr, &child,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyA(k, "LongerChild", &child), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(k, "val", 0, REG_BINARY, reinterpret_cast<const BYTE*>("1234567"), 7), ERROR_SUCCESS);
    char cls[32];
    DWORD clsLen = sizeof cls;
    DWORD subKeys = 0, maxSub = 0, maxClass = 0, values = 0, maxValueName = 0, maxValue = 0, sec = 9;
    FILETIME ft = {1, 1};
    ASSERT_EQ(RegQueryInfoKeyA(k, cls, &clsLen, nullptr, &subKeys, &maxSub, &maxClass, &values, &maxValueName,
                               &maxValue, &sec, &ft),
              ERROR_SUCCESS);
    EXPECT_STREQ(cls, "InfoClass");
    EXPECT_EQ(clsLen, 9u);
    EXPECT_EQ(subKeys, 2u);
    EXPECT_EQ(maxSub, 11u);
    EXPECT_EQ(maxClass, 2u);
    EXPECT_EQ(values, 1u);
    EXPECT_EQ(maxValueName, 3u);
    EXPECT_EQ(maxValue, 7u);
    EXPECT_EQ(sec, 0u);
    EXPECT_EQ(ft.dwLowDateTime, 0u);
    clsLen = 4;
    EXPECT_EQ(RegQueryInfoKeyA(k, cls, &clsLen, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(clsLen, 9u);
    EXPECT_STREQ(cls, "Inf");
    EXPECT_EQ(RegQueryInfoKeyA(base_, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 1u);
    EXPECT_EQ(RegQueryInfoKeyA(KALVO_HKEY(1990), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
}

// ---- Transport ----

TEST(WinRegTransport, UnreachableDaemonAndRecovery) {
    PrivateDaemon d;
    std::string error;
    ASSERT_TRUE(d.start(&error)) << error;
    d.exportEnv();
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Transport", &k), ERROR_SUCCESS);
    d.stop();
    // The connection of this thread is gone with the daemon.
    LONG broken = RegOpenKeyA(HKEY_LOCAL_MACHINE, "Transport", &k);
    EXPECT_TRUE(broken == RPC_S_CALL_FAILED || broken == RPC_S_SERVER_UNAVAILABLE) << broken;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Transport", &k), RPC_S_SERVER_UNAVAILABLE);
    PrivateDaemon again;
    ASSERT_TRUE(again.start(&error)) << error;
    again.exportEnv();
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "Transport", &k), ERROR_SUCCESS);
}

}  // namespace
