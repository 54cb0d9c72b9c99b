// The process's link with the sync server of the registry daemon.
//
// Requests: one socket per process to the daemon's socket, opened on first
// use (anew in a forked child), with the process registered on it. Calls of
// all threads share it, one request and its reply at a time; no request
// blocks in the daemon, so none holds the connection for long.
//
// Wake-ups: the process listens on its own socket /tmp/kalvo_sock_<pid>,
// where the daemon connects to send the result of each wait it satisfied.
// A waiting thread enters its wait under an entry number before asking the
// daemon. No thread of the library's own reads that socket: one waiting
// thread at a time does (the reader), handing other waits' results to their
// threads, and passing the reading on when its own wait ends; the rest sleep
// on a futex word in their wait record. A lone waiter thus receives its own
// wake-up with no hand-over at all.
// A wait that the connection it was begun on outlives is failed, since the
// daemon withdraws a departed connection's waits without waking them; so is
// a queued wait whose wake-up connection the daemon closes (it does that to
// a process that stopped reading, and withdraws its waits).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>

// Sends one request and reads exactly reply.size() bytes back (nothing for
// an empty reply). False when the daemon is unknown or unreachable, or the
// connection broke; the next call then connects again.
bool kvClientCall(uint32_t opcode, std::span<const char> request, std::span<char> reply);

// The ids the daemon knows this process and thread by. Asking for the
// thread id also marks the thread as a user of the library: when it ends,
// the daemon is told (so its mutexes are abandoned and its waits dropped).
int32_t kvClientPid();
int32_t kvClientThreadId();

// Closes the connection (tests use this to act as a departed process).
void kvClientDisconnect();

// One pending wait of a thread. Fields below `entry` are written under the
// library's wait table lock; the waiting thread sleeps on `word` itself (a
// futex), so a delivery costs one wake-up and no lock on the waiter's side.
struct KvClientWait {
    uint32_t entry = 0;              // the wait entry the daemon sends back
    std::atomic<uint32_t> word{0};   // KV_CLIENT_WAIT_* bits
    int32_t result = 0;              // wait result, or -1 when the wait failed; set before the done bit
    uint64_t connection = 0;         // the connection its begin request went out on
    bool queued = false;             // the daemon answered that it queued the wait
};
constexpr uint32_t KV_CLIENT_WAIT_DONE = 1;    // a result has been delivered
constexpr uint32_t KV_CLIENT_WAIT_READ = 2;    // asked to take over reading the wake-up sockets

// Makes sure this process listens for wake-ups; false when it cannot.
bool kvClientListen();

// Enters a wait under a fresh entry, before its begin request is sent, so
// that a wake-up overtaking the reply still finds it; and takes it out.
void kvClientAddWait(KvClientWait* wait);
void kvClientRemoveWait(KvClientWait* wait);

// kvClientCall for the begin request of an entered wait, tying the wait to
// the connection the request goes out on (and noting when it was queued).
bool kvClientBeginWait(KvClientWait* wait, std::span<const char> request, std::span<char> reply);

// Blocks until the wait's result is delivered (true) or the deadline, if
// any, passes (false); meanwhile reads the wake-up sockets when no other
// waiting thread does.
bool kvClientAwait(KvClientWait* wait, const std::chrono::steady_clock::time_point* deadline);

// Hands a result to the wait with that entry; unknown entries are dropped.
void kvClientDeliver(uint32_t entry, int32_t result);
