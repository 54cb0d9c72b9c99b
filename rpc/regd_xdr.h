// Wire records of the registry program: one request record and one result
// union per procedure, all XDR. The same routine decodes, encodes and frees.
#pragma once

#include <cstdint>
#include <rpc/rpc.h>

// Procedure numbers of the registry program (number 17 has no procedure).
enum RegdProc : uint32_t {
    REGD_NULLPROC = 0,
    REG_CLOSE_KEY = 1,
    REG_CREATE_KEY = 2,
    REG_CREATE_KEY_EX = 3,
    REG_DELETE_KEY = 4,
    REG_DELETE_VALUE = 5,
    REG_ENUM_KEY = 6,
    REG_ENUM_KEY_EX = 7,
    REG_ENUM_VALUE = 8,
    REG_FLUSH_KEY = 9,
    REG_GET_KEY_SEC = 10,
    REG_LOAD_KEY = 11,
    REG_NOTIFY_CHANGE_KEY_VALUE = 12,
    REG_OPEN_KEY = 13,
    REG_OPEN_KEY_EX = 14,
    REG_QUERY_INFO_KEY = 15,
    REG_QUERY_VALUE = 16,
    REG_QUERY_VALUE_EX = 18,
    REG_REPLACE_KEY = 19,
    REG_RESTORE_KEY = 20,
    REG_SAVE_KEY = 21,
    REG_SET_KEY_SEC = 22,
    REG_SET_VALUE = 23,
    REG_SET_VALUE_EX = 24,
    REG_UNLOAD_KEY = 25,
    REG_QUERY_VERSION = 26,
    REG_PING_DAEMON = 27,
};

// Largest string or opaque field a request may carry; a longer count is
// refused before anything of its size is allocated.
constexpr u_int REGD_MAX_REQUEST_FIELD = 16u * 1024u * 1024u;

// Version of the call being served (or sent); in a version-1 call the
// request header is not on the wire. Per thread, so that client threads
// speaking different versions do not disturb each other.
extern constinit thread_local uint32_t g_packetVersion;
// The ".Default" copy made for a version-1 header, freed by the dispatcher.
extern constinit thread_local char* g_userNameToFree;

struct regd_USER_DATA {
    uint32_t kalvoVersion;
    uint32_t userId;
    char* userName;
    uint32_t hostId;
};

struct regd_FILETIME {
    uint32_t dwLowDateTime;
    uint32_t dwHighDateTime;
};

struct regd_SECURITY_ATTR {
    uint32_t nLength;
    int32_t bInheritHandle;
};

// An opaque field: its byte count and the bytes (absent when decoded empty).
struct regd_OPAQUE {
    u_int len;
    char* val;
};

// ---- Requests ----

