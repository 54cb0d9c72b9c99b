// The registry cache in-process: handles, slots, paths, insertion,
// deletion, values and enumeration, against a fresh registry per test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "base/strings.h"
#include "store/cache_internal.h"
#include "store/regdcache.h"

namespace {

// The store logs; keep its log file out of the source tree.
class LogDirEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        char tmpl[] = "/tmp/kalvo_store_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

  private:
    std::string dir_;
};
const auto* const logDirEnv = ::testing::AddGlobalTestEnvironment(new LogDirEnvironment);

// The caller every store call below is made for.
RegdCaller testCaller{};

void setCaller(const char* user, uint32_t hostId) {
    snprintf(testCaller.userName, sizeof testCaller.userName, "%s", user);
    testCaller.hostId = hostId;
}

uint32_t localHost() { return _tsm_gethostid(); }

uint32_t mk(uint32_t h, const char* path, const char* cls = nullptr, uint32_t options = 0) {
    uint32_t out = 0;
    EXPECT_EQ(regdInsertKey(testCaller, h, path, 0, cls, options, 0, nullptr, &out, nullptr, 0), 0u) << path;
    return out;
}

RegCacheRec* rec(uint32_t h) { return regdFindHKey(testCaller, h); }

uint32_t setValue(uint32_t h, const char* name, uint32_t type, const void* bytes, uint32_t n) {
    return regdRegSetValue(testCaller, h, name, 0, type, static_cast<const uint8_t*>(bytes), n, 0);
}

std::vector<std::string> childNames(const RegCacheRec* key) {
    std::vector<std::string> names;
    for (RegCacheRec* c = key->firstChild; c != nullptr; c = c->next) names.push_back(c->name);
    return names;
}

std::string enumKeyName(uint32_t h, uint32_t index, uint32_t* result = nullptr) {
    char* name = nullptr;
    uint32_t count = 0;
    uint32_t r = regdRegEnumKey(testCaller, h, index, &name, &count, 0, nullptr, nullptr, nullptr, 0, 1);
    if (result != nullptr) *result = r;
    std::string s = name != nullptr ? name : "";
    free(name);
    return s;
}

std::string enumValueName(uint32_t h, uint32_t index, uint32_t* result = nullptr) {
    char* name = nullptr;
    uint8_t* data = nullptr;
    uint32_t nameCount = 0;
    uint32_t dataCount = 0;
    uint32_t r = regdRegEnumValue(testCaller, h, index, &name, &nameCount, 0, nullptr, &data, &dataCount, 1);
    if (result != nullptr) *result = r;
    std::string s = name != nullptr ? name : "";
    free(name);
    free(data);
    return s;
}

class Cache : public ::testing::Test {
  protected:
    void SetUp() override {
        regdDiscardCache();
        setCaller("", 0);
        ASSERT_EQ(regdInitCache(), 1);
        setCaller("joe", localHost());
    }
    void TearDown() override { regdDiscardCache(); }
};

// ---- Roots and the empty registry ----

