// The registry cache in-process: handles, slots, paths, insertion,
// deletion, values and enumeration, against a fresh registry per test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <cstring>
#include <string>
#include <vector>

#include "store_io/io_test_util.h"
#include "base/strings.h"
#include "store/cache_internal.h"
#include "store/regdcache.h"
#include "store/regdio.h"

using namespace iotest;

namespace {

uint32_t localHost() { return _tsm_gethostid(); }

class Cache : public CacheTest {
  protected:
    void SetUp() override {
        CacheTest::SetUp();
        setCaller("joe", localHost());
    }
};

// ---- Roots, handles and the slot table ----

TEST_F(Cache, RootsAndHandles) {
    const uint32_t handles[] = {0x80000000, 0x80000001, 0x80000002, 0x80000003, 0x80000005, 0x80000006};
    for (int i = 0; i < 6; i++) {
        RegCacheRec* r = regCacheTable[i];
        ASSERT_NE(r, nullptr);
        EXPECT_STREQ(r->name, regdRootNames[i]);
        EXPECT_EQ(r->hKey, handles[i]);
        EXPECT_EQ(r->parent, nullptr);
        if (i > 1) { EXPECT_EQ(rec(handles[i]), r); }
    }
    EXPECT_EQ(rec(3), regCacheTable[3]);  // a slot number reaches the root record too
    EXPECT_EQ(rec(0x80000000), rec(HKLM, "Software\\Classes"));
    EXPECT_EQ(childNames(rec(HKU)), std::vector<std::string>{".Default"});
    EXPECT_EQ(childNames(rec(HKU)->firstChild), std::vector<std::string>{"Software"});
    for (uint32_t h : {0x80000004u, g_nCacheSlots, 0xFFFFFFFFu, 1999u, 0x7FFFFFFFu}) EXPECT_EQ(rec(h), nullptr) << h;
    RegCacheRec** table = regCacheTable;
    uint32_t entries = g_nEntries;
    EXPECT_EQ(regdInitCache(), 1);  // a second init changes nothing
    EXPECT_EQ(regCacheTable, table);
    EXPECT_EQ(g_nEntries, entries);
}

TEST_F(Cache, CurrentUserAndClassesRoot) {
    EXPECT_EQ(rec(0x80000001), nullptr);  // no key of its own: no fall-back
    uint32_t joe = mkKey(HKU, "joe");
    EXPECT_EQ(rec(0x80000001), rec(joe));
    setCaller("JOE", localHost());  // the user key is matched case-sensitively
    EXPECT_EQ(rec(0x80000001), nullptr);
    setCaller("joe", localHost() + 1);  // a remote caller gets .Default
    ASSERT_NE(rec(0x80000001), nullptr);
    EXPECT_STREQ(rec(0x80000001)->name, ".Default");
    // HKEY_CLASSES_ROOT needs Software and Classes named exactly.
    ASSERT_EQ(regdRegDeleteKey(rec(HKLM, "Software")), 0u);
    EXPECT_EQ(rec(0x80000000), nullptr);
    uint32_t classes = mkKey(HKLM, "software\\Classes");
    EXPECT_EQ(rec(0x80000000), nullptr);
    rec(classes)->parent->name[0] = 'S';
    EXPECT_EQ(rec(0x80000000), rec(classes));
    rec(classes)->name[0] = 'c';
    EXPECT_EQ(rec(0x80000000), nullptr);
}

// Handles are slot numbers, handed out in order also as the table grows.
TEST_F(Cache, SlotsAreHandedOutInOrderAcrossGrowth) {
    uint32_t parent = mkKey(HKLM, "Many");
    for (uint32_t i = 0; i < 2500; i++) {
        uint32_t h = mkKey(parent, ("k" + std::to_string(i)).c_str());
        ASSERT_EQ(h, parent + 1 + i);
        ASSERT_EQ(rec(h)->slot, h);
    }
}

// ---- Paths and insertion ----

TEST_F(Cache, PathRules) {
    RegCacheRec* hklm = rec(HKLM);
    RegCacheRec* classes = rec(0x80000000);
    EXPECT_EQ(regdFindSubKey(hklm, nullptr, 0), hklm);
    for (const char* p : {"SOFTWARE\\classes", "\\Software\\Classes", "Software\\Classes\\", "Software\\\\Classes"})
        EXPECT_EQ(regdFindSubKey(hklm, p, 0), classes) << p;
    for (const char* p : {"Software\\\\\\Classes", "\\\\Software", "Software\\\\", "", "\\", "Softwar", "Software2"})
        EXPECT_EQ(regdFindSubKey(hklm, p, 0), nullptr) << p;
    // Values through paths; a newer same-named value blocks the deeper lookup.
    uint32_t k = mkKey(HKLM, "K");
    uint32_t sub = mkKey(k, "Sub");
    ASSERT_EQ(setValue(sub, "Name", 4, "abcd"), 0u);
    ASSERT_NE(regdFindSubKey(rec(k), "Sub\\Name", 1), nullptr);
    EXPECT_EQ(regdFindSubKey(rec(k), "Sub\\Name", 0), nullptr);
    ASSERT_EQ(setValue(k, "sub", 4, "x"), 0u);
    EXPECT_EQ(regdFindSubKey(rec(k), "sub", 1)->isShadow, 1u);
    EXPECT_EQ(regdFindSubKey(rec(k), "Sub\\Name", 1), nullptr);
    uint32_t h = 77;
    EXPECT_EQ(regdRegOpenKey(testCaller, k, "Sub", 0, 0, &h, 0), 0u);
    EXPECT_EQ(h, sub);
    EXPECT_EQ(regdRegOpenKey(testCaller, k, "Sub\\Name", 0, 0, &h, 0), 2u);  // a value is no key
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(regdRegOpenKey(testCaller, 0x80000004, "Software", 0, 0, &h, 0), 2u);
    EXPECT_EQ(regdRegOpenKey(testCaller, HKLM, nullptr, 0, 0, &h, 0), 0u);
    EXPECT_EQ(h, HKLM);
}

TEST_F(Cache, InsertRules) {
    uint32_t entries = g_nEntries;
    uint32_t b = mkKey(HKLM, "\\\\\\Fresh\\\\\\Leaf\\\\");
    EXPECT_EQ(g_nEntries, entries + 2);
    EXPECT_STREQ(rec(b)->name, "Leaf");
    EXPECT_STREQ(rec(b)->parent->name, "Fresh");
    EXPECT_EQ(rec(b)->packState, REGD_PACK_PENDING);
    EXPECT_EQ(mkKey(HKLM, "\\\\"), HKLM);  // no components: the start key
    // Class and options go to the final key; no class given keeps the old.
    uint32_t k = mkKey(HKLM, "Classy", "first", 0);
    EXPECT_EQ(mkKey(HKLM, "CLASSY", "second!", 1), k);
    EXPECT_STREQ(rec(k)->className, "second!");
    EXPECT_EQ(rec(k)->classLen, 7u);
    EXPECT_EQ(rec(k)->options, 1u);
    EXPECT_EQ(mkKey(HKLM, "Classy"), k);
    EXPECT_STREQ(rec(k)->className, "second!");
    EXPECT_EQ(rec(k)->options, 0u);
    uint32_t h = 5;
    EXPECT_EQ(regdInsertKey(testCaller, 0x80000001, "X", 0, nullptr, 0, 0, nullptr, &h, nullptr, 0), 2u);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(regdInsertKey(testCaller, 1999, "X", 0, nullptr, 0, 0, nullptr, &h, nullptr, 0), 2u);
    EXPECT_EQ(regdInsertValueKey(nullptr, "x"), nullptr);
}

// ---- Deletion and the deleted-handle list ----

TEST_F(Cache, DeleteRecordsEveryHandleAndReusesSlots) {
    uint32_t top = mkKey(HKLM, "Top");
    uint32_t c = mkKey(top, "A\\B\\C");
    mkKey(top, "A\\B2");
    ASSERT_EQ(setValue(c, "v", 4, "1234"), 0u);
    RegCacheRec* a = rec(top, "A");
    uint32_t aSlot = a->slot;
    uint32_t entries = g_nEntries;
    ASSERT_EQ(regdRegDeleteKey(a), 0u);
    EXPECT_EQ(g_nEntries, entries - 5);  // A, B, C, the value, B2
    EXPECT_EQ(rec(top)->firstChild, nullptr);
    EXPECT_EQ(deletedNodeList.size(), 5u);
    EXPECT_EQ(deletedNodeList.back(), aSlot);  // the key itself goes last
    EXPECT_EQ(rec(c), nullptr);
    EXPECT_EQ(regdRegDeleteKey(nullptr), 2u);
    // Its slot is handed out next: same handle, another key; one close per deletion.
    uint32_t again = mkKey(top, "Again");
    ASSERT_EQ(again, aSlot);
    ASSERT_EQ(regdRegDeleteKey(rec(again)), 0u);
    for (uint32_t want : {0u, 0u, 2u}) EXPECT_EQ(regdRegCloseKey(aSlot), want);
    EXPECT_EQ(regdRegCloseKey(1234), 2u);
    deletedNodeList.clear();
    // A value goes without a deleted-handle entry.
    ASSERT_EQ(setValue(top, "x", 4, "1"), 0u);
    RegCacheRec* v = rec(top, "x", 1);
    uint32_t slot = v->slot;
    regdRemoveValueRec(v);
    EXPECT_TRUE(deletedNodeList.empty());
    EXPECT_EQ(regCacheTable[slot], nullptr);
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
    Query q{0, 0xDEAD, cap, std::vector<uint8_t>(cap + 4, 0xEE)};
    q.result = regdRegQueryValue(testCaller, h, name, 0, &q.type, withBuffer ? q.bytes.data() : nullptr, &q.size);
    return q;
}

TEST_F(Cache, StoredSizesAndSmallBuffers) {
    uint32_t k = mkKey(HKLM, "Str");
    struct {
        const char* name;
        uint32_t type;
        std::string data;
        uint32_t stored;
    } rows[] = {
        {"five", 1, "hello", 6},                     // string types gain a NUL
        {"inner", 2, std::string("ab\0cd", 5), 3},   // and then count up to the first NUL
        {"term", 1, std::string("ab\0cd\0", 6), 6},  // already terminated: as given
        {"bin", 3, "hello", 5},                      // not a string type
        {"e", 3, "", 0},
    };
    for (const auto& r : rows) {
        ASSERT_EQ(setValue(k, r.name, r.type, r.data), 0u);
        EXPECT_EQ(rec(k, r.name, 1)->dataSize, r.stored) << r.name;
    }
    // Each read: result, size and type reported, and the buffer's first bytes.
    const struct {
        const char* name;
        uint32_t cap;
        uint32_t result, size;  // result ~0: not checked
        std::string head;
    } reads[] = {
        {"five", 16, 0, 6, std::string("hello\0\xEE", 7)},
        {"bin", 2, 234, 5, "he\xEE"},
        {"e", 8, ~0u, 1, std::string("\0\xEE", 2)},  // an empty value reads as one NUL
        {"e", 0, ~0u, 1, "\xEE"},                    // a zero capacity gets nothing
    };
    for (const auto& r : reads) {
        Query q = query(k, r.name, r.cap);
        if (r.result != ~0u) { EXPECT_EQ(q.result, r.result) << r.name << r.cap; }
        EXPECT_EQ(q.size, r.size) << r.name << r.cap;
        EXPECT_EQ(std::string(q.bytes.begin(), q.bytes.begin() + r.head.size()), r.head) << r.name << r.cap;
    }
    EXPECT_EQ(query(k, "five", 16).type, 1u);
    EXPECT_EQ(query(k, "bin", 0, false).size, 5u);
    // Enumeration copies nothing that does not fit but reports the size.
    uint8_t data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint8_t* dp = data;
    char nameBuf[8];
    char* np = nameBuf;
    uint32_t nameCount = sizeof nameBuf, dataCount = 2, type = 0;
    EXPECT_EQ(regdRegEnumValue(testCaller, k, 1, &np, &nameCount, 0, &type, &dp, &dataCount, 0), 0u);
    EXPECT_EQ(dataCount, 5u);
    EXPECT_EQ(type, 3u);
    EXPECT_EQ(data[0], 0xEE);
    EXPECT_STREQ(nameBuf, "bin");
    // Overwriting changes type and data in place, marks dirty, clears the time.
    RegCacheRec* bin = rec(k, "bin", 1);
    bin->lastWriteTime = RegFileTime{5, 6};
    uint32_t before = g_dirty;
    ASSERT_EQ(setValue(k, "bin", 4, std::string("\1\0\0\0", 4)), 0u);
    EXPECT_EQ(g_dirty.load(), before + 1);
    EXPECT_EQ(bin->valueType, 4u);
    EXPECT_EQ(bin->lastWriteTime.dwLowDateTime + bin->lastWriteTime.dwHighDateTime, 0u);
    EXPECT_EQ(regdRegSetValue(testCaller, k, "x", 0, 3, nullptr, 3, 0), 87u);
    EXPECT_EQ(regdRegSetValue(testCaller, 1999, "x", 0, 3, reinterpret_cast<const uint8_t*>("a"), 1, 0), 2u);
}

TEST_F(Cache, QueryTargetRules) {
    uint32_t k = mkKey(HKLM, "Q");
    uint32_t s = mkKey(k, "S");
    mkKey(k, "Bare");
    Query self = query(k, nullptr, 8);  // no default value: the key itself
    EXPECT_EQ(self.result + self.type, 0u);
    EXPECT_EQ(self.size, 1u);
    EXPECT_EQ(query(k, "", 8).result, 2u);
    EXPECT_EQ(query(k, "Missing", 8).result, 2u);
    ASSERT_EQ(setValue(s, nullptr, 1, "dflt"), 0u);  // a sub-key's default value
    EXPECT_EQ(query(k, "S", 8).size, 5u);
    EXPECT_EQ(query(k, "bare", 8).size, 1u);  // or the sub-key itself
    ASSERT_EQ(setValue(k, "S", 4, "1234"), 0u);  // a value of that name comes first
    EXPECT_EQ(query(k, "S", 8).type, 4u);
    EXPECT_EQ(query(1999, nullptr, 8).result, 2u);
    // The short form of set-value creates the sub-key and sets its default.
    ASSERT_EQ(regdRegSetValue(testCaller, k, "S2\\T", 0, 1, reinterpret_cast<const uint8_t*>("v"), 2, 1), 0u);
    Query q = query(k, "S2\\T", 8);
    EXPECT_EQ(q.type, 1u);
    EXPECT_STREQ(reinterpret_cast<char*>(q.bytes.data()), "v");
}

// ---- Enumeration buffers (the order itself is in the property test) ----

TEST_F(Cache, EnumKeyNameModes) {
    uint32_t k = mkKey(HKLM, "Names");
    mkKey(k, "LongName");
    char buf[16];
    char* p = buf;
    struct {
        uint32_t count;  // ~0: no count
        uint32_t nameMax;
        std::string want;  // the buffer's first bytes, 'x' where untouched
        uint32_t countAfter;
    } rows[] = {
        {4, 0, "Longx", 4},                                  // capacity: cut, no terminator
        {12, 0, std::string("LongName\0\0\0\0x", 13), 8},    // padded with NULs
        {~0u, 8, "LongNamex", ~0u},                          // name maximum: exactly the maximum
        {0, 9, std::string("LongName\0x", 10), 8},           // the name and its terminator
    };
    for (const auto& r : rows) {
        memset(buf, 'x', sizeof buf);
        uint32_t count = r.count;
        EXPECT_EQ(regdRegEnumKey(testCaller, k, 0, &p, r.count == ~0u ? nullptr : &count, 0, nullptr, nullptr,
                                 nullptr, r.nameMax, 0),
                  0u);
        EXPECT_EQ(std::string(buf, r.want.size()), r.want) << r.count << "/" << r.nameMax;
        EXPECT_EQ(count, r.countAfter);
    }
}

TEST_F(Cache, EnumKeyClassResults) {
    uint32_t k = mkKey(HKLM, "Cls");
    mkKey(k, "NoClass");
    mkKey(k, "WithClass", "abcdef");
    rec(k, "WithClass")->lastWriteTime = RegFileTime{7, 8};
    char nameBuf[16], classBuf[16];
    char* np = nameBuf;
    char* cp = classBuf;
    struct {
        uint32_t index, classCap, result, classCount;
        std::string classHead;  // the class buffer's first bytes
    } rows[] = {{0, 3, 234, 3, "abc"}, {0, 6, 0, 6, "abcdef"}, {0, 10, 0, 6, "abcdef"},
                {1, 10, 0, 0, std::string(1, '\0')}, {2, 10, 259, 10, ""}};
    for (const auto& r : rows) {
        memset(classBuf, 'x', sizeof classBuf);
        uint32_t nameCount = 16, classCount = r.classCap;
        RegFileTime ft{9, 9};
        EXPECT_EQ(regdRegEnumKey(testCaller, k, r.index, &np, &nameCount, 0, &cp, &classCount, &ft, 0, 0), r.result);
        EXPECT_EQ(classCount, r.classCount) << r.index << "/" << r.classCap;
        EXPECT_EQ(ft.dwLowDateTime, r.index == 0 ? 7u : 0u);
        EXPECT_EQ(std::string(classBuf, r.classHead.size()), r.classHead) << r.index << "/" << r.classCap;
        if (r.index == 1) { EXPECT_STREQ(nameBuf, "NoClass"); }
        if (r.index == 2) { EXPECT_EQ(nameCount, 16u); }
    }
    // Past the end of the values, or no key: counts and type cleared.
    for (uint32_t h : {k, 1999u}) {
        uint8_t* dp = nullptr;
        uint32_t nameCount = 4, dataCount = 4, type = 9;
        EXPECT_EQ(regdRegEnumValue(testCaller, h, 0, &np, &nameCount, 0, &type, &dp, &dataCount, 0),
                  h == k ? 259u : 2u);
        EXPECT_EQ(nameCount + dataCount + type, 0u);
    }
}

}  // namespace

