// Who is at the other end of a TCP connection on this host.
#pragma once

#include <sys/types.h>

// The uid owning the peer's socket of the connected TCP socket `fd`, when the
// peer is on this host (a loopback address): true with *uid. False for remote
// peers or when the kernel cannot tell (the peer already closed, say).
bool regdLoopbackPeerUid(int fd, uid_t* uid);

// The same read from /proc/net/tcp or tcp6 alone: what the lookup falls
// back on where the kernel has no socket diagnostics.
bool regdProcNetPeerUid(int fd, uid_t* uid);
