#include "rpc/regd_svc_proc.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include <unistd.h>

#include "rpc/regd_clients.h"
#include "base/config.h"
#include "base/files.h"
#include "base/log.h"
#include "base/strings.h"
#include "base/strings.h"
#include "store/regdcache.h"
#include "store/regdio.h"
#include "sync/sysv_ipcs.h"

namespace {

constexpr uint32_t PLACEHOLDER_SIZE = 13;  // "ZORP+IS+COOL" and its NUL
constexpr uint8_t SIZE_ONLY_FILLER = 0xAB;

const char* orEmpty(const char* s) { return s != nullptr ? s : ""; }
int asInt(uint32_t v) { return static_cast<int>(v); }

// A header for a nested procedure call: the caller's identity, own copies.
regd_USER_DATA copyHeader(const regd_USER_DATA& from) {
    regd_USER_DATA h{};
    h.userName = regdStrdupOrDie(orEmpty(from.userName));
    h.userId = from.userId;
    h.hostId = from.hostId;
    return h;
}

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

// CREATE_KEY and CREATE_KEY_EX with a null sub-key: the handle's own key.
uint32_t resolveNullSubKey(const RegdCaller& caller, uint32_t hKey, uint32_t* hkResult) {
    RegCacheRec* rec = regdFindHKey(caller, hKey);
    *hkResult = rec != nullptr ? rec->hKey : 0;
    return rec != nullptr ? REGD_ERROR_SUCCESS : REGD_ERROR_INVALID_PARAMETER;
}

// Opens `lpSubKey` below hKey through the open procedure; when that fails,
// creates it with the class and options under the write lock.
uint32_t openOrInsert(const regd_USER_DATA& header, uint32_t hKey, const char* lpSubKey,
                      const char* lpClass, uint32_t options, struct svc_req* rqstp,
                      uint32_t* hkResult, bool* opened) {
    char* sub = fixlpSubKey(orEmpty(lpSubKey));
    regd_REG_OPEN_KEY open{};
    open.userData = copyHeader(header);
    open.hKey = hKey;
    open.lpSubKey = regdStrdupOrDie(sub);
    regd_REG_OPEN_KEY_RES* res = reg_open_key_2(&open, rqstp);
    uint32_t retval = res->ret.retval;
    *opened = retval == REGD_ERROR_SUCCESS;
    if (*opened) {
        *hkResult = res->ret.hkResult;
    } else {
        std::lock_guard<std::mutex> lock(regdWriteMutex);
        retval = regdInsertKey(regdCallerOf(header), hKey, sub, 0, lpClass, options, 0, nullptr, hkResult, nullptr, 0);
    }
    free(open.lpSubKey);
    free(open.userData.userName);
    free(sub);
    return retval;
}

// Set-value's short form creates its sub-key through CREATE_KEY, so its
// trace lines appear inside the set procedure's.
uint32_t createSubKeyByProcedure(const RegdCaller& caller, uint32_t hKey, const char* subKey,
                                 uint32_t* phkResult) {
    regd_REG_CREATE_KEY create{};
    create.userData.userName = regdStrdupOrDie(caller.userName);
    create.userData.userId = caller.userId;
    create.userData.hostId = caller.hostId;
    create.hKey = hKey;
    create.lpSubKey = regdStrdupOrDie(subKey);
    regd_REG_CREATE_KEY_RES* res = reg_create_key_2(&create, nullptr);
    *phkResult = res->ret.hkResult;
    uint32_t retval = res->ret.retval;
    free(create.lpSubKey);
    free(create.userData.userName);
    return retval;
}

[[maybe_unused]] const bool subKeyCreatorInstalled =
    (g_regdSubKeyCreator = createSubKeyByProcedure, true);

// Reply name or class text: the buffer when it carries a count, else the
// placeholder (the buffer is released).
char* textOrPlaceholder(char* buf, uint32_t count) {
    if (buf != nullptr && count > 0) return buf;
    free(buf);
    char* text = nullptr;
    dummyString(&text);
    return text;
}

}  // namespace

void regdTraceEntry(const char* procName, const regd_USER_DATA& header) {
    if (!g_verbose) return;
    writeToLog("--> Entering %s()", procName);
    writeToLog("    ptr->userName: %s", orEmpty(header.userName));
    writeToLog("    ptr->userId: %d", asInt(header.userId));
    writeToLog("    ptr->hostId: %d", asInt(header.hostId));
}

void regdTraceExit(const char* procName, uint32_t retval) {
    if (!g_verbose) return;
    writeToLog("    ---");
    writeToLog("<-- Leaving %s()  retval = %d", procName, asInt(retval));
}

RegdCaller regdCallerOf(const regd_USER_DATA& header) {
    const char* name = orEmpty(header.userName);
    size_t n = strnlen(name, REGD_USER_NAME_SIZE - 1);
    RegdCaller caller{};
    memcpy(caller.userName, name, n);
    caller.userId = header.userId;
    caller.hostId = header.hostId;
    return caller;
}

