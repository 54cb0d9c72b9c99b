// Hive, security and notification functions of the registry client.
#include <cstring>

#include "client/winreg_call.h"
#include "kalvo/winreg.h"

using kalvoreg::callDaemon;
using kalvoreg::callForStatus;
using kalvoreg::Reply;
using kalvoreg::wireText;

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
    regd_REG_NOTIFY_CHANGE_KEY_VALUE req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.bWatchSubtree = bWatchSubtree;
    req.dwNotifyFilter = dwNotifyFilter;
    req.hEvent = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hEvent));
    req.fAsynchronous = fAsynchronous;
    return callForStatus(REG_NOTIFY_CHANGE_KEY_VALUE, xdr_regd_REG_NOTIFY_CHANGE_KEY_VALUE, &req);
}

}  // extern "C"
