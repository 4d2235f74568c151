#pragma once

#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

// Small helpers over BSD sockets, shared by the client and the device side.
namespace p2p {

// An IPv4 or IPv6 socket address (an IPv6 one may carry an interface scope).
struct SocketAddress {
    sockaddr_storage storage{};

    static SocketAddress From(const sockaddr* addr, socklen_t length);
    static SocketAddress Any(int family, uint16_t port);
    int Family() const { return storage.ss_family; }
    sockaddr* Raw() { return reinterpret_cast<sockaddr*>(&storage); }
    const sockaddr* Raw() const { return reinterpret_cast<const sockaddr*>(&storage); }
    // The length that goes with Raw() in bind, connect and sendto.
    socklen_t Size() const;
    uint16_t Port() const;
    void SetPort(uint16_t port);
    bool IsWildcard() const;
    bool IsLoopback() const; // 127.0.0.1 or ::1
    // An IPv4 peer of a dual-stack socket (::ffff:a.b.c.d) as the IPv4 address it is.
    SocketAddress Unmapped() const;
    // "a.b.c.d:port", or "[v6]:port" with "%interface" inside the brackets for a scoped address.
    std::string Text() const;
    bool operator==(const SocketAddress& other) const;
};

// What the device's per-address limits and slow-downs count a peer by, from
// its "host:port" text: the IPv4 address, or for IPv6 the /64 network (one
// subscriber's share, whose every address a client can take), except a
// loopback or link-local one, which counts by its own address as IPv4 does.
std::string PeerHost(const std::string& peer);

bool SetNonBlocking(int fd);
// The broadcast address of every IPv4 network this machine is on (interfaces
// that are up, loopback aside): where a search reaches devices on the LAN
// that nobody listed.
std::vector<SocketAddress> LocalBroadcastAddresses();
// The IPv6 link-local all-nodes group (ff02::1) on every interface that is
// up, can multicast and has an IPv6 address: the IPv6 counterpart of the
// broadcast addresses above.
std::vector<SocketAddress> LocalMulticastAddresses();
// A closed-on-drop file descriptor.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return m_fd; }
    int release() {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// Connects a non-blocking TCP socket into `out` within timeoutMs, looking at
// cancelled() every few milliseconds. P2P_OK, P2P_ERR_CONNECT_FAILED,
// P2P_ERR_CANCELLED or P2P_ERR_NETWORK (no socket).
int ConnectTcp(const SocketAddress& addr, int timeoutMs, const std::function<bool()>& cancelled, UniqueFd& out);

// Where a device listens, from what its bind setting resolved to (first
// address first): a wildcard of either family stands for every address of
// both (one dual-stack socket); a loopback address brings the other family's
// loopback along. An optional address is left out where it cannot be bound
// (a kernel without IPv6, a name's further address that is not local).
struct ListenAddress {
    SocketAddress address;
    bool optional = false;
};
std::vector<ListenAddress> ListenAddresses(const std::vector<SocketAddress>& resolved);
// Binds one non-blocking socket of `type` (SOCK_DGRAM, or SOCK_STREAM, which
// then listens) to each address, all at one port: `port`, or for 0 one the
// system picks for the first. The IPv6 wildcard takes IPv4 too (IPV6_V6ONLY
// off) and falls back to the IPv4 wildcard without IPv6. Fills `out` and
// answers the port, or 0 (and `out` empty) when a required address failed.
uint16_t BindSockets(const std::vector<ListenAddress>& at, int type, uint16_t port, std::vector<UniqueFd>& out);

} // namespace p2p
