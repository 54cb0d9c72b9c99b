#include "daemon/regdutils.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/regdconfig.h"
#include "daemon/tsm.h"

namespace {

std::mutex logMutex;
FILE* g_logFilePtr = nullptr;
int logLines = 0;
bool logFallbackNoticed = false;
bool logClosed = false;

// Appends the caller's message with the log's four conversions.
void appendMessage(std::string& line, const char* format, va_list ap) {
    char num[64];
    for (const char* p = format; *p != '\0'; p++) {
        if (*p != '%' || p[1] == '\0') {
            line.push_back(*p);
            continue;
        }
        switch (p[1]) {
        case 'd':
            snprintf(num, sizeof num, "%d", va_arg(ap, int));
            line += num;
            break;
        case 'X':
            snprintf(num, sizeof num, "%X", va_arg(ap, unsigned int));
            line += num;
            break;
        case 'f': {
            // A double of large magnitude can need more than 300 digits.
            char big[400];
            snprintf(big, sizeof big, "%f", va_arg(ap, double));
            line += big;
            break;
        }
        case 's': {
            const char* s = va_arg(ap, const char*);
            line += s != nullptr ? s : "(null)";
            break;
        }
        default:
            line.push_back('%');
            line.push_back(p[1]);
            break;
        }
        p++;
    }
}

}  // namespace

void writeToLog(const char* format, ...) {
    time_t now = time(nullptr);
    std::lock_guard<std::mutex> guard(logMutex);
    if (logClosed) return;
    if (g_logFilePtr == nullptr) {
        g_logFilePtr = fopen(REGD_LOG_FILE, "w");
        if (g_logFilePtr == nullptr) {
            g_logFilePtr = stderr;
            if (!logFallbackNoticed) {
                logFallbackNoticed = true;
                fprintf(stderr, "[kalvo_registryd] Failed to open logfile %s.  Using stderr.\n",
                        REGD_LOG_FILE);
            }
        }
    }
    if (logLines == g_logLines && logLines != -1) {
        fflush(g_logFilePtr);
        fseek(g_logFilePtr, 0, SEEK_SET);
        logLines = 0;
    }

    // "Sat Dec  5 17:38:57 2026\n" -> "Dec  5 17:38:57"
    char stamp[64];
    struct tm tmv;
    localtime_r(&now, &tmv);
    if (asctime_r(&tmv, stamp) == nullptr) stamp[0] = '\0';
    char* last = strrchr(stamp, ' ');
    if (last != nullptr) *last = '\0';
    char* first = strchr(stamp, ' ');
    const char* shown = first != nullptr ? first + 1 : stamp;

    std::string line;
    line.reserve(128);
    if (g_logFilePtr == stderr) line += "[kalvo_registryd] ";
    line += "[";
    line += shown;
    line += "] ";
    va_list ap;
    va_start(ap, format);
    appendMessage(line, format, ap);
    va_end(ap);
    line.resize(REGD_LOG_LINE_WIDTH - 1, ' ');
    line.push_back(' ');
    line.push_back('\n');
    fwrite(line.data(), 1, line.size(), g_logFilePtr);
    logLines++;
    fflush(g_logFilePtr);
}

void regdCloseLog() {
    std::lock_guard<std::mutex> guard(logMutex);
    if (g_logFilePtr != nullptr && g_logFilePtr != stderr) fclose(g_logFilePtr);
    g_logFilePtr = nullptr;
    logClosed = true;
}

void regdResetLogForTest() {
    std::lock_guard<std::mutex> guard(logMutex);
    if (g_logFilePtr != nullptr && g_logFilePtr != stderr) fclose(g_logFilePtr);
    g_logFilePtr = nullptr;
    logLines = 0;
    logClosed = false;
}

const char* getKalvoSubDir() {
    static char subDir[72];
    if (subDir[0] != '\0') return subDir;
    if (g_kalvoDir != nullptr && strcmp(g_kalvoDir, REGD_DEFAULT_BASE) == 0) {
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
    if (g_registryProg != REGD_DEFAULT_PROG && !pathExists(newDb)) {
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
    free(g_kalvoDir);
    g_kalvoDir = regdStrdupOrDie(dir.c_str());
    (void)_tsm_chdir(g_kalvoDir);

    const char* subDir = getKalvoSubDir();
    struct stat st;
    if (stat(subDir, &st) == 0) {
        (void)_tsm_chdir(subDir);
        return 1;
    }
    char msg[512];
    if (errno != ENOENT) {
        snprintf(msg, sizeof msg, "\n[kalvo_registryd] stat failed on %s/%s", g_kalvoDir, subDir);
        perror(msg);
        return 0;
    }
    if (mkdir(subDir, 0755) != 0) {
        snprintf(msg, sizeof msg, "\n[kalvo_registryd] mkdir failed for %s/%s", g_kalvoDir, subDir);
        perror(msg);
        return 0;
    }
    migrateOldLayouts(subDir);
    (void)_tsm_chdir(subDir);
    if (g_verbose) writeToLog("Created kalvo directory: %s", g_kalvoDir);
    return 1;
}

int regdWriteFileAtomic(const char* path, const void* data, size_t len) {
    std::string tmp = std::string(path) + ".tmp";
    // A replaced file keeps its permission bits.
    struct stat old;
    mode_t mode = stat(path, &old) == 0 ? (old.st_mode & 07777) : 0644;
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return 0;
    if (fchmod(fd, mode) != 0) {
        close(fd);
        unlink(tmp.c_str());
        return 0;
    }
    const char* p = static_cast<const char*>(data);
    size_t left = len;
    bool ok = true;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (ok && fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path) != 0) ok = false;
    if (!ok) unlink(tmp.c_str());
    return ok ? 1 : 0;
}

int copyFile(const char* from, const char* to) {
    FILE* in = fopen(from, "r");
    if (in == nullptr) return 0;
    std::string content;
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in)) > 0) content.append(buf, n);
    bool readOk = ferror(in) == 0;
    fclose(in);
    if (!readOk) return 0;
    return regdWriteFileAtomic(to, content.data(), content.size());
}

char* fixlpSubKey(const char* subKey) {
    if (subKey == nullptr) return nullptr;
    char* copy = regdStrdupOrDie(subKey);
    size_t len = strlen(copy);
    while (len > 1 && (copy[len - 1] == ' ' || copy[len - 1] == '=')) copy[--len] = '\0';
    return copy;
}

void dummyString(char** slot) { *slot = regdStrdupOrDie(REGD_PLACEHOLDER); }

char* regdStrdupOrDie(const char* s) {
    char* copy = _tsm_strdup(s);
    if (copy == nullptr && s != nullptr) regdOutOfMemory();
    return copy;
}

void regdOutOfMemory() {
    static const char msg[] = "[kalvo_registryd] out of memory; exiting.\n";
    ssize_t ignored = write(STDERR_FILENO, msg, sizeof msg - 1);
    (void)ignored;
    _exit(2);
}
