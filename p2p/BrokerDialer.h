#pragma once

#include "p2p/IceStream.h"
#include "p2p/P2PSettings.h"
#include "p2p/SignalingCall.h"

#include <chrono>
#include <memory>
#include <string>

namespace p2p {

// The client's way to a UID through the broker: an offer with a new ICE
// stream's credentials and candidates, the device's answer, candidates
// trickled both ways, and the stream once a pair works.
class BrokerDialer {
public:
    explicit BrokerDialer(const P2PSettings& settings) : m_settings(settings) {}

    // Within timeoutMs in all: 0 with the connected stream; -90 when no
    // answer came (Outcome() says why); P2P_ERR_CONNECT_FAILED when the
    // device answered but no ICE pair worked.
    int Dial(const std::string& uid, int timeoutMs, std::unique_ptr<IceStream>& stream);
    SignalingCall::Outcome Outcome() const { return m_outcome; }

private:
    struct Link;
    // Gives the stream the answer and the candidates trickled so far, then
    // waits until a pair works or none can.
    static int Connect(IceStream& stream, const SignalMessage& answer, Link& link,
                       std::chrono::steady_clock::time_point deadline);

    P2PSettings m_settings;
    SignalingCall::Outcome m_outcome = SignalingCall::Pending;
};

} // namespace p2p
