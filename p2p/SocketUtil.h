#pragma once

#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <vector>

// Small helpers over BSD sockets, shared by the client and the device side.
namespace p2p {

bool SetNonBlocking(int fd);
std::string AddressText(const sockaddr_in& addr);
// The broadcast address of every IPv4 network this machine is on (interfaces
// that are up, loopback aside): where a search reaches devices on the LAN
// that nobody listed.
std::vector<in_addr> LocalBroadcastAddresses();
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
int ConnectTcp(const sockaddr_in& addr, int timeoutMs, const std::function<bool()>& cancelled, UniqueFd& out);

} // namespace p2p
