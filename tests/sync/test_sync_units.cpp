// In-process units of the sync server: the list, the transport on real
// socket pairs, and the bounds of the message layer.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "sync/kvipc.h"
#include "sync/kvlist.h"
#include "sync/kvsrv.h"
#include "sync/regdipcsrv.h"

namespace {

int tag[4];

std::vector<void*> contents(KvList* list) {
    std::vector<void*> out;
    for (KvListItem* i = kvListHeadItem(list); i != nullptr; i = kvListNextItem(i)) out.push_back(kvListItemData(i));
    return out;
}

TEST(KvList, HeadAndTailFollowAddsAndRemoves) {
    KvList* list = kvListNewList();
    KvListItem* a = kvListNewItem(&tag[0]);
    kvListAddItemToHead(list, a);
    EXPECT_EQ(kvListHeadItem(list), a);
    EXPECT_EQ(kvListTailItem(list), a);
    kvListRemoveItem(list, a);
    EXPECT_EQ(kvListHeadItem(list), nullptr);
    EXPECT_EQ(kvListTailItem(list), nullptr);

    KvListItem* b = kvListNewItem(&tag[1]);
    KvListItem* c = kvListNewItem(&tag[2]);
    kvListAddItemToTail(list, b);
    kvListAddItemToHead(list, a);
    kvListAddItemToTail(list, c);
    EXPECT_EQ(contents(list), (std::vector<void*>{&tag[0], &tag[1], &tag[2]}));
    kvListRemoveItem(list, b);  // from the middle
    EXPECT_EQ(kvListNextItem(b), nullptr);
    EXPECT_EQ(kvListPrevItem(b), nullptr);
    EXPECT_EQ(kvListPrevItem(c), a);
    kvCheckListConsistency(list);
    kvListRemoveAndFreeItem(list, c);
    EXPECT_EQ(kvListTailItem(list), a);
    kvListFreeItem(b);
    kvListDeleteList(list);  // frees a; leak checking catches a missed item
}

TEST(KvList, DeletingAListLeavesTheDataAlone) {
    KvList* list = kvListNewList();
    int* data[3];
    for (int*& d : data) {
        d = static_cast<int*>(malloc(sizeof(int)));
        *d = 7;
        kvListAddItemToTail(list, kvListNewItem(d));
    }
    kvListDeleteList(list);
    for (int* d : data) {
        EXPECT_EQ(*d, 7);
        free(d);
    }
}

TEST(KvListDeathTest, BrokenListEndsTheProcessWithStatusOne) {
    auto tailless = [] {
        KvList* list = kvListNewList();
        kvListAddItemToTail(list, kvListNewItem(nullptr));
        list->tail = nullptr;
        kvCheckListConsistency(list);
    };
    EXPECT_EXIT(tailless(), ::testing::ExitedWithCode(1), "");
    auto badLink = [] {
        KvList* list = kvListNewList();
        kvListAddItemToTail(list, kvListNewItem(nullptr));
        kvListAddItemToTail(list, kvListNewItem(nullptr));
        list->tail->prev = list->tail;
        kvCheckListConsistency(list);
    };
    EXPECT_EXIT(badLink(), ::testing::ExitedWithCode(1), "");
}

// Both ends of a connected stream pair, as transport connections.
struct Pair {
    KvSRVConnection a{-1};
    KvSRVConnection b{-1};
    Pair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            a.fd = fds[0];
            b.fd = fds[1];
        }
    }
    ~Pair() {
        if (a.fd >= 0) close(a.fd);
        if (b.fd >= 0) close(b.fd);
    }
};

TEST(KvSRV, ProcessSocketPath) {
    char* path = kvProcessSRVName(1234);
    EXPECT_STREQ(path, "/tmp/kalvo_sock_1234");
    free(path);
}

TEST(KvSRV, ReadReturnsZeroWhenThePeerClosesMidMessage) {
    Pair p;
    ASSERT_EQ(kvSRVWrite(&p.a, "12345", 5), 5);
    close(p.a.fd);
    p.a.fd = -1;
    char buf[12];
    EXPECT_EQ(kvSRVRead(&p.b, buf, 12), 0);
}

