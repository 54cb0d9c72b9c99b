#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "kalvo/kalvoping.h"
#include "tools/regcmds.h"
#include "tools/regerror.h"
#include "tools/regops.h"

namespace regtool {

int usageError(const std::string& command, const std::string& why) {
    fprintf(stderr, "kalvoreg: %s: %s (%s)\nTry 'kalvoreg %s --help'.\n", command.c_str(),
            describeError(TOOL_ERROR_BAD_ARGUMENTS).c_str(), why.c_str(), command.c_str());
    return 1;
}

bool expectPositional(const std::string& command, const ParsedArgs& args, size_t count, const char* names) {
    if (args.positional.size() == count) return true;
    std::string why = args.positional.size() < count ? "missing arguments" : "too many arguments";
    usageError(command, why + " (expected " + names + ")");
    return false;
}

bool keyArgument(const std::string& command, const std::string& text, KeyPath* out) {
    std::string why;
    if (parseKeyPath(text, out, &why)) return true;
    usageError(command, why);
    return false;
}

bool announceToDaemon(const std::string& command) {
    DWORD pid = 0;
    LONG rv = KalvoGetDaemonPid(&pid);
    if (rv == ERROR_SUCCESS) return true;
    reportError(command, rv);
    return false;
}

std::string absoluteFileName(const std::string& file) {
    if (!file.empty() && file.front() == '/') return file;
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) return file;
    std::string full = std::string(cwd) + "/" + file;
    free(cwd);
    return full;
}

bool findKey(const std::string& command, const KeyPath& path, KeyPath* canonical) {
    LONG rv = canonicalKeyPath(path, canonical);
    if (rv == ERROR_SUCCESS) return true;
    reportError(command + " " + path.full(), rv);
    return false;
}

}  // namespace regtool
