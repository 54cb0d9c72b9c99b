// Writes the seed corpus of each fuzz target into DIR/<target>/ with the
// project's own encoders: registry calls as the RPC library frames them with
// our request records, database files from the store's writer, .reg files
// from kalvoreg's writer, and sync sessions whose handles come from the sync
// server's own replies. Run: scripts/fuzz.sh --seeds (kalvo_fuzz_seeds DIR).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/log.h"
#include "rpc/regd_xdr.h"
#include "store/regdcache.h"
#include "store/regdio.h"
#include "sync/sync_internal.h"
#include "tools/regfile.h"

namespace {

std::string g_dir;

void put(const std::string& target, const std::string& name, const std::string& bytes) {
    std::string dir = g_dir + "/" + target;
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
}

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// ---- Registry calls ----

constexpr uint32_t kProg = 0x3003003C;

// One call record as the RPC library's TCP client sends it: the call header,
// then the arguments, after a record mark (two fragments when `split`).
std::string callRecord(uint32_t vers, uint32_t proc, xdrproc_t encode, void* args, bool unixAuth, bool split) {
    std::vector<char> buf(4096);
    XDR x;
    xdrmem_create(&x, buf.data(), static_cast<u_int>(buf.size()), XDR_ENCODE);
    rpc_msg msg{};
    msg.rm_xid = 0x1234 + proc;
    msg.rm_direction = CALL;
    msg.rm_call.cb_rpcvers = RPC_MSG_VERSION;
    msg.rm_call.cb_prog = kProg;
    msg.rm_call.cb_vers = vers;
    msg.rm_call.cb_proc = proc;
    char credBody[400];
    if (unixAuth) {
        gid_t gids[2] = {0, 100};
        authunix_parms parms{1700000000, const_cast<char*>("kalvohost"), 0, 0, 2, gids};
        XDR c;
        xdrmem_create(&c, credBody, sizeof credBody, XDR_ENCODE);
        if (!xdr_authunix_parms(&c, &parms)) abort();
        msg.rm_call.cb_cred = {AUTH_SYS, credBody, xdr_getpos(&c)};
    } else {
        msg.rm_call.cb_cred = {AUTH_NONE, nullptr, 0};
    }
    msg.rm_call.cb_verf = {AUTH_NONE, nullptr, 0};
    g_packetVersion = vers;
    if (!xdr_callmsg(&x, &msg) || !encode(&x, args)) abort();
    std::string body(buf.data(), xdr_getpos(&x));
    auto mark = [](uint32_t n, bool last) {
        uint32_t v = n | (last ? 0x80000000u : 0u);
        return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    };
    if (!split) return mark(static_cast<uint32_t>(body.size()), true) + body;
    size_t half = body.size() / 2;
    return mark(static_cast<uint32_t>(half), false) + body.substr(0, half) +
           mark(static_cast<uint32_t>(body.size() - half), true) + body.substr(half);
}

template <typename T>
void requestSeeds(const char* name, uint32_t proc, bool_t (*fn)(XDR*, T*), T args) {
    auto encode = reinterpret_cast<xdrproc_t>(fn);
    // Whole records at once, and the same calls handed over 3 bytes at a time.
    put("requests", std::string(name) + "-v2", "\xff" + callRecord(2, proc, encode, &args, true, false));
    put("requests", std::string(name) + "-v1", "\x02" + callRecord(1, proc, encode, &args, false, true));
}

void requestCorpus() {
    regd_USER_DATA u{30000, 1000, const_cast<char*>("alice"), 0x7f0101};
    char key[] = "Software\\Kalvo\\Settings";
    char value[] = "Colour";
    char file[] = "settings.hiv";
    char old[] = "settings.old";
    char cls[] = "KalvoClass";
    char text[] = "blue";
    char bytes[] = "\x01\x02\x03\x04";
    constexpr uint32_t hklm = REGD_HKEY_LOCAL_MACHINE;
    requestSeeds("close", REG_CLOSE_KEY, xdr_regd_REG_CLOSE_KEY, regd_REG_CLOSE_KEY{u, 4100});
    requestSeeds("create", REG_CREATE_KEY, xdr_regd_REG_CREATE_KEY, regd_REG_CREATE_KEY{u, hklm, key, 0});
    requestSeeds("create-ex", REG_CREATE_KEY_EX, xdr_regd_REG_CREATE_KEY_EX,
                 regd_REG_CREATE_KEY_EX{u, hklm, key, cls, 1, 0, 0});
    requestSeeds("delete", REG_DELETE_KEY, xdr_regd_REG_DELETE_KEY, regd_REG_DELETE_KEY{u, hklm, key});
    requestSeeds("delete-value", REG_DELETE_VALUE, xdr_regd_REG_DELETE_VALUE,
                 regd_REG_DELETE_VALUE{u, 4100, value, 0});
    requestSeeds("enum", REG_ENUM_KEY, xdr_regd_REG_ENUM_KEY, regd_REG_ENUM_KEY{u, hklm, 2, 256});
    requestSeeds("enum-ex", REG_ENUM_KEY_EX, xdr_regd_REG_ENUM_KEY_EX, regd_REG_ENUM_KEY_EX{u, hklm, 0, 256, 64});
    requestSeeds("enum-value", REG_ENUM_VALUE, xdr_regd_REG_ENUM_VALUE, regd_REG_ENUM_VALUE{u, 4100, 1, 256, 1024});
    requestSeeds("flush", REG_FLUSH_KEY, xdr_regd_REG_FLUSH_KEY, regd_REG_FLUSH_KEY{u, hklm});
    requestSeeds("get-sec", REG_GET_KEY_SEC, xdr_regd_REG_GET_KEY_SEC, regd_REG_GET_KEY_SEC{u, hklm, 4, 128});
    requestSeeds("load", REG_LOAD_KEY, xdr_regd_REG_LOAD_KEY, regd_REG_LOAD_KEY{u, hklm, key, file});
    requestSeeds("notify", REG_NOTIFY_CHANGE_KEY_VALUE, xdr_regd_REG_NOTIFY_CHANGE_KEY_VALUE,
                 regd_REG_NOTIFY_CHANGE_KEY_VALUE{u, hklm, 1, 5, 0x28000001, 1});
    requestSeeds("open", REG_OPEN_KEY, xdr_regd_REG_OPEN_KEY, regd_REG_OPEN_KEY{u, hklm, key});
    requestSeeds("open-ex", REG_OPEN_KEY_EX, xdr_regd_REG_OPEN_KEY_EX, regd_REG_OPEN_KEY_EX{u, hklm, key, 0, 0});
    requestSeeds("query-info", REG_QUERY_INFO_KEY, xdr_regd_REG_QUERY_INFO_KEY, regd_REG_QUERY_INFO_KEY{u, hklm, 64});
    requestSeeds("query-value", REG_QUERY_VALUE, xdr_regd_REG_QUERY_VALUE,
                 regd_REG_QUERY_VALUE{u, hklm, key, 256, 0, 0});
    requestSeeds("query-value-ex", REG_QUERY_VALUE_EX, xdr_regd_REG_QUERY_VALUE_EX,
                 regd_REG_QUERY_VALUE_EX{u, 4100, value, 256, 0, 0});
    requestSeeds("replace", REG_REPLACE_KEY, xdr_regd_REG_REPLACE_KEY,
                 regd_REG_REPLACE_KEY{u, hklm, key, file, old});
    requestSeeds("restore", REG_RESTORE_KEY, xdr_regd_REG_RESTORE_KEY, regd_REG_RESTORE_KEY{u, 4100, file, 0});
    requestSeeds("save", REG_SAVE_KEY, xdr_regd_REG_SAVE_KEY, regd_REG_SAVE_KEY{u, 4100, file, {12, 0}});
    requestSeeds("set-sec", REG_SET_KEY_SEC, xdr_regd_REG_SET_KEY_SEC, regd_REG_SET_KEY_SEC{u, hklm, 4, 0});
    requestSeeds("set-value", REG_SET_VALUE, xdr_regd_REG_SET_VALUE,
                 regd_REG_SET_VALUE{u, hklm, key, 1, text, 5, 0});
    requestSeeds("set-value-ex", REG_SET_VALUE_EX, xdr_regd_REG_SET_VALUE_EX,
                 regd_REG_SET_VALUE_EX{u, 4100, value, 3, {4, bytes}, 4, 0});
    requestSeeds("unload", REG_UNLOAD_KEY, xdr_regd_REG_UNLOAD_KEY, regd_REG_UNLOAD_KEY{u, hklm, key});
    requestSeeds("version", REG_QUERY_VERSION, xdr_regd_REG_QUERY_VERSION, regd_REG_QUERY_VERSION{u});
    requestSeeds("ping", REG_PING_DAEMON, xdr_regd_REG_PING_DAEMON, regd_REG_PING_DAEMON{u, 4242, 0});
    // Two calls on one connection, as a client sends them back to back.
    regd_REG_OPEN_KEY open{u, hklm, key};
    regd_REG_CLOSE_KEY close{u, 4100};
    put("requests", "open-close",
        "\xff" + callRecord(2, REG_OPEN_KEY, reinterpret_cast<xdrproc_t>(xdr_regd_REG_OPEN_KEY), &open, true, false) +
            callRecord(2, REG_CLOSE_KEY, reinterpret_cast<xdrproc_t>(xdr_regd_REG_CLOSE_KEY), &close, true, false));
}

// ---- Database files ----

void databaseCorpus() {
    const RegdCaller caller{"alice", 1000, 0};
    if (!regdInitCache()) abort();
    uint32_t key = 0, sub = 0;
    regdInsertKey(caller, REGD_HKEY_LOCAL_MACHINE, "Software\\Kalvo", 0, "KalvoClass", 0, 0, nullptr, &key,
                  nullptr, 0);
    regdInsertKey(caller, key, "Settings\\Deep", 0, nullptr, 0, 0, nullptr, &sub, nullptr, 0);
    const uint8_t dword[4] = {0x2a, 0, 0, 0};
    regdRegSetValue(caller, key, "Colour", 0, REGD_REG_SZ, reinterpret_cast<const uint8_t*>("blue"), 5, 0);
    regdRegSetValue(caller, key, "Count", 0, 4, dword, 4, 0);
    regdRegSetValue(caller, key, "", 0, REGD_REG_SZ, reinterpret_cast<const uint8_t*>("default"), 8, 0);
    regdRegSetValue(caller, sub, "Empty", 0, 3, nullptr, 0, 0);
    // Set-value's short form: a sub-key's default value beside a value of the
    // same name (a shadow value).
    regdRegSetValue(caller, key, "Settings", 0, REGD_REG_SZ, reinterpret_cast<const uint8_t*>("shadow"), 7, 1);
    regdInsertKey(caller, REGD_HKEY_USERS, ".Default\\Console", 0, nullptr, 0, 0, nullptr, &sub, nullptr, 0);
    regdInsertKey(caller, REGD_HKEY_CLASSES_ROOT, ".txt", 0, nullptr, 0, 0, nullptr, &sub, nullptr, 0);
    regdRegSetValue(caller, sub, "", 0, REGD_REG_SZ, reinterpret_cast<const uint8_t*>("txtfile"), 8, 0);
    const std::string main = g_dir + "/seed-main.dat", hive = g_dir + "/seed-hive.dat";
    if (regdWriteRegistryDatabase(caller, 0, main.c_str(), 1) != 0) abort();
    if (regdWriteRegistryDatabase(caller, key, hive.c_str(), 1) != 0) abort();
    put("database", "main", "\x01" + readWhole(main));
    put("database", "hive", std::string(1, '\0') + readWhole(hive));
    unlink(main.c_str());
    unlink(hive.c_str());
    regdDiscardCache();
}

// ---- .reg files ----

void regfileCorpus() {
    using namespace regtool;
    RegDocument doc;
    RegFileSection kalvo;
    kalvo.path = "HKEY_LOCAL_MACHINE\\Software\\Kalvo";
    auto value = [](const char* name, uint32_t type, std::string data) {
        RegFileValue v;
        v.name = name;
        v.type = type;
        v.data = std::move(data);
        return v;
    };
    kalvo.values.push_back(value("", 1, std::string("default\0", 8)));
    kalvo.values.push_back(value("Colour \"quoted\" \\", 1, std::string("blue\0", 5)));
    kalvo.values.push_back(value("Path", 2, std::string("%HOME%\\bin\0", 11)));
    kalvo.values.push_back(value("Count", 4, std::string("\x2a\0\0\0", 4)));
    kalvo.values.push_back(value("Big", 11, std::string("\1\2\3\4\5\6\7\x08", 8)));
    kalvo.values.push_back(value("List", 7, std::string("one\0two\0\0", 9)));
    kalvo.values.push_back(value("Blob", 3, std::string(100, '\xab')));
    kalvo.values.push_back(value("Odd", 0x1234, "xyz"));
    kalvo.values.push_back(value("Gr\xc3\xbc\xc3\x9f", 1, std::string("\xe2\x82\xac\0", 4)));
    RegFileValue gone;
    gone.name = "Old";
    gone.remove = true;
    kalvo.values.push_back(gone);
    doc.sections.push_back(kalvo);
    RegFileSection removed;
    removed.path = "HKEY_CURRENT_USER\\Software\\Stale";
    removed.remove = true;
    doc.sections.push_back(removed);
    std::string bytes, why;
    if (!writeRegFile(doc, RegFormat::Regedit4, &bytes, &why)) abort();
    put("regfile", "regedit4", bytes);
    if (!writeRegFile(doc, RegFormat::Version5, &bytes, &why)) abort();
    put("regfile", "version5", bytes);
    // The older header no writer makes any more, which the reader still takes.
    put("regfile", "regedit", "REGEDIT\r\nHKEY_CLASSES_ROOT\\.txt = txtfile\r\n");
}

// ---- Sync sessions ----

// One sync request: header, words and the name (when given) with its NUL.
std::string syncMessage(uint32_t opcode, const std::vector<int32_t>& words, const std::string& name,
                        int32_t replyWords) {
    std::string body(words.size() * 4, '\0');
    for (size_t i = 0; i < words.size(); i++) kvWirePutWord(body, i, words[i]);
    if (!name.empty()) body += name + '\0';
    KvIPCHeader header{opcode, static_cast<int32_t>(body.size()), replyWords * 4};
    return std::string(reinterpret_cast<const char*>(&header), sizeof header) + body;
}

// A client process of a sync session: requests go to the server in-process
// and their bytes are kept; replies give the handles later requests use.
struct SyncClient {
    SyncIPCInfo* info;
    SyncConnection connection;
    int32_t pid;
    std::string sent;

