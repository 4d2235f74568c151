#include "p2p/Connection.h"

#include "p2p/P2PErrors.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace p2p;
using Clock = std::chrono::steady_clock;

namespace {
constexpr int kKeepaliveMs = 1000;
constexpr int kCloseFlushMs = 200;

// Ciphertext waiting beyond this keeps further messages in the queue, where
// media can still be dropped.
constexpr size_t kCipherBatch = 64 * 1024;
constexpr size_t kTlsRecordPayload = 16 * 1024;

int64_t MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}
} // namespace

Connection::Connection(int fd, int timeoutMs, std::string peer)
    : m_fd(fd), m_timeoutMs(timeoutMs), m_peer(std::move(peer)), m_readBuffer(64 * 1024), m_plainBuffer(64 * 1024) {
    SetNonBlocking(fd);
    SocketAddress addr;
    socklen_t len = sizeof addr.storage;
    if (m_peer.empty() && getpeername(fd, addr.Raw(), &len) == 0)
        m_peer = addr.Text();
}

// What a queued message holds: its buffer, its share of the queue's
// bookkeeping and, under TLS, what its records will add.
size_t Connection::Cost(const std::vector<uint8_t>& message) const {
    size_t records = m_tls ? (message.size() + kTlsRecordPayload - 1) / kTlsRecordPayload : 0;
    return message.capacity() + kMessageOverhead + records * TlsLayer::kRecordOverhead;
}

bool Connection::CanSend() const {
    return !m_tls || m_tls->GetState() == TlsLayer::State::Open;
}

bool Connection::HasOutput() const {
    return m_cipherOffset < m_cipherOut.size() || (CanSend() && !m_queue.empty());
}

void Connection::TakeCiphertext() {
    const size_t before = m_cipherOut.size();
    m_tls->TakeCiphertext(m_cipherOut);
    m_queuedBytes += m_cipherOut.size() - before;
}

bool Connection::Encrypt() {
    while (CanSend() && !m_queue.empty() && m_cipherOut.size() - m_cipherOffset < kCipherBatch) {
        std::vector<uint8_t>& front = m_queue.front();
        if (!m_tls->WritePlain(front.data(), front.size()))
            return false;
        m_queuedBytes -= Cost(front);
        m_queue.pop_front();
        TakeCiphertext();
    }
    return true;
}

Connection::~Connection() {
    Close(P2P_ERR_LOCAL_CLOSE);
    Join();
}

void Connection::RequireFirst(uint16_t type, int withinMs) {
    m_firstType = type;
    m_firstWithinMs = withinMs;
}

bool Connection::Start(Handler* handler) {
    m_handler = handler;
    m_firstSeen = m_firstWithinMs <= 0;
    m_parser.SetFilter([this](uint16_t type) {
        if (!m_firstSeen)
            return type == m_firstType;
        return type == MSG_KEEPALIVE || type == MSG_CLOSE || m_handler->Accepts(type);
    });
    m_sink = [this](uint16_t type, const uint8_t* payload, size_t length) { return Deliver(type, payload, length); };
    m_start = m_lastRecv = m_lastSend = m_lastProgress = Clock::now();
    if (m_tls) {
        std::lock_guard<std::mutex> lock(m_mutex);
        TakeCiphertext(); // a client's hello
    }
    m_loop = IoLoop::Shared();
    if (!m_loop)
        return false;
    m_ended = std::make_shared<Ended>();
    m_watching = EPOLLIN;
    if (!m_loop->Add(m_fd.get(), m_watching, this, m_watch)) {
        m_ended.reset();
        m_loop.reset();
        return false;
    }
    return true;
}

void Connection::Join() {
    if (!m_ended)
        return; // never started
    std::unique_lock<std::mutex> lock(m_ended->mutex);
    m_ended->cv.wait(lock, [&] { return m_ended->done; });
}

void Connection::Wake() {
    m_loop->Notify(m_watch);
}

int Connection::Send(uint16_t type, const uint8_t* a, size_t an, const uint8_t* b, size_t bn, bool droppable) {
    const size_t total = kHeaderSize + an + bn;
    int result = P2P_OK;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closeRequested || m_closed.load())
            return P2P_ERR_SESSION_CLOSED;
        const size_t records = m_tls ? (total + kTlsRecordPayload - 1) / kTlsRecordPayload : 0;
        const size_t held = m_queuedBytes + total + kMessageOverhead + records * TlsLayer::kRecordOverhead;
        if (droppable && held > kDroppableLimit)
            return P2P_ERR_SEND_QUEUE_FULL;
        if (held > kHardLimit) {
            // A peer that lets answers pile up this far does not read: end it.
            m_closeRequested = true;
            m_requestedReason = P2P_ERR_SEND_QUEUE_FULL;
            result = P2P_ERR_SEND_QUEUE_FULL;
        } else {
            std::vector<uint8_t> message(total);
            EncodeHeader(type, static_cast<uint32_t>(an + bn), message.data());
            if (an > 0)
                std::memcpy(message.data() + kHeaderSize, a, an);
            if (bn > 0)
                std::memcpy(message.data() + kHeaderSize + an, b, bn);
            m_queuedBytes += Cost(message);
            m_queue.push_back(std::move(message));
        }
    }
    if (m_ended)
        Wake();
    return result;
}

