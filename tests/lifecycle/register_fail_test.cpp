// A start that cannot register its RPC program leaves nothing behind: no
// registration a client would follow to a dead port, no pid file, no socket.
#include <filesystem>
#include <gtest/gtest.h>
#include <pwd.h>
#include <rpc/pmap_clnt.h>
#include <rpc/rpc.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "harness/daemon_harness.h"

namespace {

// The sync sockets in /tmp owned by uid.
std::set<std::string> socketsOf(uid_t uid) {
    std::set<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator("/tmp")) {
        struct stat st;
        const std::string p = e.path().string();
        if (p.rfind("/tmp/kalvo_sock_", 0) == 0 && lstat(p.c_str(), &st) == 0 && st.st_uid == uid) found.insert(p);
    }
    return found;
}

// The versions of prog that rpcbind lists (getport would fall back to any).
std::set<uint32_t> registered(uint32_t prog) {
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::set<uint32_t> versions;
    for (pmaplist* m = pmap_getmaps(&loopback); m != nullptr; m = m->pml_next)
        if (m->pml_map.pm_prog == prog) versions.insert(static_cast<uint32_t>(m->pml_map.pm_vers));
    return versions;
}

// Runs as nobody: rpcbind refuses version 1 because root holds it, after
// version 2 was registered, which must then be withdrawn; or the listening
// address is no address at all.
TEST(RegistrationFailure, WithdrawsWhatTheStartPutInPlace) {
    const struct passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and the user nobody";
    const struct {
        const char* listen;
        std::string message;
    } cases[] = {{"", "unable to register (registryProg, 1, tcp)"},
                 {"127.0.0.1,bogus", "not an address: bogus\ncannot create tcp service."}};
    for (const auto& c : cases) {
        const uint32_t prog = kalvotest::uniqueProg();
        const std::string dir = kalvotest::makeTempDir();
        ASSERT_EQ(chown(dir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
        ASSERT_TRUE(pmap_set(prog, 1, IPPROTO_TCP, 1));
        const std::set<std::string> before = socketsOf(nobody->pw_uid);
        setenv("KALVO_REGISTRYD_LISTEN", c.listen, 1);

        // Its output is read to the end: the daemon itself has ended then.
        const kalvotest::ProgramRun run = kalvotest::runProgram(
            {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid), "--regid=" + std::to_string(nobody->pw_gid),
             "--clear-groups", KALVO_DAEMON_PATH, "-prog", std::to_string(prog), "-d", dir});
        unsetenv("KALVO_REGISTRYD_LISTEN");
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(registered(prog), (std::set<uint32_t>{1})) << c.listen << ": only root's version 1 may stay";
        EXPECT_FALSE(std::filesystem::exists(dir + "/" + kalvotest::privateSubDir() + "/kalvo_reg.pid")) << c.listen;
        EXPECT_EQ(socketsOf(nobody->pw_uid), before) << c.listen;

        pmap_unset(prog, 1);
        pmap_unset(prog, 2);
        std::filesystem::remove_all(dir);
    }
}

}  // namespace
