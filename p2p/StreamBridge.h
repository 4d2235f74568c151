#pragma once

#include "p2p/ByteStream.h"
#include "p2p/SocketUtil.h"

#include <atomic>
#include <memory>
#include <thread>

namespace p2p {

// Joins a ByteStream to one end of a unix socket pair, so that a session
// written for a socket (Connection) runs unchanged on any stream. A thread of
// its own copies bytes both ways through a bounded buffer each way: it stops
// taking from a side whose buffer toward the other is full, so neither side
// ever blocks it and it never holds more than the two buffers. When either
// side ends, what is buffered toward the other goes out (a socket goodbye
// for at most kLingerMs) and then the other side is closed too.
class StreamBridge {
public:
    static constexpr size_t kBufferBytes = 256 * 1024; // each way
    static constexpr int kLingerMs = 500;

    // Takes the stream; on success `sessionEnd` holds the socket for the
    // session. Null when no socket pair or thread can be had.
    static std::unique_ptr<StreamBridge> Create(std::shared_ptr<ByteStream> stream, UniqueFd& sessionEnd);
    // Use Create.
    StreamBridge(std::shared_ptr<ByteStream> stream, UniqueFd socket, std::shared_ptr<UniqueFd> wake);
    ~StreamBridge();
    StreamBridge(const StreamBridge&) = delete;
    StreamBridge& operator=(const StreamBridge&) = delete;

    // Whether the thread has closed both sides and ended.
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

    void Run();
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
    std::thread m_thread;
};

} // namespace p2p
