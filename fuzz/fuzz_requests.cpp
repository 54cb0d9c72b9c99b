// Decodes arbitrary bytes as every registry request record, in both
// protocol versions, and releases what was decoded. Run with libFuzzer:
//   scripts/fuzz.sh requests
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "rpc/regd_xdr.h"

namespace {

template <typename T>
void decodeAndRelease(bool_t (*fn)(XDR*, T*), const uint8_t* data, size_t size) {
    T rec;
    memset(&rec, 0, sizeof rec);
    XDR x;
    xdrmem_create(&x, const_cast<char*>(reinterpret_cast<const char*>(data)), static_cast<u_int>(size),
                  XDR_DECODE);
    (void)fn(&x, &rec);
    xdr_destroy(&x);
    xdr_free(reinterpret_cast<xdrproc_t>(fn), reinterpret_cast<char*>(&rec));
    free(g_userNameToFree);
    g_userNameToFree = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    g_packetVersion = (data[0] & 1) != 0 ? 1 : 2;
    data++;
    size--;
    decodeAndRelease(xdr_regd_REG_CLOSE_KEY, data, size);
    decodeAndRelease(xdr_regd_REG_CREATE_KEY, data, size);
    decodeAndRelease(xdr_regd_REG_CREATE_KEY_EX, data, size);
    decodeAndRelease(xdr_regd_REG_DELETE_KEY, data, size);
    decodeAndRelease(xdr_regd_REG_DELETE_VALUE, data, size);
    decodeAndRelease(xdr_regd_REG_ENUM_KEY, data, size);
    decodeAndRelease(xdr_regd_REG_ENUM_KEY_EX, data, size);
    decodeAndRelease(xdr_regd_REG_ENUM_VALUE, data, size);
    decodeAndRelease(xdr_regd_REG_FLUSH_KEY, data, size);
    decodeAndRelease(xdr_regd_REG_GET_KEY_SEC, data, size);
    decodeAndRelease(xdr_regd_REG_LOAD_KEY, data, size);
    decodeAndRelease(xdr_regd_REG_NOTIFY_CHANGE_KEY_VALUE, data, size);
    decodeAndRelease(xdr_regd_REG_OPEN_KEY, data, size);
    decodeAndRelease(xdr_regd_REG_OPEN_KEY_EX, data, size);
    decodeAndRelease(xdr_regd_REG_QUERY_INFO_KEY, data, size);
    decodeAndRelease(xdr_regd_REG_QUERY_VALUE, data, size);
    decodeAndRelease(xdr_regd_REG_QUERY_VALUE_EX, data, size);
    decodeAndRelease(xdr_regd_REG_REPLACE_KEY, data, size);
    decodeAndRelease(xdr_regd_REG_RESTORE_KEY, data, size);
    decodeAndRelease(xdr_regd_REG_SAVE_KEY, data, size);
    decodeAndRelease(xdr_regd_REG_SET_KEY_SEC, data, size);
    decodeAndRelease(xdr_regd_REG_SET_VALUE, data, size);
    decodeAndRelease(xdr_regd_REG_SET_VALUE_EX, data, size);
    decodeAndRelease(xdr_regd_REG_UNLOAD_KEY, data, size);
    decodeAndRelease(xdr_regd_REG_QUERY_VERSION, data, size);
    decodeAndRelease(xdr_regd_REG_PING_DAEMON, data, size);
    return 0;
}
