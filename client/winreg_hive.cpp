// Hive, security and notification functions of the registry client.
#include <cstring>
#include <mutex>
#include <set>

#include "client/winreg_call.h"
#include "kalvo/synchapi.h"
#include "kalvo/winreg.h"
#include "sync/kvipc_wire.h"

using kalvoreg::callDaemon;
using kalvoreg::Via;
using kalvoreg::callForStatus;
using kalvoreg::Reply;
using kalvoreg::wireText;

namespace {

std::mutex processWatchMutex;
std::set<uint32_t> processWatchedKeys;
thread_local std::set<uint32_t> threadWatchedKeys;

// NOTIFY_CHANGE_KEY_VALUE on the connection `via`, with the event's own
// handle (a duplicate's tag taken off).
LONG registerWatch(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent, Via via) {
    uintptr_t value = reinterpret_cast<uintptr_t>(hEvent);
    if (value == 0) return ERROR_INVALID_PARAMETER;
    if (value > UINT32_MAX || (value & KV_KIND_MASK) != KV_KIND_EVENT || (value & KV_SERVER_MARKER) == 0)
        return ERROR_INVALID_HANDLE;
    regd_REG_NOTIFY_CHANGE_KEY_VALUE req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.bWatchSubtree = bWatchSubtree;
    req.dwNotifyFilter = dwNotifyFilter;
    req.hEvent = static_cast<uint32_t>(value) & ~KV_EVENT_TAG_MASK;
    req.fAsynchronous = TRUE;  // the daemon never holds a call; waiting is ours
    LONG rv = callForStatus(REG_NOTIFY_CHANGE_KEY_VALUE, xdr_regd_REG_NOTIFY_CHANGE_KEY_VALUE, &req, via);
    if (rv == ERROR_SUCCESS) kalvoreg::noteWatchedKey(req.hKey, via);
    return rv;
}

}  // namespace

void kalvoreg::noteWatchedKey(uint32_t hKey, Via via) {
    if (via == Via::Thread) {
        threadWatchedKeys.insert(hKey);
        return;
    }
    std::lock_guard<std::mutex> guard(processWatchMutex);
    processWatchedKeys.insert(hKey);
}

std::pair<bool, bool> kalvoreg::takeWatchedKey(uint32_t hKey) {
    bool onThread = threadWatchedKeys.erase(hKey) > 0;
    bool onProcess = false;
    {
        std::lock_guard<std::mutex> guard(processWatchMutex);
        onProcess = !processWatchedKeys.empty() && processWatchedKeys.erase(hKey) > 0;
    }
    return {onThread || !onProcess, onProcess};
}

extern "C" {

LONG RegLoadKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpFile) {
    if (lpSubKey == nullptr || lpFile == nullptr) return ERROR_INVALID_PARAMETER;
    regd_REG_LOAD_KEY req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpSubKey = wireText(lpSubKey);
    req.lpFile = wireText(lpFile);
    return callForStatus(REG_LOAD_KEY, xdr_regd_REG_LOAD_KEY, &req);
}

LONG RegUnLoadKeyA(HKEY hKey, LPCSTR lpSubKey) {
    regd_REG_UNLOAD_KEY req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpSubKey = wireText(lpSubKey);
    return callForStatus(REG_UNLOAD_KEY, xdr_regd_REG_UNLOAD_KEY, &req);
}

LONG RegSaveKeyA(HKEY hKey, LPCSTR lpFile, const LPSECURITY_ATTRIBUTES lpSecurityAttributes) {
    if (lpFile == nullptr) return ERROR_INVALID_PARAMETER;
    regd_REG_SAVE_KEY req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpFile = wireText(lpFile);
    if (lpSecurityAttributes != nullptr) {
        req.lpSecurityAttributes.nLength = lpSecurityAttributes->nLength;
        req.lpSecurityAttributes.bInheritHandle = lpSecurityAttributes->bInheritHandle;
    }
    return callForStatus(REG_SAVE_KEY, xdr_regd_REG_SAVE_KEY, &req);
}