TEST_F(Cache, InitPlacesRootsAndSeedsKeys) {
    EXPECT_EQ(g_nCacheSlots, 2000u);
    EXPECT_EQ(g_nEntries, 11u);
    const char* names[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE",
                           "HKEY_USERS", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
    uint32_t handles[] = {0x80000000, 0x80000001, 0x80000002, 0x80000003, 0x80000005, 0x80000006};
    uint32_t lens[] = {17, 17, 18, 10, 19, 13};
    for (int i = 0; i < 6; i++) {
        RegCacheRec* r = regCacheTable[i];
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(r->name, names[i]);
        EXPECT_EQ(r->hKey, handles[i]);
        EXPECT_EQ(r->slot, static_cast<uint32_t>(i));
        EXPECT_EQ(r->nameLen, lens[i]);
        EXPECT_EQ(r->packState, 0);
        EXPECT_EQ(r->parent, nullptr);
    }
    EXPECT_GT(g_dirty.load(), 0u);
    // The slot-0 root stays empty; HKEY_CLASSES_ROOT is HKLM\Software\Classes.
    EXPECT_EQ(regCacheTable[0]->firstChild, nullptr);
    RegCacheRec* classes = rec(0x80000000);
    ASSERT_NE(classes, nullptr);
    EXPECT_STREQ(classes->name, "Classes");
    EXPECT_EQ(classes->firstChild, nullptr);
    EXPECT_STREQ(classes->parent->name, "Software");
    EXPECT_EQ(classes->parent->parent, rec(0x80000002));
    // HKEY_USERS holds only .Default, with the single sub-key Software.
    RegCacheRec* users = rec(0x80000003);
    EXPECT_EQ(childNames(users), std::vector<std::string>{".Default"});
    EXPECT_EQ(childNames(users->firstChild), std::vector<std::string>{"Software"});
    EXPECT_EQ(childNames(rec(0x80000005)), std::vector<std::string>{"Config"});
}

TEST_F(Cache, SecondInitChangesNothing) {
    RegCacheRec** table = regCacheTable;
    mk(0x80000002, "Extra");
    uint32_t entries = g_nEntries;
    EXPECT_EQ(regdInitCache(), 1);
    EXPECT_EQ(regCacheTable, table);
    EXPECT_EQ(g_nEntries, entries);
    EXPECT_EQ(g_nCacheSlots, 2000u);
}

// ---- Handle resolution ----

TEST_F(Cache, HandlesThatNameNothing) {
    EXPECT_EQ(rec(0x80000004), nullptr);
    EXPECT_EQ(rec(g_nCacheSlots), nullptr);
    EXPECT_EQ(rec(0xFFFFFFFF), nullptr);
    EXPECT_EQ(rec(1999), nullptr);  // empty slot
    EXPECT_EQ(rec(0x7FFFFFFF), nullptr);
}

TEST_F(Cache, PredefinedHandlesResolveToTheirRoots) {
    EXPECT_EQ(rec(0x80000002), regCacheTable[2]);
    EXPECT_EQ(rec(0x80000003), regCacheTable[3]);
    EXPECT_EQ(rec(0x80000005), regCacheTable[4]);
    EXPECT_EQ(rec(0x80000006), regCacheTable[5]);
    EXPECT_EQ(rec(3), regCacheTable[3]);  // a slot number reaches the root record too
}

TEST_F(Cache, CurrentUserDependsOnCallerHost) {
    // Local caller without a key of its own: nothing, no fall-back.
    EXPECT_EQ(rec(0x80000001), nullptr);
    uint32_t joe = mk(0x80000003, "joe");
    EXPECT_EQ(rec(0x80000001), rec(joe));
    // The user key is matched exactly, case-sensitively.
    setCaller("JOE", localHost());
    EXPECT_EQ(rec(0x80000001), nullptr);
    // A remote caller gets .Default even though its name has a key.
    setCaller("joe", localHost() + 1);
    RegCacheRec* r = rec(0x80000001);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->name, ".Default");
}

TEST_F(Cache, ClassesRootNeedsExactlyNamedSoftware) {
    RegCacheRec* software = rec(0x80000002)->firstChild;
    ASSERT_EQ(regdRegDeleteKey(software), 0u);
    EXPECT_EQ(rec(0x80000000), nullptr);
    uint32_t classes = mk(0x80000002, "software\\Classes");
    EXPECT_EQ(rec(0x80000000), nullptr);
    RegCacheRec* lower = rec(classes)->parent;
    lower->name[0] = 'S';
    EXPECT_EQ(rec(0x80000000), rec(classes));
    rec(classes)->name[0] = 'c';
    EXPECT_EQ(rec(0x80000000), nullptr);
}

// ---- Slot table ----

TEST_F(Cache, GrowthSizesAndHandOutOrder) {
    ASSERT_NE(regdReallocateCache(2500), nullptr);
    EXPECT_EQ(g_nCacheSlots, 5000u);
    ASSERT_NE(regdReallocateCache(999), nullptr);
    EXPECT_EQ(g_nCacheSlots, 6000u);
    ASSERT_NE(regdReallocateCache(1000), nullptr);
    EXPECT_EQ(g_nCacheSlots, 8000u);
    // The lowest slot of the newest growth is handed out first.
    uint32_t a = mk(0x80000002, "First");
    uint32_t b = mk(0x80000002, "Second");
    EXPECT_EQ(a, 6000u);
    EXPECT_EQ(b, 6001u);
}

TEST_F(Cache, CreationGrowsTheTableWhenSlotsRunOut) {
    uint32_t parent = mk(0x80000002, "Many");
    std::vector<uint32_t> handles;
    for (int i = 0; i < 2500; i++) handles.push_back(mk(parent, ("k" + std::to_string(i)).c_str()));
    EXPECT_EQ(g_nCacheSlots, 4000u);
    EXPECT_EQ(g_nEntries, 12u + 2500u);
    EXPECT_EQ(handles[0], 12u);
    EXPECT_EQ(handles[1987], 1999u);
    EXPECT_EQ(handles[1988], 2000u);
    for (size_t i = 0; i < handles.size(); i++) {
        ASSERT_NE(rec(handles[i]), nullptr);
        EXPECT_EQ(rec(handles[i])->slot, handles[i]);
    }
}

// ---- Path resolution ----

