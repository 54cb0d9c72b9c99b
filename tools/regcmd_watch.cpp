// watch: prints each change of a key (with /s, of its tree) as it happens.
// A change notification only says that something changed, so each one is
// followed by a fresh look at the keys, compared with the one before.
#include <cstdio>
#include <map>

#include "kalvo/synchapi.h"
#include "tools/regcmds.h"
#include "tools/regdata.h"
#include "tools/regerror.h"
#include "tools/regops.h"

namespace regtool {

namespace {

constexpr DWORD kFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

// A watched key's values; a sub-key seen without /s has none read.
struct KeyState {
    bool watched = false;
    std::vector<ValueRecord> values;
};
using Snapshot = std::map<std::string, KeyState>;  // by full path

// The keys under watch and, without /s, the names of the top key's sub-keys.
LONG takeSnapshot(const KeyPath& top, bool recursive, Snapshot* out) {
    out->clear();
    std::vector<KeyPath> keys;
    std::string failed;
    if (LONG rv = listKeyTree(top, recursive, &keys, &failed)) return rv;
    for (const KeyPath& k : keys) {
        KeyHandle handle;
        KeyState& state = (*out)[k.full()];
        state.watched = true;
        if (LONG rv = readKeyValues(k, &handle, &state.values)) return rv;
        if (recursive) continue;
        std::vector<std::string> names;
        if (LONG rv = readSubKeyNames(handle.get(), &names)) return rv;
        for (const std::string& n : names) (*out)[k.child(n).full()];
    }
    return ERROR_SUCCESS;
}

bool exists(const KeyPath& path) {
    KeyHandle handle;
    return handle.open(path) != ERROR_FILE_NOT_FOUND;
}

void printSet(const std::string& key, const ValueRecord& v) {
    std::string line = "set " + key + "    " + (v.name.empty() ? std::string("(Default)") : v.name) + "    " +
                       typeName(v.type) + "    " + formatQueryData(v.type, v.data, "\\0") + "\n";
    fwrite(line.data(), 1, line.size(), stdout);
}

// One line per key added or deleted and per value set or deleted.
void printChanges(const Snapshot& before, const Snapshot& after) {
    for (const auto& [key, old] : before)
        if (!after.contains(key)) printf("deleted key %s\n", key.c_str());
    for (const auto& [key, now] : after) {
        auto was = before.find(key);
        if (was == before.end()) printf("added key %s\n", key.c_str());
        if (!now.watched) continue;
        const std::vector<ValueRecord> none;
        const std::vector<ValueRecord>& oldValues = was != before.end() ? was->second.values : none;
        for (const ValueRecord& v : oldValues)
            if (findValue(now.values, v.name) == nullptr)
                printf("deleted value %s    %s\n", key.c_str(), v.name.empty() ? "(Default)" : v.name.c_str());
        for (const ValueRecord& v : now.values) {
            const ValueRecord* o = findValue(oldValues, v.name);
            if (o == nullptr || o->type != v.type || o->data != v.data) printSet(key, v);
        }
    }
    fflush(stdout);
}

}  // namespace

int runWatch(const ParsedArgs& args) {
    const std::string cmd = "watch";
    KeyPath path;
    if (!expectPositional(cmd, args, 1, "KEY") || !keyArgument(cmd, args.positional[0], &path) ||
        !announceToDaemon(cmd) || !findKey(cmd, path, &path)) {
        return 1;
    }
    bool recursive = args.has("s");
    KeyHandle key;
    if (LONG rv = key.open(path)) return reportError(cmd + " " + path.full(), rv);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) return reportError(cmd, static_cast<LONG>(GetLastError()));
    Snapshot before;
    LONG rv = RegNotifyChangeKeyValue(key.get(), recursive, kFilter, event, TRUE);
    if (rv == ERROR_SUCCESS) rv = takeSnapshot(path, recursive, &before);
    if (rv != ERROR_SUCCESS) return reportError(cmd + " " + path.full(), rv);
    fprintf(stderr, "Watching %s%s; interrupt to stop.\n", path.full().c_str(), recursive ? " and its tree" : "");
    for (;;) {
        if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) return reportError(cmd, GetLastError());
        // Watch again before looking, so that no change falls between.
        LONG watched = RegNotifyChangeKeyValue(key.get(), recursive, kFilter, event, TRUE);
        Snapshot after;
        LONG read = takeSnapshot(path, recursive, &after);
        // A sub-key deleted while we read: look again; the key itself gone: done.
        for (int again = 0; read == ERROR_FILE_NOT_FOUND && again < 3 && exists(path); again++)
            read = takeSnapshot(path, recursive, &after);
        bool gone = read == ERROR_FILE_NOT_FOUND && !exists(path);
        if (gone) after.clear();
        printChanges(before, after);
        if (gone) return 0;
        if (read != ERROR_SUCCESS) return reportError(cmd + " " + path.full(), read);
        if (watched != ERROR_SUCCESS) return reportError(cmd + " " + path.full(), watched);
        before.swap(after);
    }
}

}  // namespace regtool
