// The reader: files laid out by hand, round trips through the writer, and
// damaged files, each of which must fail and leave the cache as it was.
#include <random>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

#include "base/config.h"
#include "io_test_util.h"
#include "store/regdio.h"

using namespace iotest;

namespace {

uint32_t countTree(const RegCacheRec* top) {
    uint32_t n = 1;
    for (const RegCacheRec* c = top->firstChild; c != nullptr; c = c->next) n += countTree(c);
    return n;
}

class ReaderTest : public IoTest {
  protected:
    // A registry with a little of everything, so that a damaged read has
    // something to disturb.
    void populate() {
        ASSERT_EQ(regdInitCache(), 1);
        uint32_t k = mkKey(HKLM, "Software\\Existing", "class");
        setValue(k, "v", 1, "value");
        setValue(k, nullptr, 3, std::string("\0\1\2", 3));
        mkKey(k, "Child\\Grandchild");
        // A freed slot in the middle, so that slot order matters.
        uint32_t gone = mkKey(HKLM, "Gone");
        ASSERT_EQ(regdRegDeleteKey(regdFindHKey(testCaller, gone)), 0u);
    }

    // The file must be refused and the cache left exactly as it was.
    void expectRejected(const std::string& bytes, uint32_t isMain = 0) {
        writeFile("bad.dat", bytes);
        CacheSnapshot before = CacheSnapshot::take();
        EXPECT_EQ(regdReadRegistryDatabase("bad.dat", isMain), nullptr);
        EXPECT_TRUE(CacheSnapshot::take() == before);
    }
};

// A sub-tree comes back as it was written (the whole registry: the cache
// tests' full saves and fresh starts).
TEST_F(ReaderTest, WriteThenReadGivesBackTheSameTree) {
    populate();
    uint32_t k = mkKey(HKLM, "Software\\Trip", "trip class");
    setValue(k, "empty", 3, "");
    setValue(k, "bin", 3, std::string("\0\xff\0x", 4));
    for (int i = 0; i < 30; i++) {
        uint32_t c = mkKey(k, ("c" + std::to_string(i) + "\\d\\e").c_str(), i % 2 ? "odd" : nullptr);
        setValue(c, nullptr, 1, std::string(static_cast<size_t>(i) * 10, 'x'));
    }
    RegCacheRec* trip = regdFindHKey(testCaller, k);
    trip->lastWriteTime = RegFileTime{0x12345678u, 0x9ABCDEF0u};
    std::string expected = describeTree(trip);
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, k, "trip.dat", 0), 0u);
    RegCacheRec* back = regdReadRegistryDatabase("trip.dat", 0);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(describeTree(back), expected);
}

// Creation, lookup, deletion, writing and reading all walk a very deep
// tree without recursion.
TEST_F(ReaderTest, VeryDeepTreeNeedsNoRecursion) {
    ASSERT_EQ(regdInitCache(), 1);
    constexpr int depth = 200000;
    g_maxKeyDepth = depth + 2;  // creation stops at 512 levels; files may hold more
    std::string path;
    for (int i = 0; i < depth; i++) path += i ? "\\a" : "a";
    uint32_t deep = mkKey(HKLM, "Deep");
    uint32_t entries = g_nEntries;
    uint32_t deepest = mkKey(deep, path.c_str());
    EXPECT_EQ(g_nEntries, entries + depth);
    uint32_t h = 0;
    ASSERT_EQ(regdRegOpenKey(testCaller, deep, path.c_str(), 0, 0, &h, 0), 0u);
    EXPECT_EQ(h, deepest);
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, deep, "deep.dat", 0), 0u);
    ASSERT_EQ(regdRegDeleteKey(rec(deep, "a")), 0u);
    EXPECT_EQ(g_nEntries, entries);
    RegCacheRec* back = regdReadRegistryDatabase("deep.dat", 0);
    ASSERT_NE(back, nullptr);
    int levels = 0;
    for (RegCacheRec* r = back->firstChild; r != nullptr; r = r->firstChild) levels++;
    EXPECT_EQ(levels, depth);
}

// Unknown and skip records are stepped over by their head alone; a name
// starting with NUL is the empty name; a key named like a root gets that
// root's handle while the real root still resolves.
TEST_F(ReaderTest, OddRecordsAndNames) {
    populate();
    RegCacheRec* realUsers = regdFindHKey(testCaller, HKU);
    Bytes f = Bytes().magic().header(3);
    f.key("Top", -1, 1, -1, -1);
    f.u32(7).u32(0xFFFFFFF0u);  // unknown: its size field is not believed
    f.u32(4).u32(1234);         // skip record: nothing after its head
    f.node(KEY | 1, std::string("\0junk", 5), "", "d", 1, 0, -1, 2, -1);
    f.key("HKEY_USERS", 0, -1, -1, 1);
    writeFile("odd.dat", f.b);
    RegCacheRec* top = regdReadRegistryDatabase("odd.dat", 0);
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(childNames(top), (std::vector<std::string>{"", "HKEY_USERS"}));
    EXPECT_EQ(top->firstChild->nameLen, 0u);
    EXPECT_EQ(top->firstChild->next->hKey, HKU);
    EXPECT_EQ(regdFindHKey(testCaller, HKU), realUsers);
    EXPECT_NE(logText().find("Unknown record type 7 found in registry."), std::string::npos);
}

