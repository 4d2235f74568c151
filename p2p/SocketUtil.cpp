#include "p2p/SocketUtil.h"

#include "p2p/P2PErrors.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace p2p {

SocketAddress SocketAddress::From(const sockaddr* addr, socklen_t length) {
    SocketAddress out;
    std::memcpy(&out.storage, addr, std::min<size_t>(length, sizeof out.storage));
    return out;
}

SocketAddress SocketAddress::Any(int family, uint16_t port) {
    SocketAddress out;
    out.storage.ss_family = static_cast<sa_family_t>(family);
    out.SetPort(port);
    return out;
}

socklen_t SocketAddress::Size() const {
    return Family() == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

uint16_t SocketAddress::Port() const {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
    return ntohs(Family() == AF_INET6 ? v6->sin6_port : v4->sin_port);
}

void SocketAddress::SetPort(uint16_t port) {
    if (Family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(port);
}

bool SocketAddress::IsWildcard() const {
    if (Family() == AF_INET6)
        return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr);
    return reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr.s_addr == htonl(INADDR_ANY);
}

bool SocketAddress::IsLoopback() const {
    if (Family() == AF_INET6)
        return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr);
    return reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr.s_addr == htonl(INADDR_LOOPBACK);
}

SocketAddress SocketAddress::Unmapped() const {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    if (Family() != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
        return *this;
    SocketAddress out = Any(AF_INET, Port());
    std::memcpy(&reinterpret_cast<sockaddr_in*>(&out.storage)->sin_addr, v6->sin6_addr.s6_addr + 12, 4);
    return out;
}

std::string SocketAddress::Text() const {
    const SocketAddress plain = Unmapped();
    char text[INET6_ADDRSTRLEN] = {};
    if (plain.Family() == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&plain.storage)->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(plain.Port());
    }
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&plain.storage);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    std::string host = text;
    char name[IF_NAMESIZE] = {};
    if (v6->sin6_scope_id != 0)
        host += "%" + (if_indextoname(v6->sin6_scope_id, name) ? std::string(name) : std::to_string(v6->sin6_scope_id));
    return "[" + host + "]:" + std::to_string(plain.Port());
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    return Size() == other.Size() && std::memcmp(&storage, &other.storage, Size()) == 0;
}

std::string PeerHost(const std::string& peer) {
    const std::string host = peer.substr(0, peer.rfind(':'));
    if (host.size() < 2 || host.front() != '[' || host.back() != ']')
        return host;
    in6_addr address{};
    if (inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &address) != 1 ||
        IN6_IS_ADDR_LINKLOCAL(&address) || IN6_IS_ADDR_LOOPBACK(&address))
        return host; // a scoped one does not parse: it is link-local
    std::memset(address.s6_addr + 8, 0, 8);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &address, text, sizeof text);
    return "[" + std::string(text) + "]/64";
}

std::vector<SocketAddress> LocalBroadcastAddresses() {
    std::vector<SocketAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        const unsigned wanted = IFF_UP | IFF_BROADCAST;
        if ((i->ifa_flags & wanted) != wanted || (i->ifa_flags & IFF_LOOPBACK) || i->ifa_addr == nullptr ||
            i->ifa_addr->sa_family != AF_INET || i->ifa_broadaddr == nullptr)
            continue;
        const SocketAddress address = SocketAddress::From(i->ifa_broadaddr, sizeof(sockaddr_in));
        if (std::find(out.begin(), out.end(), address) == out.end())
            out.push_back(address);
    }
    freeifaddrs(list);
    return out;
}

std::vector<SocketAddress> LocalMulticastAddresses() {
    std::vector<SocketAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return out;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        const unsigned wanted = IFF_UP | IFF_MULTICAST;
        if ((i->ifa_flags & wanted) != wanted || (i->ifa_flags & IFF_LOOPBACK) || i->ifa_addr == nullptr ||
            i->ifa_addr->sa_family != AF_INET6)
            continue;
        SocketAddress group = SocketAddress::Any(AF_INET6, 0);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&group.storage);
        inet_pton(AF_INET6, "ff02::1", &v6->sin6_addr);
        v6->sin6_scope_id = if_nametoindex(i->ifa_name);
        if (v6->sin6_scope_id != 0 && std::find(out.begin(), out.end(), group) == out.end())
            out.push_back(group);
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

int ConnectTcp(const SocketAddress& addr, int timeoutMs, const std::function<bool()>& cancelled, UniqueFd& out) {
    constexpr int kCancelPollMs = 20;
    UniqueFd fd(socket(addr.Family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        return P2P_ERR_NETWORK;
    int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd.get(), addr.Raw(), addr.Size()) != 0) {
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

std::vector<ListenAddress> ListenAddresses(const std::vector<SocketAddress>& resolved) {
    std::vector<ListenAddress> out;
    for (const SocketAddress& address : resolved)
        if (address.IsWildcard())
            return {{SocketAddress::Any(AF_INET6, 0), false}};
    auto add = [&out](const SocketAddress& address, bool optional) {
        for (const ListenAddress& known : out)
            if (known.address == address)
                return;
        out.push_back({address, optional});
    };
    for (const SocketAddress& address : resolved) {
        add(address, !out.empty());
        if (address.IsLoopback()) {
            SocketAddress other = SocketAddress::Any(address.Family() == AF_INET ? AF_INET6 : AF_INET, 0);
            if (other.Family() == AF_INET6)
                reinterpret_cast<sockaddr_in6*>(&other.storage)->sin6_addr = in6addr_loopback;
            else
                reinterpret_cast<sockaddr_in*>(&other.storage)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            add(other, true);
        }
    }
    return out;
}

namespace {

// No IPv6 in this kernel (or on that interface), or an address that is not this host's.
bool Unbindable(int error) {
    return error == EAFNOSUPPORT || error == EADDRNOTAVAIL || error == EPROTONOSUPPORT;
}

// One bound socket, or -1 with errno set.
int BindOne(SocketAddress address, int type, uint16_t port) {
    address.SetPort(port);
    UniqueFd fd(socket(address.Family(), type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        return -1;
    if (address.Family() == AF_INET6) {
        const int v6only = address.IsWildcard() ? 0 : 1;
        setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    if (bind(fd.get(), address.Raw(), address.Size()) != 0 || (type == SOCK_STREAM && listen(fd.get(), 64) != 0))
        return -1;
    return fd.release();
}

uint16_t BoundPort(int fd) {
    SocketAddress bound;
    socklen_t length = sizeof bound.storage;
    return getsockname(fd, bound.Raw(), &length) == 0 ? bound.Port() : 0;
}

} // namespace

uint16_t BindSockets(const std::vector<ListenAddress>& at, int type, uint16_t port, std::vector<UniqueFd>& out) {
    constexpr int kTries = 8; // a system-picked port may be taken on another address
    for (int attempt = 0; attempt < (port == 0 ? kTries : 1); ++attempt) {
        out.clear();
        uint16_t chosen = port;
        bool failed = false;
        for (const ListenAddress& listen : at) {
            int fd = BindOne(listen.address, type, chosen);
            if (fd < 0 && listen.address.IsWildcard() && Unbindable(errno))
                fd = BindOne(SocketAddress::Any(AF_INET, 0), type, chosen);
            if (fd < 0 && listen.optional && Unbindable(errno))
                continue;
            if (fd < 0) {
                failed = true;
                break;
            }
            out.emplace_back(fd);
            if (chosen == 0 && (chosen = BoundPort(fd)) == 0) {
                failed = true;
                break;
            }
        }
        if (!failed && !out.empty())
            return chosen;
    }
    out.clear();
    return 0;
}

} // namespace p2p
