#pragma once

#include "p2p/IoLoop.h"
#include "p2p/MessageParser.h"
#include "p2p/SocketUtil.h"
#include "p2p/TlsLayer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// One TCP session of the transport, served by the process's I/O loop, which
// reads, writes and keeps the session alive (a keep-alive message after 1 s
// of sending nothing; the session is dead after the configured time of
// hearing nothing). Sending only queues and wakes the loop, so no caller ever
// waits on the network. Each readiness reads at most one bounded chunk, so
// one busy session cannot starve the others.
//
// The handler's calls run on the loop's thread, which serves every session
// of the process: they must not block (no sleeping, no waiting for another
// session or for the network). OnClosed runs exactly once, as the
// connection's last act, with the reason: P2P_ERR_SESSION_CLOSED
// (the peer closed), P2P_ERR_REMOTE_TIMEOUT, P2P_ERR_PROTOCOL,
// P2P_ERR_NETWORK, or the reason given to Close; and with the reason the
// peer's close message gave (0 when none came).
class Connection : private p2p::IoLoop::Client {
public:
    class Handler {
    public:
        virtual ~Handler() = default;
        // Return 0, or an error code that closes the connection.
        virtual int OnMessage(uint16_t type, const uint8_t* payload, size_t length) = 0;
        // Whether a message of this type may come now (keep-alives and close
        // messages always may); asked on its header, before its payload.
        virtual bool Accepts(uint16_t type) const = 0;
        // The TLS handshake is done and the peer showed the key of
        // `fingerprint` (empty when it showed none). Return 0 to go on, or a
        // code that ends the connection before any byte of the session
        // protocol has been sent.
        virtual int OnSecured(const std::string& fingerprint) {
            (void)fingerprint;
            return 0;
        }
        // Every message of one read has been handled (and the session goes on).
        virtual void OnReadDone() {}
        // Called at least on every tick of the loop (about every 100 ms) while
        // the session runs, for a handler that waits for a time without
        // blocking. Return 0, or an error code that closes the connection.
        virtual int OnTick() { return 0; }
        virtual void OnClosed(int reason, int peerReason) = 0;
    };

