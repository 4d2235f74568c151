#include "p2p/SignalingClient.h"

#include "p2p/P2PErrors.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <chrono>
#include <fstream>
#include <random>

namespace p2p {

namespace {

constexpr int kQos = 1;

void InitLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

} // namespace

void SignalingClient::Deleter::operator()(mosquitto* m) const {
    mosquitto_destroy(m);
}

std::string SignalingClient::RandomId(size_t length) {
    static const char kHex[] = "0123456789abcdef";
    std::ifstream urandom("/dev/urandom", std::ios::binary);
    std::string id;
    std::random_device fallback;
    for (size_t i = 0; i < length; ++i) {
        unsigned char byte = 0;
        if (!urandom.read(reinterpret_cast<char*>(&byte), 1))
            byte = static_cast<unsigned char>(fallback());
        id += kHex[byte & 15];
    }
    return id;
}

SignalingClient::SignalingClient(Options options, Handler handler)
    : m_options(std::move(options)), m_handler(std::move(handler)) {
    if (m_options.clientId.empty())
        m_options.clientId = "vantor-" + RandomId(16);
}

SignalingClient::~SignalingClient() {
    if (!m_mosq)
        return;
    // Disconnecting "with will" has the broker send the last will, so that a
    // device that stops is offline at once; without a will it is a clean end.
    int reason = m_options.willTopic.empty() ? 0 : MQTT_RC_DISCONNECT_WITH_WILL_MSG;
    mosquitto_disconnect_v5(m_mosq.get(), reason, nullptr);
    if (m_looping)
        mosquitto_loop_stop(m_mosq.get(), false);
}

int SignalingClient::Start() {
    if (!m_options.broker.IsSet() || m_mosq)
        return P2P_ERR_BAD_ARGUMENT;
    InitLibraryOnce();
    m_mosq.reset(mosquitto_new(m_options.clientId.c_str(), true, this));
    if (!m_mosq)
        return P2P_ERR_NETWORK;
    mosquitto* m = m_mosq.get();
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(m, &SignalingClient::OnConnect);
    mosquitto_disconnect_callback_set(m, &SignalingClient::OnDisconnect);
    mosquitto_message_callback_set(m, &SignalingClient::OnMessage);
    mosquitto_subscribe_callback_set(m, &SignalingClient::OnSubscribe);
    mosquitto_reconnect_delay_set(m, 1, 30, true);
    if (!m_options.user.empty() &&
        mosquitto_username_pw_set(m, m_options.user.c_str(), m_options.password.c_str()) != MOSQ_ERR_SUCCESS)
        return P2P_ERR_BAD_ARGUMENT;
    // The broker's certificate must chain to the CA and name the broker's host.
    const char* caFile = m_options.caFile.empty() ? nullptr : m_options.caFile.c_str();
    if (m_options.tls && mosquitto_tls_set(m, caFile, caFile ? nullptr : "/etc/ssl/certs", nullptr, nullptr, nullptr) !=
                             MOSQ_ERR_SUCCESS)
        return P2P_ERR_BAD_ARGUMENT;
    if (!m_options.willTopic.empty() &&
        mosquitto_will_set(m, m_options.willTopic.c_str(), static_cast<int>(m_options.willPayload.size()),
                           m_options.willPayload.data(), kQos, true) != MOSQ_ERR_SUCCESS)
        return P2P_ERR_BAD_ARGUMENT;
    // A first attempt that fails (broker down) is retried by the loop thread.
    mosquitto_connect_async(m, m_options.broker.host.c_str(), m_options.broker.port, m_options.keepAliveSeconds);
    if (mosquitto_loop_start(m) != MOSQ_ERR_SUCCESS)
        return P2P_ERR_NETWORK;
    m_looping = true;
    return P2P_OK;
}

void SignalingClient::Subscribe(const std::string& topic) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_topics.insert(topic);
    if (m_connected)
        SubscribeLocked(topic);
}

void SignalingClient::SubscribeLocked(const std::string& topic) {
    int mid = 0;
    if (mosquitto_subscribe(m_mosq.get(), &mid, topic.c_str(), kQos) == MOSQ_ERR_SUCCESS)
        m_unacked.insert(mid);
}

void SignalingClient::Keep(const std::string& topic, const std::string& payload) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_kept[topic] = payload;
    if (m_connected)
        mosquitto_publish(m_mosq.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), kQos,
                          true);
}

void SignalingClient::Publish(const std::string& topic, const std::string& payload) {
    if (m_mosq)
        mosquitto_publish(m_mosq.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), kQos,
                          false);
}

bool SignalingClient::WaitConnected(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        return m_connected || m_refused;
    }) && m_connected;
}

bool SignalingClient::WaitSubscribed(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
        return (m_connected && m_unacked.empty()) || m_refused;
    }) && m_connected;
}

bool SignalingClient::Connected() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connected;
}

bool SignalingClient::Refused() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_refused;
}

int SignalingClient::Connections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

void SignalingClient::Connected(int rc) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (rc != 0) {
        // A refused account or client id stays refused: no use hammering.
        m_refused = true;
        mosquitto_disconnect(m_mosq.get());
    } else {
        m_connected = true;
        ++m_connections;
        for (const std::string& topic : m_topics)
            SubscribeLocked(topic);
        for (const auto& [topic, payload] : m_kept)
            mosquitto_publish(m_mosq.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                              kQos, true);
    }
    m_changed.notify_all();
}

void SignalingClient::OnConnect(mosquitto*, void* self, int rc) {
    static_cast<SignalingClient*>(self)->Connected(rc);
}

void SignalingClient::OnDisconnect(mosquitto*, void* self, int) {
    auto* client = static_cast<SignalingClient*>(self);
    std::lock_guard<std::mutex> lock(client->m_mutex);
    client->m_connected = false;
    client->m_unacked.clear();
    client->m_changed.notify_all();
}

void SignalingClient::OnSubscribe(mosquitto*, void* self, int mid, int, const int*) {
    auto* client = static_cast<SignalingClient*>(self);
    std::lock_guard<std::mutex> lock(client->m_mutex);
    client->m_unacked.erase(mid);
    client->m_changed.notify_all();
}

void SignalingClient::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* client = static_cast<SignalingClient*>(self);
    if (client->m_handler && message->topic != nullptr)
        client->m_handler(message->topic, static_cast<const uint8_t*>(message->payload),
                          static_cast<size_t>(message->payloadlen));
}

} // namespace p2p