struct regd_REG_CLOSE_KEY { regd_USER_DATA userData; uint32_t hKey; };
struct regd_REG_CREATE_KEY {
    regd_USER_DATA userData; uint32_t hKey; char* lpSubKey; uint16_t isSubKeyNull;
};
struct regd_REG_CREATE_KEY_EX {
    regd_USER_DATA userData; uint32_t hKey; char* lpSubKey; char* lpClass; uint32_t dwOptions;
    uint16_t isSubKeyNull; uint16_t isClassNull;
};
struct regd_REG_DELETE_KEY { regd_USER_DATA userData; uint32_t hKey; char* lpSubKey; };
struct regd_REG_DELETE_VALUE {
    regd_USER_DATA userData; uint32_t hKey; char* lpValueName; uint16_t isValueNameNull;
};
struct regd_REG_ENUM_KEY { regd_USER_DATA userData; uint32_t hKey; uint32_t dwIndex; uint32_t dwMax; };
struct regd_REG_ENUM_KEY_EX {
    regd_USER_DATA userData; uint32_t hKey; uint32_t dwIndex; uint32_t lpcbName; uint32_t lpcbClass;
};
struct regd_REG_ENUM_VALUE {
    regd_USER_DATA userData; uint32_t hKey; uint32_t dwIndex; uint32_t lpcbValue; uint32_t lpcbData;
};
struct regd_REG_FLUSH_KEY { regd_USER_DATA userData; uint32_t hKey; };
struct regd_REG_GET_KEY_SEC {
    regd_USER_DATA userData; uint32_t hKey; uint32_t SecurityInformation;
    uint32_t lpcbSecurityDescriptor;
};
struct regd_REG_LOAD_KEY { regd_USER_DATA userData; uint32_t hKey; char* lpSubKey; char* lpFile; };
struct regd_REG_NOTIFY_CHANGE_KEY_VALUE {
    regd_USER_DATA userData; uint32_t hKey; int32_t bWatchSubtree; uint32_t dwNotifyFilter;
    uint32_t hEvent; int32_t fAsynchronous;
};
struct regd_REG_OPEN_KEY { regd_USER_DATA userData; uint32_t hKey; char* lpSubKey; };
struct regd_REG_OPEN_KEY_EX {
    regd_USER_DATA userData; uint32_t hKey; char* lpSubKey; uint32_t ulOptions; uint16_t isSubKeyNull;
};
struct regd_REG_QUERY_INFO_KEY { regd_USER_DATA userData; uint32_t hKey; uint32_t lpcbClass; };
struct regd_REG_QUERY_VALUE {
    regd_USER_DATA userData; uint32_t hKey; char* lpSubKey; uint32_t lpcbValue;
    uint16_t isSubKeyNull; uint16_t isValueNull;
};
struct regd_REG_QUERY_VALUE_EX {
    regd_USER_DATA userData; uint32_t hKey; char* lpValueName; uint32_t lpcbData;
    uint16_t isValueNameNull; uint16_t isDataNull;
};
struct regd_REG_REPLACE_KEY {
    regd_USER_DATA userData; uint32_t hKey; char* lpSubKey; char* lpNewFile; char* lpOldFile;
};
struct regd_REG_RESTORE_KEY { regd_USER_DATA userData; uint32_t hKey; char* lpFile; uint32_t dwFlags; };
struct regd_REG_SAVE_KEY {
    regd_USER_DATA userData; uint32_t hKey; char* lpFile; regd_SECURITY_ATTR lpSecurityAttributes;
};
struct regd_REG_SET_KEY_SEC {
    regd_USER_DATA userData; uint32_t hKey; uint32_t SecurityInformation; uint32_t pSecurityDescriptor;
};
struct regd_REG_SET_VALUE {
    regd_USER_DATA userData; uint32_t hKey; char* lpSubKey; uint32_t dwType; char* lpData;
    uint32_t cbData; uint16_t isSubKeyNull;
};
struct regd_REG_SET_VALUE_EX {
    regd_USER_DATA userData; uint32_t hKey; char* lpValueName; uint32_t dwType; regd_OPAQUE lpData;
    uint32_t cbData; uint16_t isValueNameNull;
};
struct regd_REG_UNLOAD_KEY { regd_USER_DATA userData; uint32_t hKey; char* lpSubKey; };
struct regd_REG_QUERY_VERSION { regd_USER_DATA userData; };
struct regd_REG_PING_DAEMON { regd_USER_DATA userData; uint32_t pid; uint32_t finalPing; };

// ---- Results: a union with resultTag 1 carrying the return record ----

struct regd_BASIC_RETURN { uint32_t retval; };
struct regd_REG_CREATE_KEY_RETURN { uint32_t retval; uint32_t hkResult; uint32_t dwDisposition; };
struct regd_REG_OPEN_KEY_RETURN { uint32_t retval; uint32_t hkResult; };
struct regd_REG_ENUM_KEY_RETURN {
    uint32_t retval; char* lpName; uint32_t lpcbName; char* lpClass; uint32_t lpcbClass;
    regd_FILETIME ftLastWriteTime;
};
struct regd_REG_ENUM_VALUE_RETURN {
    uint32_t retval; char* lpszValue; uint32_t lpcbValue; uint32_t lpdwType; regd_OPAQUE lpData;
    uint32_t lpcbData;
};
struct regd_REG_GET_KEY_SEC_RETURN {
    uint32_t retval; char* pSecurityDescriptor; uint32_t lpcbSecurityDescriptor;
};
struct regd_REG_QUERY_INFO_KEY_RETURN {
    uint32_t retval; char* lpClass; uint32_t lpcbClass; uint32_t lpReserved; uint32_t cSubKeys;
    uint32_t cbMaxSubKeyLen; uint32_t cbMaxClassLen; uint32_t cValues; uint32_t cbMaxValueNameLen;
    uint32_t cbMaxValueLen; uint32_t cbSecurityDescriptor; regd_FILETIME ftLastWriteTime;
    uint16_t isClassNull;
};
struct regd_REG_QUERY_VALUE_RETURN { uint32_t retval; uint32_t lpType; regd_OPAQUE lpData; uint32_t lpcbData; };
struct regd_REG_QUERY_VERSION_RETURN { uint32_t retval; uint32_t major; uint32_t minor; uint32_t minorminor; };

