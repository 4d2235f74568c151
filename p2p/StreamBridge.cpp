#include "p2p/StreamBridge.h"

#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
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
    if (!bridge->Begin()) {
        bridge->m_stream->SetCallback({});
        return nullptr;
    }
    sessionEnd = std::move(theirs);
    return bridge;
}

StreamBridge::StreamBridge(std::shared_ptr<ByteStream> stream, UniqueFd socket, std::shared_ptr<UniqueFd> wake)
    : m_stream(std::move(stream)), m_socket(std::move(socket)), m_wake(std::move(wake)) {}

// The socket is watched edge-triggered: every call makes a whole pass both
// ways, so a side that stopped for want of room is taken up again when the
// other side moves, and a hung-up socket does not keep the loop busy.
bool StreamBridge::Begin() {
    m_loop = IoLoop::Shared();
    if (!m_loop)
        return false;
    if (!m_loop->Add(m_socket.get(), EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, this, m_socketWatch))
        return false;
    if (!m_loop->Add(m_wake->get(), EPOLLIN, this, m_wakeWatch)) {
        m_loop->Remove(m_socketWatch);
        return false;
    }
    return true;
}

StreamBridge::~StreamBridge() {
    if (m_loop && m_wakeWatch != 0) {
        m_stop.store(true);
        m_loop->Notify(m_wakeWatch);
        std::unique_lock<std::mutex> lock(m_ended->mutex);
        m_ended->cv.wait(lock, [&] { return m_ended->done; });
    }
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

void StreamBridge::OnEvent(uint32_t) {
    uint64_t count;
    ssize_t n = read(m_wake->get(), &count, sizeof count);
    (void)n;
    if (m_flushing)
        Flush();
    else
        Copy();
}

void StreamBridge::Copy() {
    // Bytes that came before the callback was set are read on the first pass.
    if (m_stop.load() && m_lingerUntil == Clock::time_point::max())
        m_lingerUntil = Clock::now() + std::chrono::milliseconds(kLingerMs);
    if (Clock::now() < m_lingerUntil) {
        m_streamOpen = StreamToBuffer();
        m_socketOpen = BufferToSocket() && SocketToBuffer();
        m_streamOpen = BufferToStream() && m_streamOpen;
        if (m_streamOpen && m_socketOpen)
            return;
    }
    // One side ended (or the linger is over): give the other what is still owed to it, briefly.
    m_flushing = true;
    m_flushUntil = std::min(m_lingerUntil, Clock::now() + std::chrono::milliseconds(kLingerMs));
    Flush();
}

void StreamBridge::Flush() {
    if (Clock::now() < m_flushUntil) {
        if (m_streamOpen) {
            SocketToBuffer(); // a goodbye the session wrote before it hung up
            if (BufferToStream() && !m_toStream.Empty())
                return;
        } else if (m_socketOpen) {
            StreamToBuffer();
            if (BufferToSocket() && !m_toSocket.Empty())
                return;
        }
    }
    Finish();
}

void StreamBridge::Finish() {
    m_loop->Remove(m_socketWatch);
    m_loop->Remove(m_wakeWatch);
    shutdown(m_socket.get(), SHUT_RDWR);
    m_stream->Close();
    m_done.store(true);
    // The bridge may be gone once `done` is seen: only the shared block is touched.
    std::shared_ptr<Ended> ended = m_ended;
    {
        std::lock_guard<std::mutex> lock(ended->mutex);
        ended->done = true;
    }
    ended->cv.notify_all();
}

} // namespace p2p