regd_REG_QUERY_VERSION_RES* reg_query_version_2(regd_REG_QUERY_VERSION* req, struct svc_req*) {
    static regd_REG_QUERY_VERSION_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_query_version", req->userData);
    if (g_verbose) writeToLog("    ptr->kalvoVersion: %d", static_cast<int>(req->userData.kalvoVersion));
    // The caller fields are deliberately left as the previous call set them.
    regdReleaseResult(result, calledBefore, xdr_regd_REG_QUERY_VERSION_RES);
    result.resultTag = 1;
    result.ret.retval = 0;
    result.ret.major = 2;
    result.ret.minor = 3;
    result.ret.minorminor = 0;
    if (g_verbose) {
        writeToLog("    ---");
        writeToLog("    major: %d", static_cast<int>(result.ret.major));
        writeToLog("    minor: %d", static_cast<int>(result.ret.minor));
        writeToLog("    minorminor: %d", static_cast<int>(result.ret.minorminor));
        writeToLog("    retval: %d", static_cast<int>(result.ret.retval));
        writeToLog("<-- Exiting reg_query_version()");
    }
    return &result;
}

// ---- Keys ----

namespace {

constexpr uint32_t PING_ORDINARY = 0;
constexpr uint32_t PING_PROCESS_END = 1;
constexpr uint32_t PING_SEGMENT = 2;
constexpr uint32_t PING_DAEMON_PID = 3;
constexpr uint32_t NO_USER = 0xFFFFFFFFu;

int32_t lastPid = 0;
uint32_t lastUid = NO_USER;

// The first child of HKEY_USERS named exactly like `caller`, or null.
RegCacheRec* findUserKey(const RegdCaller& caller) {
    RegCacheRec* users = regdFindHKey(caller, REGD_HKEY_USERS);
    if (users == nullptr) return nullptr;
    for (RegCacheRec* c = users->firstChild; c != nullptr; c = c->next)
        if (c->name != nullptr && strcmp(c->name, caller.userName) == 0) return c;
    return nullptr;
}

// Process-end ping: when the caller's user has no listed process left,
// writes the user's key to the user's file and removes it from the cache.
// True when the key was unloaded.
bool unloadUserIfLast(const regd_REG_PING_DAEMON* req, const RegdCaller& caller) {
    regdRemoveFromClientList(static_cast<int32_t>(req->pid));
    if (regdFindUid(req->userData.userId) != 0) return false;
    if (_tsm_gethostid() != req->userData.hostId) return false;
    RegCacheRec* key = findUserKey(caller);
    if (key == nullptr) return false;
    std::string file = regdUserFileName(caller.userName);
    std::lock_guard<std::mutex> guard(regdWriteMutex);
    // By record, not by handle: a user named like a root carries that
    // root's handle.
    (void)regdWriteSubTreeDatabase(key, file.c_str(), 1);
    (void)regdRegDeleteKey(key);
    return true;
}

}  // namespace

regd_BASIC_RES* reg_ping_daemon_2(regd_REG_PING_DAEMON* req, struct svc_req*) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_ping_daemon", req->userData);
    if (g_verbose) writeToLog("    ptr->finalPing: %d", asInt(req->finalPing));
    g_clientsAreActive = 1;
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    result.ret.retval = 0;
    switch (req->finalPing) {
    case PING_SEGMENT:
        result.ret.retval = static_cast<uint32_t>(kvSemaphoreSet(
            g_config.numSemaphores, g_config.numProcesses, g_config.syncPermissions, g_config.kalvoDir.c_str(), getKalvoSubDir()));
        break;
    case PING_DAEMON_PID:
        result.ret.retval = static_cast<uint32_t>(getpid());
        break;
    case PING_PROCESS_END:
        if (unloadUserIfLast(req, caller)) {
            if (g_verbose) writeToLog("<-- Leaving regd_ping_daemon()");
            lastUid = NO_USER;
            return &result;
        }
        break;
    default:
        if (static_cast<int32_t>(req->pid) != lastPid && _tsm_gethostid() == req->userData.hostId)
            regdAddToClientList(static_cast<int32_t>(req->pid), req->userData.userId);
        lastPid = static_cast<int32_t>(req->pid);
        break;
    }
    if (req->userData.userId != lastUid) {
        regdLoadUserData(caller);
        lastUid = req->userData.userId;
    }
    if (g_verbose) writeToLog("<-- Leaving regd_ping_daemon()");
    return &result;
}

// An empty sub-key, or one of nothing but blanks and '=' (which trimming
// would remove but for the first character it always keeps), gives back the
// handle unresolved.
regd_REG_OPEN_KEY_RES* reg_open_key_2(regd_REG_OPEN_KEY* req, struct svc_req*) {
    static regd_REG_OPEN_KEY_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_open_key_2", req->userData);
    if (g_verbose) {
        writeToLog("    hKey: 0x%X", req->hKey);
        writeToLog("    lpSubKey: %s", orEmpty(req->lpSubKey));
    }
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_REG_OPEN_KEY_RES);
    g_clientsAreActive = 1;
    char* sub = fixlpSubKey(req->lpSubKey);
    if (sub == nullptr || strspn(sub, " =") == strlen(sub)) {
        result.ret.hkResult = req->hKey;
        result.ret.retval = REGD_ERROR_SUCCESS;
    } else {
        result.ret.retval = regdRegOpenKey(caller, req->hKey, sub, 0, 0, &result.ret.hkResult, 0);
    }
    free(sub);
    regdTraceExit("reg_open_key_2", result.ret.retval);
    return &result;
}

