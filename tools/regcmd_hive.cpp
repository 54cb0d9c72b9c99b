// save, load, unload, restore and replace: hive files, which the daemon
// itself reads and writes.
#include "tools/regcmds.h"
#include "tools/regerror.h"
#include "tools/regops.h"

namespace regtool {

namespace {

// Parses KEY, reaches the daemon and opens the key named by KEY (the parent
// of KEY when `parentOfKey`) into *handle; *path is KEY, with its stored
// spelling when `mustExist`. False after reporting.
bool prepare(const std::string& cmd, const ParsedArgs& args, size_t count, const char* names, bool parentOfKey,
             bool mustExist, KeyPath* path, KeyHandle* handle) {
    if (!expectPositional(cmd, args, count, names) || !keyArgument(cmd, args.positional[0], path)) return false;
    if (parentOfKey && path->subKey.empty()) {
        usageError(cmd, "KEY must name a key below a root key");
        return false;
    }
    if (!announceToDaemon(cmd)) return false;
    if (mustExist) {
        if (!findKey(cmd, *path, path)) return false;
    } else if (parentOfKey) {
        KeyPath parent;
        if (!findKey(cmd, path->parent(), &parent)) return false;
        *path = parent.child(path->leaf());
    }
    KeyPath target = parentOfKey ? path->parent() : *path;
    if (LONG rv = handle->open(target)) {
        reportError(cmd + " " + target.full(), rv);
        return false;
    }
    return true;
}

// Reports the daemon's answer for `what`; 0 when it is success.
int finish(const std::string& cmd, const std::string& what, LONG rv) {
    return rv == ERROR_SUCCESS ? 0 : reportError(cmd + " " + what, rv);
}

}  // namespace

int runSave(const ParsedArgs& args) {
    KeyPath path;
    KeyHandle key;
    if (!prepare("save", args, 2, "KEY FILE", false, true, &path, &key)) return 1;
    std::string file = absoluteFileName(args.positional[1]);
    return finish("save", path.full() + " to " + file, RegSaveKeyA(key.get(), file.c_str(), nullptr));
}

int runLoad(const ParsedArgs& args) {
    KeyPath path;
    KeyHandle parent;
    if (!prepare("load", args, 2, "KEY FILE", true, false, &path, &parent)) return 1;
    std::string file = absoluteFileName(args.positional[1]);
    return finish("load", file + " as " + path.full(), RegLoadKeyA(parent.get(), path.leaf().c_str(), file.c_str()));
}

int runUnload(const ParsedArgs& args) {
    KeyPath path;
    KeyHandle parent;
    if (!prepare("unload", args, 1, "KEY", true, true, &path, &parent)) return 1;
    return finish("unload", path.full(), RegUnLoadKeyA(parent.get(), path.leaf().c_str()));
}

int runRestore(const ParsedArgs& args) {
    KeyPath path;
    KeyHandle key;
    if (!prepare("restore", args, 2, "KEY FILE", false, true, &path, &key)) return 1;
    std::string file = absoluteFileName(args.positional[1]);
    return finish("restore", file + " below " + path.full(), RegRestoreKeyA(key.get(), file.c_str(), 0));
}

int runReplace(const ParsedArgs& args) {
    KeyPath path;
    KeyHandle parent;
    if (!prepare("replace", args, 3, "KEY NEWFILE OLDFILE", true, true, &path, &parent)) return 1;
    std::string newFile = absoluteFileName(args.positional[1]);
    std::string oldFile = absoluteFileName(args.positional[2]);
    return finish("replace", path.full() + " with " + newFile,
                  RegReplaceKeyA(parent.get(), path.leaf().c_str(), newFile.c_str(), oldFile.c_str()));
}

}  // namespace regtool
