#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace p2p {

// A reliable, ordered stream of bytes to one peer: all the session protocol
// (HELLO, AV_START, IOCTRL, frames) needs from the path below it, whether
// that is a TCP connection on a LAN or an ICE pair through NATs and relays.
// Read and Write never wait; the one callback says when to try again.
class ByteStream {
public:
    enum class State { Connecting, Connected, Closed, Failed };
    // Runs on the stream's own thread after its state changed, bytes
    // arrived or room to write opened; it must not block. Read, Write and
    // GetState may be called from it.
    using Callback = std::function<void()>;

    virtual ~ByteStream() = default;

    virtual State GetState() const = 0;
    // Up to `size` received bytes: their number, 0 when none wait, -1 when
    // the stream is closed or failed and nothing is left to read.
    virtual ptrdiff_t Read(uint8_t* data, size_t size) = 0;
    // Bytes accepted for sending (fewer than `size` when the send buffer is
    // full, 0 when it has no room), -1 when the stream is not connected.
    virtual ptrdiff_t Write(const uint8_t* data, size_t size) = 0;
    // Ends the stream on this side; bytes already received stay readable.
    virtual void Close() = 0;
    // May be set or replaced at any time (a stream handed to a new owner);
    // a callback already running finishes as it was. Bytes may already wait
    // then: a new owner reads once after setting it.
    virtual void SetCallback(Callback callback) = 0;
};

} // namespace p2p
