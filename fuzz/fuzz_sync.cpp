// The sync server's request loop on arbitrary bytes from two client
// connections at once (one of an ordinary process, one of root's): each stream is handed to the loop a few bytes at a
// time, alternating between the two, as the server's loop thread would
// receive them; a connection that breaks the protocol ends there, and both
// end (with the server's disconnect handling) when their bytes run out.
// Two processes (pids 100 and 200) listen for wake-ups, so that the
// server's wake-up connections and their queues are exercised too.
//
// Wake-ups go to /tmp/kalvo_sock_<pid>: the target runs only in a private
// /tmp (scripts/fuzz.sh runs it in a mount namespace of its own and sets
// KALVO_FUZZ_PRIVATE_TMP), never reaching a real client's socket.
//
// Input: one byte giving the bytes handed over at a time (1 to 256), two
// bytes (little-endian) giving the length of the first stream, then the
// first stream and the second. Run: scripts/fuzz.sh sync SECONDS
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "sync/sync_internal.h"

namespace {

constexpr int32_t kListeningPids[] = {100, 200};
int g_listeners[2] = {-1, -1};

// Takes and closes every wake-up connection the server opened to the
// listening processes, so that none outlives its input.
void drainListeners() {
    for (int fd : g_listeners) {
        for (;;) {
            int c = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c < 0) break;
            close(c);
        }
    }
}

struct Stream {
    SyncConnection connection;
    std::string_view bytes;
    bool open = true;
};

// Serves what the connection holds as the loop does while the peer takes
// every reply at once. However many requests arrived together, the replies
// of one pass stay within what one whole request may ask for beyond the
// buffered bound: a client must not make the server hold more.
bool serveAll(SyncConnection& connection, SyncIPCInfo* info) {
    for (;;) {
        connection.out.clear();
        size_t before = connection.in.size();
        if (!kvIPCServeRequests(&connection, info)) return false;
        if (connection.out.size() > 2 * KV_MAX_BUFFERED_BYTES) {
            dprintf(2, "one pass queued %zu bytes of replies\n", connection.out.size());
            abort();
        }
        if (connection.in.size() == before) return true;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (getenv("KALVO_FUZZ_PRIVATE_TMP") == nullptr) {
        dprintf(2, "fuzz_sync sends wake-ups to /tmp/kalvo_sock_<pid>: run it through scripts/fuzz.sh\n");
        abort();
    }
    for (int i = 0; i < 2; i++) {
        char* path = kvProcessSRVName(kListeningPids[i]);
        kvSRVRemoveEndpoint(path);
        g_listeners[i] = kvSRVListen(path, 0600);
        free(path);
        if (g_listeners[i] < 0) abort();
    }
    // The debug operation's dump goes nowhere; sanitizer reports still reach
    // descriptor 2.
    FILE* devNull = fopen("/dev/null", "w");
    if (devNull == nullptr) abort();
    stderr = devNull;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const size_t step = size_t{data[0]} + 1;
    const size_t firstLen = std::min<size_t>(data[1] | size_t{data[2]} << 8, size - 3);
    const char* rest = reinterpret_cast<const char*>(data + 3);
    SyncIPCInfo* info = sync_ipc_srv_init();
    if (info == nullptr) return 0;
    Stream streams[2];
    streams[0].bytes = std::string_view(rest, firstLen);
    streams[1].bytes = std::string_view(rest + firstLen, size - 3 - firstLen);
    // The kernel's word on each peer: the first an ordinary process, held
    // to its own pid (its wake-up listener, of another user, is refused);
    // the second root's, which may speak for any.
    streams[0].connection = SyncConnection{.id = 1, .peerPid = kListeningPids[0], .peerUid = 1000};
    streams[1].connection = SyncConnection{.id = 2, .peerPid = kListeningPids[1], .peerUid = 0};

    for (bool more = true; more;) {
        more = false;
        for (Stream& s : streams) {
            if (!s.open || s.bytes.empty()) continue;
            size_t take = std::min(step, s.bytes.size());
            s.connection.in.append(s.bytes.substr(0, take));
            s.bytes.remove_prefix(take);
            if (!serveAll(s.connection, info)) {
                s.open = false;
                sync_ipc_disconnect_handler(&s.connection, info);
            }
            more = more || (s.open && !s.bytes.empty());
        }
    }
    for (Stream& s : streams)
        if (s.open) sync_ipc_disconnect_handler(&s.connection, info);
    for (auto& [pid, channel] : info->processChannels) close(channel.fd);
    delete info;
    drainListeners();
    return 0;
}
