#pragma once

#include "p2p/ByteStream.h"
#include "p2p/IoLoop.h"
#include "p2p/SocketUtil.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace p2p {

// Joins a ByteStream to one end of a unix socket pair, so that a session
// written for a socket (Connection) runs unchanged on any stream. The
// process's I/O loop copies bytes both ways through a bounded buffer each
// way, whenever the socket or the stream (through its callback) has news: it
// stops taking from a side whose buffer toward the other is full, so neither
// side ever blocks it and it never holds more than the two buffers. When
// either side ends, what is buffered toward the other goes out (a socket
// goodbye for at most kLingerMs) and then the other side is closed too.
class StreamBridge : private IoLoop::Client {
public:
    static constexpr size_t kBufferBytes = 256 * 1024; // each way
    static constexpr int kLingerMs = 500;

    // Takes the stream; on success `sessionEnd` holds the socket for the
    // session. Null when no socket pair or loop can be had.
    static std::unique_ptr<StreamBridge> Create(std::shared_ptr<ByteStream> stream, UniqueFd& sessionEnd);
    // Use Create.
    StreamBridge(std::shared_ptr<ByteStream> stream, UniqueFd socket, std::shared_ptr<UniqueFd> wake);
    // Lets what is buffered out (for at most kLingerMs) and waits until both
    // sides are closed. Never destroy a bridge that is not done on the loop's
    // thread: the loop would wait for itself.
    ~StreamBridge() override;
    StreamBridge(const StreamBridge&) = delete;
    StreamBridge& operator=(const StreamBridge&) = delete;

    // Whether both sides are closed and the loop is done with the bridge.
    bool IsDone() const { return m_done.load(); }

private:
    struct Buffer {
        std::unique_ptr<uint8_t[]> data = std::make_unique<uint8_t[]>(kBufferBytes);
        size_t head = 0;
        size_t tail = 0;
        size_t Room() const { return kBufferBytes - tail; }
        bool Empty() const { return head == tail; }
        void Compact();
    };

    struct Ended {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    using Clock = std::chrono::steady_clock;

    bool Begin();
    void OnEvent(uint32_t events) override;
    void Copy();
    void Flush();
    void Finish();
    // One pass each way; false once that side has ended.
    bool StreamToBuffer();
    bool BufferToSocket();
    bool SocketToBuffer();
    bool BufferToStream();

    std::shared_ptr<ByteStream> m_stream;
    UniqueFd m_socket;
    std::shared_ptr<UniqueFd> m_wake; // an eventfd the stream's callback signals; shared with it
    Buffer m_toSocket;
    Buffer m_toStream;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_done{false};
    std::shared_ptr<IoLoop> m_loop;
    uint64_t m_socketWatch = 0;
    uint64_t m_wakeWatch = 0;
    std::shared_ptr<Ended> m_ended = std::make_shared<Ended>();

    // The loop's state of the bridge; loop's thread only.
    bool m_flushing = false;
    bool m_streamOpen = true;
    bool m_socketOpen = true;
    Clock::time_point m_lingerUntil = Clock::time_point::max();
    Clock::time_point m_flushUntil;
};

} // namespace p2p
