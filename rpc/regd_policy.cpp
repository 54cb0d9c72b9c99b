#include "rpc/regd_policy.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <map>
#include <mutex>
#include <pwd.h>
#include <unistd.h>
#include <utility>

#include "base/config.h"
#include "base/log.h"
#include "base/strings.h"

namespace {

RegdPolicy g_policy = RegdPolicy::OwnerOnly;
constexpr const char* ADMIN_GROUP = "kalvoadm";
constexpr const char* DEFAULT_USER_KEY = ".Default";

// Where a record lies: a machine root's tree, HKEY_USERS itself, or under
// one of its children (named by `user`).
enum class Zone { Machine, UsersRoot, User };

const RegCacheRec* usersRoot() {
    static const RegdCaller nobody{};
    return regdFindHKey(nobody, REGD_HKEY_USERS);
}

Zone zoneOf(const RegCacheRec* rec, const char** user) {
    const RegCacheRec* below = nullptr;
    const RegCacheRec* r = rec;
    while (r->parent != nullptr) {
        below = r;
        r = r->parent;
    }
    if (r != usersRoot()) return Zone::Machine;
    if (below == nullptr || below->kind != REGD_KIND_KEY) return Zone::UsersRoot;
    *user = below->name != nullptr ? below->name : "";
    return Zone::User;
}

// The rule table of the two policies that serve other users.
uint32_t judge(const RegdIdentity& who, Zone zone, const char* user, RegdWant want) {
    if (who.privileged) return 0;
    bool strict = g_policy == RegdPolicy::Strict;
    if (zone == Zone::User && who.peer != nullptr && who.peer->named && who.peer->name == user) return 0;
    bool shared = zone == Zone::Machine || (zone == Zone::User && strcmp(user, DEFAULT_USER_KEY) == 0);
    if (zone == Zone::User && !shared) return regdRefuse(who, "another user's key");
    if (want == RegdWant::Read) return 0;
    if (shared && !strict) return 0;
    // The admin group writes the shared keys only: a key straight under
    // HKEY_USERS is some user's, and those are root's alone.
    if (shared && who.peer != nullptr && who.peer->admin) return 0;
    return regdRefuse(who, shared ? "a write that needs root or kalvoadm" : "another user's key");
}

// Refusals already logged: caller (uid, or -1 remote) and reason -> when.
std::mutex refusalMutex;
std::map<std::pair<long, std::string>, std::chrono::steady_clock::time_point> refusals;

}  // namespace

void regdPolicyInit(uint32_t prog) {
    const char* env = getenv("KALVO_REGISTRYD_POLICY");
    bool set = env != nullptr && *env != '\0';
    if (!set && prog != REGD_DEFAULT_PROG) g_policy = RegdPolicy::OwnerOnly;
    else if (set && strcmp(env, "strict") == 0) g_policy = RegdPolicy::Strict;
    else g_policy = RegdPolicy::Standard;
}

RegdPolicy regdPolicy() { return g_policy; }

void regdCompletePeer(RegdPeer& peer) {
    if (peer.completed || !peer.local) return;
    peer.completed = true;
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(peer.uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) return;
    peer.named = true;
    peer.name = found->pw_name;
    peer.gid = found->pw_gid;
    int n = 64;
    peer.groups.resize(static_cast<size_t>(n));
    if (getgrouplist(found->pw_name, found->pw_gid, peer.groups.data(), &n) < 0) {
        peer.groups.resize(static_cast<size_t>(n));
        if (getgrouplist(found->pw_name, found->pw_gid, peer.groups.data(), &n) < 0) n = 0;
    }
    peer.groups.resize(static_cast<size_t>(n));
    group gr{};
    group* g = nullptr;
    std::vector<char> gbuf(16384);
    if (getgrnam_r(ADMIN_GROUP, &gr, gbuf.data(), gbuf.size(), &g) == 0 && g != nullptr)
        for (gid_t id : peer.groups)
            if (id == g->gr_gid) peer.admin = true;
}

