#include "tests/support/TlsTap.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

using p2p::UniqueFd;

TlsTap::TlsTap(UniqueFd socket, std::shared_ptr<const TlsLayer::Identity> identity)
    : m_socket(std::move(socket)), m_tls(identity ? TlsLayer::Server(identity) : TlsLayer::Client()) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0) {
        m_plain.reset(pair[0]);
        m_inner.reset(pair[1]);
    }
    p2p::SetNonBlocking(m_socket.get());
    p2p::SetNonBlocking(m_inner.get());
    m_thread = std::thread(&TlsTap::Run, this);
}

TlsTap::~TlsTap() {
    m_stop = true;
    m_thread.join();
}

std::unique_ptr<TlsTap> TlsTap::Connect(uint16_t port) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return nullptr;
    return std::make_unique<TlsTap>(std::move(fd), nullptr);
}

namespace {
// Sends what it can of `out`; false on a socket error.
bool Flush(int fd, std::vector<uint8_t>& out) {
    while (!out.empty()) {
        ssize_t n = send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        out.erase(out.begin(), out.begin() + n);
    }
    return true;
}
} // namespace

void TlsTap::Run() {
    std::vector<uint8_t> toSocket, toPlain;
    uint8_t buffer[16384];
    bool ended = !m_tls;
    while (!m_stop && !ended) {
        m_tls->TakeCiphertext(toSocket);
        const bool open = m_tls->GetState() == TlsLayer::State::Open;
        m_open = open;
        pollfd fds[2] = {
            {m_socket.get(), static_cast<short>((toPlain.empty() ? POLLIN : 0) | (toSocket.empty() ? 0 : POLLOUT)), 0},
            {m_inner.get(), static_cast<short>((open ? POLLIN : 0) | (toPlain.empty() ? 0 : POLLOUT)), 0}};
        poll(fds, 2, 20);
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = recv(m_socket.get(), buffer, sizeof buffer, 0);
            ended = n == 0 || (n < 0 && errno != EAGAIN) ||
                    !m_tls->PutCiphertext(buffer, static_cast<size_t>(n > 0 ? n : 0));
            for (long got; !ended && (got = m_tls->ReadPlain(buffer, sizeof buffer)) != 0;) {
                ended = got < 0;
                if (got > 0)
                    toPlain.insert(toPlain.end(), buffer, buffer + got);
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            ssize_t n = recv(m_inner.get(), buffer, sizeof buffer, 0);
            ended = ended || n == 0 || (n > 0 && !m_tls->WritePlain(buffer, static_cast<size_t>(n)));
        }
        m_tls->TakeCiphertext(toSocket);
        ended = !Flush(m_socket.get(), toSocket) || !Flush(m_inner.get(), toPlain) || ended;
    }
    Flush(m_inner.get(), toPlain);
    Flush(m_socket.get(), toSocket);
    shutdown(m_socket.get(), SHUT_RDWR);
    shutdown(m_inner.get(), SHUT_RDWR);
    m_done = true;
}
