#pragma once

#include "p2p/P2PSettings.h"
#include "p2p/SignalMessage.h"
#include "p2p/SignalingClient.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace p2p {

// The device side of the broker signaling: one broker connection for all the
// device's UIDs. It listens on the topic of each UID and keeps each UID's
// presence retained: the first UID's says "online" and carries the last will
// that turns it "offline" when the device vanishes or stops; the others say
// "online via FIRST", so one will covers them all. After a reconnect (the
// broker restarted) it publishes its presence again, and it does so too when
// a stale will of an earlier run of the device marked it offline.
class SignalingDevice {
public:
    // Every well-formed offer, candidate or done a client sends to one of the
    // UIDs; runs on the broker thread and must not block.
    using Handler = std::function<void(const std::string& uid, const SignalMessage& message)>;

    SignalingDevice(const P2PSettings& settings, std::vector<std::string> uids, Handler handler);
    // 0; P2P_ERR_BAD_ARGUMENT without a broker, UIDs, or with a UID unfit for a topic.
    int Start();
    // Sends an answer, candidate, done or reject to the client message.client.
    void Send(const std::string& uid, const SignalMessage& message);

    // Until connected and subscribed to every UID's topic: offers sent from
    // then on reach this device.
    bool WaitConnected(int timeoutMs) { return m_client && m_client->WaitSubscribed(timeoutMs); }
    int Connections() const { return m_client ? m_client->Connections() : 0; }
    int Dropped() const { return m_dropped; } // malformed or unexpected messages ignored

private:
    void OnMessage(const std::string& topic, const uint8_t* data, size_t size);
    std::string PresenceOf(size_t index) const;

    P2PSettings m_settings;
    std::vector<std::string> m_uids;
    Handler m_handler;
    std::atomic<int> m_dropped{0};
    std::unique_ptr<SignalingClient> m_client; // last: its thread stops before the rest goes
};

} // namespace p2p
