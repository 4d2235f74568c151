#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>

// Small helpers over BSD sockets, shared by the client and the device side.
namespace p2p {

bool SetNonBlocking(int fd);
// Resolves an IPv4 host name or dotted address; false when it cannot.
bool ResolveIPv4(const std::string& host, in_addr& out);
std::string AddressText(const sockaddr_in& addr);
// Connects a TCP socket within timeoutMs; returns the non-blocking fd or -1.
int ConnectTcp(const sockaddr_in& addr, int timeoutMs);
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

} // namespace p2p
