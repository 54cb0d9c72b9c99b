// The Win32 registry functions of the client library against a private
// daemon: what the library itself adds (handles, buffer sizes, the NUL of
// strings, refused arguments).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "harness/wire_client.h"
#include "kalvo/winreg.h"

namespace {

class WinRegTest : public kalvotest::SharedDaemonTest {
  protected:
    void SetUp() override {
        SharedDaemonTest::SetUp();
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, ("WinReg\\" + name).c_str(), &base_), ERROR_SUCCESS);
    }
    HKEY base_ = nullptr;
};

const BYTE* bytes(const char* s) { return reinterpret_cast<const BYTE*>(s); }

// RegQueryValueExA into a buffer of `cap` bytes of 'x' (none when cap is
// 0): "result type size 'the buffer's first size bytes'".
std::string query(HKEY key, const char* name, DWORD cap) {
    char buf[32];
    memset(buf, 'x', sizeof buf);
    DWORD type = 99, size = cap;
    LONG rv = RegQueryValueExA(key, name, nullptr, &type, cap ? reinterpret_cast<LPBYTE>(buf) : nullptr, &size);
    return std::to_string(rv) + " " + std::to_string(type) + " " + std::to_string(size) + " '" +
           std::string(buf, cap ? std::min<DWORD>(size, sizeof buf) : 0) + "'";
}

// RegEnumValueA with the given capacities: "result 'name'/length type 'data'/size".
std::string enumValue(HKEY key, DWORD index, DWORD nameCap, DWORD dataCap) {
    char name[16] = "-";
    char data[16];
    memset(data, '-', sizeof data);
    DWORD nameLen = nameCap, dataLen = dataCap, type = 99;
    LONG rv = RegEnumValueA(key, index, name, &nameLen, nullptr, &type,
                            dataCap ? reinterpret_cast<LPBYTE>(data) : nullptr, &dataLen);
    return std::to_string(rv) + " '" + name + "'/" + std::to_string(nameLen) + " " + std::to_string(type) + " '" +
           std::string(data, std::min<DWORD>(dataLen, sizeof data)) + "'/" + std::to_string(dataLen);
}

// RegEnumKeyExA with the given capacities: "result 'name'/length 'class'/length".
std::string enumKey(HKEY key, DWORD index, DWORD nameCap, DWORD classCap) {
    char name[16] = "-", cls[16] = "-";
    DWORD nameLen = nameCap, classLen = classCap;
    FILETIME ft = {7, 7};
    LONG rv = RegEnumKeyExA(key, index, name, &nameLen, nullptr, classCap ? cls : nullptr, &classLen, &ft);
    return std::to_string(rv) + " '" + name + "'/" + std::to_string(nameLen) + " '" + cls + "'/" +
           std::to_string(classLen) + (ft.dwLowDateTime == 0 ? "" : " ft");
}

