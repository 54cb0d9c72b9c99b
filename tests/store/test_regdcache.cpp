// The registry cache in-process: the rules clients cannot reach (slot
// reuse, the deleted-handle list, how the classes root resolves) and the order
// rules against a model. What clients see of roots, paths, insertion,
// values and enumeration buffers is the registry wire tests' business.
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

// HKEY_CLASSES_ROOT needs Software and Classes named exactly (the current
// user's key for local and remote callers is the wire tests' business).
TEST_F(Cache, ClassesRootNeedsExactNames) {
    ASSERT_EQ(regdRegDeleteKey(rec(HKLM, "Software")), 0u);
    EXPECT_EQ(rec(0x80000000), nullptr);
    uint32_t classes = mkKey(HKLM, "software\\Classes");
    EXPECT_EQ(rec(0x80000000), nullptr);
    rec(classes)->parent->name[0] = 'S';
    EXPECT_EQ(rec(0x80000000), rec(classes));
    rec(classes)->name[0] = 'c';
    EXPECT_EQ(rec(0x80000000), nullptr);
}

// ---- Deletion and the deleted-handle list ----

// The list of deleted handles holds at most its bound, the oldest going.
TEST_F(Cache, DeleteRecordsEveryHandleAndReusesSlots) {
    g_maxDeletedHandles = 4;
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
    EXPECT_EQ(deletedNodeList.size(), 4u);
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
        g_enumShortWalk = rng() % 2 ? 0 : REGD_ENUM_SHORT_WALK;  // the ordered lists, kept across the changes
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
    g_enumShortWalk = REGD_ENUM_SHORT_WALK;
}

// Many children: index 0 deleted at every step, or a create before each
// index, with values ahead of the keys; each answer is the walk's.
TEST_F(Cache, EnumerationWhileManyChildrenChange) {
    uint32_t fan = mkKey(HKLM, "Fan");
    for (int i = 0; i < 3000; i++) mkKey(fan, ("K" + std::to_string(i)).c_str());
    for (int i = 0; i < 100; i++) ASSERT_EQ(setValue(fan, ("V" + std::to_string(i)).c_str(), 3, "x"), 0u);
    auto walk = [&](uint32_t index) {
        for (RegCacheRec* c = regdFindHKey(testCaller, fan)->firstChild; c != nullptr; c = c->next)
            if (c->kind == REGD_KIND_KEY && index-- == 0) return std::string(c->name);
        return std::string();
    };
    auto nth = [&](uint32_t index) {
        char* name = nullptr;
        uint32_t r = regdRegEnumKey(testCaller, fan, index, &name, nullptr, 0, nullptr, nullptr, nullptr, 0, 1);
        std::string got = r == 0 ? name : "";
        free(name);
        return got;
    };
    for (uint32_t i = 0; i < 2000; i++) {
        ASSERT_EQ(nth(i), walk(i)) << "create step " << i;
        mkKey(fan, ("A" + std::to_string(i)).c_str());
    }
    for (int step = 0; step < 5000; step++) {
        std::string first = nth(0);
        ASSERT_EQ(first, walk(0)) << "delete step " << step;
        ASSERT_EQ(regdRegDeleteKey(regdFindSubKey(regdFindHKey(testCaller, fan), first.c_str(), REGD_KIND_KEY)), 0u);
    }
    EXPECT_EQ(nth(0), "");
}
