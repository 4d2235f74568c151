#include "p2p/Protocol.h"
#include "p2p/MessageParser.h"
#include "p2p/P2PErrors.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace p2p;

namespace {

std::vector<uint8_t> Message(uint16_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out(kHeaderSize);
    EncodeHeader(type, static_cast<uint32_t>(payload.size()), out.data());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

struct Collected {
    std::vector<uint16_t> types;
    std::vector<std::vector<uint8_t>> payloads;
    MessageParser::Sink Sink() {
        return [this](uint16_t type, const uint8_t* p, size_t n) {
            types.push_back(type);
            payloads.emplace_back(p, p + n);
            return 0;
        };
    }
};

std::vector<uint8_t> VideoPayload(uint32_t timestamp, size_t size) {
    std::vector<uint8_t> payload(kFrameInfoSize + size, 0xAB);
    FrameInfo info;
    info.codec = kCodecH264;
    info.timestamp = timestamp;
    info.frameSize = static_cast<uint32_t>(size);
    EncodeFrameInfo(info, payload.data());
    return payload;
}

} // namespace

TEST(ProtocolTest, MessagesSurviveAnySplitOfTheStream) {
    std::vector<uint8_t> stream;
    for (auto& m : {Message(MSG_KEEPALIVE, {}), Message(MSG_HELLO, EncodeHello("CAM-1")),
                    Message(MSG_VIDEO, VideoPayload(1234, 5000)), Message(MSG_AV_STOP, {}),
                    Message(MSG_CLOSE, EncodeResult(-20015))})
        stream.insert(stream.end(), m.begin(), m.end());
    for (size_t piece : {size_t(1), size_t(3), size_t(7), size_t(8), size_t(1000), stream.size()}) {
        MessageParser parser;
        Collected got;
        for (size_t pos = 0; pos < stream.size(); pos += piece) {
            size_t n = std::min(piece, stream.size() - pos);
            ASSERT_EQ(parser.Feed(stream.data() + pos, n, got.Sink()), P2P_OK);
        }
        ASSERT_EQ(got.types.size(), 5u) << "piece " << piece;
        EXPECT_EQ(got.types[2], MSG_VIDEO);
        EXPECT_EQ(DecodeFrameInfo(got.payloads[2].data()).timestamp, 1234u);
        EXPECT_EQ(got.payloads[2].size(), kFrameInfoSize + 5000);
        EXPECT_FALSE(parser.HasPartial());
    }
}

TEST(ProtocolTest, GarbageAndBadHeadersAreProtocolErrors) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> oversized(kHeaderSize);
    EncodeHeader(MSG_VIDEO, static_cast<uint32_t>(kFrameInfoSize + kMaxFrameSize + 1), oversized.data());
    std::vector<uint8_t> huge(kHeaderSize);
    EncodeHeader(MSG_IOCTRL, 0xFFFFFFFFu, huge.data());
    std::vector<uint8_t> unknown(kHeaderSize);
    EncodeHeader(0x7777, 0, unknown.data());
    std::vector<uint8_t> shortFrame(kHeaderSize);
    EncodeHeader(MSG_AUDIO, 4, shortFrame.data());
    std::vector<uint8_t> keepaliveWithData(kHeaderSize);
    EncodeHeader(MSG_KEEPALIVE, 1, keepaliveWithData.data());
    std::vector<Case> cases = {{"garbage", {'G', 'E', 'T', ' ', '/'}},
                               {"bad second magic byte", {'V', 'X', 1, 0, 0, 0, 0, 0}},
                               {"oversized frame", oversized},
                               {"huge ioctrl", huge},
                               {"unknown type", unknown},
                               {"frame shorter than its block", shortFrame},
                               {"keep-alive with payload", keepaliveWithData}};
    for (const Case& c : cases) {
        MessageParser parser;
        Collected got;
        EXPECT_EQ(parser.Feed(c.bytes.data(), c.bytes.size(), got.Sink()), P2P_ERR_PROTOCOL) << c.name;
        EXPECT_TRUE(parser.Failed()) << c.name;
        EXPECT_TRUE(got.types.empty()) << c.name;
        // A failed parser stays failed, even for good input.
        std::vector<uint8_t> good = Message(MSG_KEEPALIVE, {});
        EXPECT_EQ(parser.Feed(good.data(), good.size(), got.Sink()), P2P_ERR_PROTOCOL) << c.name;
    }
}

