// Wire records of the registry program: the XDR routine of every request and result.
#include "rpc/regd_xdr.h"

#include <cstdlib>
#include <cstring>

constinit thread_local uint32_t g_packetVersion = 2;
constinit thread_local char* g_userNameToFree = nullptr;

namespace {

// Field primitives. Requests bound their strings and opaques so that a lying
// count is refused before its size is allocated; replies are unbounded.
inline bool u32(XDR* x, uint32_t* v) { return xdr_u_int(x, v); }
inline bool i32(XDR* x, int32_t* v) { return xdr_int(x, v); }
inline bool u16(XDR* x, uint16_t* v) { return xdr_u_short(x, v); }

// A request decoded from memory (the daemon decodes each record once it is
// complete) holds every byte it can carry: a string or opaque whose count
// passes the bytes left is refused before anything of that size is
// allocated. Other streams (a client's connection) are not bounded here.
// The operations of memory streams (one table for aligned buffers, one for
// unaligned ones).
struct MemoryOps {
    const void* aligned;
    const void* unaligned;
};

MemoryOps memoryOps() {
    alignas(8) static char buf[16];
    XDR a, u;
    xdrmem_create(&a, buf, 8, XDR_DECODE);
    xdrmem_create(&u, buf + 1, 8, XDR_DECODE);
    return MemoryOps{a.x_ops, u.x_ops};
}

bool countFitsRecord(XDR* x) {
    static const MemoryOps ops = memoryOps();
    const void* kind = x->x_ops;
    if (x->x_op != XDR_DECODE || (kind != ops.aligned && kind != ops.unaligned)) return true;
    u_int left = static_cast<u_int>(x->x_handy);  // bytes left in the record
    u_int pos = xdr_getpos(x);
    uint32_t count = 0;
    if (!xdr_u_int(x, &count)) return false;
    xdr_setpos(x, pos);
    return count <= left - 4;
}
inline bool reqStr(XDR* x, char** s) { return countFitsRecord(x) && xdr_string(x, s, REGD_MAX_REQUEST_FIELD); }
inline bool reqBytes(XDR* x, regd_OPAQUE* o) {
    return countFitsRecord(x) && xdr_bytes(x, &o->val, &o->len, REGD_MAX_REQUEST_FIELD);
}
inline bool resStr(XDR* x, char** s) { return xdr_string(x, s, ~0u); }
inline bool resBytes(XDR* x, regd_OPAQUE* o) { return xdr_bytes(x, &o->val, &o->len, ~0u); }
inline bool hdr(XDR* x, regd_USER_DATA* h) { return xdr_regd_USER_DATA(x, h); }

// Result unions: the tag, then the return record only when the tag is 1.
template <typename Res, typename Ret>
bool_t resultUnion(XDR* x, Res* p, bool_t (*ret)(XDR*, Ret*)) {
    if (!i32(x, &p->resultTag)) return FALSE;
    if (p->resultTag != 1) return TRUE;
    return ret(x, &p->ret);
}

}  // namespace

bool_t xdr_regd_USER_DATA(XDR* x, regd_USER_DATA* p) {
    if (g_packetVersion == 1) {
        // Version-1 calls carry no header: the decoder supplies a fixed one.
        // Encoding and releasing leave it alone, so the copy is freed once,
        // by whoever owns g_userNameToFree.
        if (x->x_op == XDR_DECODE && g_userNameToFree == nullptr) {
            p->kalvoVersion = 30000;
            p->userId = 123456;
            p->hostId = 123456;
            p->userName = static_cast<char*>(malloc(9));
            if (p->userName == nullptr) return FALSE;
            memcpy(p->userName, ".Default", 9);
            g_userNameToFree = p->userName;
        }
        return TRUE;
    }
    return u32(x, &p->kalvoVersion) && u32(x, &p->userId) && reqStr(x, &p->userName) &&
           u32(x, &p->hostId);
}

bool_t xdr_regd_FILETIME(XDR* x, regd_FILETIME* p) {
    return u32(x, &p->dwLowDateTime) && u32(x, &p->dwHighDateTime);
}

bool_t xdr_regd_SECURITY_ATTR(XDR* x, regd_SECURITY_ATTR* p) {
    return u32(x, &p->nLength) && i32(x, &p->bInheritHandle);
}

// ---- Requests ----

bool_t xdr_regd_REG_CLOSE_KEY(XDR* x, regd_REG_CLOSE_KEY* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey);
}

bool_t xdr_regd_REG_CREATE_KEY(XDR* x, regd_REG_CREATE_KEY* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpSubKey) &&
           u16(x, &p->isSubKeyNull);
}

bool_t xdr_regd_REG_CREATE_KEY_EX(XDR* x, regd_REG_CREATE_KEY_EX* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpSubKey) &&
           reqStr(x, &p->lpClass) && u32(x, &p->dwOptions) && u16(x, &p->isSubKeyNull) &&
           u16(x, &p->isClassNull);
}

bool_t xdr_regd_REG_DELETE_KEY(XDR* x, regd_REG_DELETE_KEY* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpSubKey);
}