#define REGD_RESULT_UNION(name)     \
    struct regd_##name##_RES {      \
        int32_t resultTag;          \
        regd_##name##_RETURN ret;   \
    }
REGD_RESULT_UNION(BASIC);
REGD_RESULT_UNION(REG_CREATE_KEY);
REGD_RESULT_UNION(REG_OPEN_KEY);
REGD_RESULT_UNION(REG_ENUM_KEY);
REGD_RESULT_UNION(REG_ENUM_VALUE);
REGD_RESULT_UNION(REG_GET_KEY_SEC);
REGD_RESULT_UNION(REG_QUERY_INFO_KEY);
REGD_RESULT_UNION(REG_QUERY_VALUE);
REGD_RESULT_UNION(REG_QUERY_VERSION);
#undef REGD_RESULT_UNION

// ---- XDR routines ----

bool_t xdr_regd_USER_DATA(XDR* xdrs, regd_USER_DATA* p);
bool_t xdr_regd_FILETIME(XDR* xdrs, regd_FILETIME* p);
bool_t xdr_regd_SECURITY_ATTR(XDR* xdrs, regd_SECURITY_ATTR* p);

bool_t xdr_regd_REG_CLOSE_KEY(XDR* xdrs, regd_REG_CLOSE_KEY* p);
bool_t xdr_regd_REG_CREATE_KEY(XDR* xdrs, regd_REG_CREATE_KEY* p);
bool_t xdr_regd_REG_CREATE_KEY_EX(XDR* xdrs, regd_REG_CREATE_KEY_EX* p);
bool_t xdr_regd_REG_DELETE_KEY(XDR* xdrs, regd_REG_DELETE_KEY* p);
bool_t xdr_regd_REG_DELETE_VALUE(XDR* xdrs, regd_REG_DELETE_VALUE* p);
bool_t xdr_regd_REG_ENUM_KEY(XDR* xdrs, regd_REG_ENUM_KEY* p);
bool_t xdr_regd_REG_ENUM_KEY_EX(XDR* xdrs, regd_REG_ENUM_KEY_EX* p);
bool_t xdr_regd_REG_ENUM_VALUE(XDR* xdrs, regd_REG_ENUM_VALUE* p);
bool_t xdr_regd_REG_FLUSH_KEY(XDR* xdrs, regd_REG_FLUSH_KEY* p);
bool_t xdr_regd_REG_GET_KEY_SEC(XDR* xdrs, regd_REG_GET_KEY_SEC* p);
bool_t xdr_regd_REG_LOAD_KEY(XDR* xdrs, regd_REG_LOAD_KEY* p);
bool_t xdr_regd_REG_NOTIFY_CHANGE_KEY_VALUE(XDR* xdrs, regd_REG_NOTIFY_CHANGE_KEY_VALUE* p);
bool_t xdr_regd_REG_OPEN_KEY(XDR* xdrs, regd_REG_OPEN_KEY* p);
bool_t xdr_regd_REG_OPEN_KEY_EX(XDR* xdrs, regd_REG_OPEN_KEY_EX* p);
bool_t xdr_regd_REG_QUERY_INFO_KEY(XDR* xdrs, regd_REG_QUERY_INFO_KEY* p);
bool_t xdr_regd_REG_QUERY_VALUE(XDR* xdrs, regd_REG_QUERY_VALUE* p);
bool_t xdr_regd_REG_QUERY_VALUE_EX(XDR* xdrs, regd_REG_QUERY_VALUE_EX* p);
bool_t xdr_regd_REG_REPLACE_KEY(XDR* xdrs, regd_REG_REPLACE_KEY* p);
bool_t xdr_regd_REG_RESTORE_KEY(XDR* xdrs, regd_REG_RESTORE_KEY* p);
bool_t xdr_regd_REG_SAVE_KEY(XDR* xdrs, regd_REG_SAVE_KEY* p);
bool_t xdr_regd_REG_SET_KEY_SEC(XDR* xdrs, regd_REG_SET_KEY_SEC* p);
bool_t xdr_regd_REG_SET_VALUE(XDR* xdrs, regd_REG_SET_VALUE* p);
bool_t xdr_regd_REG_SET_VALUE_EX(XDR* xdrs, regd_REG_SET_VALUE_EX* p);
bool_t xdr_regd_REG_UNLOAD_KEY(XDR* xdrs, regd_REG_UNLOAD_KEY* p);
bool_t xdr_regd_REG_QUERY_VERSION(XDR* xdrs, regd_REG_QUERY_VERSION* p);
bool_t xdr_regd_REG_PING_DAEMON(XDR* xdrs, regd_REG_PING_DAEMON* p);