TEST_F(Cache, PathsAreCaseInsensitiveAndForgiveOneBackslash) {
    RegCacheRec* hklm = rec(0x80000002);
    RegCacheRec* classes = rec(0x80000000);
    EXPECT_EQ(regdFindSubKey(hklm, nullptr, 0), hklm);
    EXPECT_EQ(regdFindSubKey(hklm, "SOFTWARE\\classes", 0), classes);
    EXPECT_EQ(regdFindSubKey(hklm, "\\Software\\Classes", 0), classes);
    EXPECT_EQ(regdFindSubKey(hklm, "Software\\Classes\\", 0), classes);
    EXPECT_EQ(regdFindSubKey(hklm, "Software\\\\Classes", 0), classes);
    // Three separators leave an empty name at some level; so do two in front.
    EXPECT_EQ(regdFindSubKey(hklm, "Software\\\\\\Classes", 0), nullptr);
    EXPECT_EQ(regdFindSubKey(hklm, "\\\\Software", 0), nullptr);
    EXPECT_EQ(regdFindSubKey(hklm, "Software\\\\", 0), nullptr);
    EXPECT_EQ(regdFindSubKey(hklm, "", 0), nullptr);
    EXPECT_EQ(regdFindSubKey(hklm, "\\", 0), nullptr);
    EXPECT_EQ(regdFindSubKey(hklm, "Softwar", 0), nullptr);
    EXPECT_EQ(regdFindSubKey(hklm, "Software2", 0), nullptr);
}

TEST_F(Cache, NewerOfTwoSameNamedSiblingsWins) {
    RegCacheRec* parent = rec(mk(0x80000002, "Twins"));
    RegCacheRec* older = regdCreateNewCacheRec(parent, "twin");
    RegCacheRec* newer = regdCreateNewCacheRec(parent, "TWIN");
    older->kind = newer->kind = REGD_KIND_KEY;
    EXPECT_EQ(regdFindSubKey(parent, "Twin", 0), newer);
}

TEST_F(Cache, ValuesThroughPathsAndNoBacktracking) {
    uint32_t k = mk(0x80000002, "K");
    uint32_t sub = mk(k, "Sub");
    ASSERT_EQ(setValue(sub, "Name", 4, "abcd", 4), 0u);
    RegCacheRec* value = regdFindSubKey(rec(k), "Sub\\Name", 1);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->kind, 1u);
    EXPECT_EQ(regdFindSubKey(rec(k), "Sub\\Name", 0), nullptr);
    // A value named like the key, newer in the list, blocks the deeper lookup.
    ASSERT_EQ(setValue(k, "sub", 4, "x", 1), 0u);
    RegCacheRec* shadow = regdFindSubKey(rec(k), "sub", 1);
    ASSERT_NE(shadow, nullptr);
    EXPECT_EQ(shadow->isShadow, 1u);
    EXPECT_EQ(regdFindSubKey(rec(k), "Sub\\Name", 1), nullptr);
    EXPECT_EQ(regdFindSubKey(rec(k), "Sub\\Name", 0), nullptr);
    uint32_t h = 0;
    EXPECT_EQ(regdRegOpenKey(testCaller, k, "Sub", 0, 0, &h, 0), 0u);
    EXPECT_EQ(h, sub);
}

TEST_F(Cache, OpenKeyResults) {
    uint32_t h = 77;
    EXPECT_EQ(regdRegOpenKey(testCaller, 0x80000001, nullptr, 0, 0, &h, 0), 2u);  // joe has no key yet
    EXPECT_EQ(h, 0u);
    uint32_t joe = mk(0x80000003, "joe");
    EXPECT_EQ(regdRegOpenKey(testCaller, 0x80000001, nullptr, 0, 0, &h, 0), 0u);
    EXPECT_EQ(h, joe);
    EXPECT_EQ(regdRegOpenKey(testCaller, 0x80000002, nullptr, 0, 0, &h, 0), 0u);
    EXPECT_EQ(h, 0x80000002u);
    ASSERT_EQ(setValue(joe, "Val", 1, "v", 2), 0u);
    EXPECT_EQ(regdRegOpenKey(testCaller, 0x80000001, "Val", 0, 0, &h, 0), 2u);  // a value is no key
    EXPECT_EQ(regdRegOpenKey(testCaller, 0x80000004, "Software", 0, 0, &h, 0), 2u);
}

TEST_F(Cache, DeepPathsNeedNoRecursion) {
    std::string path;
    for (int i = 0; i < 100000; i++) path += i == 0 ? "d" : "\\d";
    uint32_t entries = g_nEntries;
    uint32_t deepest = mk(0x80000002, path.c_str());
    EXPECT_EQ(g_nEntries, entries + 100000);
    uint32_t h = 0;
    ASSERT_EQ(regdRegOpenKey(testCaller, 0x80000002, path.c_str(), 0, 0, &h, 0), 0u);
    EXPECT_EQ(h, deepest);
    ASSERT_EQ(regdRegDeleteKey(regdFindSubKey(rec(0x80000002), "d", 0)), 0u);
    EXPECT_EQ(g_nEntries, entries);
    EXPECT_EQ(rec(deepest), nullptr);
}

// ---- Insertion ----