TEST_F(WinRegTest, CreateOpenCloseDelete) {
    HKEY made = nullptr, again = nullptr, opened = nullptr, self = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(base_, "Made\\Deeper", 0, const_cast<char*>("cls"), REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &made, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    ASSERT_EQ(RegCreateKeyExA(base_, "made\\DEEPER", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(again, made);
    ASSERT_EQ(RegOpenKeyExA(base_, "Made\\Deeper", 0, KEY_READ, &opened), ERROR_SUCCESS);
    EXPECT_EQ(opened, made);
    // Null and empty sub-keys give back the key itself.
    EXPECT_EQ(RegOpenKeyExA(made, "", 0, KEY_READ, &self), ERROR_SUCCESS);
    EXPECT_EQ(self, made);
    EXPECT_EQ(RegOpenKeyExA(made, nullptr, 0, KEY_READ, &self), ERROR_SUCCESS);
    EXPECT_EQ(RegCreateKeyA(made, nullptr, &self), ERROR_SUCCESS);
    EXPECT_EQ(self, made);
    EXPECT_EQ(RegCloseKey(made), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(made), ERROR_SUCCESS);

    // A failed open or create leaves NULL, never the handle held before.
    std::vector<HKEY> out(4, KALVO_HKEY(4242));
    EXPECT_EQ(RegOpenKeyA(base_, "Missing", &out[0]), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(base_, "Missing", 0, KEY_READ, &out[1]), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(RegCreateKeyA(KALVO_HKEY(1990), "x", &out[2]), ERROR_SUCCESS);
    EXPECT_NE(RegCreateKeyExA(KALVO_HKEY(1990), "x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &out[3], nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(out, std::vector<HKEY>(4, nullptr));
    EXPECT_EQ(RegOpenKeyA(base_, "Missing", nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyA(KALVO_HKEY(1990), nullptr, &self), ERROR_INVALID_PARAMETER);

    EXPECT_EQ(RegDeleteKeyA(base_, "Made"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyA(base_, "Made\\Deeper", &opened), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(base_, "Made"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(base_, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(made), ERROR_SUCCESS);  // taken off the deleted-handle list
    EXPECT_EQ(RegCloseKey(HKEY_PERFORMANCE_DATA), ERROR_FILE_NOT_FOUND);
}

TEST_F(WinRegTest, SetAndQueryValues) {
    ASSERT_EQ(RegSetValueExA(base_, "str", 0, REG_SZ, bytes("hello"), 6), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(base_, "word", 0, REG_DWORD, bytes("\x44\x33\x22\x11"), 4), ERROR_SUCCESS);
    // A string sent with cbData 0 is sized from its text.
    ASSERT_EQ(RegSetValueExA(base_, "sized", 0, REG_EXPAND_SZ, bytes("%PATH%"), 0), ERROR_SUCCESS);
    EXPECT_EQ(query(base_, "str", 32), std::string("0 1 6 'hello\0'", 14));
    EXPECT_EQ(query(base_, "WORD", 4), "0 4 4 '\x44\x33\x22\x11'");
    EXPECT_EQ(query(base_, "sized", 32), std::string("0 2 7 '%PATH%\0'", 15));
    // Size only; too small a buffer (its bytes filled); missing value.
    EXPECT_EQ(query(base_, "str", 0), "0 1 6 ''");
    EXPECT_EQ(query(base_, "str", 3), "234 1 6 'helxxx'");
    EXPECT_EQ(query(base_, "nope", 32), "2 99 0 ''");  // a missing value has size 0
    char buf[4];
    EXPECT_EQ(RegQueryValueExA(base_, "str", nullptr, nullptr, reinterpret_cast<LPBYTE>(buf), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExA(base_, "bad", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    // Default value through a null name, then deleted.
    ASSERT_EQ(RegSetValueExA(base_, nullptr, 0, REG_SZ, bytes("d"), 2), ERROR_SUCCESS);
    EXPECT_EQ(query(base_, "", 32), std::string("0 1 2 'd\0'", 10));
    EXPECT_EQ(RegDeleteValueA(base_, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(base_, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueA(base_, "word"), ERROR_SUCCESS);
    EXPECT_EQ(query(base_, "word", 0).substr(0, 2), "2 ");
}

// RegQueryValueA into a buffer of `cap` bytes holding "----" (no buffer
// when cap is 0): "result size 'the buffer as a string'".
std::string shortQuery(HKEY key, const char* sub, LONG cap) {
    char buf[32] = "----";
    LONG size = cap;
    LONG rv = RegQueryValueA(key, sub, cap != 0 ? buf : nullptr, &size);
    return std::to_string(rv) + " " + std::to_string(size) + " '" + buf + "'";
}

TEST_F(WinRegTest, ShortSetAndQueryUseSubKeyDefaults) {
    ASSERT_EQ(RegSetValueA(base_, "Sub", REG_SZ, "sub default", 12), ERROR_SUCCESS);
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyA(base_, "Sub", &sub), ERROR_SUCCESS);
    EXPECT_EQ(shortQuery(base_, "Sub", 32), "0 12 'sub default'");
    EXPECT_EQ(shortQuery(base_, "Sub", 0), "0 12 '----'");
    EXPECT_EQ(shortQuery(base_, "Sub", 4), "234 12 '----'");  // nothing written on overflow
    EXPECT_EQ(shortQuery(base_, "Missing", 9), "2 0 '----'");
    EXPECT_EQ(shortQuery(base_, "Sub", -1).substr(0, 3), "87 ");
    // Own default value with a null sub-key.
    ASSERT_EQ(RegSetValueA(sub, nullptr, REG_SZ, "own", 4), ERROR_SUCCESS);
    EXPECT_EQ(shortQuery(sub, nullptr, 32), "0 4 'own'");
    // cbData is ignored: the text and its NUL are stored whatever it says.
    char big[260] = "abc";
    for (DWORD cbData : {DWORD{0}, DWORD{2}, DWORD{sizeof big}}) {
        ASSERT_EQ(RegSetValueA(base_, "Sub", REG_SZ, big, cbData), ERROR_SUCCESS);
        EXPECT_EQ(shortQuery(base_, "Sub", 32), "0 4 'abc'") << cbData;
    }
    EXPECT_EQ(RegSetValueA(base_, "Sub", REG_SZ, nullptr, 4), ERROR_INVALID_PARAMETER);
}

TEST_F(WinRegTest, EnumerateKeysValuesAndInfo) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyA(base_, "Bee", &k), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(base_, "Alpha", 0, const_cast<char*>("classy"), 0, KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
    char name[16];
    auto enumKeyA = [&](DWORD index, DWORD cap) {
        strcpy(name, "-");
        return std::to_string(RegEnumKeyA(base_, index, name, cap)) + " '" + name + "'";
    };
    EXPECT_EQ(enumKeyA(0, 16), "0 'Alpha'");
    EXPECT_EQ(enumKeyA(2, 16), "259 '-'");
    EXPECT_EQ(enumKeyA(0, 5), "234 'Alph'");  // "Alpha" and its NUL need 6
    EXPECT_EQ(enumKeyA(0, 6), "0 'Alpha'");
    EXPECT_EQ(RegEnumKeyA(base_, 0, nullptr, 6), ERROR_INVALID_PARAMETER);
    // (index, name capacity, class capacity) -> result; the time is zero.
    EXPECT_EQ(enumKey(base_, 0, 16, 16), "0 'Alpha'/5 'classy'/6");
    EXPECT_EQ(enumKey(base_, 0, 16, 6), "234 'Alpha'/16 'class'/6");
    EXPECT_EQ(enumKey(base_, 0, 5, 0), "234 'Alph'/5 '-'/0");
    EXPECT_EQ(enumKey(base_, 1, 16, 16), "0 'Bee'/3 ''/0");
    EXPECT_EQ(enumKey(base_, 2, 16, 0), "259 '-'/16 '-'/0 ft");
    EXPECT_EQ(RegEnumKeyExA(base_, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(enumKey(KALVO_HKEY(1990), 0, 16, 0), "2 '-'/16 '-'/0 ft");

    ASSERT_EQ(RegSetValueExA(k, "first", 0, REG_BINARY, bytes("0123456789"), 10), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(k, "second", 0, REG_SZ, bytes("two"), 4), ERROR_SUCCESS);
    // (index, name capacity, data capacity) -> result: too small a data
    // buffer gets the size needed and nothing copied.
    EXPECT_EQ(enumValue(k, 0, 16, 16), std::string("0 'second'/6 1 'two\0'/4", 23));
    EXPECT_EQ(enumValue(k, 1, 16, 16), "0 'first'/5 3 '0123456789'/10");
    // Data too large: name and its count untouched, also when both overflow.
    EXPECT_EQ(enumValue(k, 1, 16, 4), "234 '-'/16 3 '----------'/10");
    EXPECT_EQ(enumValue(k, 1, 3, 4), "234 '-'/3 3 '----------'/10");
    EXPECT_EQ(enumValue(k, 1, 16, 0), "0 'first'/5 3 '----------'/10");
    EXPECT_EQ(enumValue(k, 0, 6, 0).substr(0, 4), "234 ");  // "second" needs 7
    EXPECT_EQ(enumValue(k, 2, 16, 16).substr(0, 4), "259 ");
    EXPECT_EQ(RegEnumValueA(k, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);

    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyExA(k, "Child", 0, const_cast<char*>("cc"), 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyA(k, "LongerChild", &child), ERROR_SUCCESS);
    char cls[32];
    DWORD clsLen = sizeof cls;
    DWORD subKeys = 0, maxSub = 0, maxClass = 0, values = 0, maxValueName = 0, maxValue = 0, sec = 9;
    FILETIME ft = {1, 1};
    ASSERT_EQ(RegQueryInfoKeyA(k, cls, &clsLen, nullptr, &subKeys, &maxSub, &maxClass, &values, &maxValueName,
                               &maxValue, &sec, &ft),
              ERROR_SUCCESS);
    EXPECT_STREQ(cls, "classy");
    EXPECT_EQ(
        (std::vector<DWORD>{clsLen, subKeys, maxSub, maxClass, values, maxValueName, maxValue, sec, ft.dwLowDateTime}),
        (std::vector<DWORD>{6, 2, 11, 2, 2, 6, 10, 0, 0}));
    // Class capacity -> "result length 'buffer'" for the class "classy".
    for (auto [cap, want] : {std::pair<DWORD, const char*>{0, "0 0 '-'"}, {1, "234 0 ''"}, {6, "234 5 'class'"},
                             {7, "0 6 'classy'"}}) {
        strcpy(cls, "-");
        clsLen = cap;
        LONG rv = RegQueryInfoKeyA(k, cls, &clsLen, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr);
        EXPECT_EQ(std::to_string(rv) + " " + std::to_string(clsLen) + " '" + cls + "'", want) << cap;
    }
    EXPECT_EQ(RegQueryInfoKeyA(KALVO_HKEY(1990), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
}

}  // namespace