void noteSignal(int) {}

TEST(KvSRV, InterruptedReadIsRepeated) {
    struct sigaction sa{};
    sa.sa_handler = noteSignal;  // no SA_RESTART: read fails with EINTR
    struct sigaction old{};
    sigaction(SIGUSR1, &sa, &old);
    Pair p;
    pthread_t reader = pthread_self();
    std::thread writer([&] {
        usleep(50000);
        pthread_kill(reader, SIGUSR1);
        usleep(50000);
        kvSRVWrite(&p.a, "abcdefgh", 8);
    });
    char buf[8];
    EXPECT_EQ(kvSRVRead(&p.b, buf, 8), 8);
    EXPECT_EQ(std::string(buf, 8), "abcdefgh");
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(KvSRV, ZeroOrNegativeCountsMoveNothing) {
    Pair p;
    EXPECT_EQ(kvSRVWrite(&p.a, "x", 0), 0);
    EXPECT_EQ(kvSRVWrite(&p.a, "x", -4), 0);
    char c;
    EXPECT_EQ(kvSRVRead(&p.b, &c, -1), 0);
    // Nothing was sent: the next byte written is the first to arrive.
    ASSERT_EQ(kvSRVWrite(&p.a, "y", 1), 1);
    ASSERT_EQ(kvSRVRead(&p.b, &c, 1), 1);
    EXPECT_EQ(c, 'y');
}

void acceptOnce(KvSRVConnection* connection, void* context) {
    *static_cast<KvSRVConnection**>(context) = connection;
}

TEST(KvSRV, EndpointRefusesAnOccupiedPathAndServesConnections) {
    std::string path = "/tmp/kalvo_unit_sock_" + std::to_string(getpid());
    kvSRVRemoveEndpoint(path.c_str());
    KvSRVConnection* accepted = nullptr;
    KvSRVEndpoint* endpoint = kvSRVInit(path.c_str(), acceptOnce, &accepted);
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(kvSRVInit(path.c_str(), acceptOnce, nullptr), nullptr);
    EXPECT_EQ(kvSRVInit("", acceptOnce, nullptr), nullptr);
    EXPECT_EQ(kvSRVConnect(nullptr), nullptr);

    KvSRVConnection* client = kvSRVConnect(path.c_str());
    ASSERT_NE(client, nullptr);
    // One accept, done by hand: the loop itself never returns.
    int fd = accept(endpoint->fd, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    KvSRVConnection server{fd};
    char reply[4] = {};
    std::thread peer([&] {
        KvIPCHeader h{};
        char body[5];
        if (kvSRVRead(&server, &h, sizeof h) == 12 && kvSRVRead(&server, body, h.requestLength) == 5)
            kvSRVWrite(&server, "pong", h.replyLength);
    });
    EXPECT_EQ(kvIPCServerCall(client, 3, "ping!", 5, reply, 4), 0);
    peer.join();
    EXPECT_EQ(std::string(reply, 4), "pong");
    EXPECT_EQ(kvIPCServerCall(client, 3, nullptr, 0, nullptr, 4), -1);
    EXPECT_EQ(kvIPCServerCall(nullptr, 3, nullptr, 0, nullptr, 0), -1);
    EXPECT_EQ(kvSRVDisconnect(client), 0);
    // The server end now sees the end of the stream.
    char c;
    EXPECT_EQ(kvSRVRead(&server, &c, 1), 0);
    close(fd);
    close(endpoint->fd);
    free(endpoint);
    kvSRVRemoveEndpoint(path.c_str());
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

std::string bytes(std::initializer_list<int32_t> words) {
    std::string s;
    for (int32_t w : words) s.append(reinterpret_cast<const char*>(&w), 4);
    return s;
}

TEST(KvIPC, RequestsMustCarryTheirWordsAndCountedHandles) {
    const KvIPCOperation& create = sync_ipc_handler[KV_OP_CREATE_EVENT];
    EXPECT_FALSE(kvIPCRequestFits(create, bytes({1, 0})));
    EXPECT_TRUE(kvIPCRequestFits(create, bytes({1, 0, 0})));
    const KvIPCOperation& wait = sync_ipc_handler[KV_OP_BEGIN_WAIT];
    EXPECT_TRUE(kvIPCRequestFits(wait, bytes({1, 2, 3, 1, 2, 0x28000000, 0x38000001})));
    EXPECT_FALSE(kvIPCRequestFits(wait, bytes({1, 2, 3, 1, 3, 0x28000000, 0x38000001})));
    EXPECT_FALSE(kvIPCRequestFits(wait, bytes({1, 2, 3, 1, 0x7fffffff})));
    // A count of none is the handler's to refuse, not the framing's.
    EXPECT_TRUE(kvIPCRequestFits(wait, bytes({1, 2, 3, 1, -4})));
    // Every handler may write its whole reply record into the minimum buffer.
    for (const KvIPCOperation& op : sync_ipc_handler) {
        EXPECT_LE(op.replyWords * 4, kvIPCMinBufferSize);
        EXPECT_LE(op.requestWords * 4, kvIPCMinBufferSize);
    }
}

TEST(KvIPC, WireWordsAndNamesStayInsideTheBody) {
    std::string body = bytes({1, 2, 3}) + "name";
    EXPECT_EQ(kvWireName(body, 12), "name");
    EXPECT_EQ(kvWireName(body, 16), "");
    EXPECT_EQ(kvWireName(body, 99), "");
    EXPECT_EQ(kvWireName(bytes({1, 2, 3}) + std::string("ab\0cd", 5), 12), "ab");
    EXPECT_EQ(kvWireGetWord(body, 2), 3);
    EXPECT_EQ(kvWireGetWord(body, 4), 0);  // the name's bytes end at 16: word 4 is outside
    char reply[8] = {};
    kvWirePutWord(reply, 2, 9);  // outside: ignored
    kvWirePutWord(reply, 1, 9);
    EXPECT_EQ(kvWireGetWord(std::span<const char>(reply, 8), 1), 9);
}

TEST(KvWake, OnlyAProcessWhoseConnectionWasOpenedIsSentAnything) {
    SyncIPCInfo* info = sync_ipc_srv_init();
    ASSERT_NE(info, nullptr);
    const int32_t pid = 5000000 + getpid() % 100000;  // no real process has it
    char* path = kvProcessSRVName(pid);
    kvSRVRemoveEndpoint(path);
    KvSRVEndpoint* endpoint = kvSRVInit(path, acceptOnce, nullptr);
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(kvSignalClientEvent(info, pid, 7), 0);
    EXPECT_EQ(kvWakeWaitEntry(info, pid, 1, 0, 0), 0);

    kvInitSRVConnectionToProcess(info, pid);
    kvInitSRVConnectionToProcess(info, pid);  // one connection per process
    int fd = accept(endpoint->fd, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    KvSRVConnection process{fd};
    EXPECT_EQ(kvSignalClientEvent(info, pid, 7), 1);
    EXPECT_EQ(kvWakeWaitEntry(info, pid, 0x55, 130, 0), 1);
    char message[16 + 24];
    ASSERT_EQ(kvSRVRead(&process, message, sizeof message), static_cast<int>(sizeof message));
    EXPECT_EQ(std::string(message, sizeof message), bytes({1, 4, 0, 7}) + bytes({0, 12, 0, 0x55, 130, 0}));

    kvDeleteSRVConnectionToProcess(info, pid);
    EXPECT_EQ(kvSRVRead(&process, message, 1), 0);
    EXPECT_EQ(kvWakeWaitEntry(info, pid, 1, 0, 0), 0);
    close(fd);
    close(endpoint->fd);
    free(endpoint);
    kvSRVRemoveEndpoint(path);
    free(path);
    for (KvList* list : {info->processConnections, info->usedSlots, info->freeSlots, info->waitQueue,
                         info->waitItemPool, info->aliases})
        kvListDeleteList(list);
    delete info;
}

}  // namespace
