// Peer uid of a loopback TCP connection through the kernel's socket
// diagnostics (netlink sock_diag): one exact lookup of the peer's socket by
// its address pair, which costs the same however many sockets exist.
#include "daemon/peer_uid.h"

#include <arpa/inet.h>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
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

}  // namespace

bool regdLoopbackPeerUid(int fd, uid_t* uid) {
    sockaddr_storage self{}, peer{};
    socklen_t selfLen = sizeof self, peerLen = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&self), &selfLen) != 0) return false;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) return false;
    if (!isLoopback(peer) || peer.ss_family != self.ss_family) return false;

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
