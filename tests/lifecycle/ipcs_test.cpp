// The System V semaphore set and segment handed to clients, and the removal
// of what an earlier daemon left behind.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include "sync/sysv_ipcs.h"

namespace {

bool shmExists(int id) {
    struct shmid_ds st;
    return shmctl(id, IPC_STAT, &st) == 0;
}

bool semExists(int id) { return semctl(id, 0, GETVAL) != -1 || errno != EINVAL; }

class IpcsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kalvo_ipcstest_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        std::filesystem::create_directory(dir_ + "/sub");
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> guard(kvRegSyncMutex);
            kvDeleteSemaphoreSet();
        }
        std::filesystem::remove_all(dir_);
    }
    std::string idsFile() const { return dir_ + "/sub/kalvo_ipcs.log"; }

    // A set and segment laid out as a daemon would leave them.
    void leaveOldStructures(int* shm, int* sem, bool matchingHeader) {
        *sem = semget(IPC_PRIVATE, 2, 0600 | IPC_CREAT | IPC_EXCL);
        ASSERT_NE(*sem, -1);
        *shm = shmget(IPC_PRIVATE, 4096, 0600 | IPC_CREAT | IPC_EXCL);
        ASSERT_NE(*shm, -1);
        void* addr = shmat(*shm, nullptr, 0);
        ASSERT_NE(addr, reinterpret_cast<void*>(-1));
        *static_cast<int*>(addr) = matchingHeader ? *sem : *sem + 1;
        shmdt(addr);
        std::ofstream(idsFile()) << *shm << " " << *sem << "\n";
    }

    std::string dir_;
};

// The daemon tests see the header and ids file through a ping; here the
// permissions, a set of several semaphores and their initial values.
TEST_F(IpcsTest, CreatesOnceWithHeaderAndIdsFile) {
    int id = kvSemaphoreSet(8, 1001, 0600, dir_.c_str(), "sub");
    ASSERT_GE(id, 0);
    EXPECT_EQ(kvSemaphoreSet(8, 1001, 0600, dir_.c_str(), "sub"), id);
    EXPECT_EQ(kvSyncInfo.shmId, id);

    struct shmid_ds st;
    ASSERT_EQ(shmctl(id, IPC_STAT, &st), 0);
    EXPECT_EQ(st.shm_segsz, 7214u);  // 1001 slots taken up to 1008
    EXPECT_EQ(st.shm_perm.mode & 0777, 0600u);
    const int32_t* words = static_cast<const int32_t*>(kvSyncInfo.shmAddr);
    EXPECT_EQ(words[0], kvSyncInfo.semId);
    EXPECT_EQ(words[1], 1008);
    EXPECT_EQ(words[2], 8);
    EXPECT_EQ(words[3], 7);
    EXPECT_EQ(words[4], 126);
    EXPECT_EQ(words[5], 0);

    EXPECT_EQ(semctl(kvSyncInfo.semId, 0, GETVAL), 1);
    for (int i = 1; i < 8; i++) EXPECT_EQ(semctl(kvSyncInfo.semId, i, GETVAL), 0);

    std::ifstream in(idsFile());
    int shm = -1, sem = -1;
    ASSERT_TRUE(in >> shm >> sem);
    EXPECT_EQ(shm, id);
    EXPECT_EQ(sem, kvSyncInfo.semId);
}

TEST_F(IpcsTest, DeleteRemovesBoth) {
    int id = kvSemaphoreSet(2, 8, 0600, dir_.c_str(), "sub");
    ASSERT_GE(id, 0);
    int sem = kvSyncInfo.semId;
    {
        std::lock_guard<std::mutex> guard(kvRegSyncMutex);
        kvDeleteSemaphoreSet();
    }
    EXPECT_FALSE(shmExists(id));
    EXPECT_FALSE(semExists(sem));
    EXPECT_EQ(kvSyncInfo.shmAddr, nullptr);
    // A later request creates a new pair.
    EXPECT_GE(kvSemaphoreSet(2, 8, 0600, dir_.c_str(), "sub"), 0);
}

TEST_F(IpcsTest, FailedCreationLeavesNothing) {
    // More semaphores than the system allows in one set.
    EXPECT_EQ(kvSemaphoreSet(1 << 20, 8, 0600, dir_.c_str(), "sub"), -1);
    EXPECT_EQ(kvSyncInfo.semId, -1);
    EXPECT_EQ(kvSyncInfo.shmId, -1);
    EXPECT_EQ(kvSemaphoreSet(0, 8, 0600, dir_.c_str(), "sub"), -1);
}

// What an earlier daemon left is removed only when its segment still names
// the recorded set and nobody else is attached; the ids file goes anyway.
TEST_F(IpcsTest, OldStructuresGoOnlyWhenTheyAreSurelyOurs) {
    for (const auto& [matching, attached] : {std::pair{true, false}, {true, true}, {false, false}}) {
        int shm = -1, sem = -1;
        leaveOldStructures(&shm, &sem, matching);
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
}

TEST_F(IpcsTest, GarbageIdsFileIsDeleted) {
    std::ofstream(idsFile()) << "not numbers\n";
    kvCleanupOldIPCSStructures(dir_.c_str(), "sub");
    EXPECT_FALSE(std::filesystem::exists(idsFile()));
}

}  // namespace
