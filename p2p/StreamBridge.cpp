#include "p2p/StreamBridge.h"

#include "p2p/ThreadStart.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace p2p {

namespace {

void Signal(int fd) {
    uint64_t one = 1;
    ssize_t r = write(fd, &one, sizeof one);
    (void)r;
}

} // namespace

void StreamBridge::Buffer::Compact() {
    if (head == tail) {
        head = tail = 0;
    } else if (head > 0 && Room() == 0) {
        std::memmove(data.get(), data.get() + head, tail - head);
        tail -= head;
        head = 0;
    }
}

std::unique_ptr<StreamBridge> StreamBridge::Create(std::shared_ptr<ByteStream> stream, UniqueFd& sessionEnd) {
    int pair[2];
    if (!stream || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0)
        return nullptr;
    UniqueFd ours(pair[0]);
    UniqueFd theirs(pair[1]);
    auto wake = std::make_shared<UniqueFd>(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (wake->get() < 0)
        return nullptr;
    auto bridge = std::make_unique<StreamBridge>(std::move(stream), std::move(ours), wake);
    // The callback holds the eventfd itself, so a late call after the bridge is gone is harmless.
    bridge->m_stream->SetCallback([wake] { Signal(wake->get()); });
    if (!StartThread(bridge->m_thread, [b = bridge.get()] { b->Run(); })) {
        bridge->m_stream->SetCallback({});
        return nullptr;
    }
    sessionEnd = std::move(theirs);
    return bridge;
}

StreamBridge::StreamBridge(std::shared_ptr<ByteStream> stream, UniqueFd socket, std::shared_ptr<UniqueFd> wake)
    : m_stream(std::move(stream)), m_socket(std::move(socket)), m_wake(std::move(wake)) {}

StreamBridge::~StreamBridge() {
    m_stop.store(true);
    Signal(m_wake->get());
    if (m_thread.joinable())
        m_thread.join();
    m_stream->SetCallback({});
    m_stream->Close();
}

bool StreamBridge::StreamToBuffer() {
    while (m_toSocket.Room() > 0) {
        ptrdiff_t n = m_stream->Read(m_toSocket.data.get() + m_toSocket.tail, m_toSocket.Room());
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        m_toSocket.tail += static_cast<size_t>(n);
        m_toSocket.Compact();
    }
    return true;
}

bool StreamBridge::BufferToSocket() {
    while (!m_toSocket.Empty()) {
        ssize_t n = send(m_socket.get(), m_toSocket.data.get() + m_toSocket.head, m_toSocket.tail - m_toSocket.head,
                         MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        m_toSocket.head += static_cast<size_t>(n);
    }
    m_toSocket.Compact();
    return true;
}

bool StreamBridge::SocketToBuffer() {
    while (m_toStream.Room() > 0) {
        ssize_t n = recv(m_socket.get(), m_toStream.data.get() + m_toStream.tail, m_toStream.Room(), 0);
        if (n == 0)
            return false;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        m_toStream.tail += static_cast<size_t>(n);
        m_toStream.Compact();
    }
    return true;
}

bool StreamBridge::BufferToStream() {
    while (!m_toStream.Empty()) {
        ptrdiff_t n = m_stream->Write(m_toStream.data.get() + m_toStream.head, m_toStream.tail - m_toStream.head);
        if (n < 0)
            return false;
        if (n == 0)
            break; // the stream's callback says when it has room again
        m_toStream.head += static_cast<size_t>(n);
    }
    m_toStream.Compact();
    return true;
}

void StreamBridge::Run() {
    using Clock = std::chrono::steady_clock;
    bool streamOpen = true;
    bool socketOpen = true;
    Clock::time_point lingerUntil = Clock::time_point::max();
    bool hungUp = false;
    // Bytes that came before the callback was set are read on the first pass.
    while (streamOpen && socketOpen) {
        if (m_stop.load() && lingerUntil == Clock::time_point::max())
            lingerUntil = Clock::now() + std::chrono::milliseconds(kLingerMs);
        if (Clock::now() >= lingerUntil)
            break;
        streamOpen = StreamToBuffer();
        socketOpen = BufferToSocket() && SocketToBuffer();
        streamOpen = BufferToStream() && streamOpen;
        if (!streamOpen || !socketOpen)
            break;
        short events = static_cast<short>((m_toStream.Room() > 0 ? POLLIN : 0) | (m_toSocket.Empty() ? 0 : POLLOUT));
        pollfd fds[2] = {{m_wake->get(), POLLIN, 0}, {m_socket.get(), events, 0}};
        // A hung-up socket is always ready: while there is no room to read its
        // last bytes, only the stream (making room) can wake us.
        const nfds_t watched = hungUp && events == 0 ? 1 : 2;
        poll(fds, watched, 100);
        if (watched == 2)
            hungUp = (fds[1].revents & (POLLHUP | POLLERR)) != 0;
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            ssize_t n = read(m_wake->get(), &count, sizeof count);
            (void)n;
        }
    }
    // One side ended: give the other what is still owed to it, briefly.
    const Clock::time_point flushUntil = std::min(lingerUntil, Clock::now() + std::chrono::milliseconds(kLingerMs));
    while (Clock::now() < flushUntil) {
        if (streamOpen) {
            SocketToBuffer(); // a goodbye the session wrote before it hung up
            if (!BufferToStream() || m_toStream.Empty())
                break;
        } else if (socketOpen) {
            StreamToBuffer();
            if (!BufferToSocket() || m_toSocket.Empty())
                break;
        } else {
            break;
        }
        pollfd p{m_wake->get(), POLLIN, 0};
        poll(&p, 1, 20);
        uint64_t count;
        ssize_t n = read(m_wake->get(), &count, sizeof count);
        (void)n;
    }
    shutdown(m_socket.get(), SHUT_RDWR);
    m_stream->Close();
    m_done.store(true);
}

} // namespace p2p
