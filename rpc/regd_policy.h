// Who may do what. The transport tells who is calling (the uid the kernel
// gives for a loopback connection, nothing for a remote one); the rules here
// decide which identity a call may claim and which keys it may read or
// write. Keys are judged by the record a handle resolves to (which child of
// HKEY_USERS it lies under), never by the path a caller typed.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

#include "rpc/regd_xdr.h"
#include "store/regdcache.h"

constexpr uint32_t REGD_ERROR_ACCESS_DENIED = 5;

enum class RegdPolicy {
    OwnerOnly,  // a private daemon: its own user and root, nobody else
    Standard,   // machine keys and .Default for all, each user's own key
    Strict,     // machine keys and .Default writable by root and kalvoadm only
};

// Chosen once at start: a private daemon (program number not the default)
// serves only its owner unless KALVO_REGISTRYD_POLICY is set; the value
// "strict" selects the strict policy, any other the standard one.
void regdPolicyInit(uint32_t prog);
RegdPolicy regdPolicy();

// A connection's caller, as the transport knows it; looked up once per
// connection.
struct RegdPeer {
    bool local = false;  // a loopback peer whose uid the kernel gave
    uid_t uid = static_cast<uid_t>(-1);
    bool completed = false;  // name and groups below looked up
    bool named = false;
    std::string name;        // password entry name
    gid_t gid = 0;
    bool admin = false;      // member of the group kalvoadm
    std::vector<gid_t> groups;
};

// Looks up the peer's password entry and groups (once; later calls do nothing).
void regdCompletePeer(RegdPeer& peer);

// Whom a call acts for once admitted.
struct RegdIdentity {
    bool remote = true;      // not a verified local caller
    bool privileged = false; // root, or the daemon's own user: every key, any file
    bool root = false;
    uid_t uid = static_cast<uid_t>(-1);
    const RegdPeer* peer = nullptr;  // a local caller's name, gid and groups
};

// Admits a call of version `version` with `header` from `peer`: 0 with
// *who filled, or 5 (logged). A non-root local caller's header must name
// its own uid and user name (a version-1 call has no header to check); a
// remote caller's host id is replaced by one that is not ours, so that it
// keeps the remote identity (.Default) whatever it claims.
uint32_t regdAdmitCall(RegdPeer& peer, uint32_t version, regd_USER_DATA& header, RegdIdentity* who);

enum class RegdWant { Read, Write };

// 0 or 5 (logged): may `who` read or write the record `rec`?
uint32_t regdCheckRecord(const RegdIdentity& who, const RegCacheRec* rec, RegdWant want);

// 0 or 5 for a key that `path` (backslash-separated, as insertion splits
// it) would name below `start`, found or not yet created.
uint32_t regdCheckPath(const RegdIdentity& who, const RegCacheRec* start, const char* path, RegdWant want);

// 0 or 5 for a new child of `parent` named exactly `name`.
uint32_t regdCheckNewChild(const RegdIdentity& who, const RegCacheRec* parent, const char* name);

// 0 or 5 for reading or writing everything below `rec` (HKEY_USERS holds
// every user's key).
uint32_t regdCheckSubTree(const RegdIdentity& who, const RegCacheRec* rec, RegdWant want);

// Logs a refused call of `who` for `reason` at most once a minute per
// caller and reason; returns 5.
uint32_t regdRefuse(const RegdIdentity& who, const char* reason);
