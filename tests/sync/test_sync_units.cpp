// In-process units of the sync server: its endpoint, which a second daemon on
// the same path must not take over; the System V semaphore set and segment
// handed to clients, and the removal of what an earlier daemon left behind.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include "sync/sync_internal.h"
#include "sync/sysv_ipcs.h"

namespace {

// A live endpoint's socket file is never taken over by a second one.
TEST(KvSRV, EndpointRefusesAnOccupiedPath) {
    std::string path = "/tmp/kalvo_unit_sock_" + std::to_string(getpid());
    kvSRVRemoveEndpoint(path.c_str());
    int listening = kvSRVListen(path.c_str(), 0600);
    ASSERT_GE(listening, 0);
    EXPECT_EQ(kvSRVListen(path.c_str(), 0600), -1);
    int client = kvSRVConnectNonBlocking(path.c_str());
    EXPECT_GE(client, 0);
    for (int fd : {client, listening}) close(fd);
    kvSRVRemoveEndpoint(path.c_str());
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

bool shmExists(int id) { struct shmid_ds st; return shmctl(id, IPC_STAT, &st) == 0; }

bool semExists(int id) { return semctl(id, 0, GETVAL) != -1 || errno != EINVAL; }

void deleteSet() {
    std::lock_guard<std::mutex> guard(kvRegSyncMutex);
    kvDeleteSemaphoreSet();
}

class IpcsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kalvo_ipcstest_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::filesystem::create_directory(dir_ + "/sub");
    }
    void TearDown() override {
        deleteSet();
        std::filesystem::remove_all(dir_);
    }
    std::string idsFile() const { return dir_ + "/sub/kalvo_ipcs.log"; }
    int create(int32_t sems, int32_t procs) { return kvSemaphoreSet(sems, procs, 0600, dir_.c_str(), "sub"); }

    std::string dir_;
};

// The daemon tests see the header and ids file through a ping; here the
// permissions, a set of several semaphores and their initial values, and
// the removal.
TEST_F(IpcsTest, CreatesOnceWithHeaderAndIdsFileAndDeletesBoth) {
    int id = create(8, 1001);
    ASSERT_GE(id, 0);
    EXPECT_EQ(create(8, 1001), id);
    EXPECT_EQ(kvSyncInfo.shmId, id);

    struct shmid_ds st;
    ASSERT_EQ(shmctl(id, IPC_STAT, &st), 0);
    EXPECT_EQ(st.shm_segsz, 7214u);  // 1001 slots taken up to 1008
    EXPECT_EQ(st.shm_perm.mode & 0777, 0600u);
    const int32_t* words = static_cast<const int32_t*>(kvSyncInfo.shmAddr);
    EXPECT_EQ(std::vector<int32_t>(words, words + 6), (std::vector<int32_t>{kvSyncInfo.semId, 1008, 8, 7, 126, 0}));
    for (int i = 0; i < 8; i++) EXPECT_EQ(semctl(kvSyncInfo.semId, i, GETVAL), i == 0 ? 1 : 0);

    std::ifstream in(idsFile());
    int shm = -1, sem = -1;
    ASSERT_TRUE(in >> shm >> sem);
    EXPECT_EQ(shm, id);
    EXPECT_EQ(sem, kvSyncInfo.semId);

    deleteSet();
    EXPECT_FALSE(shmExists(id));
    EXPECT_FALSE(semExists(sem));
    EXPECT_EQ(kvSyncInfo.shmAddr, nullptr);
    // A later request creates a new pair.
    EXPECT_GE(create(2, 8), 0);
}

TEST_F(IpcsTest, FailedCreationLeavesNothing) {
    // More semaphores than the system allows in one set.
    EXPECT_EQ(create(1 << 20, 8), -1);
    EXPECT_EQ(kvSyncInfo.semId, -1);
    EXPECT_EQ(kvSyncInfo.shmId, -1);
    EXPECT_EQ(create(0, 8), -1);
}

// What an earlier daemon left is removed only when its segment still names
// the recorded set and nobody else is attached; the ids file goes anyway,
// garbage in it too.
TEST_F(IpcsTest, OldStructuresGoOnlyWhenTheyAreSurelyOurs) {
    for (const auto& [matching, attached] : {std::pair{true, false}, {true, true}, {false, false}}) {
        // A set and segment laid out as a daemon would leave them.
        int sem = semget(IPC_PRIVATE, 2, 0600 | IPC_CREAT | IPC_EXCL);
        int shm = shmget(IPC_PRIVATE, 4096, 0600 | IPC_CREAT | IPC_EXCL);
        ASSERT_TRUE(sem != -1 && shm != -1);
        void* addr = shmat(shm, nullptr, 0);
        ASSERT_NE(addr, reinterpret_cast<void*>(-1));
        *static_cast<int*>(addr) = matching ? sem : sem + 1;
        shmdt(addr);
        std::ofstream(idsFile()) << shm << " " << sem << "\n";

        void* held = attached ? shmat(shm, nullptr, SHM_RDONLY) : nullptr;
        kvCleanupOldIPCSStructures(dir_.c_str(), "sub");
        const bool stay = attached || !matching;
        EXPECT_EQ(shmExists(shm), stay) << matching << attached;
        EXPECT_EQ(semExists(sem), stay) << matching << attached;
        EXPECT_FALSE(std::filesystem::exists(idsFile()));
        if (held != nullptr) shmdt(held);
        shmctl(shm, IPC_RMID, nullptr);
        semctl(sem, 0, IPC_RMID);
    }
    std::ofstream(idsFile()) << "not numbers\n";
    kvCleanupOldIPCSStructures(dir_.c_str(), "sub");
    EXPECT_FALSE(std::filesystem::exists(idsFile()));
}

}  // namespace
