// Log writer, registry directory, file copy, key-path trimming and the
// placeholder text of empty reply fields.
#pragma once

#include <cstddef>

constexpr const char* REGD_LOG_FILE = "kalvo_reg.log";
constexpr const char* REGD_DB_FILE = "kalvo_reg.dat";
constexpr const char* REGD_PID_FILE = "kalvo_reg.pid";
constexpr const char* REGD_DEFAULT_BASE = "/var/adm";
constexpr const char* REGD_PLACEHOLDER = "ZORP+IS+COOL";
constexpr int REGD_LOG_LINE_WIDTH = 80;

// Writes one fixed-width line (80 characters and a newline) to the circular
// log "kalvo_reg.log" in the working directory, opening it on first use and
// falling back to standard error. Conversions: %d %X %f %s; any other "%x"
// pair, or a trailing "%", is written as it stands. Serialised across
// threads; after regdCloseLog every later message is dropped.
void writeToLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Closes the log stream for good (shutdown).
void regdCloseLog();

// Forgets the log state so that a test can start a fresh log in-process.
void regdResetLogForTest();

// The registry subdirectory name: "kalvo" under exactly "/var/adm", else
// ".kalvo.<hostname>" (".kalvo" if the host name is unavailable). Computed
// once; callers do not free it.
const char* getKalvoSubDir();

// Strips trailing slashes from base (never its first character), records it
// in g_kalvoDir, enters it, creates the registry subdirectory with the
// migration of older layouts, and enters that. 1 on success, 0 when the
// subdirectory cannot be examined or created.
int createKalvoDir(const char* base);

// Copies file `from` to `to`; `to` is replaced atomically (temporary file,
// fsync, rename), so a crash leaves the old or the new copy whole. 1 on
// success, 0 when either file cannot be opened or written.
int copyFile(const char* from, const char* to);

// Writes `len` bytes to `path` crash-safely: the old file or the new one is
// whole at every instant. 1 on success, 0 on failure (the old file stays).
int regdWriteFileAtomic(const char* path, const void* data, size_t len);

// Heap copy of a key path without trailing blanks and '=' characters (never
// removing the first character); null for null. Ends the daemon with status
// 2 when memory runs out.
char* fixlpSubKey(const char* subKey);

// Stores a fresh heap copy of "ZORP+IS+COOL" into *slot.
void dummyString(char** slot);

// Heap copy that never returns null: ends the daemon with a message and
// status 2 when memory runs out.
char* regdStrdupOrDie(const char* s);

// Ends the daemon with a message and status 2; used when memory runs out.
[[noreturn]] void regdOutOfMemory();