size_t Connection::GetQueuedBytes() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queuedBytes;
}

void Connection::Close(int reason) {
    if (!m_ended)
        return; // never started: nothing to end
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closeRequested)
            return;
        m_closeRequested = true;
        m_requestedReason = reason;
    }
    Wake();
}

void Connection::Freeze() {
    if (!m_ended)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frozen = true;
    }
    Wake();
}

bool Connection::WritePending() {
    std::lock_guard<std::mutex> lock(m_mutex);
    while (m_tls) {
        if (!Encrypt())
            return false;
        if (m_cipherOffset == m_cipherOut.size())
            return true;
        ssize_t n =
            send(m_fd.get(), m_cipherOut.data() + m_cipherOffset, m_cipherOut.size() - m_cipherOffset, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        m_cipherOffset += static_cast<size_t>(n);
        m_queuedBytes -= static_cast<size_t>(n);
        m_lastProgress = Clock::now();
        if (m_cipherOffset == m_cipherOut.size()) {
            m_cipherOut.clear();
            m_cipherOffset = 0;
        }
    }
    while (!m_queue.empty()) {
        std::vector<uint8_t>& front = m_queue.front();
        ssize_t n = send(m_fd.get(), front.data() + m_frontOffset, front.size() - m_frontOffset, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return true;
            return false;
        }
        m_frontOffset += static_cast<size_t>(n);
        m_lastProgress = Clock::now();
        if (m_frontOffset < front.size())
            return true;
        m_queuedBytes -= Cost(front);
        m_queue.pop_front();
        m_frontOffset = 0;
    }
    return true;
}

void Connection::TrimBeforeClose(int reason) {
    // Drop unsent media, keep a started message whole, then say goodbye.
    std::lock_guard<std::mutex> lock(m_mutex);
    std::deque<std::vector<uint8_t>> keep;
    m_queuedBytes = m_cipherOut.size() - m_cipherOffset;
    for (size_t i = 0; i < m_queue.size(); ++i) {
        uint16_t type = GetU16(m_queue[i].data() + 2);
        if ((i == 0 && m_frontOffset > 0) || (type != MSG_VIDEO && type != MSG_AUDIO)) {
            m_queuedBytes += Cost(m_queue[i]);
            keep.push_back(std::move(m_queue[i]));
        }
    }
    if (keep.empty())
        m_frontOffset = 0;
    m_queue.swap(keep);
    if (!CanSend())
        return; // no goodbye can be sent before the handshake is done
    std::vector<uint8_t> close(kHeaderSize + 4);
    EncodeHeader(MSG_CLOSE, 4, close.data());
    PutU32(close.data() + kHeaderSize, static_cast<uint32_t>(reason));
    m_queuedBytes += Cost(close);
    m_queue.push_back(std::move(close));
}

void Connection::Watch(uint32_t events) {
    if (events != m_watching) {
        m_watching = events;
        m_loop->Modify(m_watch, events);
    }
}

void Connection::OnEvent(uint32_t events) {
    if (m_phase == Phase::Running) {
        if (int reason = Serve(events); reason != 0)
            End(reason);
    } else if (m_phase == Phase::Flushing) {
        Flush();
    }
}

int Connection::Deliver(uint16_t type, const uint8_t* payload, size_t length) {
    m_firstSeen = true; // the filter let only the required type through before
    if (type == MSG_KEEPALIVE)
        return 0;
    if (type == MSG_CLOSE) {
        m_peerReason = static_cast<int32_t>(GetU32(payload));
        return P2P_ERR_SESSION_CLOSED;
    }
    return m_handler->OnMessage(type, payload, length);
}

int Connection::Serve(uint32_t events) {
    bool wantWrite;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closeRequested) {
            m_sayWhy = true;
            return m_requestedReason;
        }
        m_wasFrozen = m_frozen;
        wantWrite = HasOutput();
    }
    // A frozen session reads and writes nothing, but still notices that the
    // peer hung up, so that a silent session does not outlive its peer.
    if (m_wasFrozen) {
        Watch(EPOLLRDHUP);
        return (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) ? P2P_ERR_SESSION_CLOSED : 0;
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        ssize_t n = recv(m_fd.get(), m_readBuffer.data(), m_readBuffer.size(), 0);
        if (n == 0)
            return P2P_ERR_SESSION_CLOSED;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return P2P_ERR_NETWORK;
        if (n > 0) {
            m_lastRecv = Clock::now();
            int fed = Receive(m_readBuffer.data(), static_cast<size_t>(n), m_silent);
            if (fed != 0) {
                m_sayWhy = fed != P2P_ERR_SESSION_CLOSED; // the handler or the protocol ended it: say why
                return fed;
            }
            m_handler->OnReadDone();
        }
    }
    if (wantWrite) {
        if (!WritePending())
            return P2P_ERR_NETWORK;
        m_lastSend = Clock::now();
    } else {
        m_lastProgress = Clock::now();
    }
    // Silence, no HELLO in time, or a peer that has not taken a byte for as long.
    if (MsSince(m_lastRecv) > m_timeoutMs || (!m_firstSeen && MsSince(m_start) > m_firstWithinMs) ||
        MsSince(m_lastProgress) > m_timeoutMs)
        return P2P_ERR_REMOTE_TIMEOUT;
    if (events == 0) {
        if (int r = m_handler->OnTick(); r != 0) {
            m_sayWhy = true;
            return r;
        }
    }
    bool output;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!wantWrite && CanSend() && MsSince(m_lastSend) >= kKeepaliveMs) {
            std::vector<uint8_t> keepalive(kHeaderSize);
            EncodeHeader(MSG_KEEPALIVE, 0, keepalive.data());
            m_queuedBytes += Cost(keepalive);
            m_queue.push_back(std::move(keepalive));
            m_lastSend = Clock::now();
        }
        output = HasOutput();
    }
    Watch(EPOLLIN | (output ? EPOLLOUT : 0u));
    if (output && !wantWrite)
        Wake(); // written on the next round, as what Send queues is
    return 0;
}