    // Takes ownership of the connected socket fd. `peer` names the other
    // side (GetPeer); when empty it is the socket's peer address.
    Connection(int fd, int timeoutMs, std::string peer = {});
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Until a message of `type` has come, every other message (a keep-alive
    // too) breaks the protocol, and the session ends when none has come within
    // `withinMs`. Call before Start. A device uses it for the HELLO, so that a
    // client that never says who it wants cannot hold a session.
    void RequireFirst(uint16_t type, int withinMs);

    // Runs the session inside TLS (call before Start). Until the handshake is
    // done nothing queued is sent, and no keep-alive either; a handshake that
    // fails ends the connection with P2P_ERR_CONNECT_FAILED. The handshake
    // counts towards RequireFirst's deadline.
    void UseTls(std::unique_ptr<TlsLayer> tls) { m_tls = std::move(tls); }

    // Starts serving the connection on the shared loop; false when the loop
    // cannot be had (then the handler is never called).
    bool Start(Handler* handler);
    // Gives up the socket of a connection that was never started.
    int ReleaseFd() { return m_fd.release(); }
    // Queues one message made of two byte ranges. A droppable message (a media
    // frame) is refused when more than the queue limit is waiting.
    int Send(uint16_t type, const uint8_t* a, size_t an, const uint8_t* b = nullptr, size_t bn = 0,
             bool droppable = false);
    // Asks the loop to send a close message and end. Returns at once.
    void Close(int reason);
    // Waits until OnClosed has run; the connection may be destroyed as soon
    // as this returns. Never call it from a handler call (or anything else on
    // the loop's thread) of a connection that has not ended: the loop would
    // wait for itself.
    void Join();
    // Stops all reading, writing and keep-alive without closing: the peer sees
    // a silent session. Only Close ends it then.
    void Freeze();
    bool IsClosed() const { return m_closed.load(); }
    int GetCloseReason() const { return m_closeReason.load(); }
    const std::string& GetPeer() const { return m_peer; }
    size_t GetQueuedBytes();

    // Bytes held by the queue: each message's buffer and kMessageOverhead
    // (under TLS also the records' overhead), and the encrypted bytes not yet
    // sent.
    // Media is refused beyond kDroppableLimit; a message that would take the
    // queue beyond kHardLimit closes the session (P2P_ERR_SEND_QUEUE_FULL),
    // and so does a queue that has not moved for the session time-out
    // (P2P_ERR_REMOTE_TIMEOUT).
    static constexpr size_t kMessageOverhead = 64;
    static constexpr size_t kDroppableLimit = 4u << 20;
    static constexpr size_t kHardLimit = 8u << 20;

private:
    // Set once the connection has ended and OnClosed has returned; kept
    // apart so that the loop can signal it after the connection is gone.
    struct Ended {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    enum class Phase { Running, Flushing, Done };

    void OnEvent(uint32_t events) override;
    // One round of the running session: 0, or the reason to end it.
    int Serve(uint32_t events);
    void End(int reason);
    void Flush();
    void Finish();
    void Watch(uint32_t events);
    void Wake();
    bool WritePending(); // false on a socket error
    void TrimBeforeClose(int reason);
    size_t Cost(const std::vector<uint8_t>& message) const;
    // Whether the queue may go out now (TLS, if used, is open). Lock held.
    bool CanSend() const;
    bool HasOutput() const; // lock held
    // Moves queued messages into TLS while little ciphertext waits. Lock held.
    bool Encrypt();
    void TakeCiphertext(); // lock held
    // Feeds received bytes through TLS (if used) to the parser: 0 or the reason to end.
    int Receive(const uint8_t* data, size_t length, bool& silent);
    int Deliver(uint16_t type, const uint8_t* payload, size_t length);

    p2p::UniqueFd m_fd;
    int m_timeoutMs;
    std::string m_peer;
    Handler* m_handler = nullptr;
    std::shared_ptr<p2p::IoLoop> m_loop;
    uint64_t m_watch = 0;
    std::shared_ptr<Ended> m_ended; // set by Start

    // The loop's state of the session; loop's thread only.
    Phase m_phase = Phase::Running;
    uint32_t m_watching = 0;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastRecv;
    std::chrono::steady_clock::time_point m_lastSend;
    std::chrono::steady_clock::time_point m_flushUntil;
    int m_reason = 0;
    bool m_wasFrozen = false;
    bool m_sayWhy = false; // a local close, or the handler or the protocol ended it: send a goodbye
    bool m_silent = false; // ended before the session began: send nothing at all
    MessageParser::Sink m_sink;

    std::mutex m_mutex; // guards the queue and the requests below
    std::deque<std::vector<uint8_t>> m_queue;
    size_t m_queuedBytes = 0;
    size_t m_frontOffset = 0;
    bool m_closeRequested = false;
    int m_requestedReason = 0;
    bool m_frozen = false;

    uint16_t m_firstType = 0; // RequireFirst; read on the loop's thread only
    int m_firstWithinMs = 0;
    bool m_firstSeen = true;                              // loop's thread only
    std::chrono::steady_clock::time_point m_lastProgress; // last byte sent, or queue empty; loop's thread only

    std::atomic<bool> m_closed{false};
    std::atomic<int> m_closeReason{0};
    int m_peerReason = 0; // the peer's close message; loop's thread only
    MessageParser m_parser;
    std::vector<uint8_t> m_readBuffer;

    std::unique_ptr<TlsLayer> m_tls;    // set before Start; used on the loop's thread only
    bool m_secured = false;             // the handshake is done; loop's thread only
    bool m_receivedAny = false;         // loop's thread only
    std::vector<uint8_t> m_cipherOut;   // encrypted bytes for the peer; guarded by m_mutex
    size_t m_cipherOffset = 0;          // bytes of m_cipherOut already sent
    std::vector<uint8_t> m_plainBuffer; // decrypted bytes of one read
};