// A null sub-key gives back the handle unresolved; an empty one is looked
// up as a key with the empty name.
regd_REG_OPEN_KEY_RES* reg_open_key_ex_2(regd_REG_OPEN_KEY_EX* req, struct svc_req*) {
    static regd_REG_OPEN_KEY_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_open_key_ex_2", req->userData);
    if (g_verbose) writeToLog("    ptr->hKey: 0x%X", req->hKey);
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_REG_OPEN_KEY_RES);
    if (g_verbose && req->isSubKeyNull == 0) writeToLog("    ptr->lpSubKey: %s", orEmpty(req->lpSubKey));
    g_clientsAreActive = 1;
    if (req->isSubKeyNull != 0) {
        result.ret.hkResult = req->hKey;
        result.ret.retval = REGD_ERROR_SUCCESS;
    } else {
        char* sub = fixlpSubKey(orEmpty(req->lpSubKey));
        result.ret.retval = regdRegOpenKey(caller, req->hKey, sub, req->ulOptions, 0, &result.ret.hkResult, 0);
        free(sub);
    }
    regdTraceExit("reg_open_key_ex_2", result.ret.retval);
    return &result;
}

// Open first; create only what the open did not find. Disposition stays 0.
regd_REG_CREATE_KEY_RES* reg_create_key_2(regd_REG_CREATE_KEY* req, struct svc_req* rqstp) {
    static regd_REG_CREATE_KEY_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_create_key_2", req->userData);
    if (g_verbose) {
        writeToLog("    ptr->hKey: 0x%X", req->hKey);
        writeToLog("    ptr->lpSubKey: %s", orEmpty(req->lpSubKey));
        writeToLog("    ptr->isSubKeyNull: %d", asInt(req->isSubKeyNull));
    }
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_REG_CREATE_KEY_RES);
    result.ret.dwDisposition = 0;
    const char* note = nullptr;
    if (req->isSubKeyNull != 0) {
        result.ret.retval = resolveNullSubKey(caller, req->hKey, &result.ret.hkResult);
        note = "    Received NULL SubKey";
    } else {
        bool opened = false;
        uint32_t hk = 0;
        uint32_t retval = openOrInsert(req->userData, req->hKey, req->lpSubKey, nullptr, 0, rqstp, &hk, &opened);
        result.ret.hkResult = hk;
        result.ret.retval = retval;
        if (opened) note = "    Opened the key successfully.";
    }
    if (g_verbose) {
        writeToLog("    ---");
        if (note != nullptr) writeToLog("%s", note);
        writeToLog("<-- Leaving reg_create_key_2()  retval = %d", asInt(result.ret.retval));
    }
    return &result;
}

// As create, with the class and options given to a new key and the
// disposition 1 (created) or 2 (existing key; also for a null sub-key).
regd_REG_CREATE_KEY_RES* reg_create_key_ex_2(regd_REG_CREATE_KEY_EX* req, struct svc_req* rqstp) {
    static regd_REG_CREATE_KEY_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_create_key_ex_2", req->userData);
    if (g_verbose) {
        writeToLog("    ptr->hKey: 0x%X", req->hKey);
        writeToLog("    ptr->lpSubKey: %s", orEmpty(req->lpSubKey));
    }
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_REG_CREATE_KEY_RES);
    const char* note = nullptr;
    if (req->isSubKeyNull != 0) {
        result.ret.retval = resolveNullSubKey(caller, req->hKey, &result.ret.hkResult);
        result.ret.dwDisposition = 2;
        note = "    Received NULL SubKey";
    } else {
        bool opened = false;
        uint32_t hk = 0;
        uint32_t retval = openOrInsert(req->userData, req->hKey, req->lpSubKey, orEmpty(req->lpClass),
                                       req->dwOptions, rqstp, &hk, &opened);
        result.ret.hkResult = hk;
        result.ret.retval = retval;
        result.ret.dwDisposition = opened ? 2 : 1;
        if (opened) note = "    Opened the key successfully.";
    }
    if (g_verbose) {
        writeToLog("    ---");
        if (note != nullptr) writeToLog("%s", note);
        writeToLog("<-- Leaving reg_create_key_ex_2()  retval = %d", asInt(result.ret.retval));
    }
    return &result;
}

// A live handle stays usable; only a deleted key's handle is taken off the
// deleted-handle list.
regd_BASIC_RES* reg_close_key_2(regd_REG_CLOSE_KEY* req, struct svc_req*) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_close_key_2", req->userData);
    if (g_verbose) writeToLog("    hKey: 0x%X", req->hKey);
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    result.ret.retval = REGD_ERROR_SUCCESS;
    if (regdFindHKey(caller, req->hKey) == nullptr) result.ret.retval = regdRegCloseKey(req->hKey);
    regdTraceExit("reg_close_key_2", result.ret.retval);
    return &result;
}