bool_t xdr_regd_REG_DELETE_VALUE(XDR* x, regd_REG_DELETE_VALUE* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpValueName) &&
           u16(x, &p->isValueNameNull);
}

bool_t xdr_regd_REG_ENUM_KEY(XDR* x, regd_REG_ENUM_KEY* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && u32(x, &p->dwIndex) && u32(x, &p->dwMax);
}

bool_t xdr_regd_REG_ENUM_KEY_EX(XDR* x, regd_REG_ENUM_KEY_EX* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && u32(x, &p->dwIndex) &&
           u32(x, &p->lpcbName) && u32(x, &p->lpcbClass);
}

bool_t xdr_regd_REG_ENUM_VALUE(XDR* x, regd_REG_ENUM_VALUE* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && u32(x, &p->dwIndex) &&
           u32(x, &p->lpcbValue) && u32(x, &p->lpcbData);
}

bool_t xdr_regd_REG_FLUSH_KEY(XDR* x, regd_REG_FLUSH_KEY* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey);
}

bool_t xdr_regd_REG_GET_KEY_SEC(XDR* x, regd_REG_GET_KEY_SEC* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && u32(x, &p->SecurityInformation) &&
           u32(x, &p->lpcbSecurityDescriptor);
}

bool_t xdr_regd_REG_LOAD_KEY(XDR* x, regd_REG_LOAD_KEY* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpSubKey) &&
           reqStr(x, &p->lpFile);
}

bool_t xdr_regd_REG_NOTIFY_CHANGE_KEY_VALUE(XDR* x, regd_REG_NOTIFY_CHANGE_KEY_VALUE* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && i32(x, &p->bWatchSubtree) &&
           u32(x, &p->dwNotifyFilter) && u32(x, &p->hEvent) && i32(x, &p->fAsynchronous);
}

bool_t xdr_regd_REG_OPEN_KEY(XDR* x, regd_REG_OPEN_KEY* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpSubKey);
}

bool_t xdr_regd_REG_OPEN_KEY_EX(XDR* x, regd_REG_OPEN_KEY_EX* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpSubKey) &&
           u32(x, &p->ulOptions) && u16(x, &p->isSubKeyNull);
}

bool_t xdr_regd_REG_QUERY_INFO_KEY(XDR* x, regd_REG_QUERY_INFO_KEY* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && u32(x, &p->lpcbClass);
}

bool_t xdr_regd_REG_QUERY_VALUE(XDR* x, regd_REG_QUERY_VALUE* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpSubKey) &&
           u32(x, &p->lpcbValue) && u16(x, &p->isSubKeyNull) && u16(x, &p->isValueNull);
}

bool_t xdr_regd_REG_QUERY_VALUE_EX(XDR* x, regd_REG_QUERY_VALUE_EX* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpValueName) &&
           u32(x, &p->lpcbData) && u16(x, &p->isValueNameNull) && u16(x, &p->isDataNull);
}

bool_t xdr_regd_REG_REPLACE_KEY(XDR* x, regd_REG_REPLACE_KEY* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpSubKey) &&
           reqStr(x, &p->lpNewFile) && reqStr(x, &p->lpOldFile);
}

bool_t xdr_regd_REG_RESTORE_KEY(XDR* x, regd_REG_RESTORE_KEY* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpFile) &&
           u32(x, &p->dwFlags);
}

bool_t xdr_regd_REG_SAVE_KEY(XDR* x, regd_REG_SAVE_KEY* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpFile) &&
           xdr_regd_SECURITY_ATTR(x, &p->lpSecurityAttributes);
}

bool_t xdr_regd_REG_SET_KEY_SEC(XDR* x, regd_REG_SET_KEY_SEC* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && u32(x, &p->SecurityInformation) &&
           u32(x, &p->pSecurityDescriptor);
}

bool_t xdr_regd_REG_SET_VALUE(XDR* x, regd_REG_SET_VALUE* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpSubKey) &&
           u32(x, &p->dwType) && reqStr(x, &p->lpData) && u32(x, &p->cbData) &&
           u16(x, &p->isSubKeyNull);
}

bool_t xdr_regd_REG_SET_VALUE_EX(XDR* x, regd_REG_SET_VALUE_EX* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpValueName) &&
           u32(x, &p->dwType) && reqBytes(x, &p->lpData) && u32(x, &p->cbData) &&
           u16(x, &p->isValueNameNull);
}

bool_t xdr_regd_REG_UNLOAD_KEY(XDR* x, regd_REG_UNLOAD_KEY* p) {
    return hdr(x, &p->userData) && u32(x, &p->hKey) && reqStr(x, &p->lpSubKey);
}

bool_t xdr_regd_REG_QUERY_VERSION(XDR* x, regd_REG_QUERY_VERSION* p) { return hdr(x, &p->userData); }

bool_t xdr_regd_REG_PING_DAEMON(XDR* x, regd_REG_PING_DAEMON* p) {
    return hdr(x, &p->userData) && u32(x, &p->pid) && u32(x, &p->finalPing);
}

// ---- Return records ----

bool_t xdr_regd_BASIC_RETURN(XDR* x, regd_BASIC_RETURN* p) { return u32(x, &p->retval); }

