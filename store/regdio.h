// The registry database file: its layout, the reader that builds cache
// records from a file, and the writer that stages records and writes them.
// The main file "kalvo_reg.dat", each user's "kalvo_<user>.dat" and the hive
// files of clients all share this one format.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "store/regdcache.h"

// ---- File layout (all integers 32-bit little-endian, no padding) ----

constexpr uint32_t REGD_MAGIC = 0xDEADFACEu;

// Record types of a FileTypeRec.
constexpr int32_t REGD_REC_HEADER = 1;  // payload: a HeaderRec, size field 8
constexpr int32_t REGD_REC_NODE = 3;    // payload: one key or value
constexpr int32_t REGD_REC_SKIP = 4;    // no payload is read

constexpr uint32_t REGD_DB_VERSION = 20300;      // this format
constexpr uint32_t REGD_DB_VERSION_OLD = 10000;  // roots laid out the old way

// A key or value payload holds Ln + Lc + Ld + 44 bytes; its size field says
// Ln + Lc + Ld + 40 (the reader never looks at it).
constexpr uint32_t REGD_NODE_FIXED_BYTES = 44;
constexpr uint32_t REGD_NODE_SIZE_FIELD_BASE = 40;
constexpr uint32_t REGD_FILE_TYPE_REC_BYTES = 8;
constexpr uint32_t REGD_HEADER_REC_BYTES = 8;
// Smallest room a key or value can take in a file, head included.
constexpr uint32_t REGD_MIN_NODE_BYTES = REGD_FILE_TYPE_REC_BYTES + REGD_NODE_FIXED_BYTES;

// Bit 31 of the kind word: the record is not a shadow value.
constexpr uint32_t REGD_KIND_NOT_SHADOW = 0x80000000u;
constexpr uint32_t REGD_KIND_MASK = 0x7FFFFFFFu;

// The empty name (a key's default value) as it is stored.
constexpr const char* REGD_EMPTY_NAME = "+regdEmpty+";
constexpr uint32_t REGD_EMPTY_NAME_LEN = 11;

constexpr int32_t REGD_NO_LINK = -1;

constexpr const char* REGD_DB_BACKUP_FILE = "kalvo_reg.dat.bak";

// The writer's result for any problem with the file itself.
constexpr uint32_t REGD_WRITE_FILE_ERROR = 0xFFFFFFFFu;

struct FileTypeRec {
    int32_t type;
    uint32_t size;
};

struct HeaderRec {
    uint32_t version;
    uint32_t count;  // number of key and value records in the file
};

// ---- Reader ----

// Reads the hive file `fileName` and links its top key as the first child
// of `parent`, renamed to `newName` when given, in place of `replaced` (when
// given, deleted): 0, or 2 when the file cannot be read (nothing changes).
// Caller holds regdWriteMutex.
uint32_t regdLoadHive(RegCacheRec* parent, const char* fileName, const char* newName, RegCacheRec* replaced);

// The same for a hive's bytes already read (`label` names them in the
// log): the top record of a tree not yet linked, or null.
RegCacheRec* regdReadHiveBytes(std::span<const uint8_t> bytes, const char* label);

// Links a tree read by one of the readers (`top`; null gives 2) as
// regdLoadHive does. Caller holds regdWriteMutex.
uint32_t regdAttachHive(RegCacheRec* parent, RegCacheRec* top, const char* newName, RegCacheRec* replaced);

// Makes sure `caller` (a local one) has a key under HKEY_USERS, reading it
// from the user's own file first. Takes regdWriteMutex.
void regdLoadUserData(const RegdCaller& caller);

// Start-up loading: the main file, else its backup, else an empty registry.
// 1 when the cache is usable, 0 when even the empty registry cannot be
// built, REGD_LOAD_STOPPED when the load-progress hook stopped it (the
// cache is then empty: nothing read may be written). *mainFileUsed (when
// given) tells whether the main file (or its absence) gave the registry:
// only then may it be copied over the backup.
constexpr int REGD_LOAD_STOPPED = 2;
int regdLoadRegistry(bool* mainFileUsed = nullptr);

// Called by regdLoadRegistry after each record it reads from the main file
// or the backup, with the number read so far from that file; false stops
// the load. Runs on the loading thread without any lock held; null (the
// default) never stops it. Hive and per-user loads do not call it.
using RegdLoadProgressHook = bool (*)(uint64_t recordsRead);
void regdSetLoadProgressHook(RegdLoadProgressHook hook);

// The file that holds the key of user `userName`: "kalvo_" + name + ".dat",
// every byte outside A-Z a-z 0-9 . _ - written as "%" and two upper-case hex
// digits, so that no name can reach outside the registry directory. Two
// exceptions keep every name to a file of its own: the name "reg" (whose
// plain form is the main file) has its first letter escaped as well, and a
// name whose file name would be too long for the file system keeps a prefix
// followed by "~" and a hash of the whole name.
std::string regdUserFileName(const char* userName);

// ---- Writer ----

// The full save: each local user's key to its own file, everything else to
// "kalvo_reg.dat". Takes regdWriteMutex; sets g_dirty to 0 whatever happens.
void regdWriteEntireRegistryDatabase();

// Writes the whole registry (hKey 0) or the sub-tree of the key hKey
// resolves to: 0, 8 (no memory to stage), 2 (no such key) or
// REGD_WRITE_FILE_ERROR. overwrite 0 refuses an existing file for a
// sub-tree. The file is replaced whole or not at all. Caller holds
// regdWriteMutex.
uint32_t regdWriteRegistryDatabase(const RegdCaller& caller, uint32_t hKey, const char* fileName,
                                   uint32_t overwrite);

// The same for a sub-tree given by its record, for callers that have the
// record (a key named like a root carries that root's handle, so its handle
// would name the wrong tree).
uint32_t regdWriteSubTreeDatabase(RegCacheRec* top, const char* fileName, uint32_t overwrite);

// A database file's bytes for the sub-tree of `top` (null: the whole
// registry) in *bytes, for a file written elsewhere: 0 or 8. Caller holds
// regdWriteMutex (shared is enough: only the writer's scratch fields change).
uint32_t regdSerializeDatabase(RegCacheRec* top, std::vector<uint8_t>* bytes);

// Marks every record as not yet written, so that a whole save writes all.
void regdResetPackState();