// Deletes the named key below the handle with everything under it.
regd_BASIC_RES* reg_delete_key_2(regd_REG_DELETE_KEY* req, struct svc_req*) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_delete_key_2", req->userData);
    if (g_verbose) writeToLog("    ptr->hKey: 0x%X", req->hKey);
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    RegCacheRec* start = regdFindHKey(caller, req->hKey);
    RegCacheRec* target = nullptr;
    if (start != nullptr) {
        char* sub = fixlpSubKey(orEmpty(req->lpSubKey));
        target = regdFindSubKey(start, sub, REGD_KIND_KEY);
        free(sub);
    }
    if (target == nullptr) {
        result.ret.retval = REGD_ERROR_FILE_NOT_FOUND;
        regdTraceExit("reg_delete_key_2", result.ret.retval);
        return &result;
    }
    {
        std::lock_guard<std::mutex> lock(regdWriteMutex);
        RegCacheRec* parent = target->parent;
        result.ret.retval = regdRegDeleteKey(target);
        regdNotifySelfAndAncestors(parent, 1);
    }
    regdTraceExit("reg_delete_key_2", result.ret.retval);
    regdSetDirtyFlag();
    return &result;
}

// Closes the handle (so a deleted key's handle goes) and schedules a save.
regd_BASIC_RES* reg_flush_key_2(regd_REG_FLUSH_KEY* req, struct svc_req* rqstp) {
    regdTraceEntry("reg_flush_key_2", req->userData);
    if (g_verbose) writeToLog("    ptr->hKey: 0x%X", req->hKey);
    regd_REG_CLOSE_KEY close{};
    close.userData = copyHeader(req->userData);
    close.hKey = req->hKey;
    regd_BASIC_RES* result = reg_close_key_2(&close, rqstp);
    regdTraceExit("reg_flush_key_2", result->ret.retval);
    free(close.userData.userName);
    regdSetDirtyFlag();
    return result;
}

// ---- Values ----

// Sizes the reply from the client's capacity: a size-only query gets the
// 0xAB filler, nothing found with no capacity gets the placeholder.
regd_REG_QUERY_VALUE_RES* reg_query_value_ex_2(regd_REG_QUERY_VALUE_EX* req, struct svc_req*) {
    static regd_REG_QUERY_VALUE_RES result;
    static bool calledBefore = false;
    static const char* const proc = "reg_query_value_ex_2";
    regdTraceEntry(proc, req->userData);
    if (g_verbose) {
        writeToLog("    hKey: 0x%X", req->hKey);
        if (req->isValueNameNull != 0) writeToLog("    lpSubKey: NULL");
        else writeToLog("    lpSubKey: %s", orEmpty(req->lpValueName));
    }
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_REG_QUERY_VALUE_RES);
    regd_REG_QUERY_VALUE_RETURN& ret = result.ret;
    uint32_t cap = req->isDataNull != 0 ? 0 : req->lpcbData;
    char* buf = nullptr;
    if (req->isDataNull == 0) {
        buf = replyBuffer(cap);
        if (buf == nullptr) {
            ret.retval = REGD_ERROR_NOT_ENOUGH_SERVER_MEMORY;
            placeholderOpaque(ret.lpData);
            traceMallocFailed(proc, cap, ret.retval);
            return &result;
        }
    }
    char* name = req->isValueNameNull != 0 ? nullptr : fixlpSubKey(orEmpty(req->lpValueName));
    uint32_t size = cap;
    uint32_t type = 0;
    ret.retval = regdRegQueryValue(caller, req->hKey, name, 0, &type, reinterpret_cast<uint8_t*>(buf), &size);
    free(name);
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
            return &result;
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
    return &result;
}

// The sub-key name goes to the query as a value name; the type is not sent.
regd_REG_QUERY_VALUE_RES* reg_query_value_2(regd_REG_QUERY_VALUE* req, struct svc_req* rqstp) {
    static regd_REG_QUERY_VALUE_RES result;
    static bool calledBefore = false;
    static const char* const proc = "reg_query_value_2";
    regdTraceEntry(proc, req->userData);
    if (g_verbose) {
        writeToLog("    hKey: 0x%X", req->hKey);
        if (req->isSubKeyNull != 0) writeToLog("    lpSubKey: NULL");
        else writeToLog("    lpSubKey: %s", orEmpty(req->lpSubKey));
        writeToLog("    lpcbValue: %d", asInt(req->lpcbValue));
    }
    regdStartResult(req->userData, result, calledBefore, xdr_regd_REG_QUERY_VALUE_RES);
    regd_REG_QUERY_VALUE_EX inner{};
    inner.userData = copyHeader(req->userData);
    inner.hKey = req->hKey;
    inner.lpValueName = regdStrdupOrDie(req->isSubKeyNull != 0 ? "" : orEmpty(req->lpSubKey));
    inner.lpcbData = req->lpcbValue;
    inner.isValueNameNull = req->isSubKeyNull;
    inner.isDataNull = req->isValueNull;
    regd_REG_QUERY_VALUE_RES* innerRes = reg_query_value_ex_2(&inner, rqstp);
    free(inner.lpValueName);
    free(inner.userData.userName);
    const regd_REG_QUERY_VALUE_RETURN& got = innerRes->ret;
    regd_REG_QUERY_VALUE_RETURN& ret = result.ret;
    if (got.lpcbData == 0) {
        placeholderOpaque(ret.lpData);
    } else {
        ret.lpData.val = static_cast<char*>(malloc(got.lpData.len > 0 ? got.lpData.len : 1));
        if (ret.lpData.val == nullptr) {
            ret.retval = REGD_ERROR_NOT_ENOUGH_SERVER_MEMORY;
            placeholderOpaque(ret.lpData);
            traceMallocFailed(proc, got.lpcbData, ret.retval);
            return &result;
        }
        if (got.lpData.len > 0) memcpy(ret.lpData.val, got.lpData.val, got.lpData.len);
        ret.lpData.len = got.lpData.len;
    }
    ret.lpcbData = got.lpcbData;
    ret.retval = got.retval;
    regdTraceExit(proc, ret.retval);
    return &result;
}

