#pragma once

#include "p2p/Protocol.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Cuts a TCP byte stream into messages. Bytes may arrive in any pieces; each
// complete message goes to the sink. A header with a wrong magic, an unknown
// type, or a length outside the type's bounds is a protocol error: the parser
// then refuses all further input, and the session must be closed. A payload
// is never read beyond the bytes that were fed, and never buffered beyond the
// largest size its type allows.
class MessageParser {
public:
    // Return 0 to go on; any other value stops Feed, which returns it.
    using Sink = std::function<int(uint16_t type, const uint8_t* payload, size_t length)>;

    int Feed(const uint8_t* data, size_t length, const Sink& sink);
    bool Failed() const { return m_failed; }
    // True while a message has begun but is not complete.
    bool HasPartial() const { return m_headerFill > 0; }

private:
    uint8_t m_header[p2p::kHeaderSize] = {};
    size_t m_headerFill = 0;
    uint16_t m_type = 0;
    uint32_t m_length = 0;
    std::vector<uint8_t> m_payload;
    size_t m_payloadFill = 0;
    bool m_failed = false;
};
