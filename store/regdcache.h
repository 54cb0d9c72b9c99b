// The registry cache: one record per key or value in a growable slot table,
// the handle model, path lookup, insertion, deletion, values, enumeration and
// the predefined roots. Changes are made under regdWriteMutex by the callers
// unless a function says it takes the lock itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

// Predefined handles, as the root records carry them. 0x80000004 has no
// root and is taken as a slot number like every other value.
constexpr uint32_t REGD_HKEY_CLASSES_ROOT = 0x80000000u;
constexpr uint32_t REGD_HKEY_CURRENT_USER = 0x80000001u;
constexpr uint32_t REGD_HKEY_LOCAL_MACHINE = 0x80000002u;
constexpr uint32_t REGD_HKEY_USERS = 0x80000003u;
constexpr uint32_t REGD_HKEY_CURRENT_CONFIG = 0x80000005u;
constexpr uint32_t REGD_HKEY_DYN_DATA = 0x80000006u;
constexpr int REGD_NUM_ROOTS = 6;

// Slot number of a record set up by preallocation but not yet taken; also
// the "no slot" answer of regdFindNextFreeCacheRec.
constexpr uint32_t REGD_NO_SLOT = 0xFFFFFFFFu;

constexpr uint32_t REGD_KIND_KEY = 0;
constexpr uint32_t REGD_KIND_VALUE = 1;

// Win32 status numbers the store produces.
constexpr uint32_t REGD_ERROR_SUCCESS = 0;
constexpr uint32_t REGD_ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t REGD_ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t REGD_ERROR_INVALID_PARAMETER = 87;
constexpr uint32_t REGD_ERROR_MORE_DATA = 234;
constexpr uint32_t REGD_ERROR_NO_MORE_ITEMS = 259;
constexpr uint32_t REGD_ERROR_NOT_ENOUGH_SERVER_MEMORY = 1130;

// Value types stored with a terminating NUL.
constexpr uint32_t REGD_REG_SZ = 1;
constexpr uint32_t REGD_REG_EXPAND_SZ = 2;

// Key option: never written to a database file.
constexpr uint32_t REGD_OPTION_VOLATILE = 1;

// Writer scratch state of a record not yet written in the current save.
constexpr int32_t REGD_PACK_PENDING = -2;
constexpr int32_t REGD_PACK_DONE = -1;

struct RegFileTime {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
};

// A change-notification entry. The store never makes one; it only frees
// any it finds on a record that goes away.
struct RegNotifyEntry {
    RegNotifyEntry* next;
};

struct RegCacheRec {
    uint32_t hKey;       // equals slot, except for the six roots
    uint32_t slot;       // REGD_NO_SLOT while preallocated and not yet taken
    uint32_t kind;       // REGD_KIND_KEY or REGD_KIND_VALUE
    uint32_t nameLen;
    char* name;          // "" names a key's default value
    uint32_t classLen;
    char* className;     // absent when the key has no class
    uint32_t dataSize;
    uint8_t* data;
    RegFileTime lastWriteTime;
    uint32_t valueType;
    uint32_t isShadow;   // value standing for a same-named sub-key's default
    int32_t packIndex;
    int32_t packState;
    uint32_t options;
    RegCacheRec* parent;
    RegCacheRec* firstChild;
    RegCacheRec* next;
    RegCacheRec* prev;
    RegNotifyEntry* notifyList;
};

struct FreeCacheNode {
    uint32_t slot;
    FreeCacheNode* next;
};

struct DeletedNode {
    uint32_t hKey;
    DeletedNode* next;
};

extern RegCacheRec** regCacheTable;
extern uint32_t g_nCacheSlots;
extern uint32_t g_nEntries;
extern FreeCacheNode* freeCacheNode;     // top of the free-slot stack
extern DeletedNode* deletedNodeList;     // newest first
// Change counter: every change adds 1, a full save sets it to 0. Read by
// the flush thread while the RPC thread changes it.
extern std::atomic<uint32_t> g_dirty;

