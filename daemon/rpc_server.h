// The registry program's TCP service: one thread runs an epoll loop over
// non-blocking sockets (records assembled in memory, replies queued and
// written as the peer takes them), a small pool of worker threads runs the
// calls. No client can hold up another: partial records and unread replies
// are bounded in time and size, connections in number.
#pragma once

#include <cstddef>
#include <cstdint>

// Limits of the service, from the environment (defaults in brackets):
// KALVO_REGISTRYD_WORKERS [cores], KALVO_REGISTRYD_IDLE_RECORD_SECONDS [30],
// KALVO_REGISTRYD_STALLED_REPLY_SECONDS [30], KALVO_REGISTRYD_MAX_CONNECTIONS
// [4096], KALVO_REGISTRYD_MAX_CONNECTIONS_PER_UID [2048],
// KALVO_REGISTRYD_MAX_QUEUED_REPLY_MB [512].
struct RegdServerLimits {
    unsigned workers;
    double idleRecordSeconds;    // a partial record without progress ends its connection
    double stalledReplySeconds;  // a reply the peer does not take ends its connection
    size_t maxConnections;       // at the cap the oldest idle connection is closed
    size_t maxConnectionsPerUid;
    size_t maxQueuedReplyBytes;  // a reply passing it is answered with 1130 instead
};
RegdServerLimits regdServerLimitsFromEnv();

// Opens the service's listening sockets, all on one port of the system's
// choosing: loopback only (127.0.0.1, and ::1 where the host has IPv6)
// unless KALVO_REGISTRYD_LISTEN names the addresses (comma-separated;
// 0.0.0.0 or :: for all). Registers (prog, vers) and (prog, 1) with the
// portmapper under tcp, and under tcp6 when an IPv6 address is served. On
// failure writes the message of old to standard error and exits with 1.
// Returns the first socket; regdRpcServe serves the others too.
int regdRpcListen(uint32_t prog, uint32_t vers);

// Serves calls on the listening socket until the process ends.
[[noreturn]] void regdRpcServe(int listenFd, uint32_t prog, uint32_t vers, const RegdServerLimits& limits);
