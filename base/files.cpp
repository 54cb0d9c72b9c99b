#include "base/files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "base/config.h"
#include "base/log.h"
#include "base/strings.h"

const char* getKalvoSubDir() {
    static char subDir[72];
    if (subDir[0] != '\0') return subDir;
    if (g_config.kalvoDir == REGD_DEFAULT_BASE) {
        snprintf(subDir, sizeof subDir, "kalvo");
        return subDir;
    }
    char host[64];
    if (gethostname(host, sizeof host) == 0) {
        host[sizeof host - 1] = '\0';
        snprintf(subDir, sizeof subDir, ".kalvo.%s", host);
    } else {
        snprintf(subDir, sizeof subDir, ".kalvo");
    }
    return subDir;
}

namespace {

bool pathExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Moves a file, replacing the target, as "mv" would; copies and unlinks when
// the two paths are on different file systems. No shell is involved.
bool moveFile(const std::string& from, const std::string& to) {
    if (rename(from.c_str(), to.c_str()) == 0) return true;
    if (errno != EXDEV) return false;
    if (!copyFile(from.c_str(), to.c_str())) return false;
    return unlink(from.c_str()) == 0;
}

// Moves database files of older directory layouts into the new subdirectory.
void migrateOldLayouts(const char* subDir) {
    std::string newDb = std::string(subDir) + "/" + REGD_DB_FILE;
    if (g_config.registryProg != REGD_DEFAULT_PROG && !pathExists(newDb)) {
        std::string old = std::string("kalvo/") + REGD_DB_FILE;
        if (pathExists(old)) moveFile(old, newDb);
    }
    std::string dotOld = std::string(".kalvo/") + REGD_DB_FILE;
    if (pathExists(dotOld)) moveFile(dotOld, newDb);

    char userBuf[L_cuserid + 256] = {0};
    const char* user = cuserid(userBuf);
    if (user == nullptr || user[0] == '\0') user = getenv("USER");
    // A user name with a slash would escape the directory; such a name is no
    // name of a local user anyway.
    if (user != nullptr && user[0] != '\0' && strchr(user, '/') == nullptr) {
        std::string name = std::string("kalvo_") + user + ".dat";
        std::string oldUser = ".kalvo/" + name;
        if (pathExists(oldUser)) moveFile(oldUser, std::string(subDir) + "/" + name);
    }
}

}  // namespace

int createKalvoDir(const char* base) {
    std::string dir = base != nullptr ? base : "";
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    regdStartupConfig().kalvoDir = dir;
    const char* kalvoDir = g_config.kalvoDir.c_str();
    (void)_tsm_chdir(kalvoDir);

    const char* subDir = getKalvoSubDir();
    struct stat st;
    if (stat(subDir, &st) == 0) {
        if (_tsm_chdir(subDir) == 0) regdTightenRegistryModes();
        return 1;
    }
    char msg[512];
    if (errno != ENOENT) {
        snprintf(msg, sizeof msg, "\n[kalvo_registryd] stat failed on %s/%s", kalvoDir, subDir);
        perror(msg);
        return 0;
    }
    if (mkdir(subDir, REGD_DIR_MODE) != 0) {
        snprintf(msg, sizeof msg, "\n[kalvo_registryd] mkdir failed for %s/%s", kalvoDir, subDir);
        perror(msg);
        return 0;
    }
    migrateOldLayouts(subDir);
    if (_tsm_chdir(subDir) == 0) regdTightenRegistryModes();
    if (g_verbose) writeToLog("Created kalvo directory: %s", kalvoDir);
    return 1;
}

void regdTightenRegistryModes() {
    const uid_t me = geteuid();
    struct stat st;
    if (stat(".", &st) == 0 && st.st_uid == me && (st.st_mode & 077) != 0)
        (void)chmod(".", st.st_mode & 07700);
    DIR* dir = opendir(".");
    if (dir == nullptr) return;
    while (struct dirent* e = readdir(dir)) {
        const char* name = e->d_name;
        if (strncmp(name, "kalvo_", 6) != 0 && strncmp(name, ".kalvo_", 7) != 0) continue;
        // O_NOFOLLOW: a link planted under one of our names is not followed
        // to a file elsewhere; O_NONBLOCK: a FIFO does not hold up start-up.
        int fd = openat(dirfd(dir), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == me && (st.st_mode & 077) != 0)
            (void)fchmod(fd, st.st_mode & 07700);
        close(fd);
    }
    closedir(dir);
}

namespace {

void syncDirectory(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)fsync(fd);
    close(fd);
}

