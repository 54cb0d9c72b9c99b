// Who may do what, against real daemons. Rules about callers that are not
// root run their calls in a child process that has become nobody; each
// table's answers come back as "case=retval" lines and are compared whole.
#include <algorithm>
#include <arpa/inet.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <rpc/pmap_clnt.h>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/peer_uid.h"
#include "harness/wire_client.h"

using namespace kalvotest;

namespace {

constexpr uid_t NOBODY_UID = 65534;
constexpr gid_t NOBODY_GID = 65534;
constexpr uint32_t DENIED_5 = 5, WRITE_FAILED = 0xFFFFFFFFu;
const Caller ME{"nobody", NOBODY_UID, static_cast<uint32_t>(gethostid())};
const Caller ROOT{"root", 0, static_cast<uint32_t>(gethostid())};

// Runs `body` as nobody (no supplementary groups) in a child; what it returns.
std::string asNobody(const std::function<std::string()>& body) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (setgroups(0, nullptr) != 0 || setgid(NOBODY_GID) != 0 || setuid(NOBODY_UID) != 0) _exit(3);
        std::string out = body();
        _exit(write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 4);
    }
    close(fds[1]);
    std::string out;
    EXPECT_EQ(collectChild(fds[0], pid, &out), 0);
    return out;
}

struct Case {
    const char* what;
    std::function<uint32_t()> call;
    uint32_t want;
};

// The table's answers (run where the caller is) beside what it wants.
std::pair<std::string, std::string> run(const std::vector<Case>& table,
                                        const std::function<std::string(std::function<std::string()>)>& where) {
    std::string want;
    for (const Case& c : table) want += std::string(c.what) + "=" + std::to_string(c.want) + "\n";
    std::string got = where([&] {
        std::string out;
        for (const Case& c : table) out += std::string(c.what) + "=" + std::to_string(c.call()) + "\n";
        return out;
    });
    return {got, want};
}

// A private daemon started with `env` set for it alone.
std::unique_ptr<PrivateDaemon> daemonWith(const std::vector<std::pair<const char*, const char*>>& env) {
    for (auto& [k, v] : env) setenv(k, v, 1);
    auto d = std::make_unique<PrivateDaemon>();
    EXPECT_TRUE(d->start());
    for (auto& [k, v] : env) unsetenv(k);
    return d;
}

// A directory of the given owner, mode 0700.
std::string dirOf(uid_t owner) {
    std::string dir = makeTempDir();
    EXPECT_EQ(chown(dir.c_str(), owner, owner == 0 ? 0 : NOBODY_GID), 0);
    chmod(dir.c_str(), 0700);
    return dir;
}