// ---- The order rules against a plain model, on random operation sequences ----

namespace model {

struct Node {
    std::string name;
    bool key = true;
    bool shadow = false;
    std::string data;
    std::vector<Node> kids;  // sibling order: newest first, default values at the tail
};

bool sameName(const std::string& a, const std::string& b) {  // the store's case rule
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (tolower(static_cast<signed char>(a[i])) != tolower(static_cast<signed char>(b[i]))) return false;
    return true;
}

int find(const Node& n, const std::string& name, bool key) {
    for (size_t i = 0; i < n.kids.size(); i++)
        if (n.kids[i].key == key && sameName(n.kids[i].name, name)) return static_cast<int>(i);
    return -1;
}

Node key(const std::string& name) { return Node{name, true, false, "", {}}; }

// The reader takes every record as no shadow.
Node asRead(Node n) {
    n.shadow = false;
    for (Node& k : n.kids) k = asRead(k);
    return n;
}

void link(Node& parent, Node child, bool atTail) {
    parent.kids.insert(atTail ? parent.kids.end() : parent.kids.begin(), std::move(child));
}

// Compares the store's key with the model: list, lookups, enumeration, counts.
void check(RegCacheRec* key, const Node& m, std::mt19937& rng) {
    std::vector<RegCacheRec*> list;
    for (RegCacheRec* c = key->firstChild; c != nullptr; c = c->next) list.push_back(c);
    ASSERT_EQ(list.size(), m.kids.size()) << m.name;
    std::vector<std::string> keys, values;
    RegKeyCounts want{};
    for (size_t i = 0; i < list.size(); i++) {
        const Node& k = m.kids[i];
        ASSERT_EQ(regdNameOf(list[i]), k.name);
        ASSERT_EQ(list[i]->kind, k.key ? 0u : 1u);
        ASSERT_EQ(list[i]->isShadow, k.shadow ? 1u : 0u);
        ASSERT_EQ(list[i]->parent, key);
        std::string probe = k.name;  // any case of the name finds the first of its kind
        for (char& ch : probe) ch = ch >= 'a' && ch <= 'z' && rng() % 2 ? static_cast<char>(ch - 32) : ch;
        int first = find(m, k.name, k.key);
        ASSERT_EQ(regdFindSubKey(key, probe.c_str(), k.key ? 0 : 1), list[static_cast<size_t>(first)]);
        if (k.key) {
            keys.push_back(k.name);
            want = {want.cSubKeys + 1, std::max<uint32_t>(want.cbMaxSubKeyLen, k.name.size()), 0, want.cValues,
                    want.cbMaxValueNameLen, want.cbMaxValueLen};
            check(list[i], k, rng);
        } else if (!k.shadow) {
            values.push_back(k.name);
            want.cValues++;
            want.cbMaxValueNameLen = std::max<uint32_t>(want.cbMaxValueNameLen, k.name.size());
            want.cbMaxValueLen = std::max<uint32_t>(want.cbMaxValueLen, k.data.size() + 1);
        }
    }
    RegKeyCounts got{};
    regdCountChildren(key, &got);
    EXPECT_EQ(memcmp(&got, &want, sizeof got), 0) << m.name;
    for (int pass = 0; pass < 2; pass++) {  // in order, then from a random index on
        size_t from = pass == 0 ? 0 : rng() % (keys.size() + 1);
        for (size_t i = from; i <= keys.size(); i++) {
            char* name = nullptr;
            uint32_t r = regdRegEnumKey(testCaller, key->hKey, static_cast<uint32_t>(i), &name, nullptr, 0, nullptr,
                                        nullptr, nullptr, 0, 1);
            ASSERT_EQ(r, i < keys.size() ? 0u : 259u);
            if (i < keys.size()) { EXPECT_EQ(name, keys[i]); }
            free(name);
        }
        from = pass == 0 ? 0 : rng() % (values.size() + 1);
        for (size_t i = from; i <= values.size(); i++) {
            char* name = nullptr;
            uint32_t r = regdRegEnumValue(testCaller, key->hKey, static_cast<uint32_t>(i), &name, nullptr, 0, nullptr,
                                          nullptr, nullptr, 1);
            ASSERT_EQ(r, i < values.size() ? 0u : 259u);
            if (i < values.size()) { EXPECT_EQ(name, values[i]); }
            free(name);
        }
    }
}

}  // namespace model