TEST_F(ReaderTest, MainFileKeepsOnlyDefaultUnderUsersAndLetsTheRestGo) {
    Bytes f = Bytes().magic().header(11).roots({-1, -1, -1, 6, -1, -1});
    f.key("bob", 3, 7, 8, -1);  // a user before .Default
    f.key("BobSoftware", 6, -1, -1, -1);
    f.key(".Default", 3, 9, 10, 6);
    f.key("Software", 8, -1, -1, -1);
    f.key("eve", 3, -1, -1, 8);  // and one after
    writeFile("kalvo_reg.dat", f.b);
    ASSERT_NE(regdReadRegistryDatabase("kalvo_reg.dat", 1), nullptr);
    RegCacheRec* users = regdFindHKey(testCaller, HKU);
    ASSERT_NE(users, nullptr);
    EXPECT_EQ(childNames(users), std::vector<std::string>{".Default"});
    EXPECT_EQ(g_nEntries, 8u);  // the six roots, .Default and its Software
    EXPECT_EQ(g_version, 20300u);
    EXPECT_EQ(liveSlots(), 8u);
    EXPECT_EQ(freeCacheNode.size(), g_nCacheSlots - 8u);
}

// A missing main file is the loader test's (an empty registry); any other
// missing, unreadable or special file is refused.
TEST_F(ReaderTest, MissingUnreadableAndSpecialFiles) {
    ASSERT_EQ(regdInitCache(), 1);
    writeFile("locked.dat", appHiveByHand());
    ASSERT_EQ(chmod("locked.dat", 0200), 0);
    ASSERT_EQ(mkdir("dir.dat", 0755), 0);
    ASSERT_EQ(mkfifo("fifo.dat", 0644), 0);
    CacheSnapshot before = CacheSnapshot::take();
    for (const char* name : {"nothing.dat", "locked.dat", "dir.dat", "fifo.dat", "/dev/zero"})  // none may hang
        EXPECT_EQ(regdReadRegistryDatabase(name, 0), nullptr) << name;
    EXPECT_TRUE(CacheSnapshot::take() == before);
    EXPECT_NE(logText().find("locked.dat is unreadable."), std::string::npos);
}

TEST_F(ReaderTest, TruncationAtEveryByteFailsAndLeavesTheCacheAlone) {
    ASSERT_EQ(regdInitCache(), 1);
    mkKey(HKLM, "Software\\X\\Y\\Z");
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, 0, "full.dat", 1), 0u);
    std::string main = readFile("full.dat");
    regdDiscardCache();
    for (size_t len = 0; len < main.size(); len++) {  // a main file falls to nothing
        writeFile("kalvo_reg.dat", main.substr(0, len));
        ASSERT_EQ(regdReadRegistryDatabase("kalvo_reg.dat", 1), nullptr) << len;
        ASSERT_EQ(g_nEntries, 0u);
    }
    populate();
    std::string whole = appHiveByHand();
    for (size_t len = 0; len < whole.size(); len++) {
        SCOPED_TRACE("length " + std::to_string(len));
        expectRejected(whole.substr(0, len));
    }
}

