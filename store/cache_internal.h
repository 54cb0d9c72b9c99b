// Store-internal: the slot table with its free-slot stack, and the tree
// helpers that the cache, the database file code and the seeding share.
// Only store/ (and the store's own tests) include this.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "store/regdcache.h"

// The "no slot" answer of regdFindNextFreeCacheRec.
constexpr uint32_t REGD_NO_SLOT = 0xFFFFFFFFu;

// Any kind, for regdChildNamed.
constexpr uint32_t REGD_ANY_KIND = 0xFFFFFFFFu;

// Writer scratch state of a record not yet written in the current save.
constexpr int8_t REGD_PACK_PENDING = -2;
constexpr int8_t REGD_PACK_DONE = -1;

extern RegCacheRec** regCacheTable;
extern uint32_t g_nCacheSlots;
extern std::vector<uint32_t> freeCacheNode;    // free-slot stack, top at the back
extern std::deque<uint32_t> deletedNodeList;  // deleted handles, newest at the back
// The deleted-handle list keeps at most this many entries, dropping the
// oldest: no client can grow it without bound.
constexpr size_t REGD_MAX_DELETED_HANDLES = 1000000;
extern size_t g_maxDeletedHandles;  // REGD_MAX_DELETED_HANDLES; lowered by tests
extern RegdChangeHook g_regdChangeHook;

// The root names in slot order (slot i holds root i).
extern const char* const regdRootNames[REGD_NUM_ROOTS];

// The record in `slot`, or null for an empty or out-of-range slot.
inline RegCacheRec* regdSlotRecord(uint32_t slot) {
    return slot < g_nCacheSlots ? regCacheTable[slot] : nullptr;
}

// Tells the change hook, if one is installed.
inline void regdReportChange(const RegCacheRec* key, uint32_t filter) {
    if (g_regdChangeHook != nullptr) [[unlikely]]
        g_regdChangeHook(key, filter);
}

// Pops the top free slot into `slot`, growing the table by 1000 slots when
// the stack is empty; REGD_NO_SLOT when growth fails.
void regdFindNextFreeCacheRec(uint32_t& slot);

// Pushes the slots from `from` to `to` inclusive, `to` ending on top;
// returns `to`.
uint32_t regdAddFreeNode(int32_t from, uint32_t to);

// Grows the table by (n / 1000) * 1000 + 1000 slots, lowest new slot on top
// of the free stack; the table, or null (table unchanged) on failure.
RegCacheRec** regdReallocateCache(int32_t n);

// A new record named `name` of `kind`, linked under `parent` (at the head,
// or at the tail for the empty name). Null when no slot or memory can be had.
RegCacheRec* regdCreateNewCacheRec(RegCacheRec* parent, const char* name, uint32_t kind = REGD_KIND_KEY,
                                   uint32_t isShadow = 0);

// To be called after the kind or shadow flag of a linked record changed.
void regdChildKindChanged(const RegCacheRec* rec);

// The records read from one file, side by side in one allocation, with
// their names, classes and data in one byte area: a large file costs a few
// allocations instead of several per record. The block goes when the last
// of its records does. Records do not point to their block: it is found by
// address among the few blocks the cache holds.
struct RegdRecBlock {
    RegCacheRec* recs;
    size_t recsBytes;
    char* bytes;
    size_t nBytes;
    size_t live;  // records of the block still in use
};

// A zero-filled area of `bytes` for the bulk of a large file's records:
// one of several megabytes is mapped in huge pages where the system allows,
// so that filling it costs a few page faults instead of one per 4 KiB.
// Null when no memory can be had.
void* regdBigAlloc(size_t bytes);
void regdBigFree(void* p, size_t bytes);
// The same for an area already allocated (huge pages where it spans them).
void regdAdviseHugePages(void* p, size_t bytes);

// Hands a block whose records are now in the cache to the cache.
void regdAdoptBlock(RegdRecBlock* b);

// Frees a block and all it holds.
void regdFreeBlock(RegdRecBlock* b);

// Frees `p`, a name, class or data buffer of `rec`, unless it lies in the
// byte area of the block holding the record.
void regdFreeOwned(const RegCacheRec* rec, void* p);

// Frees a record's name, class and data (not the record), leaving them empty.
void regdFreeRecordContents(RegCacheRec* rec);

// Frees the record itself (its contents already freed), or gives it back
// to its block.
void regdFreeRecord(RegCacheRec* rec);

// A record's name, "" when it has none.
inline const char* regdNameOf(const RegCacheRec* rec) { return rec->name != nullptr ? rec->name : ""; }

// First child of `parent` named exactly `name` (case-sensitive) of `kind`
// (REGD_ANY_KIND: any); null when there is none or `parent` is null.
RegCacheRec* regdChildNamed(const RegCacheRec* parent, const char* name, uint32_t kind = REGD_ANY_KIND);

// Links an unlinked `child` under `parent`, at the head or at the tail.
void regdLinkChild(RegCacheRec* parent, RegCacheRec* child, bool atTail);

// Takes `rec` out of its parent's child list (its parent link stays).
void regdUnlinkChild(RegCacheRec* rec);

// For the records a file read brings in (those of `recs[0..n)` not left
// at REGD_NO_SLOT): gives each child its order number, each parent its
// lastChild, and enters every linked one in the name index.
void regdIndexRecords(RegCacheRec* recs, size_t n);

// The handle a record read into `slot` carries: a record named like one of
// the six roots (exactly, wherever it stands) gets that root's handle, any
// other its slot number.
uint32_t regdHandleForName(const char* name, uint32_t slot);

// Steps enumeration walks from its cursor or the head before it lists a
// key's children in order (kept from then on); tests lower it to 0.
constexpr uint32_t REGD_ENUM_SHORT_WALK = 64;
extern uint32_t g_enumShortWalk;

// Levels of keys below a root that creation allows (Win32's 512; beyond:
// 87). Files may hold deeper trees, which are read and written as they are;
// tests of those raise it to build them.
constexpr size_t REGD_MAX_KEY_DEPTH = 512;
extern size_t g_maxKeyDepth;

// Users whose key (a child of HKEY_USERS) changed since its own file was
// last written: only theirs are rewritten by a full save.
// Notes a change of `rec` (or of its children) for the user it lies under.
void regdTouchUser(const RegCacheRec* rec);
bool regdUserDirty(const RegCacheRec* userKey);
void regdSetUserClean(const RegCacheRec* userKey);
// After a full save has had every user's file written.
void regdSetAllUsersClean();

// Header version of the main file last read.
extern uint32_t g_version;
// The old-format migration has run (it runs once, after the first read).
extern int registryDatabaseFixed;

// Reads a database file into new cache records, all at once or not at all.
// The file's top record (for the main file: the root in slot 0) comes back
// unlinked from the tree; null when the file is missing, unreadable or
// corrupt, and the cache is then as before the call. isMain 1: a missing
// file builds the empty registry, and the file must hold the six roots as
// its first records. Takes no lock.
RegCacheRec* regdReadRegistryDatabase(const char* fileName, uint32_t isMain);