TEST(Policy, StandardKeepsUsersApartAndFilesToTheirOwners) {
    auto d = daemonWith({{"KALVO_REGISTRYD_POLICY", "standard"}});
    RegistryRpc root(*d, 2, Caller{"alice", 1000, ME.hostId});
    uint32_t alice = root.mustCreate(HKU, "alice\\Software");
    ASSERT_EQ(root.setValueEx(alice, "v", 1, std::string("secret", 7), 7), 0u);
    uint32_t shared = root.mustCreate(HKLM, "Software\\Shared");
    std::string mine = dirOf(NOBODY_UID), roots = dirOf(0);
    ASSERT_EQ(root.saveKey(alice, roots + "/secret.hiv"), 0u);
    // A second name for the daemon's own log: recognised by its inode.
    std::string alias = mine + "/alias";
    ASSERT_EQ(link((d->regDir() + "/kalvo_reg.log").c_str(), alias.c_str()), 0);

    auto [got, want] = run(
        {
            {"ping", [&] { return RegistryRpc(*d, 2, ME).ping(getpid(), 0); }, 0},
            {"header names alice", [&] { return RegistryRpc(*d, 2, Caller{"alice", NOBODY_UID, ME.hostId}).openKey(HKLM, "Software").retval; }, DENIED_5},
            {"header names uid 1000", [&] { return RegistryRpc(*d, 2, Caller{"nobody", 1000, ME.hostId}).openKey(HKLM, "Software").retval; }, DENIED_5},
            {"header names root", [&] { return RegistryRpc(*d, 2, ROOT).ping(getpid(), 0); }, DENIED_5},
            {"tcp6 header names root", [&] { return RegistryRpc("::1", "tcp6", d->prog(), 2, ROOT).ping(1, 0); }, DENIED_5},
            {"tcp6 own header", [&] { return RegistryRpc("::1", "tcp6", d->prog(), 2, ME).openKey(HKLM, "Software").retval; }, 0},
            {"version 1 reads HKLM", [&] { return RegistryRpc(*d, 1, ME).openKey(HKLM, "Software").retval; }, 0},
            {"own key", [&] { return RegistryRpc(*d, 2, ME).createKey(HKCU, "Soft").retval; }, 0},
            {"HKLM write", [&] { return RegistryRpc(*d, 2, ME).setValueEx(shared, "v", 1, std::string("x", 2), 2); }, 0},
            {".Default write", [&] { return RegistryRpc(*d, 2, ME).createKey(HKU, ".Default\\N").retval; }, 0},
            {"list users", [&] { return RegistryRpc(*d, 2, ME).enumKey(HKU, 0, 64).retval; }, 0},
            {"open other", [&] { return RegistryRpc(*d, 2, ME).openKey(HKU, "alice\\Software").retval; }, DENIED_5},
            {"query other by handle", [&] { return RegistryRpc(*d, 2, ME).queryValueEx(alice, "v", 64).retval; }, DENIED_5},
            {"enum other by handle", [&] { return RegistryRpc(*d, 2, ME).enumValue(alice, 0, 64, 64).retval; }, DENIED_5},
            {"set other by handle", [&] { return RegistryRpc(*d, 2, ME).setValueEx(alice, "v", 1, std::string("x", 2), 2); }, DENIED_5},
            {"delete other", [&] { return RegistryRpc(*d, 2, ME).deleteKey(HKU, "alice"); }, DENIED_5},
            {"create another user", [&] { return RegistryRpc(*d, 2, ME).createKey(HKU, "bob").retval; }, DENIED_5},
            {"value on HKEY_USERS", [&] { return RegistryRpc(*d, 2, ME).setValueEx(HKU, "v", 1, std::string("x", 2), 2); }, DENIED_5},
            {"save HKEY_USERS", [&] { return RegistryRpc(*d, 2, ME).saveKey(HKU, mine + "/u.hiv"); }, DENIED_5},
            {"save everything", [&] { return RegistryRpc(*d, 2, ME).saveKey(0, mine + "/all.hiv"); }, DENIED_5},
            {"save own", [&] { return RegistryRpc(*d, 2, ME).saveKey(HKCU, mine + "/own.hiv"); }, 0},
            {"save where only root writes", [&] { return RegistryRpc(*d, 2, ME).saveKey(HKCU, roots + "/x.hiv"); }, WRITE_FAILED},
            {"save relative", [&] { return RegistryRpc(*d, 2, ME).saveKey(HKCU, "nobody.hiv"); }, 0},
            {"save with ..", [&] { return RegistryRpc(*d, 2, ME).saveKey(HKCU, "sub/../../x.hiv"); }, DENIED_5},
            {"save as the database", [&] { return RegistryRpc(*d, 2, ME).saveKey(HKCU, "kalvo_reg.dat"); }, DENIED_5},
            {"load the log's alias", [&] { return RegistryRpc(*d, 2, ME).loadKey(HKCU, "L", alias); }, DENIED_5},
            {"load own", [&] { return RegistryRpc(*d, 2, ME).loadKey(HKCU, "L", mine + "/own.hiv"); }, 0},
            {"load root's file", [&] { return RegistryRpc(*d, 2, ME).loadKey(HKCU, "L2", roots + "/secret.hiv"); }, 2},
            {"load as another user", [&] { return RegistryRpc(*d, 2, ME).loadKey(HKU, "bob", mine + "/own.hiv"); }, DENIED_5},
            {"restore into HKEY_USERS", [&] { return RegistryRpc(*d, 2, ME).restoreKey(HKU, mine + "/own.hiv"); }, DENIED_5},
            {"unload other", [&] { return RegistryRpc(*d, 2, ME).unloadKey(HKU, "alice"); }, DENIED_5},
            {"replace other", [&] { return RegistryRpc(*d, 2, ME).replaceKey(HKU, "alice", mine + "/own.hiv"); }, DENIED_5},
        },
        asNobody);
    EXPECT_EQ(got, want);

    // Nothing refused changed anything; files were made with nobody's rights.
    EXPECT_EQ(show(root.queryValueEx(alice, "v", 64)), "0 t1 'secret\\0'/7");
    struct stat st{};
    EXPECT_NE(stat((roots + "/x.hiv").c_str(), &st), 0);
    ASSERT_EQ(stat((mine + "/own.hiv").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, NOBODY_UID);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(RegistryRpc(*d, 2, ROOT).openKey(HKU, "nobody\\L").retval, 0u);
    // Five refusals for another user's key, one line.
    auto log = logMessages(*d);
    EXPECT_EQ(std::count(log.begin(), log.end(), "Access denied to uid 65534: another user's key"), 1);
    d->stop();
    for (const std::string& dir : {mine, roots}) std::filesystem::remove_all(dir);
}

// A group made for the test's life and removed with it.
struct ScratchGroup {
    bool made;
    explicit ScratchGroup(const std::string& name, const std::string& member)
        : made(system(("groupadd " + name + " && gpasswd -a " + member + " " + name + " >/dev/null").c_str()) == 0) {}
    ~ScratchGroup() {
        if (made) (void)!system("groupdel kalvoadm");
    }
};

// The admin group is looked up for each new connection, so one daemon
// serves the caller before and after joining it.
TEST(Policy, StrictLeavesMachineKeysToRootAndTheAdminGroup) {
    auto d = daemonWith({{"KALVO_REGISTRYD_POLICY", "strict"}});
    uint32_t software = RegistryRpc(*d, 2, ROOT).mustCreate(HKLM, "Software");
    auto [got, want] = run(
        {
            {"read HKLM", [&] { return RegistryRpc(*d, 2, ME).openKey(HKLM, "Software").retval; }, 0},
            {"create existing", [&] { return RegistryRpc(*d, 2, ME).createKey(HKLM, "Software").retval; }, 0},
            {"create new", [&] { return RegistryRpc(*d, 2, ME).createKey(HKLM, "Software\\New").retval; }, DENIED_5},
            {"set HKLM", [&] { return RegistryRpc(*d, 2, ME).setValueEx(software, "v", 1, std::string("x", 2), 2); }, DENIED_5},
            {"read .Default", [&] { return RegistryRpc(*d, 2, ME).openKey(HKU, ".Default").retval; }, 0},
            {"write .Default", [&] { return RegistryRpc(*d, 2, ME).createKey(HKU, ".Default\\N").retval; }, DENIED_5},
            {"write own", [&] { RegistryRpc r(*d, 2, ME); r.ping(getpid(), 0); return r.createKey(HKCU, "S").retval; }, 0},
            {"version 1 writes .Default", [&] { return RegistryRpc(*d, 1, ME).createKey(HKCU, "X").retval; }, DENIED_5},
        },
        asNobody);
    EXPECT_EQ(got, want);
    EXPECT_EQ(RegistryRpc(*d, 2, ROOT).createKey(HKLM, "Software\\New").retval, 0u);

    if (getgrnam("kalvoadm") != nullptr) GTEST_SKIP() << "this host has a kalvoadm group of its own";
    ScratchGroup admins("kalvoadm", "nobody");
    if (!admins.made) GTEST_SKIP() << "groupadd/gpasswd did not run";
    std::tie(got, want) = run(
        {
            {"create in HKLM", [&] { return RegistryRpc(*d, 2, ME).createKey(HKLM, "Software\\ByAdmin").retval; }, 0},
            {"set HKLM", [&] { return RegistryRpc(*d, 2, ME).setValueEx(software, "v", 1, std::string("x", 2), 2); }, 0},
            {"write .Default", [&] { return RegistryRpc(*d, 2, ME).createKey(HKU, ".Default\\N").retval; }, 0},
            {"another user's key", [&] { return RegistryRpc(*d, 2, ME).createKey(HKU, "alice").retval; }, DENIED_5},
            {"value on HKEY_USERS", [&] { return RegistryRpc(*d, 2, ME).setValueEx(HKU, "v", 1, std::string("x", 2), 2); }, DENIED_5},
        },
        asNobody);
    EXPECT_EQ(got, want);
}

// This host's first IPv4 address that is not loopback, or "".
std::string outsideAddress() {
    ifaddrs* all = nullptr;
    std::string found;
    if (getifaddrs(&all) != 0) return found;
    for (ifaddrs* a = all; a != nullptr && found.empty(); a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN];
        auto* in = reinterpret_cast<sockaddr_in*>(a->ifa_addr);
        if ((ntohl(in->sin_addr.s_addr) >> 24) != 127 && inet_ntop(AF_INET, &in->sin_addr, text, sizeof text))
            found = text;
    }
    freeifaddrs(all);
    return found;
}