TEST_F(Cache, InsertCreatesMissingTailAtListHeads) {
    uint32_t alpha = mk(0x80000002, "Alpha");
    mk(alpha, "Older");
    uint32_t entries = g_nEntries;
    uint32_t gamma = mk(0x80000002, "Alpha\\Beta\\Gamma");
    EXPECT_EQ(g_nEntries, entries + 2);
    RegCacheRec* g = rec(gamma);
    ASSERT_NE(g, nullptr);
    EXPECT_STREQ(g->name, "Gamma");
    EXPECT_EQ(g->kind, 0u);
    EXPECT_EQ(g->packState, REGD_PACK_PENDING);
    EXPECT_EQ(rec(alpha)->firstChild, g->parent);
    EXPECT_STREQ(g->parent->name, "Beta");
    EXPECT_EQ(g->parent->firstChild, g);
    EXPECT_EQ(childNames(rec(alpha)), (std::vector<std::string>{"Beta", "Older"}));
}

TEST_F(Cache, InsertMatchesCaseAndCollapsesSeparators) {
    uint32_t upper = mk(0x80000002, "A");
    uint32_t entries = g_nEntries;
    EXPECT_EQ(mk(0x80000002, "a"), upper);
    EXPECT_EQ(g_nEntries, entries);
    uint32_t b = mk(0x80000002, "\\\\\\Fresh\\\\\\Leaf\\\\");
    EXPECT_EQ(g_nEntries, entries + 2);
    EXPECT_STREQ(rec(b)->name, "Leaf");
    EXPECT_STREQ(rec(b)->parent->name, "Fresh");
    // No components: the start key itself is the final key.
    EXPECT_EQ(mk(0x80000002, "\\\\"), 0x80000002u);
    EXPECT_EQ(mk(0x80000002, ""), 0x80000002u);
}

TEST_F(Cache, InsertOnExistingKeyReplacesClassAndOptions) {
    uint32_t k = mk(0x80000002, "Classy", "first", 0);
    EXPECT_STREQ(rec(k)->className, "first");
    EXPECT_EQ(rec(k)->classLen, 5u);
    EXPECT_EQ(mk(0x80000002, "CLASSY", "second!", 1), k);
    EXPECT_STREQ(rec(k)->className, "second!");
    EXPECT_EQ(rec(k)->classLen, 7u);
    EXPECT_EQ(rec(k)->options, 1u);
    EXPECT_EQ(mk(0x80000002, "Classy"), k);  // no class given: kept
    EXPECT_STREQ(rec(k)->className, "second!");
    EXPECT_EQ(rec(k)->options, 0u);
}

TEST_F(Cache, InsertUnderUnresolvableHandleFails) {
    uint32_t h = 5;
    EXPECT_EQ(regdInsertKey(testCaller, 0x80000001, "X", 0, nullptr, 0, 0, nullptr, &h, nullptr, 0), 2u);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(regdInsertKey(testCaller, 1999, "X", 0, nullptr, 0, 0, nullptr, &h, nullptr, 0), 2u);
}

TEST_F(Cache, ValueBesideSameNamedKeyIsAShadow) {
    uint32_t k = mk(0x80000002, "Host");
    uint32_t sub = mk(k, "Sub");
    RegCacheRec* v = regdInsertValueKey(rec(k), "Sub");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->kind, 1u);
    EXPECT_EQ(v->isShadow, 1u);
    EXPECT_EQ(v->parent, rec(k));
    EXPECT_STREQ(v->name, "Sub");
    EXPECT_NE(v, rec(sub));
    EXPECT_EQ(regdInsertValueKey(rec(k), "SUB"), v);  // found again, not duplicated
    EXPECT_EQ(regdInsertValueKey(nullptr, "x"), nullptr);
}

TEST_F(Cache, DefaultValueGoesToTheTail) {
    uint32_t k = mk(0x80000002, "Order");
    mk(k, "K1");
    ASSERT_EQ(setValue(k, "", 1, "d", 2), 0u);
    mk(k, "K2");
    ASSERT_EQ(setValue(k, "V", 4, "v", 1), 0u);
    EXPECT_EQ(childNames(rec(k)), (std::vector<std::string>{"V", "K2", "K1", ""}));
}

// ---- Deletion and the deleted-handle list ----

TEST_F(Cache, DeleteRemovesSubtreeAndRecordsEveryHandle) {
    uint32_t top = mk(0x80000002, "Top");
    uint32_t c = mk(top, "A\\B\\C");
    mk(top, "A\\B2");
    ASSERT_EQ(setValue(c, "v", 4, "1234", 4), 0u);
    RegCacheRec* a = regdFindSubKey(rec(top), "A", 0);
    uint32_t aSlot = a->slot;
    std::vector<uint32_t> slots;
    for (uint32_t s = 0; s < g_nCacheSlots; s++) {
        RegCacheRec* r = regCacheTable[s];
        for (RegCacheRec* p = r; p != nullptr; p = p->parent)
            if (p == a) {
                slots.push_back(s);
                break;
            }
    }
    ASSERT_EQ(slots.size(), 5u);  // A, B, C, the value, B2
    uint32_t entries = g_nEntries;
    ASSERT_EQ(regdRegDeleteKey(a), 0u);
    EXPECT_EQ(g_nEntries, entries - 5);
    EXPECT_EQ(rec(top)->firstChild, nullptr);
    EXPECT_EQ(deletedNodeList.size(), 5u);
    EXPECT_EQ(deletedNodeList.back(), aSlot);  // the key itself goes last
    for (uint32_t s : slots) EXPECT_EQ(regCacheTable[s], nullptr);
    // Its slot is handed out next.
    EXPECT_EQ(mk(top, "Again"), aSlot);
    EXPECT_EQ(regdRegDeleteKey(nullptr), 2u);
}

