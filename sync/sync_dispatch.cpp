// Message framing of the sync server: the operation table, the request loop
// of one connection and the server-to-client call.
#include <algorithm>
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

void kvIPCCallDispatcher(KvIPCCallContext* context) {
    if (context == nullptr) return;
    KvSRVConnection* connection = context->connection;
    if (connection == nullptr || context->table == nullptr) {
        kvSRVDisconnect(connection);
        delete context;
        return;
    }
    std::vector<char> request;
    std::vector<char> reply;
    bool serving = growBuffer(request, kvIPCMinBufferSize) && growBuffer(reply, kvIPCMinBufferSize);
    while (serving) {
        std::fill(request.begin(), request.end(), 0);
        std::fill(reply.begin(), reply.end(), 0);
        KvIPCHeader header;
        if (kvSRVRead(connection, &header, sizeof header) <= 0) break;
        // Lengths no record of the protocol comes near: a broken or hostile peer.
        if (header.requestLength < 0 || header.requestLength > KV_IPC_MAX_LENGTH ||
            header.replyLength > KV_IPC_MAX_LENGTH)
            break;
        if (!growBuffer(request, header.requestLength) || !growBuffer(reply, header.replyLength)) break;
        if (header.requestLength > 0 &&
            kvSRVRead(connection, request.data(), header.requestLength) != header.requestLength)
            break;
        if (header.opcode > context->maxOpcode) continue;
        const KvIPCOperation& operation = context->table[header.opcode];
        if (operation.handler == nullptr) continue;
        std::span<const char> body(request.data(), static_cast<size_t>(header.requestLength));
        if (!kvIPCRequestFits(operation, body)) break;
        operation.handler(connection, context->info, body, std::span<char>(reply));
        if (header.replyLength > 0 && kvSRVWrite(connection, reply.data(), header.replyLength) != header.replyLength)
            break;
    }
    if (context->disconnectHandler != nullptr) context->disconnectHandler(connection, context->info);
    kvSRVDisconnect(connection);
    delete context;
}

int kvIPCServerCall(KvSRVConnection* connection, uint32_t opcode, const void* request, int requestLength,
                    void* reply, int replyLength) {
    if (connection == nullptr || (replyLength > 0 && reply == nullptr)) return -1;
    KvIPCHeader header{opcode, requestLength, replyLength};
    if (kvSRVWrite(connection, &header, sizeof header) != static_cast<int>(sizeof header)) return -1;
    if (requestLength != 0 && request != nullptr && kvSRVWrite(connection, request, requestLength) != requestLength)
        return -1;
    if (replyLength >= 1 && kvSRVRead(connection, reply, replyLength) != replyLength) return -1;
    return 0;
}
