// The process's connection to the sync server of the registry daemon: one
// socket per process, opened on first use (anew in a forked child), with
// the process registered on it. Calls of all threads share it, one request
// and its reply at a time; no call blocks in the daemon, so none holds the
// connection for long. Waits will add the process's own listening socket,
// on which the daemon sends wake-ups.
#pragma once

#include <cstdint>
#include <span>

// Sends one request and reads exactly reply.size() bytes back (nothing for
// an empty reply). False when the daemon is unknown or unreachable, or the
// connection broke; the next call then connects again.
bool kvClientCall(uint32_t opcode, std::span<const char> request, std::span<char> reply);

// The ids the daemon knows this process and thread by.
int32_t kvClientPid();
int32_t kvClientThreadId();

// Closes the connection (tests use this to act as a departed process).
void kvClientDisconnect();