bool_t xdr_regd_BASIC_RETURN(XDR* xdrs, regd_BASIC_RETURN* p);
bool_t xdr_regd_REG_CREATE_KEY_RETURN(XDR* xdrs, regd_REG_CREATE_KEY_RETURN* p);
bool_t xdr_regd_REG_OPEN_KEY_RETURN(XDR* xdrs, regd_REG_OPEN_KEY_RETURN* p);
bool_t xdr_regd_REG_ENUM_KEY_RETURN(XDR* xdrs, regd_REG_ENUM_KEY_RETURN* p);
bool_t xdr_regd_REG_ENUM_VALUE_RETURN(XDR* xdrs, regd_REG_ENUM_VALUE_RETURN* p);
bool_t xdr_regd_REG_GET_KEY_SEC_RETURN(XDR* xdrs, regd_REG_GET_KEY_SEC_RETURN* p);
bool_t xdr_regd_REG_QUERY_INFO_KEY_RETURN(XDR* xdrs, regd_REG_QUERY_INFO_KEY_RETURN* p);
bool_t xdr_regd_REG_QUERY_VALUE_RETURN(XDR* xdrs, regd_REG_QUERY_VALUE_RETURN* p);
bool_t xdr_regd_REG_QUERY_VERSION_RETURN(XDR* xdrs, regd_REG_QUERY_VERSION_RETURN* p);

bool_t xdr_regd_BASIC_RES(XDR* xdrs, regd_BASIC_RES* p);
bool_t xdr_regd_REG_CREATE_KEY_RES(XDR* xdrs, regd_REG_CREATE_KEY_RES* p);
bool_t xdr_regd_REG_OPEN_KEY_RES(XDR* xdrs, regd_REG_OPEN_KEY_RES* p);
bool_t xdr_regd_REG_ENUM_KEY_RES(XDR* xdrs, regd_REG_ENUM_KEY_RES* p);
bool_t xdr_regd_REG_ENUM_VALUE_RES(XDR* xdrs, regd_REG_ENUM_VALUE_RES* p);
bool_t xdr_regd_REG_GET_KEY_SEC_RES(XDR* xdrs, regd_REG_GET_KEY_SEC_RES* p);
bool_t xdr_regd_REG_QUERY_INFO_KEY_RES(XDR* xdrs, regd_REG_QUERY_INFO_KEY_RES* p);
bool_t xdr_regd_REG_QUERY_VALUE_RES(XDR* xdrs, regd_REG_QUERY_VALUE_RES* p);
bool_t xdr_regd_REG_QUERY_VERSION_RES(XDR* xdrs, regd_REG_QUERY_VERSION_RES* p);
