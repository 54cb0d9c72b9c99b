// Registry calls as raw bytes, for clients that misbehave on purpose: call
// records built by hand, replies read record by record with their fragment
// sizes, and the daemon's memory as /proc tells it.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kalvotest {

// 32-bit words in network order.
std::string be32(std::initializer_list<uint32_t> words);
// An XDR string: count, bytes, padding.
std::string xdrString(const std::string& s);
// A credential or verifier: flavour and body.
std::string opaqueAuth(uint32_t flavor, const std::string& body = "");
// The request header of a version-2 call from this process.
std::string userHeader();

// A call message (AUTH_NONE credential and verifier unless given).
std::string callMessage(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc, const std::string& args,
                        const std::string& cred = opaqueAuth(0), const std::string& verf = opaqueAuth(0));
// A record of `body`: one fragment, or fragments of the given sizes (the
// last takes the rest).
std::string record(const std::string& body, const std::vector<size_t>& fragmentSizes = {});

// Arguments of QUERY_VALUE_EX on HKLM for a value that does not exist, with
// room for `capacity` bytes: the reply carries `capacity` bytes of data.
std::string bigQueryArgs(uint32_t capacity);

// A raw TCP connection to a daemon's registry program.
struct RawRpc {
    int fd = -1;
    RawRpc(uint32_t prog, uint32_t version = 2);
    ~RawRpc();
    RawRpc(const RawRpc&) = delete;
    RawRpc& operator=(const RawRpc&) = delete;
    bool send(const std::string& bytes);
    // One whole reply record (fragment marks removed) within timeoutMs;
    // false on end of stream or time-out. fragmentSizes, when given, gets
    // the size of each fragment.
    bool readReply(std::string* body, int timeoutMs = 10000, std::vector<uint32_t>* fragmentSizes = nullptr);
    // Sends the record of one call and reads its reply.
    bool roundTrip(const std::string& callRecord, std::string* reply, int timeoutMs = 10000);
};

// Accept status of an accepted reply body (after xid, direction, reply
// status and an empty verifier), or -1 for anything else.
int acceptStatus(const std::string& replyBody);
// The 32-bit word at byte offset `at` of a reply body.
uint32_t wordAt(const std::string& replyBody, size_t at);

// n new connections, each served one null call so that the daemon surely
// holds it; fewer when the daemon stopped answering.
std::vector<std::unique_ptr<RawRpc>> servedConnections(uint32_t prog, int n);

// An environment variable set for the life of the record; daemons started
// meanwhile inherit it.
struct ScopedEnv {
    std::string name;
    ScopedEnv(const char* n, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
};

double secondsSince(std::chrono::steady_clock::time_point t);

// A field of /proc/PID/status in KiB (VmRSS, VmHWM, VmPeak), or -1.
long procStatusKb(pid_t pid, const char* field);

// Raises this process's descriptor limit to its hard limit.
void raiseFileLimit();

}  // namespace kalvotest
