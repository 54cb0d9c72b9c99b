// The registry database file: its layout, the reader that builds cache
// records from a file, and the writer that stages records and writes them.
// The main file "kalvo_reg.dat", each user's "kalvo_<user>.dat" and the hive
// files of clients all share this one format.
#pragma once

#include <cstdint>
#include <string>

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

// The staging form of one key or value record. The whole write runs under
// regdWriteMutex, so nothing can change the records while they are staged:
// the name, class and data point into the cache record instead of being
// copied a second time.
struct PackedRec {
    uint32_t size;      // the FileTypeRec size field
    uint32_t kindWord;
    uint32_t nameLen;
    const char* name;
    uint32_t classLen;
    const char* className;
    uint32_t dataLen;
    const uint8_t* data;
    uint32_t valueType;
    RegFileTime lastWriteTime;
    int32_t parent;
    int32_t firstChild;
    int32_t prevSibling;
    int32_t nextSibling;
};

// ---- Reader state ----

extern uint32_t g_magicNumber;        // magic of the last file read or written
extern uint32_t g_version;            // header version of the main file read
extern int registryDatabaseFixed;     // the old-format migration has run

// ---- Reader ----

// Reads a database file into new cache records. The file's top record (for
// the main file: the root in slot 0) comes back unlinked from the tree; null
// when the file is missing, unreadable or corrupt, and the cache is then as
// before the call. isMain 1: a missing file builds the empty registry, and
// the file must hold the six roots as its first records. Takes no lock.
RegCacheRec* regdReadRegistryDatabase(const char* fileName, uint32_t isMain);

// The handle a record read into `slot` carries: a record named like one of
// the six roots (exactly, wherever it stands) gets that root's predefined
// handle, any other its slot number.
uint32_t regdHandleForName(const char* name, uint32_t slot);

// Undoes a partial read: frees the records in the n slots of slotMap and
// gives their slots back.
void regdBackOutRead(uint32_t* slotMap, int32_t n);

// Moves the contents of the old root layout (version 10000) to where they
// belong now; nothing for any other version. Takes regdWriteMutex.
void regdFixRegistryCache(uint32_t version);

// Makes sure `caller` (a local one) has a key under HKEY_USERS, reading it
// from the user's own file first. Takes regdWriteMutex.
void regdLoadUserData(const RegdCaller& caller);

// Start-up loading: the main file, else its backup, else an empty registry.
// 1 when the cache is usable, 0 when even the empty registry cannot be
// built. *mainFileUsed (when given) tells whether the main file (or its
// absence) gave the registry: only then may it be copied over the backup.
int regdLoadRegistry(bool* mainFileUsed = nullptr);

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

// Marks every record as not yet written (packState -2).
void regdResetPackState();

// Stages the children of `parent` and everything below them, depth first,
// from index n on; skips volatile keys and records already staged.
void regdPackSubTree(RegCacheRec* parent, PackedRec* table, int32_t& n);

// Fills `entry` from `rec` with all links -1; returns the size field.
uint32_t regdPackFileRecord(RegCacheRec* rec, PackedRec* entry);

// Adds to `count` the record `rec`, its later siblings and everything below
// them all (nothing for null).
void regdCountSubKeys(RegCacheRec* rec, uint32_t& count);