// A sub-key name sets that sub-key's default value (the sub-key is made if
// missing). cbData may not reach past the text and its NUL.
regd_BASIC_RES* reg_set_value_2(regd_REG_SET_VALUE* req, struct svc_req*) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_set_value_2", req->userData);
    if (g_verbose) writeToLog("    ptr->hKey: 0x%X", req->hKey);
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    const char* text = orEmpty(req->lpData);
    size_t received = strlen(text) + 1;
    if (req->cbData > received) {
        result.ret.retval = REGD_ERROR_INVALID_PARAMETER;
    } else {
        char* name = req->isSubKeyNull != 0 ? nullptr : fixlpSubKey(orEmpty(req->lpSubKey));
        result.ret.retval = regdRegSetValue(caller, req->hKey, name, 0, req->dwType,
                                            reinterpret_cast<const uint8_t*>(text), req->cbData, 1);
        free(name);
    }
    regdTraceExit("reg_set_value_2", result.ret.retval);
    return &result;
}

// Writes the named value. A string type sent with cbData 0 is sized from
// its text, counting no further than the bytes received.
regd_BASIC_RES* reg_set_value_ex_2(regd_REG_SET_VALUE_EX* req, struct svc_req*) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_set_value_ex_2", req->userData);
    if (g_verbose) writeToLog("    ptr->hKey: 0x%X", req->hKey);
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    const char* bytes = req->lpData.val;
    uint32_t received = bytes != nullptr ? req->lpData.len : 0;
    uint32_t cbData = req->cbData;
    if (cbData > received) {
        result.ret.retval = REGD_ERROR_INVALID_PARAMETER;
    } else {
        bool isString = req->dwType == REGD_REG_SZ || req->dwType == REGD_REG_EXPAND_SZ;
        if (isString && cbData == 0 && received > 0 && bytes[0] != '\0') {
            size_t textLen = strnlen(bytes, received);
            cbData = textLen < received ? static_cast<uint32_t>(textLen) + 1 : received;
        }
        char* name = req->isValueNameNull != 0 ? nullptr : fixlpSubKey(orEmpty(req->lpValueName));
        result.ret.retval = regdRegSetValue(caller, req->hKey, name, 0, req->dwType,
                                            reinterpret_cast<const uint8_t*>(bytes), cbData, 0);
        free(name);
    }
    regdTraceExit("reg_set_value_ex_2", result.ret.retval);
    return &result;
}

// The name is used as received (not trimmed); a failed delete logs no exit.
regd_BASIC_RES* reg_delete_value_2(regd_REG_DELETE_VALUE* req, struct svc_req*) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_delete_value_2", req->userData);
    if (g_verbose) writeToLog("    ptr->hKey: 0x%X", req->hKey);
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    RegCacheRec* key = regdFindHKey(caller, req->hKey);
    const char* name = req->isValueNameNull != 0 ? "" : orEmpty(req->lpValueName);
    RegCacheRec* value = key != nullptr ? regdFindSubKey(key, name, REGD_KIND_VALUE) : nullptr;
    if (value == nullptr) {
        result.ret.retval = REGD_ERROR_FILE_NOT_FOUND;
        return &result;
    }
    {
        std::lock_guard<std::mutex> lock(regdWriteMutex);
        RegCacheRec* parent = value->parent;
        regdRemoveValueRec(value);
        regdNotifySelfAndAncestors(parent, 4);
    }
    regdSetDirtyFlag();
    result.ret.retval = REGD_ERROR_SUCCESS;
    regdTraceExit("reg_delete_value_2", result.ret.retval);
    return &result;
}

// ---- Enumeration and key information ----

