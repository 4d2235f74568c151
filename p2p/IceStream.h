#pragma once

#include "p2p/ByteStream.h"
#include "p2p/P2PSettings.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace p2p {

// A reliable byte stream over an ICE pair (libnice, in its reliable mode:
// pseudo-TCP on the selected UDP pair, or the TCP of a TURN relay). It
// gathers host candidates, a server-reflexive one from the STUN server and
// relayed ones from the TURN server over UDP and over TCP, checks the pairs
// with the peer and uses the best that works, so a direct path wins over a
// relay. Candidates travel as SDP "candidate:..." lines through the
// signaling, trickled both ways. libnice runs on the process's IceLoop.
class IceStream : public ByteStream {
public:
    struct Options {
        bool controlling = false; // the calling side controls
        P2PEndpoint stun;
        P2PEndpoint turn;
        std::string turnUser;
        std::string turnPassword;
        std::vector<std::string> localAddresses; // host candidates only on these; all interfaces when empty
        bool relayOnly = false;                  // only relayed candidates (tests, a privacy setting)
        bool turnOverUdp = true;                 // which ways to reach the TURN server
        bool turnOverTcp = true;
    };
    // Each local candidate as it is gathered; an empty string when gathering ended.
    using CandidateHandler = std::function<void(const std::string& candidate)>;

    IceStream(Options options, CandidateHandler onCandidate);
    ~IceStream() override;
    IceStream(const IceStream&) = delete;
    IceStream& operator=(const IceStream&) = delete;

    // Starts gathering. 0; P2P_ERR_BAD_ARGUMENT for a STUN or TURN host that
    // does not resolve; P2P_ERR_NETWORK when libnice cannot start;
    // P2P_ERR_NO_RESOURCES when the ICE loop's thread cannot start.
    int Start();
    std::string LocalUfrag() const;
    std::string LocalPwd() const;
    // The peer's credentials (from its offer or answer), then its
    // candidates as they come, then the end of them. False for a candidate
    // that does not parse.
    bool SetRemoteCredentials(const std::string& ufrag, const std::string& pwd);
    bool AddRemoteCandidate(const std::string& candidate);
    void RemoteCandidatesDone();
    // "direct" or "relay" once connected (the selected pair), else empty.
    std::string Path() const;
    // The peer's address on the selected pair, "a.b.c.d:port", once connected.
    std::string RemoteAddress() const;

    State GetState() const override;
    ptrdiff_t Read(uint8_t* data, size_t size) override;
    ptrdiff_t Write(const uint8_t* data, size_t size) override;
    void Close() override;
    void SetCallback(Callback callback) override;

private:
    struct Engine; // libnice's agent; outlives the stream until the agent has closed
    std::shared_ptr<Engine> m_engine;
};

} // namespace p2p