// The parser refuses a message its side never takes from the header alone,
// and holds a payload's bytes only as they come.
TEST(ProtocolTest, ParserDecidesOnTheHeaderAndGrowsWithTheBytes) {
    MessageParser parser;
    parser.SetFilter([](uint16_t type) { return type != MSG_VIDEO; });
    Collected got;
    const std::vector<uint8_t> audio = Message(MSG_AUDIO, VideoPayload(1, kMaxFrameSize));
    ASSERT_EQ(parser.Feed(audio.data(), kHeaderSize + 1000, got.Sink()), P2P_OK);
    EXPECT_LT(parser.BufferCapacity(), 4096u);
    ASSERT_EQ(parser.Feed(audio.data() + kHeaderSize + 1000, audio.size() - kHeaderSize - 1000, got.Sink()), P2P_OK);
    EXPECT_EQ(parser.BufferCapacity(), audio.size() - kHeaderSize); // never more than the message allows
    const std::vector<uint8_t> video = Message(MSG_VIDEO, VideoPayload(2, 10));
    EXPECT_EQ(parser.Feed(video.data(), kHeaderSize, got.Sink()), P2P_ERR_PROTOCOL);
    EXPECT_EQ(got.types, std::vector<uint16_t>{MSG_AUDIO});
}

TEST(ProtocolTest, PayloadDecodersCheckEveryLength) {
    uint8_t version = 0;
    std::string uid, account, password;
    std::vector<uint8_t> hello = EncodeHello("CAM-7");
    EXPECT_TRUE(DecodeHello(hello.data(), hello.size(), version, uid));
    EXPECT_EQ(uid, "CAM-7");
    hello[1] = 200; // uid length beyond the payload
    EXPECT_FALSE(DecodeHello(hello.data(), hello.size(), version, uid));
    std::vector<uint8_t> spaced = EncodeHello("has space");
    EXPECT_FALSE(DecodeHello(spaced.data(), spaced.size(), version, uid));

    uint8_t channel = 9;
    std::vector<uint8_t> start = EncodeAvStart(0, "admin", "531642");
    ASSERT_TRUE(DecodeAvStart(start.data(), start.size(), channel, account, password));
    EXPECT_EQ(channel, 0);
    EXPECT_EQ(account, "admin");
    EXPECT_EQ(password, "531642");
    for (size_t cut = 0; cut < start.size(); ++cut)
        EXPECT_FALSE(DecodeAvStart(start.data(), cut, channel, account, password)) << cut;
    start.push_back(0);
    EXPECT_FALSE(DecodeAvStart(start.data(), start.size(), channel, account, password));

    int32_t result = 0;
    std::vector<uint8_t> r = EncodeResult(-20009);
    EXPECT_TRUE(DecodeResult(r.data(), r.size(), result));
    EXPECT_EQ(result, -20009);
    EXPECT_FALSE(DecodeResult(r.data(), 3, result));
}

TEST(ProtocolTest, SearchDatagramsRoundTripAndRejectForgeries) {
    uint32_t nonce = 0;
    std::string uid;
    uint16_t port = 0;
    std::vector<uint8_t> q = EncodeSearchRequest(0xDEADBEEF, "CAM-3");
    ASSERT_TRUE(DecodeSearchRequest(q.data(), q.size(), nonce, uid));
    EXPECT_EQ(nonce, 0xDEADBEEFu);
    EXPECT_EQ(uid, "CAM-3");
    EXPECT_FALSE(DecodeSearchAnswer(q.data(), q.size(), nonce, uid, port)); // a request is no answer
    std::vector<uint8_t> a = EncodeSearchAnswer(5, "CAM-3", 4567);
    ASSERT_TRUE(DecodeSearchAnswer(a.data(), a.size(), nonce, uid, port));
    EXPECT_EQ(port, 4567);
    EXPECT_FALSE(DecodeSearchAnswer(a.data(), a.size() - 1, nonce, uid, port));
    a[5] = 60;
    EXPECT_FALSE(DecodeSearchAnswer(a.data(), a.size(), nonce, uid, port));
    std::vector<uint8_t> zeroPort = EncodeSearchAnswer(5, "CAM-3", 0);
    EXPECT_FALSE(DecodeSearchAnswer(zeroPort.data(), zeroPort.size(), nonce, uid, port));
}
