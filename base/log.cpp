#include "base/log.h"

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

#include "base/config.h"
#include "base/files.h"

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

// Opens the log afresh, private to the daemon's user like all its files
// (a log left wider by an earlier version is tightened too); a link in its
// place is not followed.
FILE* openLogFile() {
    int fd = open(REGD_LOG_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, REGD_FILE_MODE);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) == 0 && (st.st_mode & 077) != 0) (void)fchmod(fd, st.st_mode & 07700);
    FILE* f = fdopen(fd, "w");
    if (f == nullptr) close(fd);
    return f;
}

}  // namespace

void writeToLog(const char* format, ...) {
    time_t now = time(nullptr);
    std::lock_guard<std::mutex> guard(logMutex);
    if (logClosed) return;
    if (g_logFilePtr == nullptr) {
        g_logFilePtr = openLogFile();
        if (g_logFilePtr == nullptr) {
            g_logFilePtr = stderr;
            if (!logFallbackNoticed) {
                logFallbackNoticed = true;
                fprintf(stderr, "[kalvo_registryd] Failed to open logfile %s.  Using stderr.\n",
                        REGD_LOG_FILE);
            }
        }
    }
    if (logLines == g_config.logLines && logLines != -1) {
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

