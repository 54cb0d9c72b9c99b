// Wire format of the sync protocol, shared by the daemon and the client
// library. Header-only and free of daemon code, so the client library can
// include it without linking anything of the server.
//
// Every message is a 12-byte header (opcode, request length, reply length;
// 32-bit words in host order, both ends run on one machine) followed by the
// request bytes. The reply, if asked for, is exactly reply-length bytes with
// no header of its own.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <sys/socket.h>

struct KvIPCHeader {
    uint32_t opcode;
    int32_t requestLength;  // bytes that follow the header
    int32_t replyLength;    // bytes the sender expects back; 0 for none
};
static_assert(sizeof(KvIPCHeader) == 12);

// Client-to-server operations.
enum KvIPCOpcode : uint32_t {
    KV_OP_CREATE_SEMAPHORE = 0,
    KV_OP_CREATE_EVENT = 1,
    KV_OP_CREATE_MUTEX = 2,
    KV_OP_OPEN_SEMAPHORE = 3,
    KV_OP_OPEN_EVENT = 4,
    KV_OP_OPEN_MUTEX = 5,
    KV_OP_RELEASE_SEMAPHORE = 6,
    KV_OP_RELEASE_MUTEX = 7,
    KV_OP_SET_EVENT = 8,
    KV_OP_RESET_EVENT = 9,
    KV_OP_PULSE_EVENT = 10,
    KV_OP_CLOSE_HANDLE = 11,
    KV_OP_WAIT_TIMEOUT = 12,
    KV_OP_REGISTER_PID = 13,
    KV_OP_BEGIN_WAIT = 14,
    KV_OP_WAIT_OBJECT_STATE = 15,
    KV_OP_CREATE_ALIAS_OLD = 16,
    KV_OP_SYNC_DEBUG = 17,
    KV_OP_CREATE_ALIAS = 18,
    KV_OP_THREAD_EXITED = 19,
    KV_OP_DUPLICATE_EVENT = 20,
};
constexpr uint32_t KV_IPC_MAX_OPCODE = 20;
constexpr uint32_t KV_IPC_NUM_OPCODES = KV_IPC_MAX_OPCODE + 1;

// Server-to-client messages, sent on a connection to the client's own socket.
constexpr uint32_t KV_MSG_WAKE_WAIT_ENTRY = 0;   // wait entry, wait result, reserved
constexpr uint32_t KV_MSG_SIGNAL_CLIENT_EVENT = 1;  // one value

// A request or reply length above this ends the connection: no record of
// the protocol comes near it, so it can only be a broken or hostile client.
constexpr int32_t KV_IPC_MAX_LENGTH = 1 << 20;

// Where the name of a create or open request starts; open_mutex has one
// more leading word than the others.
constexpr size_t KV_NAME_OFFSET = 12;
constexpr size_t KV_OPEN_MUTEX_NAME_OFFSET = 16;
// Longest name kept; longer names are cut to this many bytes.
constexpr size_t KV_MAX_NAME_LENGTH = 4096;

// Handle values issued by the server.
constexpr uint32_t KV_KIND_MASK = 0xf0000000u;
constexpr uint32_t KV_KIND_EVENT = 0x20000000u;
constexpr uint32_t KV_KIND_MUTEX = 0x30000000u;
constexpr uint32_t KV_KIND_SEMAPHORE = 0x40000000u;
constexpr uint32_t KV_SERVER_MARKER = 0x08000000u;
constexpr uint32_t KV_INDEX_MASK = 0x07ffffffu;       // mutex and semaphore index
constexpr uint32_t KV_EVENT_INDEX_MASK = 0x0000ffffu;  // event index; bits 16-26 are a tag
constexpr uint32_t KV_EVENT_TAG_MASK = 0x07ff0000u;
constexpr uint32_t KV_EVENT_TAG_SHIFT = 16;
// Event handles carry 16 bits of index, so no event may live above this.
constexpr uint32_t KV_MAX_EVENT_SLOTS = 0x10000u;

// Wait results beside the position of the satisfying handle.
constexpr int32_t KV_WAIT_ABANDONED_0 = 128;  // added to the position of an abandoned mutex
constexpr int32_t KV_WAIT_TIMEOUT = 258;
constexpr int32_t KV_WAIT_FAILED = -1;

// Socket path of a process: "/tmp" + "/" + "kalvo_sock_<pid>".
constexpr const char* KV_SOCKET_DIR = "/tmp";
constexpr const char* KV_SOCKET_NAME_FORMAT = "kalvo_sock_%d";

// 32-bit word i of a message body; 0 when the word lies beyond the body.
inline int32_t kvWireGetWord(std::span<const char> body, size_t i) {
    int32_t v = 0;
    if ((i + 1) * 4 <= body.size()) memcpy(&v, body.data() + i * 4, 4);
    return v;
}

// Stores word i of a message body; nothing when it would lie beyond it.
inline void kvWirePutWord(std::span<char> body, size_t i, int32_t v) {
    if ((i + 1) * 4 <= body.size()) memcpy(body.data() + i * 4, &v, 4);
}

// The NUL-terminated name at `offset`: ends at its NUL, or at the end of the
// body when the sender left the NUL out, and is cut to KV_MAX_NAME_LENGTH.
inline std::string_view kvWireName(std::span<const char> body, size_t offset) {
    if (offset >= body.size()) return {};
    std::string_view rest(body.data() + offset, body.size() - offset);
    size_t end = rest.find('\0');
    if (end == std::string_view::npos) end = rest.size();
    if (end > KV_MAX_NAME_LENGTH) end = KV_MAX_NAME_LENGTH;
    return rest.substr(0, end);
}

// Whole-buffer send and receive on a blocking socket, for the client side;
// false at the end of the stream or on an error. Sending never raises
// SIGPIPE, so a vanished peer cannot kill the caller.
inline bool kvWireSendAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

inline bool kvWireRecvAll(int fd, void* data, size_t n) {
    char* p = static_cast<char*>(data);
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}