// Guards every change of the registry cache and every database file write.
extern std::mutex regdWriteMutex;

// The caller being served, taken from its request header. Only the
// resolution of HKEY_CURRENT_USER (and what builds on it) depends on it.
constexpr int REGD_USER_NAME_SIZE = 32;
struct RegdCaller {
    char userName[REGD_USER_NAME_SIZE];  // NUL-terminated, cut to 31 bytes
    uint32_t userId;
    uint32_t hostId;
};

// ---- Slot table and handles ----

// The record `hKey` names for `caller`, or null.
RegCacheRec* regdFindHKey(const RegdCaller& caller, uint32_t hKey);

// Pops the top free slot into `slot`, growing the table by 2000 slots when
// the stack is empty; REGD_NO_SLOT when growth fails.
void regdFindNextFreeCacheRec(uint32_t& slot);

// Pushes the slots from `from` to `to` inclusive, `to` ending on top;
// returns `to`.
uint32_t regdAddFreeNode(int32_t from, uint32_t to);

// Puts a zero-filled record with slot REGD_NO_SLOT into each of the first n
// slots of the free stack (top first) without popping them, writing their
// numbers to `slots`; returns how many were made.
int32_t regdPreallocateFreeRec(int32_t n, uint32_t* slots);

// Grows the table by (n / 1000) * 1000 + 1000 slots, lowest new slot on top
// of the free stack; the table, or null (table unchanged) on failure.
RegCacheRec** regdReallocateCache(int32_t n);

// Adds 1 to g_dirty.
void regdSetDirtyFlag();

// Frees a record's name, class, data and notification entries (not the
// record itself), leaving those fields empty.
void regdFreeRecordContents(RegCacheRec* rec);

// Frees every record, the table, both lists and resets the counters, so
// that the cache can be built again from nothing.
void regdDiscardCache();

// ---- Path resolution ----

// The record below `start` that `path` names (backslash-separated,
// case-insensitive, `wantKind` for the last step); `start` for a null path.
RegCacheRec* regdFindSubKey(RegCacheRec* start, const char* path, uint32_t wantKind);

// Opens `subKey` below `hKey`: 0 with the key's handle in *phkResult, or 2
// with 0 there. `options` and `reserved` are not used.
uint32_t regdRegOpenKey(const RegdCaller& caller, uint32_t hKey, const char* subKey, uint32_t options, uint32_t reserved,
                        uint32_t* phkResult, uint32_t forcedHandle);

// ---- Insertion and deletion ----

// A new record named `name`, linked under `parent` (at the head, or at the
// tail for the empty name); `kind` is left to the caller. Null when no slot
// or memory can be had.
RegCacheRec* regdCreateNewCacheRec(RegCacheRec* parent, const char* name);

// Creates every missing key of `subKey` below `hKey` (runs of backslashes
// are one separator) and gives the last one `lpClass` (when present) and
// `options`: 0 with its handle in *phkResult, or 2. Unused: reserved,
// samDesired, securityAttributes, dispositionOut.
uint32_t regdInsertKey(const RegdCaller& caller, uint32_t hKey, const char* subKey, uint32_t reserved, const char* lpClass,
                       uint32_t options, uint32_t samDesired, const void* securityAttributes,
                       uint32_t* phkResult, uint32_t* dispositionOut, uint32_t forcedHandle);

// The value `name` of `key`, created when missing (as a shadow value beside
// a same-named sub-key); null when `key` is null or creation fails.
RegCacheRec* regdInsertValueKey(RegCacheRec* key, const char* name);

// Removes `rec` and everything below it, leaving each removed handle on
// deletedNodeList: 0, or 2 for null.
uint32_t regdRegDeleteKey(RegCacheRec* rec);

// Removes one value record without leaving a deleted-handle entry.
void regdRemoveValueRec(RegCacheRec* rec);

