#pragma once

#include "p2p/P2PSettings.h"
#include "p2p/SignalMessage.h"
#include "p2p/SignalingClient.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace p2p {

// The client side of the broker signaling, for one connection attempt to one
// UID: its own broker connection and client id, an offer to the device's
// topic, the answer and the device's trickled candidates on the answer topic
// that only this client may read. Several calls (four panes, several desks)
// reach one device at once, each seeing only its own messages.
class SignalingCall {
public:
    // Why a call ended; each failure answers P2P_ERR_UID_NOT_FOUND (-90),
    // except a cancelled call (P2P_ERR_CANCELLED).
    enum Outcome { Pending, Answered, BrokerUnreachable, BrokerRefused, DeviceOffline, NoAnswer, Rejected, Cancelled };
    // A candidate the device trickles after its answer, or an empty string
    // when it has no more; runs on the broker thread and must not block.
    using CandidateHandler = std::function<void(const std::string& candidate)>;

    SignalingCall(const P2PSettings& settings, std::string uid, CandidateHandler onCandidate = {});

    // Sends `offer` (its client id is filled in here) and waits for the
    // answer, at most timeoutMs in all, the broker connection included.
    // 0 with `answer`; P2P_ERR_UID_NOT_FOUND when no answer came (Result()
    // says why, at once for an offline device, otherwise at the time limit);
    // P2P_ERR_BAD_ARGUMENT for a UID unfit for a topic or no broker.
    int Call(SignalMessage offer, int timeoutMs, SignalMessage& answer);
    // Trickles a local candidate, or the end of them, to the device; those
    // given before the offer goes out travel in it. May be called from any
    // thread, also while Call waits.
    void SendCandidate(const std::string& candidate);
    void SendDone();
    // Ends the call from any thread: a Call waiting (or still to come) returns
    // P2P_ERR_CANCELLED at once.
    void Cancel();

    Outcome Result() const;
    int32_t RejectCode() const;
    const std::string& ClientId() const { return m_clientId; }
    static const char* OutcomeName(Outcome outcome);

private:
    // Until the broker connection is up: false when refused, cancelled or out of time.
    bool WaitBroker(std::chrono::steady_clock::time_point deadline);
    void OnMessage(const std::string& topic, const uint8_t* data, size_t size);
    void Finish(Outcome outcome); // with m_mutex held
    void SendToDevice(SignalMessage message);
    // With m_mutex held: the offer with the candidates given so far.
    void SendOfferWithEarly(SignalMessage& offer);
    void SendCandidateNow(const std::string& candidate);
    void SendDoneNow();

    P2PSettings m_settings;
    std::string m_uid;
    std::string m_clientId;
    CandidateHandler m_onCandidate;

    mutable std::mutex m_mutex; // guards everything below
    std::condition_variable m_changed;
    Outcome m_outcome = Pending;
    SignalMessage m_answer;
    std::string m_via;                // the UID whose presence stands for this one
    bool m_offered = false;           // the offer went out
    std::vector<std::string> m_early; // candidates given before it
    bool m_earlyDone = false;
    std::unique_ptr<SignalingClient> m_client; // last: its thread stops first
};

} // namespace p2p
