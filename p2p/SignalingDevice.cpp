#include "p2p/SignalingDevice.h"

#include "p2p/P2PErrors.h"

namespace p2p {

SignalingDevice::SignalingDevice(const P2PSettings& settings, std::vector<std::string> uids, Handler handler)
    : m_settings(settings), m_uids(std::move(uids)), m_handler(std::move(handler)) {}

std::string SignalingDevice::PresenceOf(size_t index) const {
    SignalMessage presence;
    presence.type = SignalMessage::Presence;
    presence.online = true;
    if (index > 0)
        presence.via = m_uids[0];
    return EncodeSignal(presence);
}

int SignalingDevice::Start() {
    if (m_client || m_uids.empty() || !m_settings.broker.IsSet())
        return P2P_ERR_BAD_ARGUMENT;
    for (const std::string& uid : m_uids)
        if (!IsSignalId(uid))
            return P2P_ERR_BAD_ARGUMENT;
    SignalMessage offline;
    offline.type = SignalMessage::Presence;
    SignalingClient::Options options;
    options.broker = m_settings.broker;
    options.tls = m_settings.brokerTls;
    options.caFile = m_settings.brokerCaFile;
    options.user = m_settings.brokerUser;
    options.password = m_settings.brokerPassword;
    options.clientId = "vantor-d-" + SignalingClient::RandomId(12);
    options.willTopic = SignalPresenceTopic(m_uids[0]);
    options.willPayload = EncodeSignal(offline);
    m_client = std::make_unique<SignalingClient>(
        options, [this](const std::string& topic, const uint8_t* data, size_t size) { OnMessage(topic, data, size); });
    for (size_t i = 0; i < m_uids.size(); ++i) {
        m_client->Subscribe(SignalInTopic(m_uids[i]));
        m_client->Keep(SignalPresenceTopic(m_uids[i]), PresenceOf(i));
    }
    m_client->Subscribe(SignalPresenceTopic(m_uids[0]));
    return m_client->Start();
}

void SignalingDevice::Send(const std::string& uid, const SignalMessage& message) {
    if (m_client && IsSignalId(message.client))
        m_client->Publish(SignalAnswerTopic(uid, message.client), EncodeSignal(message));
}

void SignalingDevice::OnMessage(const std::string& topic, const uint8_t* data, size_t size) {
    SignalMessage message;
    bool valid = DecodeSignal(data, size, message);
    if (topic == SignalPresenceTopic(m_uids[0])) {
        // A will left by an earlier run of this device (its connection timed
        // out after the new one came up): say again that the device is here.
        if (valid && message.type == SignalMessage::Presence && !message.online)
            m_client->Keep(topic, PresenceOf(0));
        return;
    }
    for (const std::string& uid : m_uids) {
        if (topic != SignalInTopic(uid))
            continue;
        bool fromClient = message.type == SignalMessage::Offer || message.type == SignalMessage::Candidate ||
                          message.type == SignalMessage::Done;
        if (!valid || !fromClient) {
            ++m_dropped;
            return;
        }
        m_handler(uid, message);
        return;
    }
}

} // namespace p2p
