// The registry procedures: one wrapper does what every procedure shares
// (its result record, the caller, the entry and exit trace lines); each
// procedure body is a plain function that a sibling may call directly, so
// a nested call writes its own trace lines inside its caller's.
#include "rpc/regd_svc_proc.h"

#include <cstdlib>
#include <cstring>
#include <array>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <type_traits>
#include <vector>

#include <unistd.h>

#include "base/config.h"
#include "base/files.h"
#include "base/log.h"
#include "base/strings.h"
#include "rpc/regd_clients.h"
#include "rpc/regd_notify.h"
#include "rpc/regd_hive_file.h"
#include "rpc/regd_policy.h"
#include "store/regdcache.h"
#include "store/regdio.h"
#include "sync/sysv_ipcs.h"

namespace {

constexpr uint32_t PLACEHOLDER_SIZE = 13;  // "ZORP+IS+COOL" and its NUL
constexpr uint8_t SIZE_ONLY_FILLER = 0xAB;

const char* orEmpty(const char* s) { return s != nullptr ? s : ""; }
int asInt(uint32_t v) { return static_cast<int>(v); }

// ---- What every procedure shares ----

// One call being served: the header as received, the caller it names and
// whom the policy admitted it for.
struct RegdCall {
    const regd_USER_DATA& header;
    RegdCaller caller;
    const RegdIdentity& who;
};

// The identity of calls made from inside an admitted call whose gate has
// already judged what they touch.
const RegdIdentity& alreadyJudged() {
    static const RegdIdentity judged = [] {
        RegdIdentity w;
        w.remote = false;
        w.privileged = true;
        return w;
    }();
    return judged;
}

RegdCaller callerFrom(const regd_USER_DATA& header) {
    RegdCaller c{};
    const char* name = orEmpty(header.userName);
    size_t n = strnlen(name, REGD_USER_NAME_SIZE - 1);
    memcpy(c.userName, name, n);
    c.userName[n] = '\0';
    c.userId = header.userId;
    c.hostId = header.hostId;
    return c;
}

void traceEntry(const char* procName, const regd_USER_DATA& header) {
    if (!g_verbose) return;
    writeToLog("--> Entering %s()", procName);
    writeToLog("    ptr->userName: %s", orEmpty(header.userName));
    writeToLog("    ptr->userId: %d", asInt(header.userId));
    writeToLog("    ptr->hostId: %d", asInt(header.hostId));
}

void traceExit(const char* procName, uint32_t retval) {
    if (!g_verbose) return;
    writeToLog("    ---");
    writeToLog("<-- Leaving %s()  retval = %d", procName, asInt(retval));
}

// How a body ends its trace: the usual exit line with its retval, or lines
// of its own (a few procedures log more, or nothing, on some paths).
enum class Exit { Standard, Own };

// Runs one procedure body between its entry and exit trace lines.
template <typename Ret, typename Body>
void traced(const char* procName, const RegdCall& call, Ret& ret, Body body) {
    traceEntry(procName, call.header);
    if (body() == Exit::Standard) traceExit(procName, ret.retval);
}


// ---- Reply fields ----

void placeholderOpaque(regd_OPAQUE& o) {
    dummyString(&o.val);
    o.len = PLACEHOLDER_SIZE;
}

// A cleared reply buffer of `size` bytes plus a NUL that keeps any text in
// it terminated; null when the size is beyond what we serve or memory is out.
char* replyBuffer(uint32_t size) {
    if (size > REGD_MAX_REPLY_BUFFER) return nullptr;
    return static_cast<char*>(calloc(static_cast<size_t>(size) + 1, 1));
}

// Reply buffers for two client-stated sizes (none for a size of 0); false,
// with both released and the size that failed, when one cannot be had.
bool replyBufferPair(uint32_t sizeA, uint32_t sizeB, char** bufA, char** bufB, uint32_t* failedSize) {
    *bufA = sizeA > 0 ? replyBuffer(sizeA) : nullptr;
    *bufB = sizeB > 0 ? replyBuffer(sizeB) : nullptr;
    bool failedA = sizeA > 0 && *bufA == nullptr;
    if (!failedA && (sizeB == 0 || *bufB != nullptr)) return true;
    free(*bufA);
    free(*bufB);
    *bufA = *bufB = nullptr;
    *failedSize = failedA ? sizeA : sizeB;
    return false;
}

void traceMallocFailed(const char* procName, uint32_t size, uint32_t retval) {
    if (!g_verbose) return;
    writeToLog("    ---");
    writeToLog("    *** malloc(%d) failed", asInt(size));
    writeToLog("<-- Leaving %s()  retval = %d", procName, asInt(retval));
}

// Reply name or class text: the buffer when it carries a count, else the
// placeholder (the buffer is released).
char* textOrPlaceholder(char* buf, uint32_t count) {
    if (buf != nullptr && count > 0) return buf;
    free(buf);
    char* text = nullptr;
    dummyString(&text);
    return text;
}

// A heap copy of the key path trimmed as every procedure trims it, freed
// when it goes out of scope.
struct TrimmedPath {
    char* text;
    explicit TrimmedPath(const char* s) : text(fixlpSubKey(s)) {}
    ~TrimmedPath() { free(text); }
    TrimmedPath(const TrimmedPath&) = delete;
    TrimmedPath& operator=(const TrimmedPath&) = delete;
};

}  // namespace

// ---- Version and ping ----

