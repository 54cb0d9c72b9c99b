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
    static uint32_t subKeyCount(uint32_t root, const char* path) {
        RegCacheRec* key = rec(root, path);
        uint32_t n = 0;
        for (RegCacheRec* c = key != nullptr ? key->firstChild : nullptr; c != nullptr; c = c->next)
            n += c->kind == REGD_KIND_KEY;
        return n;
    }
    static void seed() {
        regdInsertVersionKey();
        regdInitOleKeys();
    }
};

TEST_F(SeedTest, TablesHaveTheirRowCounts) {
    EXPECT_EQ(oleinterfacekey.nRows, 198u);
    EXPECT_EQ(oletypelibkey.nRows, 16u);
    EXPECT_EQ(oleclassidkey.nRows, 56u);
    EXPECT_EQ(rootinterfacekey.nRows, 15u);
    EXPECT_STREQ(oleinterfacekey.parentPath, "Software\\Classes\\Interface");
    EXPECT_EQ(rootinterfacekey.parentHandle, REGD_HKEY_CLASSES_ROOT);
}

TEST_F(SeedTest, FreshRegistryIsSeeded) {
    EXPECT_EQ(regdCheckKalvoKey(), 0);
    seed();
    EXPECT_EQ(regdCheckKalvoKey(), 1);
    EXPECT_EQ(defaultValue(HKLM, "Software\\Tessmar\\Kalvo\\Version"), std::string("6.0.0\n\0", 7));
    RegCacheRec* version = rec(HKLM, "Software\\Tessmar\\Kalvo\\Version\\", REGD_KIND_KEY);
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(regdFindSubKey(version, "", REGD_KIND_VALUE)->valueType, 1u);
    // 70 interfaces of the first table and 4 more from the last one.
    EXPECT_EQ(subKeyCount(HKLM, "Software\\Classes\\Interface"), 74u);
    EXPECT_EQ(subKeyCount(HKLM, "Software\\Classes\\TypeLib"), 2u);
    EXPECT_EQ(subKeyCount(HKLM, "Software\\Classes\\CLSID"), 29u);
}

TEST_F(SeedTest, RowsLandWithTheirValues) {
    seed();
    const std::string iface = "Software\\Classes\\Interface\\";
    EXPECT_EQ(defaultValue(HKLM, iface + "{00000000-0000-0000-C000-000000000046}"), std::string("IUnknown\0", 9));
    EXPECT_EQ(defaultValue(HKLM, iface + "{00000000-0000-0000-C000-000000000046}\\BaseInterface"),
              std::string("3\0", 2));
    EXPECT_EQ(defaultValue(HKLM, iface + "{00020401-0000-0000-C000-000000000046}\\NumMethods"),
              std::string("22\0", 3));
    EXPECT_EQ(defaultValue(HKLM, iface + "{0000011c-0000-0000-C000-000000000046}\\BaseInterface"),
              std::string("{0000011B-0000-0000-C000-000000000046}\0", 39));
    EXPECT_EQ(defaultValue(HKLM, iface + "{0002E013-0000-0000-C000-000000000046}"),
              std::string("ICatInformation\0", 16));
    const std::string tlb = "Software\\Classes\\TypeLib\\{00020430-0000-0000-C000-000000000046}\\";
    EXPECT_EQ(defaultValue(HKLM, tlb + "1.0\\0"), "<none>");
    EXPECT_EQ(defaultValue(HKLM, tlb + "1.0\\0\\win32"), std::string("stdole32.tlb\0", 13));
    EXPECT_EQ(defaultValue(HKLM, tlb + "2.0\\0\\win32"), std::string("stdole2.tlb\0", 12));
    const std::string clsid = "Software\\Classes\\CLSID\\";
    EXPECT_EQ(defaultValue(HKLM, clsid + "{44EC053A-400F-11D0-9DCD-00A0C90391D3}\\ProgID"),
              std::string("ATL.Registrar\0", 14));
    EXPECT_EQ(defaultValue(HKLM, clsid + "{0002E005-0000-0000-C000-000000000046}\\InprocServer32"),
              std::string("comcat.dll\0", 11));
    EXPECT_EQ(defaultValue(HKLM, clsid + "{B196B286-BAB4-101A-B69C-00AA00341D07}"),
              std::string("PSFactoryBuffer\0", 16));
    EXPECT_EQ(defaultValue(HKLM, clsid + "{B196B286-BAB4-101A-B69C-00AA00341D07}\\InprocServer32"),
              std::string("oleaut32.dll\0", 13));
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
    setVersionText("6.0.0\n");
    EXPECT_EQ(regdCheckKalvoKey(), 1);
    setVersionText("5.9.9\n");
    EXPECT_EQ(regdCheckKalvoKey(), 0);
    setVersionText("5.10.0");  // weighted, not compared part by part
    EXPECT_EQ(regdCheckKalvoKey(), 1);
    setVersionText("6");
    EXPECT_EQ(regdCheckKalvoKey(), 1);
    setVersionText(" 7 - 1 - 2");
    EXPECT_EQ(regdCheckKalvoKey(), 1);
    setVersionText("version six");
    EXPECT_EQ(regdCheckKalvoKey(), 0);
    setVersionText("9999999999999.0");  // saturates, never overflows
    EXPECT_EQ(regdCheckKalvoKey(), 1);
    setVersionText("-6.0.0");
    EXPECT_EQ(regdCheckKalvoKey(), 0);
    setVersionText("6.0.0          1");  // 16 characters: too long for the buffer
    EXPECT_EQ(regdCheckKalvoKey(), 0);
    setVersionText("6.0.0         1");  // 15 and its NUL fit
    EXPECT_EQ(regdCheckKalvoKey(), 1);
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
    EXPECT_EQ(subKeyCount(HKLM, "Software\\Classes\\Interface"), 75u);
    uint32_t entries = g_nEntries;
    seed();  // a second seeding finds every key and adds nothing
    EXPECT_EQ(g_nEntries, entries);
}

}  // namespace