// Each damaged file is refused and leaves the cache as it was.
TEST_F(ReaderTest, DamagedFilesAreRefused) {
    populate();
    const std::string hive = appHiveByHand();
    const std::string body = hive.substr(20);  // the four records alone
    auto withHeader = [&](const Bytes& head) { return Bytes().magic().raw(head.b).raw(body).b; };
    auto oneKey = [](uint32_t nameLen, uint32_t classLen, uint32_t dataLen) {
        return Bytes().magic().header(1).u32(3).u32(40).u32(KEY).u32(nameLen).raw("abc").u32(classLen).u32(dataLen)
            .u32(0).u32(0).u32(0).i32(-1).i32(-1).i32(-1).i32(-1).b;
    };
    auto twoKeys = [](int32_t p0, int32_t c0, int32_t n0, int32_t v0, int32_t p1, int32_t c1, int32_t n1, int32_t v1) {
        return Bytes().magic().header(2).key("A", p0, c0, n0, v0).key("B", p1, c1, n1, v1).b;
    };
    const std::string pad(60, '\0');  // past the smallest record, so that only the length is wrong
    std::string wrongRoots = Bytes().magic().header(6).roots({-1, -1, -1, -1, -1, -1}).b;
    wrongRoots.replace(wrongRoots.find("HKEY_USERS"), 10, "HKEY_WRONG");
    writeFile("ok.dat", twoKeys(-1, 1, -1, -1, 0, -1, -1, -1));
    EXPECT_NE(regdReadRegistryDatabase("ok.dat", 0), nullptr);  // the well-formed shape, for contrast
    const struct {
        const char* why;
        std::string bytes;
        uint32_t isMain = 0;
    } rows[] = {
        {"bad magic", Bytes().u32(0xDEADFACFu).b + hive.substr(4)},
        {"more records than the file holds", withHeader(Bytes().header(100000))},
        {"count -1", withHeader(Bytes().header(0xFFFFFFFFu))},
        {"more records than the count", withHeader(Bytes().header(3))},
        {"count 0", withHeader(Bytes().header(0))},
        {"header size 12", withHeader(Bytes().u32(1).u32(12).u32(20300).u32(4).u32(0))},
        {"records before any header", Bytes().magic().raw(body).b},
        {"two headers", withHeader(Bytes().header(4).header(4))},
        {"trailing byte", withHeader(Bytes().header(5)) + Bytes().key("Spare", -1, -1, -1, -1).b + '\0'},
        {"name length 1000", oneKey(1000, 0, 0)},
        {"name length -1", oneKey(0xFFFFFFFFu, 0, 0)},
        {"class length", Bytes().magic().header(1).u32(3).u32(40).u32(KEY).u32(0).u32(0xFFFFFFF0u).raw(pad).b},
        {"data length", Bytes().magic().header(1).u32(3).u32(40).u32(KEY).u32(0).u32(0).u32(0x7FFFFFFFu).raw(pad).b},
        {"link past the count", twoKeys(-1, 2, -1, -1, 0, -1, -1, -1)},
        {"negative link", twoKeys(-1, -2, -1, -1, 0, -1, -1, -1)},
        {"child of itself", twoKeys(-1, 1, -1, -1, 0, 1, -1, -1)},
        {"child's child is the top", twoKeys(-1, 1, -1, -1, 0, 0, -1, -1)},
        {"its own next sibling", twoKeys(-1, 1, -1, -1, 0, -1, 1, -1)},
        {"child without its parent link", twoKeys(-1, 1, -1, -1, -1, -1, -1, -1)},
        {"first child with a prev", twoKeys(-1, 1, -1, -1, 0, -1, -1, 0)},
        {"top with a sibling", twoKeys(-1, 1, 1, -1, 0, -1, -1, -1)},
        {"top with a parent", twoKeys(1, -1, -1, -1, -1, 0, -1, -1)},
        {"a loop along the child list",
         Bytes().magic().header(3).key("A", -1, 1, -1, -1).key("B", 0, -1, 2, -1).key("C", 0, -1, 1, 1).b},
        {"a link never delivered", Bytes().magic().header(3).key("A", -1, 1, -1, -1).key("B", 0, -1, 2, -1).b},
        {"a record of another kind",
         Bytes().magic().header(2).key("A", -1, 1, -1, -1).node(KEY | 2, "B", "", "", 0, 0, -1, -1, -1).b},
        {"main file without the roots", hive, 1},
        {"main file with a wrong root", wrongRoots, 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.why);
        expectRejected(r.bytes, r.isMain);
    }
}

// Any damage to a valid file either is refused, leaving the cache as it
// was, or yields a well-formed tree that can be deleted again cleanly.
TEST_F(ReaderTest, RandomlyDamagedFilesNeverBreakTheCache) {
    populate();
    uint32_t src = mkKey(HKLM, "Software\\FuzzSource", "cls");
    for (int i = 0; i < 6; i++) {
        uint32_t k = mkKey(src, ("k" + std::to_string(i) + "\\deeper").c_str());
        setValue(k, "v", 3, std::string(static_cast<size_t>(i), 'x'));
        setValue(k, nullptr, 1, "d");
    }
    ASSERT_EQ(regdWriteRegistryDatabase(testCaller, src, "valid.dat", 0), 0u);
    const std::string valid = readFile("valid.dat");
    g_verbose = 0;  // thousands of refusals need no log
    std::mt19937 rng(20300);
    int accepted = 0;
    for (int round = 0; round < 1500; round++) {
        std::string bytes = valid;
        int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits; e++) {
            size_t at = rng() % bytes.size();
            if (rng() % 2 == 0) {
                bytes[at] = static_cast<char>(rng());
            } else {  // a whole word: small numbers and -1 hit counts and links
                static const uint32_t words[] = {0, 1, 2, 3, 4, 7, 11, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u};
                uint32_t w = words[rng() % (sizeof words / sizeof words[0])];
                at -= at % 4;
                for (size_t b = 0; b < 4 && at + b < bytes.size(); b++) bytes[at + b] = static_cast<char>(w >> (8 * b));
            }
        }
        writeFile("fuzz.dat", bytes);
        CacheSnapshot before = CacheSnapshot::take();
        RegCacheRec* top = regdReadRegistryDatabase("fuzz.dat", 0);
        if (top == nullptr) {
            ASSERT_TRUE(CacheSnapshot::take() == before) << "round " << round;
            continue;
        }
        accepted++;
        uint32_t reached = countTree(top);
        ASSERT_EQ(g_nEntries, before.nEntries + reached) << "round " << round;
        ASSERT_EQ(regdRegDeleteKey(top), 0u);
        ASSERT_TRUE(CacheSnapshot::take() == before) << "round " << round;
    }
    EXPECT_GT(accepted, 0);  // some damage (to data bytes) leaves a valid file
}

}  // namespace
