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
    explicit BrokerDialer(const P2PSettings& settings);
    ~BrokerDialer();
    BrokerDialer(const BrokerDialer&) = delete;
    BrokerDialer& operator=(const BrokerDialer&) = delete;

    // The device's answer within answerTimeoutMs (the broker connection
    // included), then a working pair within connectTimeoutMs more: 0 with
    // the connected stream; -90 when no answer came (Outcome() says why);
    // P2P_ERR_CONNECT_FAILED when the device answered but no ICE pair
    // worked; P2P_ERR_CANCELLED after Cancel. One dial per dialer.
    int Dial(const std::string& uid, int answerTimeoutMs, int connectTimeoutMs, std::unique_ptr<IceStream>& stream);
    // Ends a dial under way (or the next one) from any thread, at once.
    void Cancel();
    SignalingCall::Outcome Outcome() const { return m_outcome; }

private:
    struct Link;
    // Gives the stream the answer and the candidates trickled so far, then
    // waits until a pair works or none can.
    static int Connect(IceStream& stream, const SignalMessage& answer, Link& link,
                       std::chrono::steady_clock::time_point deadline);

    P2PSettings m_settings;
    std::shared_ptr<Link> m_link;
    SignalingCall::Outcome m_outcome = SignalingCall::Pending;
};

} // namespace p2p
