#include "p2p/SignalingCall.h"

#include "p2p/P2PErrors.h"

#include <chrono>

namespace p2p {

SignalingCall::SignalingCall(const P2PSettings& settings, std::string uid, CandidateHandler onCandidate)
    : m_settings(settings), m_uid(std::move(uid)), m_clientId("c" + SignalingClient::RandomId(20)),
      m_onCandidate(std::move(onCandidate)) {}

const char* SignalingCall::OutcomeName(Outcome outcome) {
    switch (outcome) {
    case Pending:
        return "pending";
    case Answered:
        return "answered";
    case BrokerUnreachable:
        return "broker unreachable";
    case BrokerRefused:
        return "broker refused the account";
    case DeviceOffline:
        return "device offline";
    case NoAnswer:
        return "no answer";
    case Rejected:
        return "rejected by the device";
    case Cancelled:
        return "cancelled";
    }
    return "?";
}

int SignalingCall::Call(SignalMessage offer, int timeoutMs, SignalMessage& answer) {
    if (m_client || !IsSignalId(m_uid) || !m_settings.broker.IsSet())
        return P2P_ERR_BAD_ARGUMENT;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    SignalingClient::Options options;
    options.broker = m_settings.broker;
    options.tls = m_settings.brokerTls;
    options.caFile = m_settings.brokerCaFile;
    options.user = m_settings.brokerUser;
    options.password = m_settings.brokerPassword;
    options.clientId = m_clientId;
    auto client = std::make_unique<SignalingClient>(
        options, [this](const std::string& topic, const uint8_t* data, size_t size) { OnMessage(topic, data, size); });
    // Subscribed before the offer goes out on the same connection, so the
    // broker has the subscription when the answer comes.
    client->Subscribe(SignalAnswerTopic(m_uid, m_clientId));
    client->Subscribe(SignalPresenceTopic(m_uid));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_client = std::move(client);
    }
    if (m_client->Start() != P2P_OK) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Finish(BrokerUnreachable);
        return P2P_ERR_UID_NOT_FOUND;
    }
    if (!WaitBroker(deadline)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Finish(m_client->Refused() ? BrokerRefused : BrokerUnreachable);
        return m_outcome == Cancelled ? P2P_ERR_CANCELLED : P2P_ERR_UID_NOT_FOUND;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_outcome == Cancelled)
        return P2P_ERR_CANCELLED;
    offer.type = SignalMessage::Offer;
    SendOfferWithEarly(offer);
    if (!m_changed.wait_until(lock, deadline, [this] { return m_outcome != Pending; }))
        Finish(NoAnswer);
    if (m_outcome != Answered)
        return m_outcome == Cancelled ? P2P_ERR_CANCELLED : P2P_ERR_UID_NOT_FOUND;
    answer = m_answer;
    return P2P_OK;
}

bool SignalingCall::WaitBroker(std::chrono::steady_clock::time_point deadline) {
    // In short steps, so that a cancel is seen while the broker does not answer.
    constexpr auto kStep = std::chrono::milliseconds(20);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_outcome == Cancelled)
                return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return m_client->Connected();
        if (m_client->WaitConnected(static_cast<int>(std::min<int64_t>(left.count(), kStep.count()))))
            return true;
        if (m_client->Refused())
            return false;
    }
}

void SignalingCall::Cancel() {
    std::lock_guard<std::mutex> lock(m_mutex);
    Finish(Cancelled);
}

void SignalingCall::SendToDevice(SignalMessage message) {
    message.client = m_clientId;
    if (m_client)
        m_client->Publish(SignalInTopic(m_uid), EncodeSignal(message));
}

void SignalingCall::SendOfferWithEarly(SignalMessage& offer) {
    size_t room = kMaxSignalCandidates - std::min(kMaxSignalCandidates, offer.candidates.size());
    size_t inOffer = std::min(room, m_early.size());
    offer.candidates.insert(offer.candidates.end(), m_early.begin(), m_early.begin() + static_cast<ptrdiff_t>(inOffer));
    SendToDevice(offer);
    for (size_t i = inOffer; i < m_early.size(); ++i)
        SendCandidateNow(m_early[i]);
    if (m_earlyDone)
        SendDoneNow();
    m_early.clear();
    m_offered = true;
}

void SignalingCall::SendCandidateNow(const std::string& candidate) {
    SignalMessage message;
    message.type = SignalMessage::Candidate;
    message.candidates.push_back(candidate);
    SendToDevice(message);
}

void SignalingCall::SendDoneNow() {
    SignalMessage message;
    message.type = SignalMessage::Done;
    SendToDevice(message);
}

void SignalingCall::SendCandidate(const std::string& candidate) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_offered)
        SendCandidateNow(candidate);
    else
        m_early.push_back(candidate);
}

void SignalingCall::SendDone() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_offered)
        SendDoneNow();
    else
        m_earlyDone = true;
}

SignalingCall::Outcome SignalingCall::Result() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_outcome;
}

int32_t SignalingCall::RejectCode() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_answer.code;
}

void SignalingCall::Finish(Outcome outcome) {
    if (m_outcome == Pending) {
        m_outcome = outcome;
        m_changed.notify_all();
    }
}

void SignalingCall::OnMessage(const std::string& topic, const uint8_t* data, size_t size) {
    SignalMessage message;
    if (!DecodeSignal(data, size, message))
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (message.type == SignalMessage::Presence) {
        bool ours = topic == SignalPresenceTopic(m_uid);
        if (ours && message.online && !message.via.empty() && message.via != m_via && IsSignalId(message.via)) {
            m_via = message.via; // follow the presence that carries the will
            m_client->Subscribe(SignalPresenceTopic(m_via));
        } else if (!message.online && (ours || (!m_via.empty() && topic == SignalPresenceTopic(m_via)))) {
            Finish(DeviceOffline);
        }
        return;
    }
    if (topic != SignalAnswerTopic(m_uid, m_clientId) || message.client != m_clientId)
        return;
    if (message.type == SignalMessage::Answer && m_outcome == Pending) {
        m_answer = message;
        Finish(Answered);
    } else if (message.type == SignalMessage::Reject) {
        m_answer.code = message.code;
        Finish(Rejected);
    } else if (message.type == SignalMessage::Candidate && m_onCandidate) {
        lock.unlock();
        for (const std::string& candidate : message.candidates)
            m_onCandidate(candidate);
    } else if (message.type == SignalMessage::Done && m_onCandidate) {
        lock.unlock();
        m_onCandidate(std::string());
    }
}

} // namespace p2p