    std::vector<int32_t> call(uint32_t opcode, std::vector<int32_t> words, const std::string& name = "",
                              int32_t replyWords = 0) {
        std::string bytes = syncMessage(opcode, words, name, replyWords);
        sent += bytes;
        connection.in += bytes;
        connection.out.clear();
        if (!kvIPCServeRequests(&connection, info)) abort();
        std::vector<int32_t> reply(static_cast<size_t>(replyWords));
        for (size_t i = 0; i < reply.size(); i++) reply[i] = kvWireGetWord(connection.out, i);
        return reply;
    }
};

// The fuzz target's input: hand-over size, the first stream's length, both streams.
std::string syncInput(uint8_t step, const std::string& a, const std::string& b) {
    std::string out{char(step), char(a.size() & 0xff), char(a.size() >> 8)};
    return out + a + b;
}

void syncCorpus() {
    SyncIPCInfo* info = sync_ipc_srv_init();
    SyncClient a{info, {.id = 1, .peerPid = 100, .peerUid = 1000}, 100, {}};
    SyncClient b{info, {.id = 2, .peerPid = 200, .peerUid = 0}, 200, {}};
    a.call(KV_OP_REGISTER_PID, {a.pid});
    b.call(KV_OP_REGISTER_PID, {b.pid});
    int32_t event = a.call(KV_OP_CREATE_EVENT, {a.pid, 0, 0}, "kalvo-event", 3)[0];
    int32_t mutex = a.call(KV_OP_CREATE_MUTEX, {a.pid, 7, 1}, "kalvo-mutex", 3)[0];
    int32_t sem = a.call(KV_OP_CREATE_SEMAPHORE, {a.pid, 0, 4}, "kalvo-sem", 3)[0];
    int32_t bEvent = b.call(KV_OP_OPEN_EVENT, {b.pid, 0, 0}, "kalvo-event", 3)[0];
    int32_t bMutex = b.call(KV_OP_OPEN_MUTEX, {b.pid, 0, 0, 0}, "kalvo-mutex", 3)[0];
    int32_t bSem = b.call(KV_OP_OPEN_SEMAPHORE, {b.pid, 0, 0}, "kalvo-sem", 3)[0];
    // b waits for any of the three, then for all of them with a client handle.
    b.call(KV_OP_BEGIN_WAIT, {b.pid, 0x51, 9, 1, 3, bEvent, bMutex, bSem}, "", 4);
    a.call(KV_OP_SET_EVENT, {a.pid, event}, "", 6);
    b.call(KV_OP_BEGIN_WAIT, {b.pid, 0x52, 9, 2, 2, bMutex, 0x11000001}, "", 4);
    b.call(KV_OP_WAIT_OBJECT_STATE, {b.pid, 0, 0x52, 1, 1}, "", 2);
    a.call(KV_OP_RELEASE_MUTEX, {a.pid, 7, mutex}, "", 6);
    a.call(KV_OP_RELEASE_SEMAPHORE, {a.pid, sem, 2}, "", 7);
    b.call(KV_OP_BEGIN_WAIT, {b.pid, 0x53, 10, 1, 1, bSem}, "", 4);
    b.call(KV_OP_WAIT_TIMEOUT, {b.pid, 10, 0x53}, "", 2);
    int32_t dup = b.call(KV_OP_DUPLICATE_EVENT, {b.pid, bEvent}, "", 3)[0];
    a.call(KV_OP_PULSE_EVENT, {a.pid, event}, "", 6);
    a.call(KV_OP_RESET_EVENT, {a.pid, event}, "", 3);
    a.call(KV_OP_CREATE_ALIAS, {a.pid, b.pid, 0x11000002, 0x11000003, 1, 0, 0}, "", 2);
    a.call(KV_OP_CREATE_ALIAS_OLD, {a.pid, 0x21000004, 1, 1, 0}, "", 2);
    b.call(KV_OP_CLOSE_HANDLE, {b.pid, dup}, "", 3);
    a.call(KV_OP_SYNC_DEBUG, {});
    b.call(KV_OP_THREAD_EXITED, {b.pid, 9});
    a.call(KV_OP_CLOSE_HANDLE, {a.pid, sem}, "", 3);
    put("sync", "session", syncInput(255, a.sent, b.sent));
    put("sync", "session-bytewise", syncInput(0, a.sent, b.sent));
    put("sync", "session-one-client", syncInput(16, a.sent, ""));
    // Requests sent together that each ask for the longest reply: the server
    // once queued every reply of a read at once (40 MiB for these 800 bytes).
    std::string flood = syncMessage(KV_OP_REGISTER_PID, {a.pid}, "", 0);
    for (int i = 0; i < 40; i++) flood += syncMessage(KV_OP_RESET_EVENT, {a.pid, event}, "", KV_IPC_MAX_LENGTH / 4);
    put("sync", "reply-flood", syncInput(255, flood, ""));
    sync_ipc_disconnect_handler(&a.connection, info);
    sync_ipc_disconnect_handler(&b.connection, info);
    for (auto& [pid, channel] : info->processChannels) ::close(channel.fd);
    delete info;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    g_dir = argv[1];
    mkdir(g_dir.c_str(), 0755);
    regdCloseLog();
    requestCorpus();
    databaseCorpus();
    regfileCorpus();
    syncCorpus();
    return 0;
}
