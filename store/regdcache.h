// The registry cache: one record per key or value in a growable slot table,
// the handle model, path lookup, insertion, deletion, values, enumeration and
// the predefined roots. Changes are made under regdWriteMutex by the callers
// unless a function says it takes the lock itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

// Predefined handles, as the root records carry them. 0x80000004 has no
// root and is taken as a slot number like every other value.
constexpr uint32_t REGD_HKEY_CLASSES_ROOT = 0x80000000u;
constexpr uint32_t REGD_HKEY_CURRENT_USER = 0x80000001u;
constexpr uint32_t REGD_HKEY_LOCAL_MACHINE = 0x80000002u;
constexpr uint32_t REGD_HKEY_USERS = 0x80000003u;
constexpr uint32_t REGD_HKEY_CURRENT_CONFIG = 0x80000005u;
constexpr uint32_t REGD_HKEY_DYN_DATA = 0x80000006u;
constexpr int REGD_NUM_ROOTS = 6;


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

// Change filters the store reports (the Win32 notification bits), and the
// report of a key that is gone.
constexpr uint32_t REGD_NOTIFY_CHANGE_NAME = 1;      // a sub-key created or deleted
constexpr uint32_t REGD_NOTIFY_CHANGE_LAST_SET = 4;  // a value set or deleted
constexpr uint32_t REGD_CHANGE_KEY_DELETED = 0x80000000u;

struct RegFileTime {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
};

// Laid out for size (a large file holds millions): the narrow fields share
// one word, and no field needs padding.
struct RegCacheRec {
    uint32_t hKey;       // equals slot, except for the six roots
    uint32_t slot;
    uint32_t nameLen;
    uint32_t classLen;
    char* name;          // "" names a key's default value
    char* className;     // absent when the key has no class
    uint8_t* data;
    uint32_t dataSize;
    RegFileTime lastWriteTime;
    uint32_t valueType;
    int32_t packIndex;   // writer scratch
    uint32_t options;
    int32_t order;       // rises along the sibling list: decides "first" among index matches
    uint16_t kind;       // REGD_KIND_KEY or REGD_KIND_VALUE
    uint8_t isShadow;    // value standing for a same-named sub-key's default
    int8_t packState;    // writer scratch
    RegCacheRec* parent;
    RegCacheRec* firstChild;
    RegCacheRec* next;
    RegCacheRec* prev;
    RegCacheRec* lastChild;  // so that tail insertion needs no walk
};

// Number of live records.
extern uint32_t g_nEntries;
// Change counter: every change adds 1, a full save sets it to 0. Read by
// the flush thread while the RPC thread changes it.
extern std::atomic<uint32_t> g_dirty;

// Guards every change of the registry cache and every database file write.
extern std::shared_mutex regdWriteMutex;

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

// The first child of HKEY_USERS named exactly `userName`, or null.
RegCacheRec* regdFindUserKey(const char* userName);

// Adds 1 to g_dirty.
void regdSetDirtyFlag();

// Frees every record, the table, both lists and resets the counters, so
// that the cache can be built again from nothing.
void regdDiscardCache();

// Called with the changed key and a REGD_NOTIFY_* filter at every change
// (the parent for a created or deleted sub-key, the key for a value), and
// with REGD_CHANGE_KEY_DELETED for each key just before it goes. Runs under
// regdWriteMutex; null (the default) reports nothing.
using RegdChangeHook = void (*)(const RegCacheRec* key, uint32_t filter);
void regdSetChangeHook(RegdChangeHook hook);

// ---- Path resolution ----

// The record below `start` that `path` names (backslash-separated,
// case-insensitive, `wantKind` for the last step); `start` for a null path.
RegCacheRec* regdFindSubKey(RegCacheRec* start, const char* path, uint32_t wantKind);

// Opens `subKey` below `hKey`: 0 with the key's handle in *phkResult, or 2
// with 0 there. `options` and `reserved` are not used.
uint32_t regdRegOpenKey(const RegdCaller& caller, uint32_t hKey, const char* subKey, uint32_t options, uint32_t reserved,
                        uint32_t* phkResult, uint32_t forcedHandle);

// ---- Insertion and deletion ----

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
// the deleted-handle list until closed: 0, or 2 for null.
uint32_t regdRegDeleteKey(RegCacheRec* rec);

// Removes one value record without leaving a deleted-handle entry.
void regdRemoveValueRec(RegCacheRec* rec);

// 0 when `hKey` was on the deleted-handle list (one entry removed), else 2.
uint32_t regdRegCloseKey(uint32_t hKey);

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