// 0 when `hKey` was on deletedNodeList (one entry removed), else 2.
uint32_t regdRegCloseKey(uint32_t hKey);

// Change hooks: nothing registers for notification, so they do nothing.
void regdNotifySelfAndAncestors(RegCacheRec* rec, uint32_t filter);
void regdCheckNotifyList(RegCacheRec* rec, uint32_t filter);
void regdCleanNotifiesInCache();
uint32_t regdRegNotifyChangeKeyValue(uint32_t hKey, int32_t watchSubtree, uint32_t filter,
                                     uint32_t hEvent, int32_t asynchronous);
uint32_t regdGetPidFromEventHandle(uint32_t hEvent);

// ---- Values and enumeration ----

// Reads a value (see the query rules: a value, else a sub-key's default
// value, else the key itself): 0, 2 or 234. *lpcbData is the capacity of
// lpData on entry and the value's size on return; nothing is written past
// the capacity.
uint32_t regdRegQueryValue(const RegdCaller& caller, uint32_t hKey, const char* name, uint32_t reserved, uint32_t* lpType,
                           uint8_t* lpData, uint32_t* lpcbData);

// Writes a value, taking regdWriteMutex itself: 0 or 2 (87 for null data
// with a non-zero size). subKeyForm 1: a non-empty name is a sub-key,
// created if missing, whose default value is set. lpData holds cbData bytes.
uint32_t regdRegSetValue(const RegdCaller& caller, uint32_t hKey, const char* name, uint32_t reserved, uint32_t dwType,
                         const uint8_t* lpData, uint32_t cbData, uint32_t subKeyForm);

// How set-value's short form creates or opens its sub-key for `caller`:
// 0 with the handle, or an error. The default opens, then inserts under
// regdWriteMutex; the procedures install one that runs create-key.
using RegdSubKeyCreator = uint32_t (*)(const RegdCaller& caller, uint32_t hKey, const char* subKey,
                                       uint32_t* phkResult);
extern RegdSubKeyCreator g_regdSubKeyCreator;
uint32_t regdCreateSubKeyDirect(const RegdCaller& caller, uint32_t hKey, const char* subKey,
                                uint32_t* phkResult);

// The index-th sub-key of `hKey`, newest first: 0, 2, 234 (class cut) or
// 259. A buffer is absent when its reference or the pointer it holds is
// null; allocation mode stores a new copy the caller frees.
uint32_t regdRegEnumKey(const RegdCaller& caller, uint32_t hKey, uint32_t index, char** lpName, uint32_t* lpcbName,
                        uint32_t reserved, char** lpClass, uint32_t* lpcbClass,
                        RegFileTime* lpftLastWriteTime, uint32_t nameMax, uint32_t allocate);

// The index-th value of `hKey` (shadow values skipped): 0, 2 or 259. Data
// that does not fit *lpcbData is not copied; *lpcbData gets its full size.
uint32_t regdRegEnumValue(const RegdCaller& caller, uint32_t hKey, uint32_t index, char** lpName, uint32_t* lpcbName,
                          uint32_t reserved, uint32_t* lpType, uint8_t** lpData,
                          uint32_t* lpcbData, uint32_t allocate);

// Counts and maxima of a key's direct children, as enumerating every index
// in allocation mode would give them.
struct RegKeyCounts {
    uint32_t cSubKeys;
    uint32_t cbMaxSubKeyLen;
    uint32_t cbMaxClassLen;
    uint32_t cValues;
    uint32_t cbMaxValueNameLen;
    uint32_t cbMaxValueLen;
};
void regdCountChildren(const RegCacheRec* key, RegKeyCounts* counts);

// ---- Roots ----

// Builds the empty registry (six roots, five seeded keys): 1, or 0 when
// the table cannot be made. Does nothing and returns 1 if a table exists.
int regdInitCache();