uint32_t regdAdmitCall(RegdPeer& peer, uint32_t version, regd_USER_DATA& header, RegdIdentity* who) {
    *who = RegdIdentity{};
    if (!peer.local) {
        header.hostId = ~_tsm_gethostid();
        if (g_policy == RegdPolicy::OwnerOnly) return regdRefuse(*who, "a private daemon serves only its user");
        return 0;
    }
    regdCompletePeer(peer);
    who->remote = false;
    who->uid = peer.uid;
    who->root = peer.uid == 0;
    who->privileged = who->root || peer.uid == geteuid();
    who->peer = &peer;
    if (g_policy == RegdPolicy::OwnerOnly && !who->privileged)
        return regdRefuse(*who, "a private daemon serves only its user");
    if (version != 1 && !who->root) {
        const char* name = header.userName != nullptr ? header.userName : "";
        if (header.userId != peer.uid || !peer.named || peer.name != name)
            return regdRefuse(*who, "a header naming another user");
    }
    return 0;
}

uint32_t regdCheckRecord(const RegdIdentity& who, const RegCacheRec* rec, RegdWant want) {
    if (rec == nullptr || who.privileged) return 0;
    const char* user = "";
    Zone zone = zoneOf(rec, &user);
    return judge(who, zone, user, want);
}

uint32_t regdCheckNewChild(const RegdIdentity& who, const RegCacheRec* parent, const char* name) {
    if (parent == nullptr || who.privileged) return 0;
    if (parent != usersRoot()) return regdCheckRecord(who, parent, RegdWant::Write);
    return judge(who, Zone::User, name != nullptr ? name : "", RegdWant::Write);
}

uint32_t regdCheckPath(const RegdIdentity& who, const RegCacheRec* start, const char* path, RegdWant want) {
    if (start == nullptr || who.privileged) return 0;
    const char* p = path != nullptr ? path : "";
    while (*p == '\\') p++;
    if (start != usersRoot() || *p == '\0') return regdCheckRecord(who, start, want);
    // Below HKEY_USERS the first step decides: the child it finds (names
    // match as look-ups do, case-insensitively), else the name typed.
    std::string first(p, strcspn(p, "\\"));
    RegCacheRec* child = regdFindSubKey(const_cast<RegCacheRec*>(start), first.c_str(), REGD_KIND_KEY);
    if (child != nullptr) return regdCheckRecord(who, child, want);
    return judge(who, Zone::User, first.c_str(), want);
}

uint32_t regdCheckSubTree(const RegdIdentity& who, const RegCacheRec* rec, RegdWant want) {
    if (rec == nullptr || who.privileged) return 0;
    if (uint32_t r = regdCheckRecord(who, rec, want)) return r;
    if (rec != usersRoot()) return 0;
    for (const RegCacheRec* c = rec->firstChild; c != nullptr; c = c->next)
        if (c->kind == REGD_KIND_KEY)
            if (uint32_t r = regdCheckRecord(who, c, want)) return r;
    return 0;
}

uint32_t regdRefuse(const RegdIdentity& who, const char* reason) {
    using Clock = std::chrono::steady_clock;
    long caller = who.remote ? -1L : static_cast<long>(who.uid);
    auto now = Clock::now();
    bool log = false;
    {
        std::lock_guard<std::mutex> guard(refusalMutex);
        auto [it, fresh] = refusals.try_emplace({caller, reason}, now);
        if (fresh || now - it->second >= std::chrono::minutes(1)) {
            it->second = now;
            log = true;
        }
    }
    if (log) {
        if (who.remote) writeToLog("Access denied to a remote caller: %s", reason);
        else writeToLog("Access denied to uid %d: %s", static_cast<int>(who.uid), reason);
    }
    return REGD_ERROR_ACCESS_DENIED;
}
