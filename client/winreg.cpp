// The Win32 registry functions: each fills one request of the registry
// program, calls the daemon once and maps the reply onto the arguments.
#include "kalvo/winreg.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "client/winreg_call.h"

namespace {

using kalvoreg::callDaemon;
using kalvoreg::Reply;
using kalvoreg::wireText;

// The daemon makes no reply buffer larger than this.
constexpr DWORD MAX_CAPACITY = 64u * 1024u * 1024u;

DWORD clampCapacity(DWORD n) { return n > MAX_CAPACITY ? MAX_CAPACITY : n; }

// Copies a reply text of `count` bytes into a caller buffer of `cap` bytes
// with its NUL; when it does not fit, a cut text (if there is room for
// anything) and false.
bool copyText(char* buf, DWORD cap, const char* text, uint32_t count) {
    size_t len = count > 0 && text != nullptr ? strnlen(text, count) : 0;
    if (len + 1 <= cap) {
        if (len > 0) memcpy(buf, text, len);
        buf[len] = '\0';
        return true;
    }
    if (cap > 0) {
        memcpy(buf, text, cap - 1);
        buf[cap - 1] = '\0';
    }
    return false;
}

void copyTime(PFILETIME out, const regd_FILETIME& in) {
    if (out == nullptr) return;
    out->dwLowDateTime = in.dwLowDateTime;
    out->dwHighDateTime = in.dwHighDateTime;
}

// The shared part of both query procedures: copies data, type and size. A
// missing value has size 0; a short buffer gets the leading bytes only when
// partOnOverflow (the short query writes nothing then).
LONG takeQueryReply(const regd_REG_QUERY_VALUE_RETURN& ret, LPDWORD lpType, LPBYTE lpData, DWORD cap,
                    DWORD* size, bool partOnOverflow) {
    LONG rv = static_cast<LONG>(ret.retval);
    if (rv == ERROR_FILE_NOT_FOUND && size != nullptr) *size = 0;
    if (rv != ERROR_SUCCESS && rv != ERROR_MORE_DATA) return rv;
    if (lpType != nullptr) *lpType = ret.lpType;
    bool copy = rv == ERROR_SUCCESS || partOnOverflow;
    if (copy && lpData != nullptr && ret.lpcbData > 0 && ret.lpData.val != nullptr) {
        DWORD n = ret.lpData.len < cap ? ret.lpData.len : cap;
        memcpy(lpData, ret.lpData.val, n);
    }
    if (size != nullptr) *size = ret.lpcbData;
    return rv;
}

}  // namespace

extern "C" {

LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;  // a failure leaves no usable handle behind
    regd_REG_OPEN_KEY req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpSubKey = wireText(lpSubKey);
    Reply<regd_REG_OPEN_KEY_RES> reply(xdr_regd_REG_OPEN_KEY_RES);
    if (LONG t = callDaemon(REG_OPEN_KEY, xdr_regd_REG_OPEN_KEY, &req, reply)) return t;
    if (reply.res.ret.retval == ERROR_SUCCESS) *phkResult = KALVO_HKEY(reply.res.ret.hkResult);
    return static_cast<LONG>(reply.res.ret.retval);
}

LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;  // a failure leaves no usable handle behind
    regd_REG_OPEN_KEY_EX req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpSubKey = wireText(lpSubKey);
    req.ulOptions = ulOptions;
    req.isSubKeyNull = lpSubKey == nullptr || lpSubKey[0] == '\0';
    Reply<regd_REG_OPEN_KEY_RES> reply(xdr_regd_REG_OPEN_KEY_RES);
    if (LONG t = callDaemon(REG_OPEN_KEY_EX, xdr_regd_REG_OPEN_KEY_EX, &req, reply)) return t;
    if (reply.res.ret.retval == ERROR_SUCCESS) *phkResult = KALVO_HKEY(reply.res.ret.hkResult);
    return static_cast<LONG>(reply.res.ret.retval);
}

LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;  // a failure leaves no usable handle behind
    regd_REG_CREATE_KEY req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpSubKey = wireText(lpSubKey);
    req.isSubKeyNull = lpSubKey == nullptr;
    Reply<regd_REG_CREATE_KEY_RES> reply(xdr_regd_REG_CREATE_KEY_RES);
    if (LONG t = callDaemon(REG_CREATE_KEY, xdr_regd_REG_CREATE_KEY, &req, reply)) return t;
    if (reply.res.ret.retval == ERROR_SUCCESS) *phkResult = KALVO_HKEY(reply.res.ret.hkResult);
    return static_cast<LONG>(reply.res.ret.retval);
}

LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR lpClass, DWORD dwOptions, REGSAM,
                     const LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;  // a failure leaves no usable handle behind
    regd_REG_CREATE_KEY_EX req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpSubKey = wireText(lpSubKey);
    req.lpClass = wireText(lpClass);
    req.dwOptions = dwOptions;
    req.isSubKeyNull = lpSubKey == nullptr;
    req.isClassNull = lpClass == nullptr;
    Reply<regd_REG_CREATE_KEY_RES> reply(xdr_regd_REG_CREATE_KEY_RES);
    if (LONG t = callDaemon(REG_CREATE_KEY_EX, xdr_regd_REG_CREATE_KEY_EX, &req, reply)) return t;
    if (reply.res.ret.retval == ERROR_SUCCESS) {
        *phkResult = KALVO_HKEY(reply.res.ret.hkResult);
        if (lpdwDisposition != nullptr) *lpdwDisposition = reply.res.ret.dwDisposition;
    }
    return static_cast<LONG>(reply.res.ret.retval);
}

// Goes on each connection that holds change notifications of the key, so
// that they end with it (the thread's when none does).
LONG RegCloseKey(HKEY hKey) {
    regd_REG_CLOSE_KEY req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    auto [onThread, onProcess] = kalvoreg::takeWatchedKey(req.hKey);
    LONG rv = ERROR_SUCCESS;
    if (onProcess) rv = kalvoreg::callForStatus(REG_CLOSE_KEY, xdr_regd_REG_CLOSE_KEY, &req, kalvoreg::Via::Process);
    if (onThread) rv = kalvoreg::callForStatus(REG_CLOSE_KEY, xdr_regd_REG_CLOSE_KEY, &req);
    return rv;
}

LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    regd_REG_DELETE_KEY req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpSubKey = wireText(lpSubKey);
    Reply<regd_BASIC_RES> reply(xdr_regd_BASIC_RES);
    if (LONG t = callDaemon(REG_DELETE_KEY, xdr_regd_REG_DELETE_KEY, &req, reply)) return t;
    return static_cast<LONG>(reply.res.ret.retval);
}

LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    regd_REG_DELETE_VALUE req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpValueName = wireText(lpValueName);
    req.isValueNameNull = lpValueName == nullptr;
    Reply<regd_BASIC_RES> reply(xdr_regd_BASIC_RES);
    if (LONG t = callDaemon(REG_DELETE_VALUE, xdr_regd_REG_DELETE_VALUE, &req, reply)) return t;
    return static_cast<LONG>(reply.res.ret.retval);
}

LONG RegFlushKey(HKEY hKey) {
    regd_REG_FLUSH_KEY req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    Reply<regd_BASIC_RES> reply(xdr_regd_BASIC_RES);
    if (LONG t = callDaemon(REG_FLUSH_KEY, xdr_regd_REG_FLUSH_KEY, &req, reply)) return t;
    return static_cast<LONG>(reply.res.ret.retval);
}

LONG RegQueryValueA(HKEY hKey, LPCSTR lpSubKey, LPSTR lpData, PLONG lpcbData) {
    if (lpData != nullptr && (lpcbData == nullptr || *lpcbData < 0)) return ERROR_INVALID_PARAMETER;
    DWORD cap = lpData != nullptr ? clampCapacity(static_cast<DWORD>(*lpcbData)) : 0;
    regd_REG_QUERY_VALUE req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpSubKey = wireText(lpSubKey);
    req.lpcbValue = cap;
    req.isSubKeyNull = lpSubKey == nullptr;
    req.isValueNull = lpData == nullptr;
    Reply<regd_REG_QUERY_VALUE_RES> reply(xdr_regd_REG_QUERY_VALUE_RES);
    if (LONG t = callDaemon(REG_QUERY_VALUE, xdr_regd_REG_QUERY_VALUE, &req, reply)) return t;
    DWORD size = 0;
    LONG rv = takeQueryReply(reply.res.ret, nullptr, reinterpret_cast<LPBYTE>(lpData), cap, &size, false);
    if ((rv == ERROR_SUCCESS || rv == ERROR_MORE_DATA || rv == ERROR_FILE_NOT_FOUND) && lpcbData != nullptr)
        *lpcbData = static_cast<LONG>(size);
    return rv;
}

LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData) {
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    DWORD cap = lpData != nullptr ? clampCapacity(*lpcbData) : 0;
    regd_REG_QUERY_VALUE_EX req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpValueName = wireText(lpValueName);
    req.lpcbData = cap;
    req.isValueNameNull = lpValueName == nullptr;
    req.isDataNull = lpData == nullptr;
    Reply<regd_REG_QUERY_VALUE_RES> reply(xdr_regd_REG_QUERY_VALUE_RES);
    if (LONG t = callDaemon(REG_QUERY_VALUE_EX, xdr_regd_REG_QUERY_VALUE_EX, &req, reply)) return t;
    return takeQueryReply(reply.res.ret, lpType, lpData, cap, lpcbData, true);
}

// cbData is ignored, as Win32 ignores it: the text and its NUL are sent.
LONG RegSetValueA(HKEY hKey, LPCSTR lpSubKey, DWORD dwType, LPCSTR lpData, DWORD) {
    if (lpData == nullptr) return ERROR_INVALID_PARAMETER;
    regd_REG_SET_VALUE req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpSubKey = wireText(lpSubKey);
    req.dwType = dwType;
    req.lpData = const_cast<char*>(lpData);
    req.cbData = static_cast<uint32_t>(strlen(lpData) + 1);
    req.isSubKeyNull = lpSubKey == nullptr;
    Reply<regd_BASIC_RES> reply(xdr_regd_BASIC_RES);
    if (LONG t = callDaemon(REG_SET_VALUE, xdr_regd_REG_SET_VALUE, &req, reply)) return t;
    return static_cast<LONG>(reply.res.ret.retval);
}

LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
    if (lpData == nullptr && cbData > 0) return ERROR_INVALID_PARAMETER;
    regd_REG_SET_VALUE_EX req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpValueName = wireText(lpValueName);
    req.dwType = dwType;
    req.cbData = cbData;
    req.isValueNameNull = lpValueName == nullptr;
    bool sizedByText = (dwType == REG_SZ || dwType == REG_EXPAND_SZ) && cbData == 0 && lpData != nullptr;
    req.lpData.len = sizedByText ? static_cast<u_int>(strlen(reinterpret_cast<const char*>(lpData)) + 1)
                                 : cbData;
    req.lpData.val = const_cast<char*>(reinterpret_cast<const char*>(lpData));
    Reply<regd_BASIC_RES> reply(xdr_regd_BASIC_RES);
    if (LONG t = callDaemon(REG_SET_VALUE_EX, xdr_regd_REG_SET_VALUE_EX, &req, reply)) return t;
    return static_cast<LONG>(reply.res.ret.retval);
}

LONG RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    if (lpName == nullptr) return ERROR_INVALID_PARAMETER;
    regd_REG_ENUM_KEY req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.dwIndex = dwIndex;
    req.dwMax = clampCapacity(cchName);
    Reply<regd_REG_ENUM_KEY_RES> reply(xdr_regd_REG_ENUM_KEY_RES);
    if (LONG t = callDaemon(REG_ENUM_KEY, xdr_regd_REG_ENUM_KEY, &req, reply)) return t;
    LONG rv = static_cast<LONG>(reply.res.ret.retval);
    if (rv != ERROR_SUCCESS) return rv;
    const char* name = reply.res.ret.lpName;
    uint32_t len = static_cast<uint32_t>(strnlen(name, req.dwMax));
    return copyText(lpName, req.dwMax, name, len) ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD, LPSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
    if (lpClass != nullptr && lpcchClass == nullptr) return ERROR_INVALID_PARAMETER;
    regd_REG_ENUM_KEY_EX req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.dwIndex = dwIndex;
    req.lpcbName = clampCapacity(*lpcchName);
    req.lpcbClass = lpClass != nullptr ? clampCapacity(*lpcchClass) : 0;
    Reply<regd_REG_ENUM_KEY_RES> reply(xdr_regd_REG_ENUM_KEY_RES);
    if (LONG t = callDaemon(REG_ENUM_KEY_EX, xdr_regd_REG_ENUM_KEY_EX, &req, reply)) return t;
    const regd_REG_ENUM_KEY_RETURN& ret = reply.res.ret;
    LONG rv = static_cast<LONG>(ret.retval);
    if (rv != ERROR_SUCCESS && rv != ERROR_MORE_DATA) return rv;
    // A count equal to the capacity means the text and its NUL did not fit.
    bool nameFits = copyText(lpName, req.lpcbName, ret.lpName, ret.lpcbName);
    bool classFits = true;
    if (lpClass != nullptr) classFits = copyText(lpClass, req.lpcbClass, ret.lpClass, ret.lpcbClass);
    copyTime(lpftLastWriteTime, ret.ftLastWriteTime);
    if (!nameFits || !classFits) return ERROR_MORE_DATA;
    *lpcchName = ret.lpcbName;
    if (lpClass != nullptr) *lpcchClass = ret.lpcbClass;
    return ERROR_SUCCESS;
}

LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr) return ERROR_INVALID_PARAMETER;
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    regd_REG_ENUM_VALUE req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.dwIndex = dwIndex;
    req.lpcbValue = clampCapacity(*lpcchValueName);
    req.lpcbData = lpData != nullptr ? clampCapacity(*lpcbData) : 0;
    Reply<regd_REG_ENUM_VALUE_RES> reply(xdr_regd_REG_ENUM_VALUE_RES);
    if (LONG t = callDaemon(REG_ENUM_VALUE, xdr_regd_REG_ENUM_VALUE, &req, reply)) return t;
    const regd_REG_ENUM_VALUE_RETURN& ret = reply.res.ret;
    LONG rv = static_cast<LONG>(ret.retval);
    if (rv != ERROR_SUCCESS) return rv;
    if (lpType != nullptr) *lpType = ret.lpdwType;
    if (lpcbData != nullptr) *lpcbData = ret.lpcbData;
    // Data that does not fit leaves name, count and data as they were, so a
    // retry that grows only the data buffer finds them unchanged.
    if (lpData != nullptr && ret.lpcbData > req.lpcbData) return ERROR_MORE_DATA;
    bool fits = copyText(lpValueName, req.lpcbValue, ret.lpszValue, ret.lpcbValue);
    if (fits) *lpcchValueName = ret.lpcbValue;
    if (lpData != nullptr && ret.lpcbData > 0 && ret.lpData.val != nullptr)
        memcpy(lpData, ret.lpData.val, ret.lpData.len < ret.lpcbData ? ret.lpData.len : ret.lpcbData);
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

LONG RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                      LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    if (lpClass != nullptr && lpcchClass == nullptr) return ERROR_INVALID_PARAMETER;
    regd_REG_QUERY_INFO_KEY req{};
    req.hKey = KALVO_HKEY_VALUE(hKey);
    req.lpcbClass = lpcchClass != nullptr ? *lpcchClass : 0;
    Reply<regd_REG_QUERY_INFO_KEY_RES> reply(xdr_regd_REG_QUERY_INFO_KEY_RES);
    if (LONG t = callDaemon(REG_QUERY_INFO_KEY, xdr_regd_REG_QUERY_INFO_KEY, &req, reply)) return t;
    const regd_REG_QUERY_INFO_KEY_RETURN& ret = reply.res.ret;
    LONG rv = static_cast<LONG>(ret.retval);
    if (rv != ERROR_SUCCESS) return rv;
    uint32_t classLen = ret.isClassNull != 0 ? 0 : ret.lpcbClass;
    bool fits = true;
    if (lpClass != nullptr && *lpcchClass == 0) {
        classLen = 0;  // no room asked for: nothing copied, nothing missed
    } else if (lpClass != nullptr) {
        fits = copyText(lpClass, *lpcchClass, ret.lpClass, classLen);
        if (!fits) classLen = *lpcchClass - 1;  // what the cut text holds
    }
    if (lpcchClass != nullptr) *lpcchClass = classLen;
    if (lpcSubKeys != nullptr) *lpcSubKeys = ret.cSubKeys;
    if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = ret.cbMaxSubKeyLen;
    if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = ret.cbMaxClassLen;
    if (lpcValues != nullptr) *lpcValues = ret.cValues;
    if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = ret.cbMaxValueNameLen;
    if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = ret.cbMaxValueLen;
    if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = ret.cbSecurityDescriptor;
    copyTime(lpftLastWriteTime, ret.ftLastWriteTime);
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

}  // extern "C"