TEST_F(Cache, DeleteKeepsSiblingLinksWhole) {
    uint32_t k = mk(0x80000002, "Sibs");
    mk(k, "One");
    uint32_t two = mk(k, "Two");
    mk(k, "Three");
    ASSERT_EQ(regdRegDeleteKey(rec(two)), 0u);
    EXPECT_EQ(childNames(rec(k)), (std::vector<std::string>{"Three", "One"}));
    RegCacheRec* three = rec(k)->firstChild;
    EXPECT_EQ(three->prev, nullptr);
    EXPECT_EQ(three->next->prev, three);
    ASSERT_EQ(regdRegDeleteKey(three), 0u);
    EXPECT_STREQ(rec(k)->firstChild->name, "One");
    EXPECT_EQ(rec(k)->firstChild->prev, nullptr);
}

TEST_F(Cache, CloseRemovesOneDeletedEntryPerDeletion) {
    uint32_t k = mk(0x80000002, "Reuse");
    ASSERT_EQ(regdRegDeleteKey(rec(k)), 0u);
    uint32_t again = mk(0x80000002, "Reuse2");
    ASSERT_EQ(again, k);  // same slot, same handle, another key
    ASSERT_EQ(regdRegDeleteKey(rec(again)), 0u);
    EXPECT_EQ(regdRegCloseKey(k), 0u);
    EXPECT_EQ(regdRegCloseKey(k), 0u);
    EXPECT_EQ(regdRegCloseKey(k), 2u);
    EXPECT_EQ(regdRegCloseKey(1234), 2u);
}

TEST_F(Cache, RemovingAValueLeavesNoDeletedEntry) {
    uint32_t k = mk(0x80000002, "Vals");
    ASSERT_EQ(setValue(k, "x", 4, "1", 1), 0u);
    RegCacheRec* v = regdFindSubKey(rec(k), "x", 1);
    uint32_t slot = v->slot;
    uint32_t entries = g_nEntries;
    regdRemoveValueRec(v);
    EXPECT_EQ(g_nEntries, entries - 1);
    EXPECT_TRUE(deletedNodeList.empty());
    EXPECT_EQ(regCacheTable[slot], nullptr);
    EXPECT_EQ(rec(k)->firstChild, nullptr);
    EXPECT_EQ(freeCacheNode.back(), slot);
}

// ---- Values ----

struct Query {
    uint32_t result;
    uint32_t type;
    uint32_t size;
    std::vector<uint8_t> bytes;  // the whole buffer, 0xEE where untouched
};

Query query(uint32_t h, const char* name, uint32_t cap, bool withBuffer = true) {
    Query q{};
    q.type = 0xDEAD;
    q.size = cap;
    q.bytes.assign(cap + 4, 0xEE);
    q.result = regdRegQueryValue(testCaller, h, name, 0, &q.type, withBuffer ? q.bytes.data() : nullptr, &q.size);
    return q;
}

TEST_F(Cache, StringTypesGainATerminator) {
    uint32_t k = mk(0x80000002, "Str");
    ASSERT_EQ(setValue(k, "five", 1, "hello", 5), 0u);
    RegCacheRec* v = regdFindSubKey(rec(k), "five", 1);
    EXPECT_EQ(v->dataSize, 6u);
    Query q = query(k, "five", 16);
    EXPECT_EQ(q.result, 0u);
    EXPECT_EQ(q.size, 6u);
    EXPECT_EQ(q.type, 1u);
    EXPECT_EQ(memcmp(q.bytes.data(), "hello\0", 6), 0);
    EXPECT_EQ(q.bytes[6], 0xEE);
    // The size counts up to the first NUL when a NUL had to be added.
    ASSERT_EQ(setValue(k, "inner", 2, "ab\0cd", 5), 0u);
    EXPECT_EQ(regdFindSubKey(rec(k), "inner", 1)->dataSize, 3u);
    // Already terminated, or not a string type: stored as given.
    ASSERT_EQ(setValue(k, "term", 1, "ab\0cd\0", 6), 0u);
    EXPECT_EQ(regdFindSubKey(rec(k), "term", 1)->dataSize, 6u);
    ASSERT_EQ(setValue(k, "bin", 3, "hello", 5), 0u);
    EXPECT_EQ(regdFindSubKey(rec(k), "bin", 1)->dataSize, 5u);
    // Overwriting changes type and data in place.
    ASSERT_EQ(setValue(k, "bin", 4, "\1\0\0\0", 4), 0u);
    Query b = query(k, "bin", 4);
    EXPECT_EQ(b.type, 4u);
    EXPECT_EQ(b.size, 4u);
    EXPECT_EQ(regdRegSetValue(testCaller, k, "x", 0, 3, nullptr, 3, 0), 87u);
    EXPECT_EQ(regdRegSetValue(testCaller, 1999, "x", 0, 3, reinterpret_cast<const uint8_t*>("a"), 1, 0), 2u);
}

