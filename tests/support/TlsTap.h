#pragma once

#include "p2p/SocketUtil.h"
#include "p2p/TlsLayer.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// Ends the TLS of a session socket inside a test, so that a test can speak
// the session protocol in plain bytes on Plain() as a hostile peer would. A
// thread of its own moves the bytes through TLS: it stops reading the socket
// while the plain side does not take what came, so a test that stops reading
// stops the peer's data too. When either side ends, the other is closed.
class TlsTap {
public:
    // As the device (server) with `identity`, or as a client when it is null.
    TlsTap(p2p::UniqueFd socket, std::shared_ptr<const TlsLayer::Identity> identity);
    ~TlsTap();
    TlsTap(const TlsTap&) = delete;
    TlsTap& operator=(const TlsTap&) = delete;

    // A client's tap on a connected TCP socket to 127.0.0.1:port.
    static std::unique_ptr<TlsTap> Connect(uint16_t port);

    int Plain() const { return m_plain.get(); }
    bool Open() const { return m_open.load(); } // the handshake is done
    bool Done() const { return m_done.load(); } // either side has ended

private:
    void Run();

    p2p::UniqueFd m_socket;
    p2p::UniqueFd m_plain; // the test's end
    p2p::UniqueFd m_inner; // the tap's end
    std::unique_ptr<TlsLayer> m_tls;
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};