bool_t xdr_regd_REG_CREATE_KEY_RETURN(XDR* x, regd_REG_CREATE_KEY_RETURN* p) {
    return u32(x, &p->retval) && u32(x, &p->hkResult) && u32(x, &p->dwDisposition);
}

bool_t xdr_regd_REG_OPEN_KEY_RETURN(XDR* x, regd_REG_OPEN_KEY_RETURN* p) {
    return u32(x, &p->retval) && u32(x, &p->hkResult);
}

bool_t xdr_regd_REG_ENUM_KEY_RETURN(XDR* x, regd_REG_ENUM_KEY_RETURN* p) {
    return u32(x, &p->retval) && resStr(x, &p->lpName) && u32(x, &p->lpcbName) &&
           resStr(x, &p->lpClass) && u32(x, &p->lpcbClass) &&
           xdr_regd_FILETIME(x, &p->ftLastWriteTime);
}

bool_t xdr_regd_REG_ENUM_VALUE_RETURN(XDR* x, regd_REG_ENUM_VALUE_RETURN* p) {
    return u32(x, &p->retval) && resStr(x, &p->lpszValue) && u32(x, &p->lpcbValue) &&
           u32(x, &p->lpdwType) && resBytes(x, &p->lpData) && u32(x, &p->lpcbData);
}

bool_t xdr_regd_REG_GET_KEY_SEC_RETURN(XDR* x, regd_REG_GET_KEY_SEC_RETURN* p) {
    return u32(x, &p->retval) && resStr(x, &p->pSecurityDescriptor) &&
           u32(x, &p->lpcbSecurityDescriptor);
}

bool_t xdr_regd_REG_QUERY_INFO_KEY_RETURN(XDR* x, regd_REG_QUERY_INFO_KEY_RETURN* p) {
    return u32(x, &p->retval) && resStr(x, &p->lpClass) && u32(x, &p->lpcbClass) &&
           u32(x, &p->lpReserved) && u32(x, &p->cSubKeys) && u32(x, &p->cbMaxSubKeyLen) &&
           u32(x, &p->cbMaxClassLen) && u32(x, &p->cValues) && u32(x, &p->cbMaxValueNameLen) &&
           u32(x, &p->cbMaxValueLen) && u32(x, &p->cbSecurityDescriptor) &&
           xdr_regd_FILETIME(x, &p->ftLastWriteTime) && u16(x, &p->isClassNull);
}

bool_t xdr_regd_REG_QUERY_VALUE_RETURN(XDR* x, regd_REG_QUERY_VALUE_RETURN* p) {
    return u32(x, &p->retval) && u32(x, &p->lpType) && resBytes(x, &p->lpData) &&
           u32(x, &p->lpcbData);
}

bool_t xdr_regd_REG_QUERY_VERSION_RETURN(XDR* x, regd_REG_QUERY_VERSION_RETURN* p) {
    return u32(x, &p->retval) && u32(x, &p->major) && u32(x, &p->minor) && u32(x, &p->minorminor);
}

// ---- Result unions ----

bool_t xdr_regd_BASIC_RES(XDR* x, regd_BASIC_RES* p) {
    return resultUnion(x, p, xdr_regd_BASIC_RETURN);
}
bool_t xdr_regd_REG_CREATE_KEY_RES(XDR* x, regd_REG_CREATE_KEY_RES* p) {
    return resultUnion(x, p, xdr_regd_REG_CREATE_KEY_RETURN);
}
bool_t xdr_regd_REG_OPEN_KEY_RES(XDR* x, regd_REG_OPEN_KEY_RES* p) {
    return resultUnion(x, p, xdr_regd_REG_OPEN_KEY_RETURN);
}
bool_t xdr_regd_REG_ENUM_KEY_RES(XDR* x, regd_REG_ENUM_KEY_RES* p) {
    return resultUnion(x, p, xdr_regd_REG_ENUM_KEY_RETURN);
}
bool_t xdr_regd_REG_ENUM_VALUE_RES(XDR* x, regd_REG_ENUM_VALUE_RES* p) {
    return resultUnion(x, p, xdr_regd_REG_ENUM_VALUE_RETURN);
}
bool_t xdr_regd_REG_GET_KEY_SEC_RES(XDR* x, regd_REG_GET_KEY_SEC_RES* p) {
    return resultUnion(x, p, xdr_regd_REG_GET_KEY_SEC_RETURN);
}
bool_t xdr_regd_REG_QUERY_INFO_KEY_RES(XDR* x, regd_REG_QUERY_INFO_KEY_RES* p) {
    return resultUnion(x, p, xdr_regd_REG_QUERY_INFO_KEY_RETURN);
}
bool_t xdr_regd_REG_QUERY_VALUE_RES(XDR* x, regd_REG_QUERY_VALUE_RES* p) {
    return resultUnion(x, p, xdr_regd_REG_QUERY_VALUE_RETURN);
}
bool_t xdr_regd_REG_QUERY_VERSION_RES(XDR* x, regd_REG_QUERY_VERSION_RES* p) {
    return resultUnion(x, p, xdr_regd_REG_QUERY_VERSION_RETURN);
}