TEST_F(Cache, EmptyValueReadsAsOneNul) {
    uint32_t k = mk(0x80000002, "Empty");
    ASSERT_EQ(setValue(k, "e", 3, "", 0), 0u);
    Query q = query(k, "e", 8);
    EXPECT_EQ(q.result, 0u);
    EXPECT_EQ(q.size, 1u);
    EXPECT_EQ(q.type, 3u);
    EXPECT_EQ(q.bytes[0], 0);
    EXPECT_EQ(q.bytes[1], 0xEE);
    // A zero capacity gets nothing written.
    Query z = query(k, "e", 0);
    EXPECT_EQ(z.result, 0u);
    EXPECT_EQ(z.size, 1u);
    EXPECT_EQ(z.bytes[0], 0xEE);
}

TEST_F(Cache, SmallBufferQueryVersusEnumeration) {
    uint32_t k = mk(0x80000002, "Ten");
    ASSERT_EQ(setValue(k, "ten", 3, "0123456789", 10), 0u);
    Query q = query(k, "ten", 2);
    EXPECT_EQ(q.result, 234u);
    EXPECT_EQ(q.size, 10u);
    EXPECT_EQ(q.bytes[0], '0');
    EXPECT_EQ(q.bytes[1], '1');
    EXPECT_EQ(q.bytes[2], 0xEE);
    Query sizeOnly = query(k, "ten", 0, false);
    EXPECT_EQ(sizeOnly.result, 0u);
    EXPECT_EQ(sizeOnly.size, 10u);

    uint8_t data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint8_t* dp = data;
    char nameBuf[8];
    char* np = nameBuf;
    uint32_t nameCount = sizeof nameBuf;
    uint32_t dataCount = 2;
    uint32_t type = 0;
    EXPECT_EQ(regdRegEnumValue(testCaller, k, 0, &np, &nameCount, 0, &type, &dp, &dataCount, 0), 0u);
    EXPECT_EQ(dataCount, 10u);
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(data[0], 0xEE);  // nothing copied
    EXPECT_EQ(nameCount, 3u);
    EXPECT_STREQ(nameBuf, "ten");
}

TEST_F(Cache, QueryTargetRules) {
    uint32_t k = mk(0x80000002, "Q");
    uint32_t s = mk(k, "S");
    mk(k, "Bare");
    // No default value: an absent name reads the key itself, "" fails.
    Query self = query(k, nullptr, 8);
    EXPECT_EQ(self.result, 0u);
    EXPECT_EQ(self.type, 0u);
    EXPECT_EQ(self.size, 1u);
    EXPECT_EQ(query(k, "", 8).result, 2u);
    EXPECT_EQ(query(k, "Missing", 8).result, 2u);
    // A sub-key name reads its default value, or the sub-key itself.
    ASSERT_EQ(setValue(s, "", 1, "dflt", 5), 0u);
    Query viaSub = query(k, "S", 8);
    EXPECT_EQ(viaSub.result, 0u);
    EXPECT_EQ(viaSub.type, 1u);
    EXPECT_EQ(viaSub.size, 5u);
    Query bare = query(k, "bare", 8);
    EXPECT_EQ(bare.result, 0u);
    EXPECT_EQ(bare.type, 0u);
    EXPECT_EQ(bare.size, 1u);
    // A value of the same name comes before the sub-key.
    ASSERT_EQ(setValue(k, "S", 4, "1234", 4), 0u);
    Query shadow = query(k, "S", 8);
    EXPECT_EQ(shadow.type, 4u);
    EXPECT_EQ(shadow.size, 4u);
    EXPECT_EQ(query(1999, nullptr, 8).result, 2u);
}

TEST_F(Cache, ShortSetValueCreatesTheSubKey) {
    uint32_t k = mk(0x80000002, "Short");
    ASSERT_EQ(regdRegSetValue(testCaller, k, "S\\T", 0, 1, reinterpret_cast<const uint8_t*>("v"), 2, 1), 0u);
    RegCacheRec* t = regdFindSubKey(rec(k), "S\\T", 0);
    ASSERT_NE(t, nullptr);
    RegCacheRec* dflt = regdFindSubKey(t, "", 1);
    ASSERT_NE(dflt, nullptr);
    EXPECT_EQ(dflt->dataSize, 2u);
    Query q = query(k, "S\\T", 8);
    EXPECT_EQ(q.result, 0u);
    EXPECT_EQ(q.type, 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(q.bytes.data())), "v");
}