TEST(Policy, PrivateDaemonServesOnlyItsOwner) {
    auto d = daemonWith({});
    auto [got, want] = run(
        {
            {"ping", [&] { return RegistryRpc(*d, 2, ME).ping(getpid(), 0); }, DENIED_5},
            {"version 1", [&] { return RegistryRpc(*d, 1, ME).openKey(HKLM, "Software").retval; }, DENIED_5},
            {"null procedure", [&] {
                 RegistryRpc r(*d, 2, ME);
                 timeval tv{10, 0};
                 return static_cast<uint32_t>(clnt_call(r.handle(), 0, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void)), nullptr,
                                                        reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void)), nullptr, tv));
             }, RPC_SUCCESS},
        },
        asNobody);
    EXPECT_EQ(got, want);
    EXPECT_EQ(RegistryRpc(*d, 2, ROOT).ping(getpid(), 0), 0u);
    // Loopback only by default: an outside address is not served.
    if (std::string outside = outsideAddress(); !outside.empty()) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        inet_pton(AF_INET, outside.c_str(), &to.sin_addr);
        to.sin_port = htons(pmap_getport(&to, d->prog(), 2, IPPROTO_TCP));
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        EXPECT_NE(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        close(fd);
    }
}

TEST(Policy, RemoteCallersKeepTheRemoteIdentity) {
    std::string outside = outsideAddress();
    if (outside.empty()) GTEST_SKIP() << "no address but loopback";
    auto d = daemonWith({{"KALVO_REGISTRYD_POLICY", "standard"}, {"KALVO_REGISTRYD_LISTEN", "0.0.0.0"}});
    RegistryRpc local(*d, 2, Caller{"alice", 1000, ME.hostId});
    local.mustCreate(HKU, "alice\\Software");
    RegistryRpc remote(outside, "tcp", d->prog(), 2, ROOT);  // root by name only
    EXPECT_EQ(remote.openKey(HKU, "alice").retval, DENIED_5);
    EXPECT_EQ(remote.createKey(HKCU, "FromAfar").retval, 0u);
    EXPECT_EQ(remote.saveKey(HKLM, "remote.hiv"), DENIED_5);
    EXPECT_EQ(local.openKey(HKU, ".Default\\FromAfar").retval, 0u);
}