// The name in a buffer of dwMax bytes (one more for the terminator); no
// class, no counts, no time. dwMax 0 sends the empty name.
regd_REG_ENUM_KEY_RES* reg_enum_key_2(regd_REG_ENUM_KEY* req, struct svc_req*) {
    static regd_REG_ENUM_KEY_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_enum_key_2", req->userData);
    if (g_verbose) {
        writeToLog("    ptr->hKey: 0x%X", req->hKey);
        writeToLog("    ptr->dwIndex: %d", asInt(req->dwIndex));
        writeToLog("    ptr->dwMax: %d", asInt(req->dwMax));
    }
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_REG_ENUM_KEY_RES);
    regd_REG_ENUM_KEY_RETURN& ret = result.ret;
    char* buf = replyBuffer(req->dwMax);
    if (buf == nullptr) {
        ret.retval = REGD_ERROR_NOT_ENOUGH_SERVER_MEMORY;
        dummyString(&ret.lpName);
        dummyString(&ret.lpClass);
        traceMallocFailed("reg_enum_key_2", req->dwMax, ret.retval);
        return &result;
    }
    char* name = buf;
    RegFileTime ft{};
    ret.retval = regdRegEnumKey(caller, req->hKey, req->dwIndex, req->dwMax > 0 ? &name : nullptr, nullptr, 0,
                                nullptr, nullptr, &ft, req->dwMax, 0);
    ret.lpName = buf;
    dummyString(&ret.lpClass);
    regdTraceExit("reg_enum_key_2", ret.retval);
    return &result;
}

// Name and class cut to the capacities asked for; a zero capacity, or a
// count of 0, sends the placeholder.
regd_REG_ENUM_KEY_RES* reg_enum_key_ex_2(regd_REG_ENUM_KEY_EX* req, struct svc_req*) {
    static regd_REG_ENUM_KEY_RES result;
    static bool calledBefore = false;
    static const char* const proc = "reg_enum_key_ex_2";
    regdTraceEntry(proc, req->userData);
    if (g_verbose) {
        writeToLog("    ptr->hKey: 0x%X", req->hKey);
        writeToLog("    ptr->dwIndex: %d", asInt(req->dwIndex));
    }
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_REG_ENUM_KEY_RES);
    regd_REG_ENUM_KEY_RETURN& ret = result.ret;
    char* nameBuf = nullptr;
    char* classBuf = nullptr;
    uint32_t failedSize = 0;
    if (!replyBufferPair(req->lpcbName, req->lpcbClass, &nameBuf, &classBuf, &failedSize)) {
        ret.retval = REGD_ERROR_NOT_ENOUGH_SERVER_MEMORY;
        dummyString(&ret.lpName);
        dummyString(&ret.lpClass);
        traceMallocFailed(proc, failedSize, ret.retval);
        return &result;
    }
    uint32_t nameCount = req->lpcbName;
    uint32_t classCount = req->lpcbClass;
    RegFileTime ft{};
    ret.retval = regdRegEnumKey(caller, req->hKey, req->dwIndex, &nameBuf, &nameCount, 0, &classBuf, &classCount,
                                &ft, 0, 0);
    ret.lpName = textOrPlaceholder(nameBuf, nameCount);
    ret.lpClass = textOrPlaceholder(classBuf, classCount);
    ret.lpcbName = nameCount;
    ret.lpcbClass = classCount;
    ret.ftLastWriteTime.dwLowDateTime = ft.dwLowDateTime;
    ret.ftLastWriteTime.dwHighDateTime = ft.dwHighDateTime;
    regdTraceExit(proc, ret.retval);
    return &result;
}

// Name cut to its capacity; data sent only as far as it was copied, and
// capacity-many zero bytes when it did not fit.
regd_REG_ENUM_VALUE_RES* reg_enum_value_2(regd_REG_ENUM_VALUE* req, struct svc_req*) {
    static regd_REG_ENUM_VALUE_RES result;
    static bool calledBefore = false;
    static const char* const proc = "reg_enum_value_2";
    regdTraceEntry(proc, req->userData);
    if (g_verbose) {
        writeToLog("    hKey: 0x%X", req->hKey);
        writeToLog("    index: %d", asInt(req->dwIndex));
        writeToLog("    lpcbData: %d", asInt(req->lpcbData));
    }
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_REG_ENUM_VALUE_RES);
    regd_REG_ENUM_VALUE_RETURN& ret = result.ret;
    char* nameBuf = nullptr;
    char* dataBuf = nullptr;
    uint32_t failedSize = 0;
    if (!replyBufferPair(req->lpcbValue, req->lpcbData, &nameBuf, &dataBuf, &failedSize)) {
        ret.retval = REGD_ERROR_NOT_ENOUGH_SERVER_MEMORY;
        dummyString(&ret.lpszValue);
        placeholderOpaque(ret.lpData);
        traceMallocFailed(proc, failedSize, ret.retval);
        return &result;
    }
    uint32_t nameCount = req->lpcbValue;
    uint32_t dataCount = req->lpcbData;
    uint32_t type = 0;
    uint8_t* data = reinterpret_cast<uint8_t*>(dataBuf);
    ret.retval = regdRegEnumValue(caller, req->hKey, req->dwIndex, &nameBuf, &nameCount, 0, &type, &data,
                                  &dataCount, 0);
    ret.lpszValue = textOrPlaceholder(nameBuf, nameCount);
    ret.lpcbValue = nameCount;
    if (dataCount == 0 || dataBuf == nullptr) {
        free(dataBuf);
        placeholderOpaque(ret.lpData);
    } else {
        ret.lpData.val = dataBuf;
        ret.lpData.len = dataCount < req->lpcbData ? dataCount : req->lpcbData;
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
    return &result;
}

