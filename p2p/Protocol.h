#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Wire format of the transport (see PROTOCOL.md). All integers little-endian.
namespace p2p {

constexpr uint8_t kMagic0 = 'V';
constexpr uint8_t kMagic1 = 'P';
constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderSize = 8;     // magic (2), type (2), payload length (4)
constexpr size_t kFrameInfoSize = 16; // information block before every frame
constexpr size_t kMaxFrameSize = 1 << 20;
constexpr size_t kMaxIOCtrlSize = 65536;
constexpr size_t kMaxUidLength = 64;
constexpr size_t kMaxAccountLength = 64;

enum MsgType : uint16_t {
    MSG_HELLO = 0x0001,     // client -> device: version (1), uid length (1), uid
    MSG_HELLO_ACK = 0x0002, // device -> client: result (i32)
    MSG_AV_START = 0x0010,  // client -> device: channel (1), account length (1), account, password length (1), password
    MSG_AV_START_ACK = 0x0011, // device -> client: result (i32)
    MSG_AV_STOP = 0x0012,      // client -> device: empty
    MSG_AV_STOP_ACK = 0x0013,  // device -> client: empty
    MSG_IOCTRL = 0x0020,       // client -> device: type (u32), payload
    MSG_VIDEO = 0x0030,        // device -> client: information block (16), frame
    MSG_AUDIO = 0x0031,        // device -> client: information block (16), frame
    MSG_KEEPALIVE = 0x0040,    // either way: empty
    MSG_CLOSE = 0x00F0,        // either way: reason (i32)
};

// Codec ids in the frame information block.
constexpr uint16_t kCodecH264 = 0x004E;
constexpr uint16_t kCodecAac = 0x0088;
constexpr uint8_t kFrameFlagKey = 0x01;

// The 16-byte frame information block: codec (u16), flags (u8), reserved (u8),
// frame number (u32), frame size (u32), time stamp in microseconds (u32, bytes 12..15).
struct FrameInfo {
    uint16_t codec = 0;
    uint8_t flags = 0;
    uint32_t frameNumber = 0;
    uint32_t frameSize = 0;
    uint32_t timestamp = 0;
};
void EncodeFrameInfo(const FrameInfo& info, uint8_t out[kFrameInfoSize]);
FrameInfo DecodeFrameInfo(const uint8_t in[kFrameInfoSize]);

// Largest payload accepted for a message type; 0 for an unknown type.
size_t MaxPayload(uint16_t type);
// Smallest payload a message type may have.
size_t MinPayload(uint16_t type);

void PutU16(uint8_t* p, uint16_t v);
void PutU32(uint8_t* p, uint32_t v);
uint16_t GetU16(const uint8_t* p);
uint32_t GetU32(const uint8_t* p);

void EncodeHeader(uint16_t type, uint32_t length, uint8_t out[kHeaderSize]);

// A UID or an account name is 1..64 printable ASCII characters without spaces.
bool IsValidName(const std::string& text, size_t maxLength);

std::vector<uint8_t> EncodeHello(const std::string& uid);
std::vector<uint8_t> EncodeAvStart(uint8_t channel, const std::string& account, const std::string& password);
std::vector<uint8_t> EncodeResult(int32_t result);

// Payload decoders: false when the payload is malformed.
bool DecodeHello(const uint8_t* p, size_t n, uint8_t& version, std::string& uid);
bool DecodeAvStart(const uint8_t* p, size_t n, uint8_t& channel, std::string& account, std::string& password);
bool DecodeResult(const uint8_t* p, size_t n, int32_t& result);

// UDP search datagrams.
// Request: "VPSQ", version (1), uid length (1), reserved (2), nonce (4), uid.
// Answer:  "VPSA", version (1), uid length (1), TCP port (2), nonce (4), uid.
constexpr size_t kSearchHeaderSize = 12;
std::vector<uint8_t> EncodeSearchRequest(uint32_t nonce, const std::string& uid);
std::vector<uint8_t> EncodeSearchAnswer(uint32_t nonce, const std::string& uid, uint16_t tcpPort);
bool DecodeSearchRequest(const uint8_t* p, size_t n, uint32_t& nonce, std::string& uid);
bool DecodeSearchAnswer(const uint8_t* p, size_t n, uint32_t& nonce, std::string& uid, uint16_t& tcpPort);

} // namespace p2p
