// The seeded keys: the version check, the version key and the OLE tables.
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "io_test_util.h"
#include "store/regdio.h"
#include "store/regdseed.h"

using namespace iotest;

namespace {

constexpr uint32_t HKLM = REGD_HKEY_LOCAL_MACHINE;

class SeedTest : public IoTest {
  protected:
    void SetUp() override {
        IoTest::SetUp();
        ASSERT_EQ(regdInitCache(), 1);
    }
    void setVersionText(const std::string& text) {
        uint32_t v = mkKey(HKLM, "Software\\Tessmar\\Kalvo\\Version");
        ASSERT_EQ(setValue(v, nullptr, 1, text), 0u);
    }
    // The default value of the key at `path`, or "<none>".
    static std::string defaultValue(uint32_t root, const std::string& path) {
        RegCacheRec* key = rec(root, path.c_str());
        if (key == nullptr) return "<no key>";
        RegCacheRec* v = regdFindSubKey(key, "", REGD_KIND_VALUE);
        if (v == nullptr) return "<none>";
        return std::string(reinterpret_cast<char*>(v->data), v->dataSize);
    }
    static void seed() {
        regdInsertVersionKey();
        regdInitOleKeys();
    }
};

TEST_F(SeedTest, FreshRegistryIsSeeded) {
    EXPECT_EQ(regdCheckKalvoKey(), 0);
    seed();
    EXPECT_EQ(regdCheckKalvoKey(), 1);
    EXPECT_EQ(defaultValue(HKLM, "Software\\Tessmar\\Kalvo\\Version"), std::string("6.0.0\n\0", 7));
    RegCacheRec* version = rec(HKLM, "Software\\Tessmar\\Kalvo\\Version\\", REGD_KIND_KEY);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(regdFindSubKey(version, "", REGD_KIND_VALUE)->valueType, 1u);
}

TEST_F(SeedTest, RowsLandWithTheirValues) {
    seed();
    EXPECT_EQ(defaultValue(HKLM, "Software\\Classes\\Interface\\{00000000-0000-0000-C000-000000000046}"),
              std::string("IUnknown\0", 9));
    const std::string clsid = "Software\\Classes\\CLSID\\";
    RegCacheRec* threading = rec(HKLM, (clsid + "{B196B286-BAB4-101A-B69C-00AA00341D07}\\InprocServer32\\ThreadingModel").c_str(),
                                 REGD_KIND_VALUE);
    ASSERT_NE(threading, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(threading->data), threading->dataSize), std::string("Both\0", 5));
    // Every row of every table, through the handle its parent resolves to.
    for (const RegdSeedTable* t : {&oleinterfacekey, &oletypelibkey, &oleclassidkey, &rootinterfacekey}) {
        for (size_t i = 0; i < t->nRows; i++) {
            std::string path = std::string(t->parentPath) + "\\" + t->rows[i].path;
            std::string want = t->rows[i].text[0] != '\0' ? std::string(t->rows[i].text) + '\0' : "<none>";
            EXPECT_EQ(defaultValue(t->parentHandle, path), want) << path;
        }
    }
}

TEST_F(SeedTest, VersionCheckReadsTheVersionKey) {
    // Weighted, not compared part by part; saturates; the text must fit 16 bytes.
    const std::pair<const char*, int> rows[] = {
        {"6.0.0\n", 1}, {"5.9.9\n", 0}, {"5.10.0", 1}, {"6", 1}, {" 7 - 1 - 2", 1}, {"version six", 0},
        {"9999999999999.0", 1}, {"-6.0.0", 0}, {"6.0.0          1", 0}, {"6.0.0         1", 1}};
    for (const auto& [text, want] : rows) {
        setVersionText(text);
        EXPECT_EQ(regdCheckKalvoKey(), want) << text;
    }
}

TEST_F(SeedTest, SeedingKeepsTheUsersOwnKeys) {
    uint32_t mine = mkKey(HKLM, "Software\\Classes\\Interface\\{MINE}");
    setValue(mine, nullptr, 1, "my interface");
    setValue(mkKey(HKLM, "Software\\Classes\\Interface\\{00000000-0000-0000-C000-000000000046}"), "extra", 1, "x");
    seed();
    EXPECT_EQ(defaultValue(HKLM, "Software\\Classes\\Interface\\{MINE}"), std::string("my interface\0", 13));
    EXPECT_NE(rec(HKLM, "Software\\Classes\\Interface\\{00000000-0000-0000-C000-000000000046}\\extra",
                  REGD_KIND_VALUE),
              nullptr);
    uint32_t entries = g_nEntries;
    seed();  // a second seeding finds every key and adds nothing
    EXPECT_EQ(g_nEntries, entries);
}

}  // namespace
