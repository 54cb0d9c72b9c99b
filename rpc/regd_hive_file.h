// Hive files named by clients. A relative name is a file of the registry
// directory (the working directory) and is used with the daemon's own
// permissions; an absolute name is used with the caller's: a short-lived
// child process with the caller's uid, gid and groups does the file work
// (temporary file, fsync and rename included) and talks to the daemon over
// a pipe. The daemon's own files are never a target, whatever the name.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "rpc/regd_policy.h"

// What became of one file operation.
struct RegdHiveIo {
    int32_t refused = 0;  // the file is one of the daemon's own
    int32_t err = 0;      // errno of a failure, 0 for success
    int32_t existed = 0;  // a write that may not replace found the file
    int32_t missing = 0;  // the file (or, for a write, the old file) did not exist
};

// 0 or 5 (logged): may `who` name the file `name` in a hive procedure at
// all? Remote callers may not; a relative name may not hold a ".."
// component or name one of the daemon's own files; an absolute name needs
// a caller whose permissions the daemon can take on.
uint32_t regdCheckHiveName(const RegdIdentity& who, const char* name);

// Reads the whole file into *bytes with the permissions the name calls for.
RegdHiveIo regdReadHiveFile(const RegdIdentity& who, const char* name, std::vector<uint8_t>* bytes);

// Writes `bytes` as the file crash-safely (a new file gets mode 0600); an
// existing file is replaced only when `replace`.
RegdHiveIo regdWriteHiveFile(const RegdIdentity& who, const char* name, std::span<const uint8_t> bytes,
                             bool replace);
