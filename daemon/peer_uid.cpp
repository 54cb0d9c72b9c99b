// Peer uid of a loopback TCP connection through the kernel's socket
// diagnostics (netlink sock_diag): one exact lookup of the peer's socket by
// its address pair, which costs the same however many sockets exist. Where
// sock_diag is not available, /proc/net/tcp (or tcp6) has the same answer.
#include "daemon/peer_uid.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <string>
#include <unistd.h>

namespace {

bool isLoopback(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(&a);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (a.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
        if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr)) return true;
        return IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && in6->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

// Fills the socket id's port and address from one end of the connection.
void setEnd(const sockaddr_storage& a, __be16* port, __be32* addr) {
    if (a.ss_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(&a);
        *port = in->sin_port;
        memcpy(addr, &in->sin_addr, sizeof in->sin_addr);
    } else {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
        *port = in6->sin6_port;
        memcpy(addr, &in6->sin6_addr, sizeof in6->sin6_addr);
    }
}

// An IPv4 address seen through a dual-stack socket (::ffff:a.b.c.d) as
// the IPv4 address it is: the peer's own socket is an IPv4 one.
void unmap(sockaddr_storage& a) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&a);
    if (a.ss_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) return;
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = in6->sin6_port;
    memcpy(&in.sin_addr, &in6->sin6_addr.s6_addr[12], 4);
    memset(&a, 0, sizeof a);
    memcpy(&a, &in, sizeof in);
}

bool endsOf(int fd, sockaddr_storage* self, sockaddr_storage* peer) {
    socklen_t selfLen = sizeof *self, peerLen = sizeof *peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(self), &selfLen) != 0) return false;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(peer), &peerLen) != 0) return false;
    if (!isLoopback(*peer)) return false;
    unmap(*self);
    unmap(*peer);
    return peer->ss_family == self->ss_family;
}

bool sockDiagUid(const sockaddr_storage& self, const sockaddr_storage& peer, uid_t* uid) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 req;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.req.sdiag_family = static_cast<uint8_t>(peer.ss_family);
    request.req.sdiag_protocol = IPPROTO_TCP;
    request.req.idiag_states = ~0u;
    // The peer's socket: its source is the peer's end, its destination ours.
    setEnd(peer, &request.req.id.idiag_sport, request.req.id.idiag_src);
    setEnd(self, &request.req.id.idiag_dport, request.req.id.idiag_dst);
    request.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    int nl = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (nl < 0) return false;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    bool found = false;
    if (sendto(nl, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof request)) {
        alignas(nlmsghdr) char buf[1024];
        ssize_t n = recv(nl, buf, sizeof buf, 0);
        auto* h = reinterpret_cast<nlmsghdr*>(buf);
        if (n > 0 && NLMSG_OK(h, static_cast<size_t>(n)) && h->nlmsg_type == SOCK_DIAG_BY_FAMILY) {
            auto* msg = static_cast<inet_diag_msg*>(NLMSG_DATA(h));
            *uid = static_cast<uid_t>(msg->idiag_uid);
            found = true;
        }
    }
    close(nl);
    return found;
}

// One end as /proc/net/tcp* prints it: each 32-bit word of the address in
// hex as it lies in memory read as a host integer, then the port.
std::string procEnd(const sockaddr_storage& a) {
    __be16 port = 0;
    uint32_t words[4] = {};
    setEnd(a, &port, words);
    char text[48];
    if (a.ss_family == AF_INET)
        snprintf(text, sizeof text, "%08X:%04X", words[0], ntohs(port));
    else
        snprintf(text, sizeof text, "%08X%08X%08X%08X:%04X", words[0], words[1], words[2], words[3], ntohs(port));
    return text;
}

bool procNetUid(const sockaddr_storage& self, const sockaddr_storage& peer, uid_t* uid) {
    FILE* f = fopen(peer.ss_family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6", "re");
    if (f == nullptr) return false;
    std::string local = procEnd(peer), remote = procEnd(self);
    char line[512];
    bool found = false;
    while (!found && fgets(line, sizeof line, f) != nullptr) {
        char l[64], r[64];
        unsigned long owner = 0;
        if (sscanf(line, " %*s %63s %63s %*s %*s %*s %*s %lu", l, r, &owner) == 3 && local == l && remote == r) {
            *uid = static_cast<uid_t>(owner);
            found = true;
        }
    }
    fclose(f);
    return found;
}

}  // namespace

bool regdLoopbackPeerUid(int fd, uid_t* uid) {
    sockaddr_storage self{}, peer{};
    if (!endsOf(fd, &self, &peer)) return false;
    return sockDiagUid(self, peer, uid) || procNetUid(self, peer, uid);
}

bool regdProcNetPeerUid(int fd, uid_t* uid) {
    sockaddr_storage self{}, peer{};
    return endsOf(fd, &self, &peer) && procNetUid(self, peer, uid);
}