void Connection::End(int reason) {
    m_reason = reason;
    if (m_wasFrozen || m_silent || !m_sayWhy) {
        Finish();
        return;
    }
    TrimBeforeClose(reason);
    m_phase = Phase::Flushing;
    m_flushUntil = Clock::now() + std::chrono::milliseconds(kCloseFlushMs);
    Watch(EPOLLOUT);
    Flush();
}

// What is still queued gets out for a short while before the hang-up; the
// loop's tick ends a flush that the peer does not take.
void Connection::Flush() {
    bool output = false;
    if (Clock::now() < m_flushUntil && WritePending()) {
        std::lock_guard<std::mutex> lock(m_mutex);
        output = HasOutput();
    }
    if (!output)
        Finish();
}

void Connection::Finish() {
    m_phase = Phase::Done;
    m_loop->Remove(m_watch);
    shutdown(m_fd.get(), SHUT_RDWR);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closeRequested = true;
        m_queue.clear();
        m_cipherOut.clear();
        m_cipherOffset = 0;
        m_queuedBytes = 0;
    }
    m_closeReason.store(m_reason);
    m_closed.store(true);
    m_handler->OnClosed(m_reason, m_peerReason);
    // The connection may be gone once `done` is seen: only the shared block is touched.
    std::shared_ptr<Ended> ended = m_ended;
    {
        std::lock_guard<std::mutex> lock(ended->mutex);
        ended->done = true;
    }
    ended->cv.notify_all();
}

int Connection::Receive(const uint8_t* data, size_t length, bool& silent) {
    const bool first = !m_receivedAny;
    m_receivedAny = true;
    if (!m_tls)
        return m_parser.Feed(data, length, m_sink);
    if (first && !m_secured && length >= kHeaderSize + 4 && data[0] == kMagic0 && data[1] == kMagic1 &&
        GetU16(data + 2) == MSG_CLOSE) {
        // A full device refuses in clear before any TLS; the reason is all it says.
        m_peerReason = static_cast<int32_t>(GetU32(data + kHeaderSize));
        silent = true;
        return P2P_ERR_SESSION_CLOSED;
    }
    bool ok = m_tls->PutCiphertext(data, length);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        TakeCiphertext(); // the handshake's answers, or an alert
    }
    if (!ok && !m_secured) {
        silent = true;
        return P2P_ERR_CONNECT_FAILED;
    }
    if (!m_secured && m_tls->GetState() == TlsLayer::State::Open) {
        m_secured = true;
        if (int r = m_handler->OnSecured(m_tls->PeerFingerprint()); r != 0) {
            silent = true;
            return r;
        }
        Wake(); // what was queued meanwhile may go now
    }
    for (;;) {
        long n = m_tls->ReadPlain(m_plainBuffer.data(), m_plainBuffer.size());
        if (n == 0)
            return 0;
        if (n < 0)
            return m_tls->GetState() == TlsLayer::State::Closed ? P2P_ERR_SESSION_CLOSED : P2P_ERR_PROTOCOL;
        if (int fed = m_parser.Feed(m_plainBuffer.data(), static_cast<size_t>(n), m_sink); fed != 0)
            return fed;
    }
}