// Class, time and the counts and maxima of the direct children.
regd_REG_QUERY_INFO_KEY_RES* reg_query_info_key_2(regd_REG_QUERY_INFO_KEY* req, struct svc_req*) {
    static regd_REG_QUERY_INFO_KEY_RES result;
    static bool calledBefore = false;
    regdTraceEntry("reg_query_info_key_2", req->userData);
    if (g_verbose) writeToLog("    ptr->hKey: 0x%X", req->hKey);
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_REG_QUERY_INFO_KEY_RES);
    regd_REG_QUERY_INFO_KEY_RETURN& ret = result.ret;
    RegCacheRec* key = regdFindHKey(caller, req->hKey);
    if (key == nullptr) {
        ret.retval = REGD_ERROR_FILE_NOT_FOUND;
        dummyString(&ret.lpClass);
        regdTraceExit("reg_query_info_key_2", ret.retval);
        return &result;
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
    regdTraceExit("reg_query_info_key_2", ret.retval);
    return &result;
}

// ---- Hives, security and notification ----

namespace {

// A hive's top key takes the name it is loaded under, and with it the
// handle that name calls for: a top key saved from a root must not keep
// that root's handle under another name.
void renameLoadedKey(RegCacheRec* top, const char* name) {
    free(top->name);
    top->name = regdStrdupOrDie(name);
    top->nameLen = static_cast<uint32_t>(strlen(name));
    top->hKey = regdHandleForName(top->name, top->slot);
}

void linkAsFirstChild(RegCacheRec* parent, RegCacheRec* child) {
    child->parent = parent;
    child->prev = nullptr;
    child->next = parent->firstChild;
    if (parent->firstChild != nullptr) parent->firstChild->prev = child;
    parent->firstChild = child;
}

void traceHiveEntry(const char* procName, const regd_USER_DATA& header, uint32_t hKey) {
    regdTraceEntry(procName, header);
    if (g_verbose) writeToLog("    ptr->hKey: 0x%X", hKey);
}

// LOAD_KEY as the nested call of replace and restore makes it.
uint32_t callLoadKey(const regd_USER_DATA& header, uint32_t hKey, const char* subKey, const char* file,
                     struct svc_req* rqstp) {
    regd_REG_LOAD_KEY load{};
    load.userData = copyHeader(header);
    load.hKey = hKey;
    load.lpSubKey = subKey != nullptr ? regdStrdupOrDie(subKey) : nullptr;
    load.lpFile = regdStrdupOrDie(file);
    uint32_t retval = reg_load_key_2(&load, rqstp)->ret.retval;
    free(load.lpFile);
    free(load.lpSubKey);
    free(load.userData.userName);
    return retval;
}

}  // namespace

// Reads the hive file and links its tree as the first child of hKey's key,
// named lpSubKey (when given) in place of any key of that name.
regd_BASIC_RES* reg_load_key_2(regd_REG_LOAD_KEY* req, struct svc_req*) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    traceHiveEntry("reg_load_key_2", req->userData, req->hKey);
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    RegCacheRec* key = regdFindHKey(caller, req->hKey);
    if (key == nullptr) {
        result.ret.retval = REGD_ERROR_FILE_NOT_FOUND;
        return &result;
    }
    char* sub = req->lpSubKey != nullptr ? fixlpSubKey(req->lpSubKey) : nullptr;
    RegCacheRec* old = sub != nullptr ? regdFindSubKey(key, sub, REGD_KIND_KEY) : nullptr;
    result.ret.retval = REGD_ERROR_FILE_NOT_FOUND;
    {
        // Held from the read to the linking, so no save sees half a tree.
        std::lock_guard<std::mutex> lock(regdWriteMutex);
        RegCacheRec* top = regdReadRegistryDatabase(orEmpty(req->lpFile), 0);
        if (top != nullptr) {
            if (req->lpSubKey != nullptr) renameLoadedKey(top, req->lpSubKey);
            if (old != nullptr) regdRegDeleteKey(old);
            linkAsFirstChild(key, top);
            regdNotifySelfAndAncestors(key, 1);
            result.ret.retval = REGD_ERROR_SUCCESS;
        }
    }
    free(sub);
    if (result.ret.retval == REGD_ERROR_SUCCESS) regdSetDirtyFlag();
    regdTraceExit("reg_load_key_2", result.ret.retval);
    return &result;
}