TEST_F(Cache, SetValueMarksDirtyAndClearsTime) {
    uint32_t k = mk(0x80000002, "Dirty");
    RegCacheRec* v = regdInsertValueKey(rec(k), "t");
    v->lastWriteTime = RegFileTime{5, 6};
    uint32_t before = g_dirty;
    ASSERT_EQ(setValue(k, "t", 4, "abcd", 4), 0u);
    EXPECT_EQ(g_dirty.load(), before + 1);
    EXPECT_EQ(v->lastWriteTime.dwLowDateTime, 0u);
    EXPECT_EQ(v->lastWriteTime.dwHighDateTime, 0u);
}

// ---- Enumeration ----

TEST_F(Cache, EnumerationOrdersAndEnd) {
    uint32_t k = mk(0x80000002, "Mixed");
    ASSERT_EQ(setValue(k, "Y", 4, "y", 1), 0u);
    mk(k, "K");
    ASSERT_EQ(setValue(k, "X", 4, "x", 1), 0u);
    uint32_t r = 0;
    EXPECT_EQ(enumValueName(k, 0, &r), "X");
    EXPECT_EQ(r, 0u);
    EXPECT_EQ(enumValueName(k, 1, &r), "Y");
    EXPECT_EQ(r, 0u);
    enumValueName(k, 2, &r);
    EXPECT_EQ(r, 259u);
    EXPECT_EQ(enumKeyName(k, 0, &r), "K");
    EXPECT_EQ(r, 0u);
    enumKeyName(k, 1, &r);
    EXPECT_EQ(r, 259u);
    enumKeyName(1999, 0, &r);
    EXPECT_EQ(r, 2u);
}

TEST_F(Cache, ShadowValuesAreNotEnumerated) {
    uint32_t k = mk(0x80000002, "Shadowed");
    mk(k, "Sub");
    ASSERT_EQ(setValue(k, "Sub", 4, "abcd", 4), 0u);
    uint32_t r = 0;
    enumValueName(k, 0, &r);
    EXPECT_EQ(r, 259u);
    EXPECT_EQ(query(k, "Sub", 8).size, 4u);
}

TEST_F(Cache, EnumKeyNameModes) {
    uint32_t k = mk(0x80000002, "Names");
    mk(k, "LongName");
    char buf[16];
    char* p = buf;
    // Capacity mode: cut, padded, no terminator when cut.
    memset(buf, 'x', sizeof buf);
    uint32_t count = 4;
    EXPECT_EQ(regdRegEnumKey(testCaller, k, 0, &p, &count, 0, nullptr, nullptr, nullptr, 0, 0), 0u);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(memcmp(buf, "Long", 4), 0);
    EXPECT_EQ(buf[4], 'x');
    memset(buf, 'x', sizeof buf);
    count = 12;
    EXPECT_EQ(regdRegEnumKey(testCaller, k, 0, &p, &count, 0, nullptr, nullptr, nullptr, 0, 0), 0u);
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(memcmp(buf, "LongName\0\0\0\0", 12), 0);
    EXPECT_EQ(buf[12], 'x');
    // Name-maximum mode: exactly the maximum, or the name and terminator.
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(regdRegEnumKey(testCaller, k, 0, &p, nullptr, 0, nullptr, nullptr, nullptr, 8, 0), 0u);
    EXPECT_EQ(memcmp(buf, "LongName", 8), 0);
    EXPECT_EQ(buf[8], 'x');
    memset(buf, 'x', sizeof buf);
    count = 0;
    EXPECT_EQ(regdRegEnumKey(testCaller, k, 0, &p, &count, 0, nullptr, nullptr, nullptr, 9, 0), 0u);
    EXPECT_STREQ(buf, "LongName");
    EXPECT_EQ(buf[9], 'x');
}