// The /proc/net fallback finds the same owner as the kernel's diagnostics.
TEST(PeerUid, ProcNetAgreesWithSockDiag) {
    for (const char* host : {"127.0.0.1", "::1"}) {
        bool v6 = host[0] == ':';
        sockaddr_storage at{};
        socklen_t len = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        at.ss_family = v6 ? AF_INET6 : AF_INET;
        inet_pton(at.ss_family, host, v6 ? static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(&at)->sin6_addr)
                                         : static_cast<void*>(&reinterpret_cast<sockaddr_in*>(&at)->sin_addr));
        int lfd = socket(at.ss_family, SOCK_STREAM, 0);
        if (bind(lfd, reinterpret_cast<sockaddr*>(&at), len) != 0) continue;  // no IPv6 here
        ASSERT_EQ(listen(lfd, 1), 0);
        ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr*>(&at), &len), 0);
        int hold[2];
        ASSERT_EQ(pipe(hold), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(hold[1]);
            int c = (setgid(NOBODY_GID) == 0 && setuid(NOBODY_UID) == 0) ? socket(at.ss_family, SOCK_STREAM, 0) : -1;
            if (c >= 0 && connect(c, reinterpret_cast<sockaddr*>(&at), len) == 0) (void)!read(hold[0], &c, 1);
            _exit(0);
        }
        int fd = accept(lfd, nullptr, nullptr);
        uid_t viaDiag = 0, viaProc = 0;
        EXPECT_TRUE(regdLoopbackPeerUid(fd, &viaDiag)) << host;
        EXPECT_TRUE(regdProcNetPeerUid(fd, &viaProc)) << host;
        EXPECT_EQ(viaDiag, NOBODY_UID);
        EXPECT_EQ(viaProc, NOBODY_UID);
        close(hold[1]);
        close(hold[0]);
        collectChild(-1, pid, nullptr);
        close(fd);
        close(lfd);
    }
}

}  // namespace