namespace {

constexpr uint32_t PING_ORDINARY = 0;
constexpr uint32_t PING_PROCESS_END = 1;
constexpr uint32_t PING_SEGMENT = 2;
constexpr uint32_t PING_DAEMON_PID = 3;
constexpr uint32_t NO_USER = 0xFFFFFFFFu;

int32_t lastPid = 0;
uint32_t lastUid = NO_USER;

// Process-end ping: when the caller's user has no listed process left,
// writes the user's key to the user's file and removes it from the cache.
// True when the key was unloaded.
bool unloadUserIfLast(const RegdCall& call, uint32_t pid) {
    regdRemoveFromClientList(static_cast<int32_t>(pid));
    if (regdFindUid(call.header.userId) != 0) return false;
    if (_tsm_gethostid() != call.header.hostId) return false;
    RegCacheRec* key = regdFindUserKey(call.caller.userName);
    if (key == nullptr) return false;
    std::string file = regdUserFileName(call.caller.userName);
    std::lock_guard<std::shared_mutex> guard(regdWriteMutex);
    // By record, not by handle: a user named like a root carries that
    // root's handle.
    (void)regdWriteSubTreeDatabase(key, file.c_str(), 1);
    (void)regdRegDeleteKey(key);
    return true;
}

void queryVersion(const RegdCall&, const regd_REG_QUERY_VERSION& req, regd_REG_QUERY_VERSION_RETURN& ret) {
    traceEntry("reg_query_version", req.userData);
    if (g_verbose) writeToLog("    ptr->kalvoVersion: %d", asInt(req.userData.kalvoVersion));
    ret.retval = 0;
    ret.major = 2;
    ret.minor = 3;
    ret.minorminor = 0;
    if (g_verbose) {
        writeToLog("    ---");
        writeToLog("    major: %d", asInt(ret.major));
        writeToLog("    minor: %d", asInt(ret.minor));
        writeToLog("    minorminor: %d", asInt(ret.minorminor));
        writeToLog("    retval: %d", asInt(ret.retval));
        writeToLog("<-- Exiting reg_query_version()");
    }
}

void pingDaemon(const RegdCall& call, const regd_REG_PING_DAEMON& req, regd_BASIC_RETURN& ret) {
    traceEntry("reg_ping_daemon", call.header);
    if (g_verbose) writeToLog("    ptr->finalPing: %d", asInt(req.finalPing));
    g_clientsAreActive = 1;
    ret.retval = 0;
    switch (req.finalPing) {
    case PING_SEGMENT:
        ret.retval = static_cast<uint32_t>(kvSemaphoreSet(g_config.numSemaphores, g_config.numProcesses,
                                                          g_config.syncPermissions, g_config.kalvoDir.c_str(),
                                                          getKalvoSubDir()));
        break;
    case PING_DAEMON_PID:
        ret.retval = static_cast<uint32_t>(getpid());
        break;
    case PING_PROCESS_END:
        if (unloadUserIfLast(call, req.pid)) {
            if (g_verbose) writeToLog("<-- Leaving regd_ping_daemon()");
            lastUid = NO_USER;
            return;
        }
        break;
    case PING_ORDINARY:
    default:  // any other mode is taken as an ordinary ping
        if (static_cast<int32_t>(req.pid) != lastPid && _tsm_gethostid() == call.header.hostId)
            regdAddToClientList(static_cast<int32_t>(req.pid), call.header.userId);
        lastPid = static_cast<int32_t>(req.pid);
        break;
    }
    if (call.header.userId != lastUid) {
        regdLoadUserData(call.caller);
        lastUid = call.header.userId;
    }
    if (g_verbose) writeToLog("<-- Leaving regd_ping_daemon()");
}

// ---- Keys ----

// An empty sub-key, or one of nothing but blanks and '=' (which trimming
// would remove but for the first character it always keeps), gives back the
// handle unresolved.
void openKey(const RegdCall& call, uint32_t hKey, const char* lpSubKey, regd_REG_OPEN_KEY_RETURN& ret) {
    traced("reg_open_key_2", call, ret, [&] {
        if (g_verbose) {
            writeToLog("    hKey: 0x%X", hKey);
            writeToLog("    lpSubKey: %s", orEmpty(lpSubKey));
        }
        g_clientsAreActive = 1;
        TrimmedPath sub(lpSubKey);
        if (sub.text == nullptr || strspn(sub.text, " =") == strlen(sub.text)) {
            ret.hkResult = hKey;
            ret.retval = REGD_ERROR_SUCCESS;
        } else {
            ret.retval = regdRegOpenKey(call.caller, hKey, sub.text, 0, 0, &ret.hkResult, 0);
        }
        return Exit::Standard;
    });
}

// A null sub-key gives back the handle unresolved; an empty one is looked
// up as a key with the empty name.
void openKeyEx(const RegdCall& call, const regd_REG_OPEN_KEY_EX& req, regd_REG_OPEN_KEY_RETURN& ret) {
    traced("reg_open_key_ex_2", call, ret, [&] {
        if (g_verbose) writeToLog("    ptr->hKey: 0x%X", req.hKey);
        if (g_verbose && req.isSubKeyNull == 0) writeToLog("    ptr->lpSubKey: %s", orEmpty(req.lpSubKey));
        g_clientsAreActive = 1;
        if (req.isSubKeyNull != 0) {
            ret.hkResult = req.hKey;
            ret.retval = REGD_ERROR_SUCCESS;
        } else {
            TrimmedPath sub(orEmpty(req.lpSubKey));
            ret.retval = regdRegOpenKey(call.caller, req.hKey, sub.text, req.ulOptions, 0, &ret.hkResult, 0);
        }
        return Exit::Standard;
    });
}

// CREATE_KEY and CREATE_KEY_EX with a null sub-key: the handle's own key.
uint32_t resolveNullSubKey(const RegdCaller& caller, uint32_t hKey, uint32_t* hkResult) {
    RegCacheRec* rec = regdFindHKey(caller, hKey);
    *hkResult = rec != nullptr ? rec->hKey : 0;
    return rec != nullptr ? REGD_ERROR_SUCCESS : REGD_ERROR_INVALID_PARAMETER;
}

// Opens `lpSubKey` below hKey through the open procedure; when that fails,
// creates it with the class and options under the write lock.
uint32_t openOrInsert(const RegdCall& call, uint32_t hKey, const char* lpSubKey, const char* lpClass,
                      uint32_t options, uint32_t* hkResult, bool* opened) {
    TrimmedPath sub(orEmpty(lpSubKey));
    regd_REG_OPEN_KEY_RETURN open{};
    openKey(call, hKey, sub.text, open);
    *opened = open.retval == REGD_ERROR_SUCCESS;
    if (*opened) {
        *hkResult = open.hkResult;
        return open.retval;
    }
    std::lock_guard<std::shared_mutex> lock(regdWriteMutex);
    return regdInsertKey(call.caller, hKey, sub.text, 0, lpClass, options, 0, nullptr, hkResult, nullptr, 0);
}

void traceCreateExit(const char* procName, const char* note, uint32_t retval) {
    if (!g_verbose) return;
    writeToLog("    ---");
    if (note != nullptr) writeToLog("%s", note);
    writeToLog("<-- Leaving %s()  retval = %d", procName, asInt(retval));
}

// Open first; create only what the open did not find. Disposition stays 0.
void createKey(const RegdCall& call, uint32_t hKey, const char* lpSubKey, uint32_t isSubKeyNull,
               regd_REG_CREATE_KEY_RETURN& ret) {
    static const char* const proc = "reg_create_key_2";
    traced(proc, call, ret, [&] {
        if (g_verbose) {
            writeToLog("    ptr->hKey: 0x%X", hKey);
            writeToLog("    ptr->lpSubKey: %s", orEmpty(lpSubKey));
            writeToLog("    ptr->isSubKeyNull: %d", asInt(isSubKeyNull));
        }
        ret.dwDisposition = 0;
        const char* note = nullptr;
        if (isSubKeyNull != 0) {
            ret.retval = resolveNullSubKey(call.caller, hKey, &ret.hkResult);
            note = "    Received NULL SubKey";
        } else {
            bool opened = false;
            ret.retval = openOrInsert(call, hKey, lpSubKey, nullptr, 0, &ret.hkResult, &opened);
            if (opened) note = "    Opened the key successfully.";
        }
        traceCreateExit(proc, note, ret.retval);
        return Exit::Own;
    });
}

// As create, with the class and options given to a new key and the
// disposition 1 (created) or 2 (existing key; also for a null sub-key).
void createKeyEx(const RegdCall& call, const regd_REG_CREATE_KEY_EX& req, regd_REG_CREATE_KEY_RETURN& ret) {
    static const char* const proc = "reg_create_key_ex_2";
    traced(proc, call, ret, [&] {
        if (g_verbose) {
            writeToLog("    ptr->hKey: 0x%X", req.hKey);
            writeToLog("    ptr->lpSubKey: %s", orEmpty(req.lpSubKey));
        }
        const char* note = nullptr;
        if (req.isSubKeyNull != 0) {
            ret.retval = resolveNullSubKey(call.caller, req.hKey, &ret.hkResult);
            ret.dwDisposition = 2;
            note = "    Received NULL SubKey";
        } else {
            bool opened = false;
            ret.retval = openOrInsert(call, req.hKey, req.lpSubKey, orEmpty(req.lpClass), req.dwOptions,
                                      &ret.hkResult, &opened);
            ret.dwDisposition = opened ? 2 : 1;
            if (opened) note = "    Opened the key successfully.";
        }
        traceCreateExit(proc, note, ret.retval);
        return Exit::Own;
    });
}

// Set-value's short form creates its sub-key through CREATE_KEY, so its
// trace lines appear inside the set procedure's.
uint32_t createSubKeyByProcedure(const RegdCaller& caller, uint32_t hKey, const char* subKey, uint32_t* phkResult) {
    regd_USER_DATA header{};
    header.userName = const_cast<char*>(caller.userName);
    header.userId = caller.userId;
    header.hostId = caller.hostId;
    RegdCall call{header, caller, alreadyJudged()};
    regd_REG_CREATE_KEY_RETURN ret{};
    createKey(call, hKey, subKey, 0, ret);
    *phkResult = ret.hkResult;
    return ret.retval;
}

[[maybe_unused]] const bool subKeyCreatorInstalled = (g_regdSubKeyCreator = createSubKeyByProcedure, true);

// A live handle stays usable; only a deleted key's handle is taken off the
// deleted-handle list.
void closeKey(const RegdCall& call, uint32_t hKey, regd_BASIC_RETURN& ret) {
    traced("reg_close_key_2", call, ret, [&] {
        if (g_verbose) writeToLog("    hKey: 0x%X", hKey);
        ret.retval = REGD_ERROR_SUCCESS;
        if (regdFindHKey(call.caller, hKey) == nullptr) ret.retval = regdRegCloseKey(hKey);
        return Exit::Standard;
    });
}

// Deletes the named key below the handle with everything under it.
void deleteKey(const RegdCall& call, uint32_t hKey, const char* lpSubKey, regd_BASIC_RETURN& ret) {
    traced("reg_delete_key_2", call, ret, [&] {
        if (g_verbose) writeToLog("    ptr->hKey: 0x%X", hKey);
        RegCacheRec* start = regdFindHKey(call.caller, hKey);
        RegCacheRec* target = nullptr;
        if (start != nullptr) {
            TrimmedPath sub(orEmpty(lpSubKey));
            target = regdFindSubKey(start, sub.text, REGD_KIND_KEY);
        }
        if (target == nullptr) {
            ret.retval = REGD_ERROR_FILE_NOT_FOUND;
            return Exit::Standard;
        }
        {
            std::lock_guard<std::shared_mutex> lock(regdWriteMutex);
            ret.retval = regdRegDeleteKey(target);
        }
        traceExit("reg_delete_key_2", ret.retval);
        regdSetDirtyFlag();
        return Exit::Own;
    });
}

// Closes the handle (so a deleted key's handle goes) and schedules a save.
void flushKey(const RegdCall& call, uint32_t hKey, regd_BASIC_RETURN& ret) {
    traced("reg_flush_key_2", call, ret, [&] {
        if (g_verbose) writeToLog("    ptr->hKey: 0x%X", hKey);
        closeKey(call, hKey, ret);
        traceExit("reg_flush_key_2", ret.retval);
        regdSetDirtyFlag();
        return Exit::Own;
    });
}

// ---- Values ----

// Sizes the reply from the client's capacity: a size-only query gets the
// 0xAB filler, nothing found with no capacity gets the placeholder.
void queryValueEx(const RegdCall& call, uint32_t hKey, const char* lpValueName, uint32_t isValueNameNull,
                  uint32_t lpcbData, uint32_t isDataNull, regd_REG_QUERY_VALUE_RETURN& ret) {
    static const char* const proc = "reg_query_value_ex_2";
    traced(proc, call, ret, [&] {
        if (g_verbose) {
            writeToLog("    hKey: 0x%X", hKey);
            if (isValueNameNull != 0) writeToLog("    lpSubKey: NULL");
            else writeToLog("    lpSubKey: %s", orEmpty(lpValueName));
        }
        uint32_t cap = isDataNull != 0 ? 0 : lpcbData;
        char* buf = nullptr;
        if (isDataNull == 0) {
            buf = replyBuffer(cap);
            if (buf == nullptr) {
                ret.retval = REGD_ERROR_NOT_ENOUGH_SERVER_MEMORY;
                placeholderOpaque(ret.lpData);
                traceMallocFailed(proc, cap, ret.retval);
                return Exit::Own;
            }
        }
        uint32_t size = cap;
        uint32_t type = 0;
        {
            TrimmedPath name(isValueNameNull != 0 ? nullptr : orEmpty(lpValueName));
            ret.retval = regdRegQueryValue(call.caller, hKey, name.text, 0, &type, reinterpret_cast<uint8_t*>(buf),
                                           &size);
        }
        ret.lpType = type;
        ret.lpcbData = size;
        if (size == 0) {
            free(buf);
            placeholderOpaque(ret.lpData);
        } else if (buf == nullptr) {
            ret.lpData.val = replyBuffer(size);
            if (ret.lpData.val == nullptr) {
                ret.retval = REGD_ERROR_NOT_ENOUGH_SERVER_MEMORY;
                ret.lpcbData = 0;
                placeholderOpaque(ret.lpData);
                traceMallocFailed(proc, size, ret.retval);
                return Exit::Own;
            }
            memset(ret.lpData.val, SIZE_ONLY_FILLER, size);
            ret.lpData.len = size;
        } else {
            ret.lpData.val = buf;
            ret.lpData.len = size < cap ? size : cap;
        }
        if (g_verbose) {
            writeToLog("    ---");
            writeToLog("    lpType: %d", asInt(ret.lpType));
            writeToLog("    lpcbData: %d", asInt(ret.lpcbData));
            writeToLog("<-- Leaving %s()  retval = %d", proc, asInt(ret.retval));
        }
        return Exit::Own;
    });
}

// The sub-key name goes to the query as a value name; the type is not sent.
void queryValue(const RegdCall& call, const regd_REG_QUERY_VALUE& req, regd_REG_QUERY_VALUE_RETURN& ret) {
    traced("reg_query_value_2", call, ret, [&] {
        if (g_verbose) {
            writeToLog("    hKey: 0x%X", req.hKey);
            if (req.isSubKeyNull != 0) writeToLog("    lpSubKey: NULL");
            else writeToLog("    lpSubKey: %s", orEmpty(req.lpSubKey));
            writeToLog("    lpcbValue: %d", asInt(req.lpcbValue));
        }
        queryValueEx(call, req.hKey, req.isSubKeyNull != 0 ? "" : orEmpty(req.lpSubKey), req.isSubKeyNull,
                     req.lpcbValue, req.isValueNull, ret);
        ret.lpType = 0;
        return Exit::Standard;
    });
}

// A sub-key name sets that sub-key's default value (the sub-key is made if
// missing). cbData may not reach past the text and its NUL.
void setValue(const RegdCall& call, const regd_REG_SET_VALUE& req, regd_BASIC_RETURN& ret) {
    traced("reg_set_value_2", call, ret, [&] {
        if (g_verbose) writeToLog("    ptr->hKey: 0x%X", req.hKey);
        const char* text = orEmpty(req.lpData);
        size_t received = strlen(text) + 1;
        if (req.cbData > received) {
            ret.retval = REGD_ERROR_INVALID_PARAMETER;
        } else {
            TrimmedPath name(req.isSubKeyNull != 0 ? nullptr : orEmpty(req.lpSubKey));
            ret.retval = regdRegSetValue(call.caller, req.hKey, name.text, 0, req.dwType,
                                         reinterpret_cast<const uint8_t*>(text), req.cbData, 1);
        }
        return Exit::Standard;
    });
}

// Writes the named value. A string type sent with cbData 0 is sized from
// its text, counting no further than the bytes received.
void setValueEx(const RegdCall& call, const regd_REG_SET_VALUE_EX& req, regd_BASIC_RETURN& ret) {
    traced("reg_set_value_ex_2", call, ret, [&] {
        if (g_verbose) writeToLog("    ptr->hKey: 0x%X", req.hKey);
        const char* bytes = req.lpData.val;
        uint32_t received = bytes != nullptr ? req.lpData.len : 0;
        uint32_t cbData = req.cbData;
        if (cbData > received) {
            ret.retval = REGD_ERROR_INVALID_PARAMETER;
            return Exit::Standard;
        }
        bool isString = req.dwType == REGD_REG_SZ || req.dwType == REGD_REG_EXPAND_SZ;
        if (isString && cbData == 0 && received > 0 && bytes[0] != '\0') {
            size_t textLen = strnlen(bytes, received);
            cbData = textLen < received ? static_cast<uint32_t>(textLen) + 1 : received;
        }
        TrimmedPath name(req.isValueNameNull != 0 ? nullptr : orEmpty(req.lpValueName));
        ret.retval = regdRegSetValue(call.caller, req.hKey, name.text, 0, req.dwType,
                                     reinterpret_cast<const uint8_t*>(bytes), cbData, 0);
        return Exit::Standard;
    });
}

// The name is used as received (not trimmed); a failed delete logs no exit.
void deleteValue(const RegdCall& call, const regd_REG_DELETE_VALUE& req, regd_BASIC_RETURN& ret) {
    traced("reg_delete_value_2", call, ret, [&] {
        if (g_verbose) writeToLog("    ptr->hKey: 0x%X", req.hKey);
        RegCacheRec* key = regdFindHKey(call.caller, req.hKey);
        const char* name = req.isValueNameNull != 0 ? "" : orEmpty(req.lpValueName);
        RegCacheRec* value = key != nullptr ? regdFindSubKey(key, name, REGD_KIND_VALUE) : nullptr;
        if (value == nullptr) {
            ret.retval = REGD_ERROR_FILE_NOT_FOUND;
            return Exit::Own;
        }
        {
            std::lock_guard<std::shared_mutex> lock(regdWriteMutex);
            regdRemoveValueRec(value);
        }
        regdSetDirtyFlag();
        ret.retval = REGD_ERROR_SUCCESS;
        return Exit::Standard;
    });
}

// ---- Enumeration and key information ----

// The name in a buffer of dwMax bytes (one more for the terminator); no
// class, no counts, no time. dwMax 0 sends the empty name.
void enumKey(const RegdCall& call, const regd_REG_ENUM_KEY& req, regd_REG_ENUM_KEY_RETURN& ret) {
    static const char* const proc = "reg_enum_key_2";
    traced(proc, call, ret, [&] {
        if (g_verbose) {
            writeToLog("    ptr->hKey: 0x%X", req.hKey);
            writeToLog("    ptr->dwIndex: %d", asInt(req.dwIndex));
            writeToLog("    ptr->dwMax: %d", asInt(req.dwMax));
        }
        char* buf = replyBuffer(req.dwMax);
        if (buf == nullptr) {
            ret.retval = REGD_ERROR_NOT_ENOUGH_SERVER_MEMORY;
            dummyString(&ret.lpName);
            dummyString(&ret.lpClass);
            traceMallocFailed(proc, req.dwMax, ret.retval);
            return Exit::Own;
        }
        char* name = buf;
        RegFileTime ft{};
        ret.retval = regdRegEnumKey(call.caller, req.hKey, req.dwIndex, req.dwMax > 0 ? &name : nullptr, nullptr,
                                    0, nullptr, nullptr, &ft, req.dwMax, 0);
        ret.lpName = buf;
        dummyString(&ret.lpClass);
        return Exit::Standard;
    });
}

// Name and class cut to the capacities asked for; a zero capacity, or a
// count of 0, sends the placeholder.
void enumKeyEx(const RegdCall& call, const regd_REG_ENUM_KEY_EX& req, regd_REG_ENUM_KEY_RETURN& ret) {
    static const char* const proc = "reg_enum_key_ex_2";
    traced(proc, call, ret, [&] {
        if (g_verbose) {
            writeToLog("    ptr->hKey: 0x%X", req.hKey);
            writeToLog("    ptr->dwIndex: %d", asInt(req.dwIndex));
        }
        char* nameBuf = nullptr;
        char* classBuf = nullptr;
        uint32_t failedSize = 0;
        if (!replyBufferPair(req.lpcbName, req.lpcbClass, &nameBuf, &classBuf, &failedSize)) {
            ret.retval = REGD_ERROR_NOT_ENOUGH_SERVER_MEMORY;
            dummyString(&ret.lpName);
            dummyString(&ret.lpClass);
            traceMallocFailed(proc, failedSize, ret.retval);
            return Exit::Own;
        }
        uint32_t nameCount = req.lpcbName;
        uint32_t classCount = req.lpcbClass;
        RegFileTime ft{};
        ret.retval = regdRegEnumKey(call.caller, req.hKey, req.dwIndex, &nameBuf, &nameCount, 0, &classBuf,
                                    &classCount, &ft, 0, 0);
        ret.lpName = textOrPlaceholder(nameBuf, nameCount);
        ret.lpClass = textOrPlaceholder(classBuf, classCount);
        ret.lpcbName = nameCount;
        ret.lpcbClass = classCount;
        ret.ftLastWriteTime.dwLowDateTime = ft.dwLowDateTime;
        ret.ftLastWriteTime.dwHighDateTime = ft.dwHighDateTime;
        return Exit::Standard;
    });
}

// Name cut to its capacity; data sent only as far as it was copied, and
// capacity-many zero bytes when it did not fit.
void enumValue(const RegdCall& call, const regd_REG_ENUM_VALUE& req, regd_REG_ENUM_VALUE_RETURN& ret) {
    static const char* const proc = "reg_enum_value_2";
    traced(proc, call, ret, [&] {
        if (g_verbose) {
            writeToLog("    hKey: 0x%X", req.hKey);
            writeToLog("    index: %d", asInt(req.dwIndex));
            writeToLog("    lpcbData: %d", asInt(req.lpcbData));
        }
        char* nameBuf = nullptr;
        char* dataBuf = nullptr;
        uint32_t failedSize = 0;
        if (!replyBufferPair(req.lpcbValue, req.lpcbData, &nameBuf, &dataBuf, &failedSize)) {
            ret.retval = REGD_ERROR_NOT_ENOUGH_SERVER_MEMORY;
            dummyString(&ret.lpszValue);
            placeholderOpaque(ret.lpData);
            traceMallocFailed(proc, failedSize, ret.retval);
            return Exit::Own;
        }
        uint32_t nameCount = req.lpcbValue;
        uint32_t dataCount = req.lpcbData;
        uint32_t type = 0;
        uint8_t* data = reinterpret_cast<uint8_t*>(dataBuf);
        ret.retval = regdRegEnumValue(call.caller, req.hKey, req.dwIndex, &nameBuf, &nameCount, 0, &type, &data,
                                      &dataCount, 0);
        ret.lpszValue = textOrPlaceholder(nameBuf, nameCount);
        ret.lpcbValue = nameCount;
        if (dataCount == 0 || dataBuf == nullptr) {
            free(dataBuf);
            placeholderOpaque(ret.lpData);
        } else {
            ret.lpData.val = dataBuf;
            ret.lpData.len = dataCount < req.lpcbData ? dataCount : req.lpcbData;
        }
        ret.lpcbData = dataCount;
        ret.lpdwType = type;
        if (g_verbose) {
            writeToLog("    ---");
            writeToLog("    lpszValue: %s", ret.lpszValue);
            writeToLog("    lpcbValue: %d", asInt(ret.lpcbValue));
            writeToLog("    lpcbData: %d", asInt(ret.lpcbData));
            writeToLog("    lpdwType: %d", asInt(ret.lpdwType));
            writeToLog("<-- Leaving %s()  retval = %d", proc, asInt(ret.retval));
        }
        return Exit::Own;
    });
}

// Class, time and the counts and maxima of the direct children.
void queryInfoKey(const RegdCall& call, const regd_REG_QUERY_INFO_KEY& req, regd_REG_QUERY_INFO_KEY_RETURN& ret) {
    traced("reg_query_info_key_2", call, ret, [&] {
        if (g_verbose) writeToLog("    ptr->hKey: 0x%X", req.hKey);
        RegCacheRec* key = regdFindHKey(call.caller, req.hKey);
        if (key == nullptr) {
            ret.retval = REGD_ERROR_FILE_NOT_FOUND;
            dummyString(&ret.lpClass);
            return Exit::Standard;
        }
        if (key->className == nullptr) {
            ret.isClassNull = 1;
            dummyString(&ret.lpClass);
        } else {
            ret.lpClass = regdStrdupOrDie(key->className);
            ret.lpcbClass = key->classLen;
        }
        ret.ftLastWriteTime.dwLowDateTime = key->lastWriteTime.dwLowDateTime;
        ret.ftLastWriteTime.dwHighDateTime = key->lastWriteTime.dwHighDateTime;
        RegKeyCounts counts{};
        regdCountChildren(key, &counts);
        ret.cSubKeys = counts.cSubKeys;
        ret.cbMaxSubKeyLen = counts.cbMaxSubKeyLen;
        ret.cbMaxClassLen = counts.cbMaxClassLen;
        ret.cValues = counts.cValues;
        ret.cbMaxValueNameLen = counts.cbMaxValueNameLen;
        ret.cbMaxValueLen = counts.cbMaxValueLen;
        ret.retval = REGD_ERROR_SUCCESS;
        return Exit::Standard;
    });
}

// ---- Hives, security and notification ----

// Reads the hive file with the caller's permissions and links its tree as
// the first child of `key`, named lpSubKey (when given) in place of `old`:
// 0, 2 when the file is unusable, 5 when it is one of the daemon's own.
uint32_t attachHive(const RegdCall& call, RegCacheRec* key, RegCacheRec* old, const char* lpSubKey,
                    const char* file) {
    std::vector<uint8_t> bytes;
    RegdHiveIo io = regdReadHiveFile(call.who, file, &bytes);
    if (io.refused) return regdRefuse(call.who, "one of the daemon's own files as a hive file");
    if (io.missing) {
        if (g_verbose) writeToLog("Registry file %s did not exist.", file);
        return REGD_ERROR_FILE_NOT_FOUND;
    }
    if (io.err != 0) {
        writeToLog("Can't open %s. errno = %d", file, io.err);
        return REGD_ERROR_FILE_NOT_FOUND;
    }
    if (g_verbose) writeToLog("Opened registry file: %s", file);
    // Held from the decoding to the linking, so no save sees half a tree.
    std::lock_guard<std::shared_mutex> lock(regdWriteMutex);
    return regdAttachHive(key, regdReadHiveBytes(bytes, file), lpSubKey, old);
}

// Writes the sub-tree of `top` (null: the whole registry) to the file with
// the caller's permissions: 0, 5, 8 or REGD_WRITE_FILE_ERROR.
uint32_t writeHive(const RegdCall& call, RegCacheRec* top, const char* file, bool replace) {
    std::vector<uint8_t> bytes;
    uint32_t packed;
    {
        // Staging changes only the writer's scratch fields, which readers
        // never look at, so reads go on meanwhile; the other writers of
        // those fields are changes (run one at a time) and the full save
        // (which takes the lock exclusively).
        std::shared_lock<std::shared_mutex> lock(regdWriteMutex);
        packed = regdSerializeDatabase(top, &bytes);
    }
    if (packed != REGD_ERROR_SUCCESS) return packed;
    RegdHiveIo io = regdWriteHiveFile(call.who, file, bytes, replace);
    if (io.refused) return regdRefuse(call.who, "one of the daemon's own files as a hive file");
    if (io.existed) {
        writeToLog("Registry file %s already exists.", file);
        return REGD_WRITE_FILE_ERROR;
    }
    if (io.err != 0) {
        writeToLog("Failed to write %s. errno = %d", file, io.err);
        writeToLog("Registry data can't be saved.");
        return REGD_WRITE_FILE_ERROR;
    }
    return REGD_ERROR_SUCCESS;
}

void traceHandle(uint32_t hKey) {
    if (g_verbose) writeToLog("    ptr->hKey: 0x%X", hKey);
}

// Reads the hive file and links its tree as the first child of hKey's key,
// named lpSubKey (when given) in place of any key of that name.
void loadKey(const RegdCall& call, uint32_t hKey, const char* lpSubKey, const char* lpFile, regd_BASIC_RETURN& ret) {
    traced("reg_load_key_2", call, ret, [&] {
        traceHandle(hKey);
        RegCacheRec* key = regdFindHKey(call.caller, hKey);
        if (key == nullptr) {
            ret.retval = REGD_ERROR_FILE_NOT_FOUND;
            return Exit::Own;
        }
        TrimmedPath sub(lpSubKey);
        RegCacheRec* old = sub.text != nullptr ? regdFindSubKey(key, sub.text, REGD_KIND_KEY) : nullptr;
        ret.retval = attachHive(call, key, old, lpSubKey, orEmpty(lpFile));
        if (ret.retval == REGD_ERROR_SUCCESS) regdSetDirtyFlag();
        return Exit::Standard;
    });
}

// Removes the key and its sub-tree from the cache; no file is written.
void unloadKey(const RegdCall& call, const regd_REG_UNLOAD_KEY& req, regd_BASIC_RETURN& ret) {
    traced("reg_unload_key_2", call, ret, [&] {
        traceHandle(req.hKey);
        TrimmedPath sub(orEmpty(req.lpSubKey));
        deleteKey(call, req.hKey, sub.text, ret);
        return Exit::Standard;
    });
}

// Saves the existing sub-key to lpOldFile, then loads lpNewFile in its place.
void replaceKey(const RegdCall& call, const regd_REG_REPLACE_KEY& req, regd_BASIC_RETURN& ret) {
    traced("reg_replace_key_2", call, ret, [&] {
        traceHandle(req.hKey);
        RegCacheRec* key = regdFindHKey(call.caller, req.hKey);
        RegCacheRec* old = nullptr;
        if (key != nullptr) {
            TrimmedPath sub(orEmpty(req.lpSubKey));
            old = regdFindSubKey(key, sub.text, REGD_KIND_KEY);
        }
        if (old == nullptr) {
            ret.retval = REGD_ERROR_FILE_NOT_FOUND;
            return Exit::Own;
        }
        // By record, not by handle: a key named like a root carries that
        // root's handle. A failed save does not stop the load; a refused one does.
        if (writeHive(call, old, orEmpty(req.lpOldFile), true) == REGD_ERROR_ACCESS_DENIED) {
            ret.retval = REGD_ERROR_ACCESS_DENIED;
            return Exit::Standard;
        }
        loadKey(call, req.hKey, orEmpty(req.lpSubKey), orEmpty(req.lpNewFile), ret);
        return Exit::Standard;
    });
}

// Loads the hive under hKey by the name stored in the file, beside any key
// of that name.
void restoreKey(const RegdCall& call, const regd_REG_RESTORE_KEY& req, regd_BASIC_RETURN& ret) {
    traced("reg_restore_key_2", call, ret, [&] {
        traceHandle(req.hKey);
        loadKey(call, req.hKey, nullptr, orEmpty(req.lpFile), ret);
        return Exit::Standard;
    });
}

// Writes the key's sub-tree (hKey 0: the whole registry) to a new file;
// the whole registry replaces an existing file.
void saveKey(const RegdCall& call, const regd_REG_SAVE_KEY& req, regd_BASIC_RETURN& ret) {
    traced("reg_save_key_2", call, ret, [&] {
        traceHandle(req.hKey);
        RegCacheRec* top = req.hKey != 0 ? regdFindHKey(call.caller, req.hKey) : nullptr;
        if (req.hKey != 0 && top == nullptr) ret.retval = REGD_ERROR_FILE_NOT_FOUND;
        else ret.retval = writeHive(call, top, orEmpty(req.lpFile), req.hKey == 0);
        return Exit::Standard;
    });
}

// Keys carry no security data: an empty descriptor.
void getKeySecurity(const RegdCall& call, const regd_REG_GET_KEY_SEC& req, regd_REG_GET_KEY_SEC_RETURN& ret) {
    traced("reg_get_key_security_2", call, ret, [&] {
        traceHandle(req.hKey);
        ret.retval = REGD_ERROR_SUCCESS;
        dummyString(&ret.pSecurityDescriptor);
        ret.lpcbSecurityDescriptor = 0;
        return Exit::Standard;
    });
}

void setKeySecurity(const RegdCall& call, const regd_REG_SET_KEY_SEC& req, regd_BASIC_RETURN& ret) {
    traced("reg_set_key_security_2", call, ret, [&] {
        traceHandle(req.hKey);
        ret.retval = REGD_ERROR_SUCCESS;
        return Exit::Standard;
    });
}

// Registers the watch for this connection; its event is set by the first
// matching change (see rpc/regd_notify.h).
void notifyChangeKeyValue(const RegdCall& call, const regd_REG_NOTIFY_CHANGE_KEY_VALUE& req, regd_BASIC_RETURN& ret) {
    traced("reg_notify_change_key_value_2", call, ret, [&] {
        traceHandle(req.hKey);
        if (g_verbose) {
            writeToLog("    ptr->bWatchSubtree: %d", req.bWatchSubtree);
            writeToLog("    ptr->dwNotifyFilter: 0x%X", req.dwNotifyFilter);
            writeToLog("    ptr->hEvent: 0x%X", req.hEvent);
        }
        ret.retval = regdNotifyRegister(call.caller, req.hKey, req.bWatchSubtree != 0, req.dwNotifyFilter, req.hEvent);
        if (g_verbose) writeToLog("    registrations: %d", asInt(static_cast<uint32_t>(regdNotifyCount())));
        return Exit::Standard;
    });
}

// ---- The procedure table ----

template <typename T>
struct XdrRecord;
template <typename T>
struct XdrRecord<bool_t (*)(XDR*, T*)> {
    using type = T;
};

// Procedures that only read the store run side by side under its shared
// lock. Procedures that change it run one at a time: their look-ups before
// the change take no lock, so no other change may run meanwhile; the change
// itself takes the store's lock exclusively, which waits for the readers.
enum class Access { Read, Change };
std::mutex changeProcedureMutex;

// A result that carries only `retval` (placeholders in its text and data
// fields): a refused call, or a reply too large to queue.
template <auto XdrRes>
void failWith(void* result, uint32_t retval) {
    using Res = typename XdrRecord<decltype(XdrRes)>::type;
    Res& res = *static_cast<Res*>(result);
    xdr_free(reinterpret_cast<xdrproc_t>(XdrRes), reinterpret_cast<char*>(&res));
    res = Res{};
    res.resultTag = 1;
    auto& ret = res.ret;
    ret.retval = retval;
    if constexpr (requires { ret.lpData; }) placeholderOpaque(ret.lpData);
    if constexpr (requires { ret.lpName; }) dummyString(&ret.lpName);
    if constexpr (requires { ret.lpClass; }) dummyString(&ret.lpClass);
    if constexpr (requires { ret.lpszValue; }) dummyString(&ret.lpszValue);
    if constexpr (requires { ret.pSecurityDescriptor; }) dummyString(&ret.pSecurityDescriptor);
}

// The answer to a reply too large to queue, as a failed allocation answers.
template <auto XdrRes>
void refuse(void* result) {
    failWith<XdrRes>(result, REGD_ERROR_NOT_ENOUGH_SERVER_MEMORY);
}

// A procedure as the transport calls it: the caller admitted, what the call
// touches judged by `Gate` (nullptr: nothing to judge), then `Body`, all
// under the lock its access needs.
template <auto XdrReq, auto XdrRes, auto Body, Access A, auto Gate>
void procedure(void* request, void* result, RegdPeer& peer) {
    using Req = typename XdrRecord<decltype(XdrReq)>::type;
    using Res = typename XdrRecord<decltype(XdrRes)>::type;
    Req& req = *static_cast<Req*>(request);
    RegdIdentity who;
    uint32_t refused = regdAdmitCall(peer, g_packetVersion, req.userData, &who);
    auto run = [&] {
        Res& res = *static_cast<Res*>(result);
        res.resultTag = 1;
        RegdCall call{req.userData, callerFrom(req.userData), who};
        if constexpr (!std::is_same_v<decltype(Gate), std::nullptr_t>)
            if (refused == 0) refused = Gate(call, req);
        if (refused != 0) failWith<XdrRes>(result, refused);
        else Body(call, req, res.ret);
    };
    if constexpr (A == Access::Read) {
        std::shared_lock<std::shared_mutex> lock(regdWriteMutex);
        run();
    } else {
        std::lock_guard<std::mutex> lock(changeProcedureMutex);
        run();
    }
}

template <auto XdrReq, auto XdrRes, auto Body, Access A = Access::Change, auto Gate = nullptr>
RegdProcedure entry() {
    return RegdProcedure{reinterpret_cast<xdrproc_t>(XdrReq), reinterpret_cast<xdrproc_t>(XdrRes),
                         procedure<XdrReq, XdrRes, Body, A, Gate>, refuse<XdrRes>};
}

// ---- Gates: what a call may touch, judged before its body runs ----
// Key gates let the privileged (root, the daemon's own user) pass at once;
// hive file names are judged for every caller.

RegCacheRec* handleOf(const RegdCall& c, uint32_t hKey) { return regdFindHKey(c.caller, hKey); }

template <typename Req>
uint32_t readsHandle(const RegdCall& c, const Req& r) {
    if (c.who.privileged) return 0;
    return regdCheckRecord(c.who, handleOf(c, r.hKey), RegdWant::Read);
}
template <typename Req>
uint32_t writesHandle(const RegdCall& c, const Req& r) {
    if (c.who.privileged) return 0;
    return regdCheckRecord(c.who, handleOf(c, r.hKey), RegdWant::Write);
}

// The key an open finds (the handle's own for an absent or blank path).
uint32_t opensKey(const RegdCall& c, uint32_t hKey, const char* lpSubKey) {
    if (c.who.privileged) return 0;
    RegCacheRec* start = handleOf(c, hKey);
    TrimmedPath sub(lpSubKey);
    if (start == nullptr || sub.text == nullptr || strspn(sub.text, " =") == strlen(sub.text))
        return regdCheckRecord(c.who, start, RegdWant::Read);
    return regdCheckRecord(c.who, regdFindSubKey(start, sub.text, REGD_KIND_KEY), RegdWant::Read);
}
uint32_t gateOpen(const RegdCall& c, const regd_REG_OPEN_KEY& r) { return opensKey(c, r.hKey, r.lpSubKey); }
uint32_t gateOpenEx(const RegdCall& c, const regd_REG_OPEN_KEY_EX& r) {
    if (c.who.privileged) return 0;
    if (r.isSubKeyNull != 0) return regdCheckRecord(c.who, handleOf(c, r.hKey), RegdWant::Read);
    RegCacheRec* start = handleOf(c, r.hKey);
    TrimmedPath sub(orEmpty(r.lpSubKey));
    return regdCheckRecord(c.who, start != nullptr ? regdFindSubKey(start, sub.text, REGD_KIND_KEY) : nullptr,
                           RegdWant::Read);
}

// A create that finds its key only reads it; one that makes keys writes.
uint32_t createsKey(const RegdCall& c, uint32_t hKey, const char* lpSubKey, uint32_t isSubKeyNull) {
    if (c.who.privileged) return 0;
    RegCacheRec* start = handleOf(c, hKey);
    if (isSubKeyNull != 0 || start == nullptr) return regdCheckRecord(c.who, start, RegdWant::Read);
    TrimmedPath sub(orEmpty(lpSubKey));
    if (uint32_t r = opensKey(c, hKey, sub.text)) return r;
    RegCacheRec* found = regdFindSubKey(start, sub.text, REGD_KIND_KEY);
    bool blank = strspn(sub.text, " =") == strlen(sub.text);
    return found != nullptr || blank ? 0 : regdCheckPath(c.who, start, sub.text, RegdWant::Write);
}
uint32_t gateCreate(const RegdCall& c, const regd_REG_CREATE_KEY& r) {
    return createsKey(c, r.hKey, r.lpSubKey, r.isSubKeyNull);
}
uint32_t gateCreateEx(const RegdCall& c, const regd_REG_CREATE_KEY_EX& r) {
    return createsKey(c, r.hKey, r.lpSubKey, r.isSubKeyNull);
}

// A value name that may stand for a sub-key (its default value).
uint32_t valuePath(const RegdCall& c, uint32_t hKey, const char* name, uint32_t isNull, RegdWant want) {
    if (c.who.privileged) return 0;
    TrimmedPath path(isNull != 0 ? nullptr : orEmpty(name));
    return regdCheckPath(c.who, handleOf(c, hKey), path.text, want);
}
uint32_t gateQueryValue(const RegdCall& c, const regd_REG_QUERY_VALUE& r) {
    return valuePath(c, r.hKey, r.lpSubKey, r.isSubKeyNull, RegdWant::Read);
}
uint32_t gateQueryValueEx(const RegdCall& c, const regd_REG_QUERY_VALUE_EX& r) {
    return valuePath(c, r.hKey, r.lpValueName, r.isValueNameNull, RegdWant::Read);
}
uint32_t gateSetValue(const RegdCall& c, const regd_REG_SET_VALUE& r) {
    return valuePath(c, r.hKey, r.lpSubKey, r.isSubKeyNull, RegdWant::Write);
}

// The key a delete (or unload) would remove.
uint32_t deletesKey(const RegdCall& c, uint32_t hKey, const char* lpSubKey) {
    if (c.who.privileged) return 0;
    RegCacheRec* start = handleOf(c, hKey);
    TrimmedPath sub(orEmpty(lpSubKey));
    return regdCheckRecord(c.who, start != nullptr ? regdFindSubKey(start, sub.text, REGD_KIND_KEY) : nullptr,
                           RegdWant::Write);
}
uint32_t gateDelete(const RegdCall& c, const regd_REG_DELETE_KEY& r) { return deletesKey(c, r.hKey, r.lpSubKey); }

// A watch of a whole tree hears of changes to every key in it.
uint32_t gateNotify(const RegdCall& c, const regd_REG_NOTIFY_CHANGE_KEY_VALUE& r) {
    if (c.who.privileged) return 0;
    RegCacheRec* key = handleOf(c, r.hKey);
    return r.bWatchSubtree != 0 ? regdCheckSubTree(c.who, key, RegdWant::Read)
                                : regdCheckRecord(c.who, key, RegdWant::Read);
}

// Hive procedures are for local callers only, and their file names must
// pass regdCheckHiveName.
uint32_t localOnly(const RegdCall& c) {
    return c.who.remote ? regdRefuse(c.who, "a hive procedure from a remote caller") : 0;
}
uint32_t gateUnload(const RegdCall& c, const regd_REG_UNLOAD_KEY& r) {
    if (uint32_t v = localOnly(c)) return v;
    return deletesKey(c, r.hKey, r.lpSubKey);
}
uint32_t gateSave(const RegdCall& c, const regd_REG_SAVE_KEY& r) {
    if (uint32_t v = localOnly(c)) return v;
    if (r.hKey == 0 && !c.who.privileged) return regdRefuse(c.who, "a save of the whole registry");
    if (uint32_t v = regdCheckSubTree(c.who, handleOf(c, r.hKey), RegdWant::Read)) return v;
    return regdCheckHiveName(c.who, orEmpty(r.lpFile));
}
// A tree linked below `key` as lpSubKey (exactly as received) in place of
// the key the trimmed name finds.
uint32_t replacesChild(const RegdCall& c, RegCacheRec* key, const char* lpSubKey) {
    if (key == nullptr) return 0;
    if (uint32_t v = regdCheckNewChild(c.who, key, orEmpty(lpSubKey))) return v;
    TrimmedPath sub(orEmpty(lpSubKey));
    return regdCheckSubTree(c.who, regdFindSubKey(key, sub.text, REGD_KIND_KEY), RegdWant::Write);
}
uint32_t gateLoad(const RegdCall& c, const regd_REG_LOAD_KEY& r) {
    if (uint32_t v = localOnly(c)) return v;
    if (uint32_t v = replacesChild(c, handleOf(c, r.hKey), r.lpSubKey)) return v;
    return regdCheckHiveName(c.who, orEmpty(r.lpFile));
}
uint32_t gateReplace(const RegdCall& c, const regd_REG_REPLACE_KEY& r) {
    if (uint32_t v = localOnly(c)) return v;
    if (uint32_t v = replacesChild(c, handleOf(c, r.hKey), r.lpSubKey)) return v;
    if (uint32_t v = regdCheckHiveName(c.who, orEmpty(r.lpOldFile))) return v;
    return regdCheckHiveName(c.who, orEmpty(r.lpNewFile));
}
// A restored tree keeps the name in its file, which nobody has seen yet:
// into HKEY_USERS itself only for the privileged.
uint32_t gateRestore(const RegdCall& c, const regd_REG_RESTORE_KEY& r) {
    if (uint32_t v = localOnly(c)) return v;
    RegCacheRec* key = handleOf(c, r.hKey);
    if (key != nullptr && key == handleOf(c, REGD_HKEY_USERS) && !c.who.privileged)
        return regdRefuse(c.who, "a hive restored into HKEY_USERS");
    if (uint32_t v = regdCheckRecord(c.who, key, RegdWant::Write)) return v;
    return regdCheckHiveName(c.who, orEmpty(r.lpFile));
}

constexpr Access Read = Access::Read;

// Procedures whose bodies siblings call with plain arguments, as the
// table calls them: from their request records.
void openKeyCall(const RegdCall& c, const regd_REG_OPEN_KEY& r, regd_REG_OPEN_KEY_RETURN& ret) {
    openKey(c, r.hKey, r.lpSubKey, ret);
}
void createKeyCall(const RegdCall& c, const regd_REG_CREATE_KEY& r, regd_REG_CREATE_KEY_RETURN& ret) {
    createKey(c, r.hKey, r.lpSubKey, r.isSubKeyNull, ret);
}
// Closing a handle ends the watches this connection made through it.
void closeKeyCall(const RegdCall& c, const regd_REG_CLOSE_KEY& r, regd_BASIC_RETURN& ret) {
    closeKey(c, r.hKey, ret);
    regdNotifyHandleClosed(r.hKey);
}
void deleteKeyCall(const RegdCall& c, const regd_REG_DELETE_KEY& r, regd_BASIC_RETURN& ret) {
    deleteKey(c, r.hKey, r.lpSubKey, ret);
}
void flushKeyCall(const RegdCall& c, const regd_REG_FLUSH_KEY& r, regd_BASIC_RETURN& ret) { flushKey(c, r.hKey, ret); }
void queryValueExCall(const RegdCall& c, const regd_REG_QUERY_VALUE_EX& r, regd_REG_QUERY_VALUE_RETURN& ret) {
    queryValueEx(c, r.hKey, r.lpValueName, r.isValueNameNull, r.lpcbData, r.isDataNull, ret);
}
void loadKeyCall(const RegdCall& c, const regd_REG_LOAD_KEY& r, regd_BASIC_RETURN& ret) {
    loadKey(c, r.hKey, r.lpSubKey, r.lpFile, ret);
}

// Indexed by procedure number; an empty entry answers PROC_UNAVAIL (17 has
// no procedure by design).
std::array<RegdProcedure, REGD_NPROCS> makeTable() {
    std::array<RegdProcedure, REGD_NPROCS> t{};
    constexpr Access Change = Access::Change;
    t[REG_PING_DAEMON] = entry<xdr_regd_REG_PING_DAEMON, xdr_regd_BASIC_RES, pingDaemon>();
    t[REG_QUERY_VERSION] = entry<xdr_regd_REG_QUERY_VERSION, xdr_regd_REG_QUERY_VERSION_RES, queryVersion, Read>();
    t[REG_OPEN_KEY] = entry<xdr_regd_REG_OPEN_KEY, xdr_regd_REG_OPEN_KEY_RES, openKeyCall, Read, gateOpen>();
    t[REG_OPEN_KEY_EX] = entry<xdr_regd_REG_OPEN_KEY_EX, xdr_regd_REG_OPEN_KEY_RES, openKeyEx, Read, gateOpenEx>();
    t[REG_CREATE_KEY] =
        entry<xdr_regd_REG_CREATE_KEY, xdr_regd_REG_CREATE_KEY_RES, createKeyCall, Change, gateCreate>();
    t[REG_CREATE_KEY_EX] =
        entry<xdr_regd_REG_CREATE_KEY_EX, xdr_regd_REG_CREATE_KEY_RES, createKeyEx, Change, gateCreateEx>();
    t[REG_CLOSE_KEY] = entry<xdr_regd_REG_CLOSE_KEY, xdr_regd_BASIC_RES, closeKeyCall>();
    t[REG_DELETE_KEY] = entry<xdr_regd_REG_DELETE_KEY, xdr_regd_BASIC_RES, deleteKeyCall, Change, gateDelete>();
    t[REG_FLUSH_KEY] = entry<xdr_regd_REG_FLUSH_KEY, xdr_regd_BASIC_RES, flushKeyCall>();
    t[REG_QUERY_VALUE] =
        entry<xdr_regd_REG_QUERY_VALUE, xdr_regd_REG_QUERY_VALUE_RES, queryValue, Read, gateQueryValue>();
    t[REG_QUERY_VALUE_EX] = entry<xdr_regd_REG_QUERY_VALUE_EX, xdr_regd_REG_QUERY_VALUE_RES, queryValueExCall,
                                  Read, gateQueryValueEx>();
    t[REG_SET_VALUE] = entry<xdr_regd_REG_SET_VALUE, xdr_regd_BASIC_RES, setValue, Change, gateSetValue>();
    t[REG_SET_VALUE_EX] = entry<xdr_regd_REG_SET_VALUE_EX, xdr_regd_BASIC_RES, setValueEx, Change,
                                writesHandle<regd_REG_SET_VALUE_EX>>();
    t[REG_DELETE_VALUE] = entry<xdr_regd_REG_DELETE_VALUE, xdr_regd_BASIC_RES, deleteValue, Change,
                                writesHandle<regd_REG_DELETE_VALUE>>();
    t[REG_ENUM_KEY] =
        entry<xdr_regd_REG_ENUM_KEY, xdr_regd_REG_ENUM_KEY_RES, enumKey, Read, readsHandle<regd_REG_ENUM_KEY>>();
    t[REG_ENUM_KEY_EX] = entry<xdr_regd_REG_ENUM_KEY_EX, xdr_regd_REG_ENUM_KEY_RES, enumKeyEx, Read,
                               readsHandle<regd_REG_ENUM_KEY_EX>>();
    t[REG_ENUM_VALUE] = entry<xdr_regd_REG_ENUM_VALUE, xdr_regd_REG_ENUM_VALUE_RES, enumValue, Read,
                              readsHandle<regd_REG_ENUM_VALUE>>();
    t[REG_QUERY_INFO_KEY] = entry<xdr_regd_REG_QUERY_INFO_KEY, xdr_regd_REG_QUERY_INFO_KEY_RES, queryInfoKey, Read,
                                  readsHandle<regd_REG_QUERY_INFO_KEY>>();
    t[REG_LOAD_KEY] = entry<xdr_regd_REG_LOAD_KEY, xdr_regd_BASIC_RES, loadKeyCall, Change, gateLoad>();
    t[REG_UNLOAD_KEY] = entry<xdr_regd_REG_UNLOAD_KEY, xdr_regd_BASIC_RES, unloadKey, Change, gateUnload>();
    t[REG_REPLACE_KEY] = entry<xdr_regd_REG_REPLACE_KEY, xdr_regd_BASIC_RES, replaceKey, Change, gateReplace>();
    t[REG_RESTORE_KEY] = entry<xdr_regd_REG_RESTORE_KEY, xdr_regd_BASIC_RES, restoreKey, Change, gateRestore>();
    t[REG_SAVE_KEY] = entry<xdr_regd_REG_SAVE_KEY, xdr_regd_BASIC_RES, saveKey, Change, gateSave>();
    t[REG_GET_KEY_SEC] = entry<xdr_regd_REG_GET_KEY_SEC, xdr_regd_REG_GET_KEY_SEC_RES, getKeySecurity, Read,
                               readsHandle<regd_REG_GET_KEY_SEC>>();
    t[REG_SET_KEY_SEC] = entry<xdr_regd_REG_SET_KEY_SEC, xdr_regd_BASIC_RES, setKeySecurity, Read>();
    t[REG_NOTIFY_CHANGE_KEY_VALUE] = entry<xdr_regd_REG_NOTIFY_CHANGE_KEY_VALUE, xdr_regd_BASIC_RES,
                                           notifyChangeKeyValue, Read, gateNotify>();
    return t;
}

}  // namespace

const RegdProcedure* regdFindProcedure(uint32_t procNum) {
    static const std::array<RegdProcedure, REGD_NPROCS> table = makeTable();
    if (procNum >= REGD_NPROCS || table[procNum].call == nullptr) return nullptr;
    return &table[procNum];
}
