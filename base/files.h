// Files of the registry directory: the directory itself and the one
// crash-safe way to write a file (a temporary in the same directory, fsync,
// rename, directory fsync), so that a crash at any instant leaves either the
// old or the new file whole.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

constexpr const char* REGD_DB_FILE = "kalvo_reg.dat";
constexpr const char* REGD_PID_FILE = "kalvo_reg.pid";
constexpr const char* REGD_DEFAULT_BASE = "/var/adm";

// Registry data is private to the daemon's user: every file the daemon
// writes is created with REGD_FILE_MODE, the registry directory with
// REGD_DIR_MODE.
constexpr mode_t REGD_FILE_MODE = 0600;
constexpr mode_t REGD_DIR_MODE = 0700;

// The registry subdirectory name: "kalvo" under exactly "/var/adm", else
// ".kalvo.<hostname>" (".kalvo" if the host name is unavailable). Computed
// once; callers do not free it.
const char* getKalvoSubDir();

// Strips trailing slashes from base (never its first character), records it
// as the configuration's kalvoDir, enters it, creates the registry
// subdirectory (REGD_DIR_MODE) with the migration of older layouts, and
// enters that, tightening modes left wider by earlier versions
// (regdTightenRegistryModes). 1 on success, 0 when the subdirectory cannot
// be examined or created.
int createKalvoDir(const char* base);

// Takes group and other permissions away from the working directory and from
// the daemon's own files in it (names beginning "kalvo_", and temporaries
// ".kalvo_*"), where this user owns them. Symbolic links are left alone.
void regdTightenRegistryModes();

// A file being written in place of `path`. Nothing is visible under `path`
// until regdAtomicCommit succeeds.
struct RegdAtomicFile {
    int fd = -1;
    int err = 0;  // first errno met; 0 while all is well
    std::string path;
    std::string tmpPath;  // "." + base name + ".tmp", beside path
    std::string dirPath;
};

// Opens the temporary file (a leftover of a crash is removed first; O_EXCL
// and O_NOFOLLOW refuse anything put in its way). A new file gets newMode
// less the umask; a replaced one keeps its own bits. False with f.err set.
bool regdAtomicOpen(RegdAtomicFile& f, const char* path, mode_t newMode);

// Appends len bytes; false (and f.err) once any write has failed.
bool regdAtomicWrite(RegdAtomicFile& f, const void* data, size_t len);

// fsyncs the temporary, puts it in place of the file and fsyncs the
// directory. replace false refuses an existing file (*existed true). False
// leaves the old file as it was and removes the temporary.
bool regdAtomicCommit(RegdAtomicFile& f, bool replace, bool* existed);

// Drops an unfinished write: the old file stays.
void regdAtomicAbort(RegdAtomicFile& f);

// Writes `len` bytes to `path` crash-safely (a new file gets REGD_FILE_MODE):
// 1, or 0 (the old file stays).
int regdWriteFileAtomic(const char* path, const void* data, size_t len);

// Copies file `from` to `to` crash-safely (a new file gets REGD_FILE_MODE):
// 1, or 0 when either file cannot be opened or written.
int copyFile(const char* from, const char* to);
