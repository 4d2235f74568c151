#include "p2p/SocketUtil.h"

#include "p2p/P2PErrors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace p2p {

std::vector<in_addr> LocalBroadcastAddresses() {
    std::vector<in_addr> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        const unsigned wanted = IFF_UP | IFF_BROADCAST;
        if ((i->ifa_flags & wanted) != wanted || (i->ifa_flags & IFF_LOOPBACK) || i->ifa_addr == nullptr ||
            i->ifa_addr->sa_family != AF_INET || i->ifa_broadaddr == nullptr)
            continue;
        const in_addr address = reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr;
        bool known = false;
        for (const in_addr& a : out)
            known = known || a.s_addr == address.s_addr;
        if (!known)
            out.push_back(address);
    }
    freeifaddrs(list);
    return out;
}

UniqueFd::~UniqueFd() {
    reset();
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other)
        reset(other.release());
    return *this;
}

void UniqueFd::reset(int fd) {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string AddressText(const sockaddr_in& addr) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

int ConnectTcp(const sockaddr_in& addr, int timeoutMs, const std::function<bool()>& cancelled, UniqueFd& out) {
    constexpr int kCancelPollMs = 20;
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        return P2P_ERR_NETWORK;
    int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS)
            return P2P_ERR_CONNECT_FAILED;
        for (int waited = 0;; waited += kCancelPollMs) {
            if (cancelled())
                return P2P_ERR_CANCELLED;
            if (waited >= timeoutMs)
                return P2P_ERR_CONNECT_FAILED;
            pollfd p{fd.get(), POLLOUT, 0};
            int r = poll(&p, 1, kCancelPollMs);
            if (r < 0 && errno != EINTR)
                return P2P_ERR_CONNECT_FAILED;
            if (r > 0)
                break;
        }
        int error = 0;
        socklen_t len = sizeof error;
        if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
            return P2P_ERR_CONNECT_FAILED;
    }
    out = std::move(fd);
    return P2P_OK;
}

} // namespace p2p
