#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "kalvo/kalvoping.h"
#include "tools/regcmds.h"
#include "tools/regconsole.h"
#include "tools/regerror.h"
#include "tools/regops.h"
#include "tools/regtext.h"

namespace regtool {

int succeeded() {
    printf("The operation completed successfully.\n");
    return 0;
}

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
    if (parseKeyArgument(text, out, &why)) return true;
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

bool valueChoice(const std::string& command, const ParsedArgs& args, ValueChoice* out) {
    int count = (args.has("v") ? 1 : 0) + (args.has("ve") ? 1 : 0) + (args.has("va") ? 1 : 0);
    if (count > 1) {
        usageError(command, "/v, /ve and /va exclude each other");
        return false;
    }
    out->given = args.has("v") || args.has("ve");
    out->name = args.has("v") ? args.value("v") : "";
    return true;
}

const ValueRecord* findValue(const std::vector<ValueRecord>& values, const std::string& name) {
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const ValueRecord& v) { return equalIgnoringCase(v.name, name); });
    return it == values.end() ? nullptr : &*it;
}

bool confirmed(const std::string& command, bool forced, const std::string& question, const char* flag) {
    if (forced || confirmOnTerminal(question)) return true;
    reportError(command, TOOL_ERROR_CANCELLED,
                std::string("(not confirmed; give ") + flag + " to go ahead without asking)");
    return false;
}

}  // namespace regtool