TEST_F(Cache, EnumKeyClassResults) {
    uint32_t k = mk(0x80000002, "Cls");
    mk(k, "NoClass");
    mk(k, "WithClass", "abcdef");
    char nameBuf[16];
    char classBuf[16];
    char* np = nameBuf;
    char* cp = classBuf;
    uint32_t nameCount = 16;
    uint32_t classCount = 3;
    RegFileTime ft{9, 9};
    regdFindSubKey(rec(k), "WithClass", 0)->lastWriteTime = RegFileTime{7, 8};
    memset(classBuf, 'x', sizeof classBuf);
    EXPECT_EQ(regdRegEnumKey(testCaller, k, 0, &np, &nameCount, 0, &cp, &classCount, &ft, 0, 0), 234u);
    EXPECT_EQ(classCount, 3u);
    EXPECT_EQ(memcmp(classBuf, "abc", 3), 0);
    EXPECT_EQ(classBuf[3], 'x');
    EXPECT_EQ(ft.dwLowDateTime, 7u);
    EXPECT_EQ(ft.dwHighDateTime, 8u);
    // A class exactly as long as the capacity fits.
    nameCount = 16;
    classCount = 6;
    EXPECT_EQ(regdRegEnumKey(testCaller, k, 0, &np, &nameCount, 0, &cp, &classCount, &ft, 0, 0), 0u);
    EXPECT_EQ(classCount, 6u);
    nameCount = 16;
    classCount = 10;
    EXPECT_EQ(regdRegEnumKey(testCaller, k, 0, &np, &nameCount, 0, &cp, &classCount, &ft, 0, 0), 0u);
    EXPECT_EQ(classCount, 6u);
    EXPECT_STREQ(classBuf, "abcdef");
    // No class: an empty text and count 0.
    nameCount = 16;
    classCount = 10;
    EXPECT_EQ(regdRegEnumKey(testCaller, k, 1, &np, &nameCount, 0, &cp, &classCount, &ft, 0, 0), 0u);
    EXPECT_EQ(classCount, 0u);
    EXPECT_EQ(classBuf[0], '\0');
    EXPECT_STREQ(nameBuf, "NoClass");
    // Past the end: 259, time cleared, counts untouched.
    nameCount = 16;
    classCount = 10;
    EXPECT_EQ(regdRegEnumKey(testCaller, k, 2, &np, &nameCount, 0, &cp, &classCount, &ft, 0, 0), 259u);
    EXPECT_EQ(nameCount, 16u);
    EXPECT_EQ(classCount, 10u);
    EXPECT_EQ(ft.dwLowDateTime, 0u);
}

TEST_F(Cache, EnumValueEndsClearCounts) {
    uint32_t k = mk(0x80000002, "NoValues");
    char buf[4];
    char* np = buf;
    uint8_t* dp = nullptr;
    uint32_t nameCount = 4;
    uint32_t dataCount = 4;
    uint32_t type = 9;
    EXPECT_EQ(regdRegEnumValue(testCaller, k, 0, &np, &nameCount, 0, &type, &dp, &dataCount, 0), 259u);
    EXPECT_EQ(nameCount, 0u);
    EXPECT_EQ(dataCount, 0u);
    EXPECT_EQ(type, 0u);
    nameCount = dataCount = type = 4;
    EXPECT_EQ(regdRegEnumValue(testCaller, 1999, 0, &np, &nameCount, 0, &type, &dp, &dataCount, 0), 2u);
    EXPECT_EQ(nameCount, 0u);
    EXPECT_EQ(dataCount, 0u);
    EXPECT_EQ(type, 0u);
}

// The one-walk counts equal what enumerating every index reports.
TEST_F(Cache, ChildCountsMatchFullEnumeration) {
    uint32_t k = mk(0x80000002, "Info");
    mk(k, "A");
    mk(k, "BBB", "classy");
    mk(k, "CC", "c");
    ASSERT_EQ(setValue(k, "V", 3, "1234567", 7), 0u);
    ASSERT_EQ(setValue(k, "LongerName", 1, "ab", 3), 0u);
    ASSERT_EQ(setValue(k, "A", 3, "0123456789abcdef", 16), 0u);  // shadow: not counted
    ASSERT_EQ(setValue(k, "", 1, "", 1), 0u);
    RegKeyCounts counts{};
    regdCountChildren(rec(k), &counts);
    EXPECT_EQ(counts.cSubKeys, 3u);
    EXPECT_EQ(counts.cbMaxSubKeyLen, 3u);
    EXPECT_EQ(counts.cbMaxClassLen, 6u);
    EXPECT_EQ(counts.cValues, 3u);
    EXPECT_EQ(counts.cbMaxValueNameLen, 10u);
    EXPECT_EQ(counts.cbMaxValueLen, 7u);

    RegKeyCounts walked{};
    for (uint32_t i = 0;; i++) {
        char* name = nullptr;
        char* cls = nullptr;
        uint32_t nameCount = 0;
        uint32_t classCount = 0;
        if (regdRegEnumKey(testCaller, k, i, &name, &nameCount, 0, &cls, &classCount, nullptr, 0, 1) != 0) break;
        walked.cSubKeys++;
        walked.cbMaxSubKeyLen = std::max(walked.cbMaxSubKeyLen, nameCount);
        walked.cbMaxClassLen = std::max(walked.cbMaxClassLen, classCount);
        free(name);
        free(cls);
    }
    for (uint32_t i = 0;; i++) {
        char* name = nullptr;
        uint8_t* data = nullptr;
        uint32_t nameCount = 0;
        uint32_t dataCount = 0;
        if (regdRegEnumValue(testCaller, k, i, &name, &nameCount, 0, nullptr, &data, &dataCount, 1) != 0) break;
        walked.cValues++;
        walked.cbMaxValueNameLen = std::max(walked.cbMaxValueNameLen, nameCount);
        walked.cbMaxValueLen = std::max(walked.cbMaxValueLen, dataCount);
        free(name);
        free(data);
    }
    EXPECT_EQ(memcmp(&walked, &counts, sizeof counts), 0);
}

}  // namespace
