// kalvoreg's sub-commands and what they share: each takes its parsed
// arguments and returns the exit status (0 success, 1 failure, with the
// reason on standard error).
#pragma once

#include <string>
#include <vector>

#include "tools/regargs.h"
#include "tools/regops.h"
#include "tools/regpath.h"

namespace regtool {

int runQuery(const ParsedArgs& args);
int runAdd(const ParsedArgs& args);
int runDelete(const ParsedArgs& args);
int runExport(const ParsedArgs& args);
int runImport(const ParsedArgs& args);
int runCopy(const ParsedArgs& args);
int runCompare(const ParsedArgs& args);
int runSave(const ParsedArgs& args);
int runLoad(const ParsedArgs& args);
int runUnload(const ParsedArgs& args);
int runRestore(const ParsedArgs& args);
int runReplace(const ParsedArgs& args);
int runVersion(const ParsedArgs& args);
int runPing(const ParsedArgs& args);
int runSyncDump(const ParsedArgs& args);
int runWatch(const ParsedArgs& args);

// Prints reg.exe's word of success on standard output; returns 0.
int succeeded();

// Reports a wrong command line of `command` (ERROR_BAD_ARGUMENTS, the
// reason and where to find help); returns 1.
int usageError(const std::string& command, const std::string& why);

// Checks that there are exactly `count` positional arguments, naming them
// in `names` for the message; false after reporting.
bool expectPositional(const std::string& command, const ParsedArgs& args, size_t count, const char* names);

// Parses the KEY argument; false after reporting.
bool keyArgument(const std::string& command, const std::string& text, KeyPath* out);

// Makes the caller known to the daemon, so that HKEY_CURRENT_USER reaches
// the user's key; false after reporting an unreachable daemon.
bool announceToDaemon(const std::string& command);

// `file` as an absolute path: the daemon resolves names in its own
// directory, the user means the current one.
std::string absoluteFileName(const std::string& file);

// Opens the existing key `path` with its names as stored in *canonical;
// false after reporting (context: command and path).
bool findKey(const std::string& command, const KeyPath& path, KeyPath* canonical);

// The value picked by /v NAME or /ve, if either is given.
struct ValueChoice {
    bool given = false;
    std::string name;

    // The printable name: (Default) for the default value.
    std::string shown() const { return name.empty() ? "(Default)" : "\"" + name + "\""; }
};

// Reads /v and /ve (and /va when allowed); false after reporting a clash.
bool valueChoice(const std::string& command, const ParsedArgs& args, ValueChoice* out);

// The value of `values` named `name` (ignoring case), or null.
const ValueRecord* findValue(const std::vector<ValueRecord>& values, const std::string& name);

// Asks on a terminal unless `forced`; false after reporting a refusal.
bool confirmed(const std::string& command, bool forced, const std::string& question, const char* flag);

}  // namespace regtool
