// Shared pieces of the database file tests: a scratch registry directory,
// a byte builder for files laid out by hand, and a snapshot of the cache
// that tells whether a failed read left it exactly as it was.
#pragma once

#include <cstdint>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <vector>

#include "store/cache_internal.h"
#include "store/regdcache.h"

namespace iotest {

constexpr uint32_t HKLM = REGD_HKEY_LOCAL_MACHINE;
constexpr uint32_t HKU = REGD_HKEY_USERS;
constexpr uint32_t KEY = 0x80000000u;  // kind word of a key that is not a shadow

// The caller every store call of a test is made for; cleared per test.
extern RegdCaller testCaller;
// Makes the test's caller `user` on host `hostId` (default: this host).
void setCaller(const char* user, uint32_t hostId = 0);

// Builds file bytes field by field, little-endian.
struct Bytes {
    std::string b;
    Bytes& u32(uint32_t v);
    Bytes& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    Bytes& raw(const std::string& s) {
        b += s;
        return *this;
    }
    Bytes& magic() { return u32(0xDEADFACEu); }
    Bytes& header(uint32_t count, uint32_t version = 20300) { return u32(1).u32(8).u32(version).u32(count); }
    // A type-3 record laid out field by field; links are file indices.
    Bytes& node(uint32_t kindWord, const std::string& name, const std::string& cls, const std::string& data,
                uint32_t type, int32_t parent, int32_t firstChild, int32_t next, int32_t prev);
    // The six root keys of a main file, with their first children.
    Bytes& roots(std::initializer_list<int32_t> firstChildren);
    // A key record (not a shadow), no class or data.
    Bytes& key(const std::string& name, int32_t parent, int32_t firstChild, int32_t next, int32_t prev) {
        return node(KEY, name, "", "", 0, parent, firstChild, next, prev);
    }
};

// The hive of key App by hand: App (class "cls") with, in list order, key
// Sub, value N (REG_DWORD 42) and the default value "hi".
std::string appHiveByHand();

// A fresh directory as the working directory, an empty cache and reader
// state, and a log of its own in that directory.
class IoTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::string dir_;
    std::string oldCwd_;
};

// The same with the cache set up (the six roots and their keys).
class CacheTest : public IoTest {
  protected:
    void SetUp() override {
        IoTest::SetUp();
        ASSERT_EQ(regdInitCache(), 1);
    }
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
std::string logText();
size_t countOf(const std::string& text, const std::string& what);
// Slots holding a record.
uint32_t liveSlots();

// Creates `path` below `parent` and returns its handle (0 on failure).
uint32_t mkKey(uint32_t parent, const char* path, const char* cls = nullptr, uint32_t options = 0);
// Sets a value; name null for the default value.
uint32_t setValue(uint32_t key, const char* name, uint32_t type, const std::string& data);
// The record a handle and path lead to (kind 0 for keys, 1 for values).
RegCacheRec* rec(uint32_t handle, const char* path = nullptr, uint32_t kind = 0);
// Names of the direct children in list order.
std::vector<std::string> childNames(const RegCacheRec* key);

// Everything a read may touch: counters, each slot's record and its
// contents and links, and the set of free slots.
struct CacheSnapshot {
    uint32_t nEntries = 0;
    uint32_t nSlots = 0;
    std::vector<std::string> slots;      // per slot: "" when empty, else a description
    std::vector<uint32_t> freeSlots;     // sorted
    static CacheSnapshot take();
    bool operator==(const CacheSnapshot&) const = default;
};

// Describes a sub-tree (names, kinds, classes, data, types, handles of
// root-named keys), child lists in order; for comparing trees.
std::string describeTree(const RegCacheRec* top);

}  // namespace iotest