// Removes the key and its sub-tree from the cache; no file is written.
regd_BASIC_RES* reg_unload_key_2(regd_REG_UNLOAD_KEY* req, struct svc_req* rqstp) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    traceHiveEntry("reg_unload_key_2", req->userData, req->hKey);
    regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    regd_REG_DELETE_KEY del{};
    del.userData = copyHeader(req->userData);
    del.hKey = req->hKey;
    del.lpSubKey = fixlpSubKey(orEmpty(req->lpSubKey));
    result.ret.retval = reg_delete_key_2(&del, rqstp)->ret.retval;
    free(del.lpSubKey);
    free(del.userData.userName);
    regdTraceExit("reg_unload_key_2", result.ret.retval);
    return &result;
}

// Saves the existing sub-key to lpOldFile, then loads lpNewFile in its place.
regd_BASIC_RES* reg_replace_key_2(regd_REG_REPLACE_KEY* req, struct svc_req* rqstp) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    traceHiveEntry("reg_replace_key_2", req->userData, req->hKey);
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    RegCacheRec* key = regdFindHKey(caller, req->hKey);
    char* sub = key != nullptr ? fixlpSubKey(orEmpty(req->lpSubKey)) : nullptr;
    RegCacheRec* old = key != nullptr ? regdFindSubKey(key, sub, REGD_KIND_KEY) : nullptr;
    free(sub);
    if (old == nullptr) {
        result.ret.retval = REGD_ERROR_FILE_NOT_FOUND;
        return &result;
    }
    {
        std::lock_guard<std::mutex> lock(regdWriteMutex);
        // By record, not by handle: a key named like a root carries that
        // root's handle. A failed save does not stop the load.
        (void)regdWriteSubTreeDatabase(old, orEmpty(req->lpOldFile), 1);
    }
    result.ret.retval =
        callLoadKey(req->userData, req->hKey, orEmpty(req->lpSubKey), orEmpty(req->lpNewFile), rqstp);
    regdTraceExit("reg_replace_key_2", result.ret.retval);
    return &result;
}

// Loads the hive under hKey by the name stored in the file, beside any key
// of that name.
regd_BASIC_RES* reg_restore_key_2(regd_REG_RESTORE_KEY* req, struct svc_req* rqstp) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    traceHiveEntry("reg_restore_key_2", req->userData, req->hKey);
    regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    result.ret.retval = callLoadKey(req->userData, req->hKey, nullptr, orEmpty(req->lpFile), rqstp);
    regdTraceExit("reg_restore_key_2", result.ret.retval);
    return &result;
}

// Writes the key's sub-tree (hKey 0: the whole registry) to a new file.
regd_BASIC_RES* reg_save_key_2(regd_REG_SAVE_KEY* req, struct svc_req*) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    traceHiveEntry("reg_save_key_2", req->userData, req->hKey);
    const RegdCaller caller = regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    if (req->hKey != 0 && regdFindHKey(caller, req->hKey) == nullptr) {
        result.ret.retval = REGD_ERROR_FILE_NOT_FOUND;
    } else {
        std::lock_guard<std::mutex> lock(regdWriteMutex);
        // Earlier sub-tree saves leave their records marked as written; the
        // whole registry means all of it.
        if (req->hKey == 0) regdResetPackState();
        result.ret.retval = regdWriteRegistryDatabase(caller, req->hKey, orEmpty(req->lpFile), 0);
    }
    regdTraceExit("reg_save_key_2", result.ret.retval);
    return &result;
}

// Keys carry no security data: an empty descriptor.
regd_REG_GET_KEY_SEC_RES* reg_get_key_security_2(regd_REG_GET_KEY_SEC* req, struct svc_req*) {
    static regd_REG_GET_KEY_SEC_RES result;
    static bool calledBefore = false;
    traceHiveEntry("reg_get_key_security_2", req->userData, req->hKey);
    regdStartResult(req->userData, result, calledBefore, xdr_regd_REG_GET_KEY_SEC_RES);
    result.ret.retval = REGD_ERROR_SUCCESS;
    dummyString(&result.ret.pSecurityDescriptor);
    result.ret.lpcbSecurityDescriptor = 0;
    regdTraceExit("reg_get_key_security_2", result.ret.retval);
    return &result;
}

regd_BASIC_RES* reg_set_key_security_2(regd_REG_SET_KEY_SEC* req, struct svc_req*) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    traceHiveEntry("reg_set_key_security_2", req->userData, req->hKey);
    regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    result.ret.retval = REGD_ERROR_SUCCESS;
    regdTraceExit("reg_set_key_security_2", result.ret.retval);
    return &result;
}

// Accepted and not recorded: the client's event is never signalled.
regd_BASIC_RES* reg_notify_change_key_value_2(regd_REG_NOTIFY_CHANGE_KEY_VALUE* req, struct svc_req*) {
    static regd_BASIC_RES result;
    static bool calledBefore = false;
    traceHiveEntry("reg_notify_change_key_value_2", req->userData, req->hKey);
    regdStartResult(req->userData, result, calledBefore, xdr_regd_BASIC_RES);
    result.ret.retval = regdRegNotifyChangeKeyValue(req->hKey, req->bWatchSubtree, req->dwNotifyFilter,
                                                    req->hEvent, req->fAsynchronous);
    regdTraceExit("reg_notify_change_key_value_2", result.ret.retval);
    return &result;
}