LONG RegRestoreKeyA(HKEY hKey, LPCSTR lpFile, DWORD dwFlags) {
    if (lpFile == nullptr) return ERROR_INVALID_PARAMETER;
    regd_REG_RESTORE_KEY req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpFile = wireText(lpFile);
    req.dwFlags = dwFlags;
    return callForStatus(REG_RESTORE_KEY, xdr_regd_REG_RESTORE_KEY, &req);
}

LONG RegReplaceKeyA(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpNewFile, LPCSTR lpOldFile) {
    if (lpNewFile == nullptr || lpOldFile == nullptr) return ERROR_INVALID_PARAMETER;
    regd_REG_REPLACE_KEY req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpSubKey = wireText(lpSubKey);
    req.lpNewFile = wireText(lpNewFile);
    req.lpOldFile = wireText(lpOldFile);
    return callForStatus(REG_REPLACE_KEY, xdr_regd_REG_REPLACE_KEY, &req);
}

LONG RegGetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation,
                       PSECURITY_DESCRIPTOR pSecurityDescriptor, LPDWORD lpcbSecurityDescriptor) {
    if (lpcbSecurityDescriptor == nullptr) return ERROR_INVALID_PARAMETER;
    regd_REG_GET_KEY_SEC req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.SecurityInformation = SecurityInformation;
    req.lpcbSecurityDescriptor = *lpcbSecurityDescriptor;
    Reply<regd_REG_GET_KEY_SEC_RES> reply(xdr_regd_REG_GET_KEY_SEC_RES);
    if (LONG t = callDaemon(REG_GET_KEY_SEC, xdr_regd_REG_GET_KEY_SEC, &req, reply)) return t;
    const regd_REG_GET_KEY_SEC_RETURN& ret = reply.res.ret;
    if (ret.retval != ERROR_SUCCESS) return static_cast<LONG>(ret.retval);
    // The count says how much of the text is a descriptor (none so far).
    DWORD size = ret.lpcbSecurityDescriptor;
    if (size > 0 && pSecurityDescriptor != nullptr && ret.pSecurityDescriptor != nullptr) {
        size_t len = strnlen(ret.pSecurityDescriptor, size);
        if (size > *lpcbSecurityDescriptor) {
            *lpcbSecurityDescriptor = size;
            return ERROR_INSUFFICIENT_BUFFER;
        }
        memcpy(pSecurityDescriptor, ret.pSecurityDescriptor, len);
    }
    *lpcbSecurityDescriptor = size;
    return ERROR_SUCCESS;
}

LONG RegSetKeySecurity(HKEY hKey, SECURITY_INFORMATION SecurityInformation, PSECURITY_DESCRIPTOR) {
    regd_REG_SET_KEY_SEC req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.SecurityInformation = SecurityInformation;
    req.pSecurityDescriptor = 0;  // a pointer of this process means nothing to the daemon
    return callForStatus(REG_SET_KEY_SEC, xdr_regd_REG_SET_KEY_SEC, &req);
}

LONG RegNotifyChangeKeyValue(HKEY hKey, BOOL bWatchSubtree, DWORD dwNotifyFilter, HANDLE hEvent,
                             BOOL fAsynchronous) {
    Via via = (dwNotifyFilter & REG_NOTIFY_THREAD_AGNOSTIC) != 0 ? Via::Process : Via::Thread;
    if (fAsynchronous) return registerWatch(hKey, bWatchSubtree, dwNotifyFilter, hEvent, via);
    // Synchronous: a watch on an event of our own, waited for here.
    HANDLE own = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (own == nullptr) return static_cast<LONG>(GetLastError());
    LONG rv = registerWatch(hKey, bWatchSubtree, dwNotifyFilter, own, via);
    if (rv == ERROR_SUCCESS && WaitForSingleObject(own, INFINITE) != WAIT_OBJECT_0)
        rv = static_cast<LONG>(GetLastError());
    CloseHandle(own);
    return rv;
}

}  // extern "C"
