// Message framing of the sync server: the operation table and the serving
// of the requests a connection has sent.
#include <algorithm>
#include <cstring>
#include <new>

#include "sync/sync_internal.h"

namespace {

// Grows a buffer to at least `size` bytes; false when memory runs out.
bool growBuffer(std::vector<char>& buffer, int32_t size) {
    if (size <= 0 || static_cast<size_t>(size) <= buffer.size()) return true;
    try {
        buffer.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace

extern constexpr KvIPCOperation sync_ipc_handler[KV_IPC_NUM_OPCODES] = {
    /* 0 */ {create_semaphore, 3, -1, 3},
    /* 1 */ {create_event, 3, -1, 3},
    /* 2 */ {create_mutex, 3, -1, 3},
    /* 3 */ {open_semaphore, 3, -1, 3},
    /* 4 */ {open_event, 3, -1, 3},
    /* 5 */ {open_mutex, 4, -1, 3},
    /* 6 */ {release_semaphore, 3, -1, 7},
    /* 7 */ {release_mutex, 3, -1, 6},
    /* 8 */ {set_event, 2, -1, 6},
    /* 9 */ {reset_event, 2, -1, 3},
    /* 10 */ {pulse_event, 2, -1, 6},
    /* 11 */ {close_handle, 2, -1, 3},
    /* 12 */ {kvWaitEntryTimeout, 3, -1, 2},
    /* 13 */ {kvRegisterConnectionPid, 1, -1, 0},
    /* 14: the handles follow word 4, which counts them */ {kvBeginWait, 5, 4, 4},
    /* 15 */ {kvWaitObjectStateChange, 5, -1, 2},
    /* 16 */ {kvCreateObjectAliasOld, 5, -1, 2},
    /* 17 */ {kvSyncDebug, 0, -1, 0},
    /* 18 */ {kvCreateObjectAlias, 7, -1, 2},
    /* 19 */ {kvNotifyThreadExited, 2, -1, 0},
    /* 20 */ {duplicate_event, 2, -1, 3},
};

namespace {

constexpr int32_t largestRecord() {
    int32_t words = 0;
    for (const KvIPCOperation& op : sync_ipc_handler) words = std::max({words, op.requestWords, op.replyWords});
    return words * 4;
}

}  // namespace

extern constexpr int32_t kvIPCMinBufferSize = largestRecord();

bool kvIPCRequestFits(const KvIPCOperation& operation, std::span<const char> request) {
    size_t fixed = static_cast<size_t>(operation.requestWords) * 4;
    if (request.size() < fixed) return false;
    if (operation.countWord < 0) return true;
    int32_t count = kvWireGetWord(request, static_cast<size_t>(operation.countWord));
    return count <= 0 || static_cast<size_t>(count) <= (request.size() - fixed) / 4;
}

bool kvIPCServeRequests(SyncConnection* connection, SyncIPCInfo* info) {
    // Both buffers are at least kvIPCMinBufferSize and zero-filled for each
    // request, so a handler may read every fixed word and write its whole record.
    thread_local std::vector<char> request, reply;
    size_t used = 0;
    bool intact = true;
    // Replies the peer has not taken stop the serving: each request may ask
    // for a long reply, and the requests of one read must not pile them up.
    while (connection->out.size() < KV_MAX_BUFFERED_BYTES && connection->in.size() - used >= sizeof(KvIPCHeader)) {
        KvIPCHeader header;
        memcpy(&header, connection->in.data() + used, sizeof header);
        // Lengths no record of the protocol comes near: a broken or hostile peer.
        if (header.requestLength < 0 || header.requestLength > KV_IPC_MAX_LENGTH ||
            header.replyLength > KV_IPC_MAX_LENGTH) {
            intact = false;
            break;
        }
        size_t total = sizeof header + static_cast<size_t>(header.requestLength);
        if (connection->in.size() - used < total) break;
        const char* body = connection->in.data() + used + sizeof header;
        used += total;
        if (header.opcode > KV_IPC_MAX_OPCODE || sync_ipc_handler[header.opcode].handler == nullptr) continue;
        const KvIPCOperation& operation = sync_ipc_handler[header.opcode];
        const int32_t requestSize = std::max(kvIPCMinBufferSize, header.requestLength);
        const int32_t replySize = std::max(kvIPCMinBufferSize, header.replyLength);
        if (!growBuffer(request, requestSize) || !growBuffer(reply, replySize)) {
            intact = false;
            break;
        }
        std::fill_n(request.begin(), requestSize, 0);
        std::fill_n(reply.begin(), replySize, 0);
        std::copy(body, body + header.requestLength, request.begin());
        std::span<const char> fitted(request.data(), static_cast<size_t>(header.requestLength));
        // Word 0 of every request that has words is the pid it acts for.
        if (!kvIPCRequestFits(operation, fitted) ||
            (operation.requestWords > 0 && !kvIPCMaySpeakFor(connection, kvWireGetWord(fitted, 0)))) {
            intact = false;
            break;
        }
        operation.handler(connection, info, fitted, std::span<char>(reply.data(), static_cast<size_t>(replySize)));
        if (header.replyLength > 0) connection->out.append(reply.data(), static_cast<size_t>(header.replyLength));
    }
    connection->in.erase(0, used);
    return intact;
}
