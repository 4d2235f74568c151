#pragma once

#include "p2p/Protocol.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Cuts a TCP byte stream into messages. Bytes may arrive in any pieces; each
// complete message goes to the sink. A header with a wrong magic, an unknown
// type, a length outside the type's bounds, or a type that the accept filter
// refuses (a message from the wrong side, or out of turn) is a protocol
// error, found from the header alone before anything is allocated: the
// parser then refuses all further input, and the session must be closed. A
// payload's buffer grows only as its bytes arrive, never beyond the largest
// size its type allows.
class MessageParser {
public:
    // Return 0 to go on; any other value stops Feed, which returns it.
    using Sink = std::function<int(uint16_t type, const uint8_t* payload, size_t length)>;
    // True when a message of this type may come now.
    using Filter = std::function<bool(uint16_t type)>;

    void SetFilter(Filter accepts) { m_accepts = std::move(accepts); }

    int Feed(const uint8_t* data, size_t length, const Sink& sink);
    bool Failed() const { return m_failed; }
    // True while a message has begun but is not complete.
    bool HasPartial() const { return m_headerFill > 0; }
    // Bytes the payload buffer holds on the heap.
    size_t BufferCapacity() const { return m_payload.capacity(); }

private:
    uint8_t m_header[p2p::kHeaderSize] = {};
    size_t m_headerFill = 0;
    uint16_t m_type = 0;
    uint32_t m_length = 0;
    std::vector<uint8_t> m_payload;
    bool m_failed = false;
    Filter m_accepts;
};