TEST_F(Cache, OrderRulesHoldOnRandomOperationSequences) {
    const char* names[] = {"a", "A", "b", "ab", "AB", "\xC4", "\xE4", "k"};
    std::mt19937 rng(1403);
    model::Node root = model::key("P"), users = model::key("HKEY_USERS");
    users.kids.push_back(model::Node{".Default", true, false, "", {model::key("Software")}});
    mkKey(HKLM, "Software\\P");
    for (int step = 0; step < 3000; step++) {
        // A random key of the model and the record at the same place.
        RegCacheRec* at = rec(HKLM, "Software\\P");
        model::Node* m = &root;
        std::vector<std::pair<RegCacheRec*, model::Node*>> up;
        while (rng() % 3 != 0) {
            std::vector<size_t> keyKids;
            for (size_t i = 0; i < m->kids.size(); i++) if (m->kids[i].key) keyKids.push_back(i);
            if (keyKids.empty()) break;
            size_t i = keyKids[rng() % keyKids.size()];
            up.emplace_back(at, m);
            at = at->firstChild;
            for (size_t j = 0; j < i; j++) at = at->next;
            m = &m->kids[i];
        }
        std::string name = names[rng() % 8];
        switch (rng() % 9) {
        case 0: case 1:  // create a sub-key
            if (model::find(*m, name, true) < 0) model::link(*m, model::key(name), false);
            ASSERT_NE(mkKey(at->hKey, name.c_str()), 0u);
            break;
        case 2: case 3: {  // set a value (the default one now and then)
            if (rng() % 4 == 0) name = "";
            std::string data(rng() % 5, 'd');
            int v = model::find(*m, name, false);
            if (v < 0) {
                int k = model::find(*m, name, true);
                model::Node n{k >= 0 ? m->kids[static_cast<size_t>(k)].name : name, false, k >= 0, "", {}};
                model::link(*m, n, n.name.empty());
                v = model::find(*m, name, false);
            }
            m->kids[static_cast<size_t>(v)].data = data;
            ASSERT_EQ(setValue(at->hKey, name.c_str(), 3, data + '\0'), 0u);
            break;
        }
        case 4:  // delete this key, or one of its values
            if (up.empty()) break;
            ASSERT_EQ(regdRegDeleteKey(at), 0u);
            up.back().second->kids.erase(up.back().second->kids.begin() + (m - up.back().second->kids.data()));
            break;
        case 5: {
            int v = model::find(*m, name, false);
            if (v < 0) break;
            regdRemoveValueRec(regdFindSubKey(at, name.empty() ? "" : name.c_str(), 1));
            m->kids.erase(m->kids.begin() + v);
            break;
        }
        case 6: {  // restore a copy of this key below its parent, replacing or beside a namesake
            if (up.empty()) break;
            ASSERT_EQ(regdWriteSubTreeDatabase(at, "hive.dat", 1), 0u);
            auto [parentRec, parentModel] = up.back();
            model::Node copy = model::asRead(*m);
            copy.name = name;
            int old = rng() % 2 ? model::find(*parentModel, name, true) : -1;
            RegCacheRec* replaced = old < 0 ? nullptr : regdFindSubKey(parentRec, name.c_str(), 0);
            ASSERT_EQ(regdLoadHive(parentRec, "hive.dat", name.c_str(), replaced), 0u);
            if (old >= 0) parentModel->kids.erase(parentModel->kids.begin() + old);
            model::link(*parentModel, copy, false);
            break;
        }
        case 7: {  // a user's own file: read once the user calls, appended at the tail
            const char* user = rng() % 2 ? "pu" : "PU";
            ASSERT_EQ(regdWriteSubTreeDatabase(at, regdUserFileName(user).c_str(), 1), 0u);
            int had = -1;
            for (size_t i = 0; i < users.kids.size(); i++) if (users.kids[i].name == user) had = static_cast<int>(i);
            if (had >= 0) {
                ASSERT_EQ(regdRegDeleteKey(regdChildNamed(rec(HKU), user)), 0u);
                users.kids.erase(users.kids.begin() + had);
            }
            model::link(users, model::asRead(*m), true);
            if (m->name != user) model::link(users, model::key(user), false);
            setCaller(user, localHost());
            regdLoadUserData(testCaller);
            break;
        }
        case 8:  // a full save and a fresh start from the file: users stay in their own files
            if (rng() % 8 != 0) break;
            regdWriteEntireRegistryDatabase();
            regdDiscardCache();
            ASSERT_EQ(regdLoadRegistry(), 1);
            std::erase_if(users.kids, [](const model::Node& n) { return n.name != ".Default"; });
            root = model::asRead(root);
            break;
        }
        model::check(rec(HKLM, "Software\\P"), root, rng);
        model::check(rec(HKU), users, rng);
        if (HasFatalFailure()) FAIL() << "step " << step;
    }
}
