// Feeds arbitrary bytes to the transport's stream parser, in pieces whose
// sizes the input chooses, and hands every message it delivers to the
// client's session handler and to the payload decoders; also treats the
// input as a search datagram and as a talk-back batch.
#include "p2p/ClientSession.h"
#include "p2p/MessageParser.h"
#include "p2p/Protocol.h"
#include "tools/camsim/TalkbackWriter.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    using namespace p2p;
    size_t piece = 1 + data[0] % 64;
    const uint8_t* stream = data + 1;
    size_t length = size - 1;

    ClientSession session(0);
    session.state = ClientSession::Connected;
    session.avActive = (data[0] & 0x80) != 0;
    session.audioWanted = (data[0] & 0x40) != 0;
    MessageParser parser; // filtered as a client's connection filters it
    parser.SetFilter(
        [&](uint16_t type) { return type == MSG_KEEPALIVE || type == MSG_CLOSE || session.Accepts(type); });
    MessageParser::Sink sink = [&](uint16_t type, const uint8_t* p, size_t n) {
        uint8_t version, channel;
        std::string a, b;
        int32_t result;
        DecodeHello(p, n, version, a);
        DecodeAvStart(p, n, channel, a, b);
        DecodeResult(p, n, result);
        if (n >= kFrameInfoSize)
            DecodeFrameInfo(p);
        if (type == MSG_KEEPALIVE || type == MSG_CLOSE)
            return 0;
        return session.OnMessage(type, p, n);
    };
    for (size_t pos = 0; pos < length; pos += piece) {
        size_t n = length - pos < piece ? length - pos : piece;
        if (parser.Feed(stream + pos, n, sink) != 0)
            break;
    }
    std::vector<char> buf(48000);
    char info[16];
    int actual, expected, infoSize;
    unsigned int index;
    while (!session.video.empty())
        session.Take(true, buf.data(), 48000, &actual, &expected, info, 16, &infoSize, &index);
    while (!session.audio.empty())
        session.Take(false, buf.data(), 1024, nullptr, nullptr, info, 16, nullptr, &index);

    uint32_t nonce;
    std::string uid;
    uint16_t port;
    DecodeSearchRequest(stream, length, nonce, uid);
    DecodeSearchAnswer(stream, length, nonce, uid, port);

    TalkbackWriter writer; // not opened: checks only
    std::vector<std::string> faults;
    writer.AddBatch(stream, length, faults);
    return 0;
}
