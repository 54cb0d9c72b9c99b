// The server's batched sends: each send of a batch has the outcome a plain
// send would have, in order, whether or not the kernel's ring carries them.
#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "sync/sync_socket.h"

namespace {

struct Pair {
    int fds[2] = {-1, -1};
    Pair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds); }
    ~Pair() { for (int fd : fds) if (fd >= 0) close(fd); }
    std::string drain() const {
        std::string got;
        char buffer[4096];
        for (ssize_t r; (r = recv(fds[1], buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) got.append(buffer, r);
        return got;
    }
};

// A full socket takes nothing (0), a closed one is broken (-1), the others
// get all of theirs; a batch of one and a batch of many agree.
TEST(KvSRVSendBatch, EachSendHasItsOwnOutcome) {
    for (size_t batch : {1u, 4u}) {
        Pair open, full, closed, second;
        std::string filler(65536, 'f');
        while (send(full.fds[0], filler.data(), filler.size(), MSG_DONTWAIT) > 0) {}
        close(closed.fds[1]);
        closed.fds[1] = -1;
        KvSRVSend sends[] = {{open.fds[0], "wake", 4, 9}, {full.fds[0], "more", 4, 9},
                             {closed.fds[0], "gone", 4, 9}, {second.fds[0], "reply", 5, 9}};
        for (size_t at = 0; at < 4; at += batch) kvSRVSendBatch(sends + at, batch);
        EXPECT_EQ(sends[0].sent, 4);
        EXPECT_EQ(sends[1].sent, 0);
        EXPECT_EQ(sends[2].sent, -1);
        EXPECT_EQ(sends[3].sent, 5);
        EXPECT_EQ(open.drain(), "wake");
        EXPECT_EQ(second.drain(), "reply");
    }
}

}  // namespace
