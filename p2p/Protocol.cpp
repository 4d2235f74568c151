#include "p2p/Protocol.h"

#include <cstring>

namespace p2p {

void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

void EncodeFrameInfo(const FrameInfo& info, uint8_t out[kFrameInfoSize]) {
    std::memset(out, 0, kFrameInfoSize);
    PutU16(out, info.codec);
    out[2] = info.flags;
    PutU32(out + 4, info.frameNumber);
    PutU32(out + 8, info.frameSize);
    PutU32(out + 12, info.timestamp);
}

FrameInfo DecodeFrameInfo(const uint8_t in[kFrameInfoSize]) {
    FrameInfo info;
    info.codec = GetU16(in);
    info.flags = in[2];
    info.frameNumber = GetU32(in + 4);
    info.frameSize = GetU32(in + 8);
    info.timestamp = GetU32(in + 12);
    return info;
}

size_t MaxPayload(uint16_t type) {
    switch (type) {
    case MSG_HELLO:
        return 2 + kMaxUidLength;
    case MSG_HELLO_ACK:
    case MSG_AV_START_ACK:
    case MSG_CLOSE:
        return 4;
    case MSG_AV_START:
        return 3 + 2 * kMaxAccountLength;
    case MSG_AV_STOP:
    case MSG_AV_STOP_ACK:
    case MSG_KEEPALIVE:
        return 0;
    case MSG_IOCTRL:
        return 4 + kMaxIOCtrlSize;
    case MSG_VIDEO:
    case MSG_AUDIO:
        return kFrameInfoSize + kMaxFrameSize;
    default:
        return 0;
    }
}

size_t MinPayload(uint16_t type) {
    switch (type) {
    case MSG_HELLO:
        return 3;
    case MSG_HELLO_ACK:
    case MSG_AV_START_ACK:
    case MSG_CLOSE:
        return 4;
    case MSG_AV_START:
        return 5;
    case MSG_IOCTRL:
        return 4;
    case MSG_VIDEO:
    case MSG_AUDIO:
        return kFrameInfoSize;
    default:
        return 0;
    }
}

void EncodeHeader(uint16_t type, uint32_t length, uint8_t out[kHeaderSize]) {
    out[0] = kMagic0;
    out[1] = kMagic1;
    PutU16(out + 2, type);
    PutU32(out + 4, length);
}

bool IsValidName(const std::string& text, size_t maxLength) {
    if (text.empty() || text.size() > maxLength)
        return false;
    for (unsigned char c : text) {
        if (c < 0x21 || c > 0x7E)
            return false;
    }
    return true;
}

std::vector<uint8_t> EncodeHello(const std::string& uid) {
    std::vector<uint8_t> out;
    out.push_back(kVersion);
    out.push_back(static_cast<uint8_t>(uid.size()));
    out.insert(out.end(), uid.begin(), uid.end());
    return out;
}

std::vector<uint8_t> EncodeAvStart(uint8_t channel, const std::string& account, const std::string& password) {
    std::vector<uint8_t> out;
    out.push_back(channel);
    out.push_back(static_cast<uint8_t>(account.size()));
    out.insert(out.end(), account.begin(), account.end());
    out.push_back(static_cast<uint8_t>(password.size()));
    out.insert(out.end(), password.begin(), password.end());
    return out;
}

std::vector<uint8_t> EncodeResult(int32_t result) {
    std::vector<uint8_t> out(4);
    PutU32(out.data(), static_cast<uint32_t>(result));
    return out;
}

bool DecodeHello(const uint8_t* p, size_t n, uint8_t& version, std::string& uid) {
    if (n < 3)
        return false;
    version = p[0];
    size_t len = p[1];
    if (len + 2 != n)
        return false;
    uid.assign(reinterpret_cast<const char*>(p + 2), len);
    return version == kVersion && IsValidName(uid, kMaxUidLength);
}

bool DecodeAvStart(const uint8_t* p, size_t n, uint8_t& channel, std::string& account, std::string& password) {
    if (n < 3)
        return false;
    channel = p[0];
    size_t accLen = p[1];
    if (2 + accLen + 1 > n)
        return false;
    size_t pwdLen = p[2 + accLen];
    if (2 + accLen + 1 + pwdLen != n)
        return false;
    if (accLen > kMaxAccountLength || pwdLen > kMaxAccountLength)
        return false;
    account.assign(reinterpret_cast<const char*>(p + 2), accLen);
    password.assign(reinterpret_cast<const char*>(p + 3 + accLen), pwdLen);
    return true;
}

bool DecodeResult(const uint8_t* p, size_t n, int32_t& result) {
    if (n != 4)
        return false;
    result = static_cast<int32_t>(GetU32(p));
    return true;
}

namespace {

std::vector<uint8_t> EncodeSearch(const char* magic, uint32_t nonce, const std::string& uid, uint16_t port) {
    std::vector<uint8_t> out(kSearchHeaderSize + uid.size());
    std::memcpy(out.data(), magic, 4);
    out[4] = kVersion;
    out[5] = static_cast<uint8_t>(uid.size());
    PutU16(out.data() + 6, port);
    PutU32(out.data() + 8, nonce);
    std::memcpy(out.data() + kSearchHeaderSize, uid.data(), uid.size());
    return out;
}

bool DecodeSearch(const char* magic, const uint8_t* p, size_t n, uint32_t& nonce, std::string& uid, uint16_t& port) {
    if (n < kSearchHeaderSize || std::memcmp(p, magic, 4) != 0 || p[4] != kVersion)
        return false;
    size_t len = p[5];
    if (kSearchHeaderSize + len != n)
        return false;
    port = GetU16(p + 6);
    nonce = GetU32(p + 8);
    uid.assign(reinterpret_cast<const char*>(p + kSearchHeaderSize), len);
    return IsValidName(uid, kMaxUidLength);
}

} // namespace

std::vector<uint8_t> EncodeSearchRequest(uint32_t nonce, const std::string& uid) {
    return EncodeSearch("VPSQ", nonce, uid, 0);
}

std::vector<uint8_t> EncodeSearchAnswer(uint32_t nonce, const std::string& uid, uint16_t tcpPort) {
    return EncodeSearch("VPSA", nonce, uid, tcpPort);
}

bool DecodeSearchRequest(const uint8_t* p, size_t n, uint32_t& nonce, std::string& uid) {
    uint16_t port = 0;
    return DecodeSearch("VPSQ", p, n, nonce, uid, port);
}

bool DecodeSearchAnswer(const uint8_t* p, size_t n, uint32_t& nonce, std::string& uid, uint16_t& tcpPort) {
    return DecodeSearch("VPSA", p, n, nonce, uid, tcpPort) && tcpPort != 0;
}

} // namespace p2p
