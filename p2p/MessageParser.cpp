#include "p2p/MessageParser.h"

#include "p2p/P2PErrors.h"

#include <algorithm>
#include <cstring>

using namespace p2p;

namespace {
constexpr size_t kKeepCapacity = 64 * 1024; // a payload buffer up to this size is kept for the next message
} // namespace

int MessageParser::Feed(const uint8_t* data, size_t length, const Sink& sink) {
    if (m_failed)
        return P2P_ERR_PROTOCOL;
    size_t pos = 0;
    while (pos < length) {
        if (m_headerFill < kHeaderSize) {
            size_t take = std::min(kHeaderSize - m_headerFill, length - pos);
            std::memcpy(m_header + m_headerFill, data + pos, take);
            m_headerFill += take;
            pos += take;
            // Reject garbage as early as its first bytes.
            if (m_header[0] != kMagic0 || (m_headerFill > 1 && m_header[1] != kMagic1)) {
                m_failed = true;
                return P2P_ERR_PROTOCOL;
            }
            if (m_headerFill < kHeaderSize)
                continue;
            m_type = GetU16(m_header + 2);
            m_length = GetU32(m_header + 4);
            size_t maxLength = MaxPayload(m_type);
            bool known = maxLength > 0 || m_type == MSG_AV_STOP || m_type == MSG_AV_STOP_ACK || m_type == MSG_KEEPALIVE;
            if (!known || m_length > maxLength || m_length < MinPayload(m_type) || (m_accepts && !m_accepts(m_type))) {
                m_failed = true;
                return P2P_ERR_PROTOCOL;
            }
            // A large buffer left by an earlier message goes back to the system.
            if (m_payload.capacity() > kKeepCapacity && m_length <= kKeepCapacity)
                std::vector<uint8_t>().swap(m_payload);
            m_payload.clear();
        }
        size_t take = std::min(static_cast<size_t>(m_length) - m_payload.size(), length - pos);
        if (take > 0) {
            const size_t needed = m_payload.size() + take;
            if (needed > m_payload.capacity())
                m_payload.reserve(std::min<size_t>(m_length, std::max(needed, 2 * m_payload.capacity())));
            m_payload.insert(m_payload.end(), data + pos, data + pos + take);
            pos += take;
        }
        if (m_payload.size() == m_length) {
            m_headerFill = 0;
            int r = sink(m_type, m_payload.data(), m_length);
            if (r != 0) {
                m_failed = true;
                return r;
            }
        }
    }
    return P2P_OK;
}