void noteError(RegdAtomicFile& f, int err) {
    if (f.err == 0) f.err = err != 0 ? err : EIO;
}

}  // namespace

bool regdAtomicOpen(RegdAtomicFile& f, const char* path, mode_t newMode) {
    f = RegdAtomicFile{};
    std::string p(path);
    size_t slash = p.rfind('/');
    std::string prefix = slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
    if (base.empty()) {
        f.err = EISDIR;
        return false;
    }
    f.path = p;
    f.dirPath = prefix.empty() ? std::string(".") : prefix;
    f.tmpPath = prefix + "." + base + ".tmp";
    // A leftover of a crash goes first; O_EXCL refuses anything put in its way.
    unlink(f.tmpPath.c_str());
    f.fd = open(f.tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, newMode);
    if (f.fd < 0) {
        noteError(f, errno);
        return false;
    }
    return true;
}

bool regdAtomicWrite(RegdAtomicFile& f, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0 && f.err == 0) {
        ssize_t n = write(f.fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            noteError(f, n < 0 ? errno : ENOSPC);
            break;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return f.err == 0;
}

bool regdAtomicCommit(RegdAtomicFile& f, bool replace, bool* existed) {
    if (existed != nullptr) *existed = false;
    if (f.fd < 0) return false;
    struct stat old;
    if (f.err == 0 && stat(f.path.c_str(), &old) == 0) {
        // A replaced file keeps its permission bits and, where we may, its owner.
        if (fchmod(f.fd, old.st_mode & 07777) != 0) noteError(f, errno);
        else if (old.st_uid != geteuid() || old.st_gid != getegid())
            (void)fchown(f.fd, old.st_uid, old.st_gid);
    }
    if (f.err == 0 && fsync(f.fd) != 0) noteError(f, errno);
    if (close(f.fd) != 0) noteError(f, errno);
    f.fd = -1;
    bool placed = false;
    if (f.err == 0) {
        if (replace) {
            placed = rename(f.tmpPath.c_str(), f.path.c_str()) == 0;
        } else if (link(f.tmpPath.c_str(), f.path.c_str()) == 0) {
            // link() will not replace an existing name, unlike rename().
            placed = true;
        } else if (errno == EEXIST) {
            if (existed != nullptr) *existed = true;
            noteError(f, EEXIST);
        } else {
            struct stat st;
            if (stat(f.path.c_str(), &st) == 0) {
                if (existed != nullptr) *existed = true;
                noteError(f, EEXIST);
            } else {
                placed = rename(f.tmpPath.c_str(), f.path.c_str()) == 0;
            }
        }
        if (!placed) noteError(f, errno);
    }
    unlink(f.tmpPath.c_str());
    if (placed) syncDirectory(f.dirPath);
    return placed;
}

void regdAtomicAbort(RegdAtomicFile& f) {
    if (f.fd >= 0) {
        close(f.fd);
        f.fd = -1;
        unlink(f.tmpPath.c_str());
    }
}

int regdWriteFileAtomic(const char* path, const void* data, size_t len) {
    RegdAtomicFile f;
    if (!regdAtomicOpen(f, path, REGD_FILE_MODE)) return 0;
    if (!regdAtomicWrite(f, data, len)) {
        regdAtomicAbort(f);
        return 0;
    }
    return regdAtomicCommit(f, true, nullptr) ? 1 : 0;
}

int copyFile(const char* from, const char* to) {
    int in = open(from, O_RDONLY | O_CLOEXEC);
    if (in < 0) return 0;
    RegdAtomicFile f;
    if (!regdAtomicOpen(f, to, REGD_FILE_MODE)) {
        close(in);
        return 0;
    }
    // The kernel copies without a trip through this process where it can
    // (the backup of a large registry is made at every start); a file system
    // that cannot takes the plain loop, from the first byte.
    bool ok = true;
    bool kernelCopy = true;
    for (bool first = true;; first = false) {
        ssize_t n = copy_file_range(in, nullptr, f.fd, nullptr, size_t{1} << 30, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && first && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            kernelCopy = false;
        } else if (n < 0) {
            noteError(f, errno);
            ok = false;
        }
        if (n <= 0) break;
    }
    static thread_local char buf[1 << 16];
    while (!kernelCopy && ok) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (!regdAtomicWrite(f, buf, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    close(in);
    if (!ok) {
        regdAtomicAbort(f);
        return 0;
    }
    return regdAtomicCommit(f, true, nullptr) ? 1 : 0;
}
