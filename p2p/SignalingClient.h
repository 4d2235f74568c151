#pragma once

#include "p2p/P2PSettings.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

struct mosquitto;
struct mosquitto_message;

namespace p2p {

// One connection to the MQTT broker, the lowest layer of the signaling. It
// connects in the background and, until destroyed, reconnects by itself with
// back-off (1 s, doubling up to 30 s) whenever the broker goes away; on every
// connection it subscribes again to its topics and publishes again the
// retained messages it keeps, so a broker that restarted empty learns them
// again. Messages arrive on libmosquitto's thread through one handler, which
// must not block. Publishing is QoS 1 (at least once).
class SignalingClient {
public:
    struct Options {
        P2PEndpoint broker;
        bool tls = false;
        std::string caFile; // with tls: the CA the broker's certificate must chain to; empty: the system's
        std::string user;
        std::string password;
        std::string clientId;    // the MQTT client id; a random one when empty
        std::string willTopic;   // a retained last will, sent by the broker when
        std::string willPayload; // this side vanishes or stops (none when empty)
        int keepAliveSeconds = 10;
    };
    using Handler = std::function<void(const std::string& topic, const uint8_t* data, size_t size)>;

    SignalingClient(Options options, Handler handler);
    ~SignalingClient(); // ends with the last will when there is one
    SignalingClient(const SignalingClient&) = delete;
    SignalingClient& operator=(const SignalingClient&) = delete;

    // Starts connecting. 0, or P2P_ERR_BAD_ARGUMENT when the options cannot
    // be used (no broker, bad TLS set-up).
    int Start();
    void Subscribe(const std::string& topic);
    // Publishes `payload` retained on `topic`, now and after every reconnect.
    void Keep(const std::string& topic, const std::string& payload);
    void Publish(const std::string& topic, const std::string& payload);
    // Waits until connected (true) or until timeoutMs passed or the broker
    // refused the account (false). What this side publishes from then on
    // reaches the broker after its subscriptions.
    bool WaitConnected(int timeoutMs);
    // The same, and until the broker acknowledged every subscription, so that
    // what others publish from then on reaches this side.
    bool WaitSubscribed(int timeoutMs);
    bool Connected() const;
    bool Refused() const;
    int Connections() const; // connections made so far (the first counts)
    const std::string& ClientId() const { return m_options.clientId; }

    // A random id of `length` hex digits, for client ids and ICE credentials.
    static std::string RandomId(size_t length);

private:
    static void OnConnect(mosquitto* m, void* self, int rc);
    static void OnDisconnect(mosquitto* m, void* self, int rc);
    static void OnMessage(mosquitto* m, void* self, const mosquitto_message* message);
    static void OnSubscribe(mosquitto* m, void* self, int mid, int count, const int* granted);
    void Connected(int rc);
    void SubscribeLocked(const std::string& topic);

    struct Deleter {
        void operator()(mosquitto* m) const;
    };

    Options m_options;
    Handler m_handler;
    std::unique_ptr<mosquitto, Deleter> m_mosq;
    bool m_looping = false;

    mutable std::mutex m_mutex; // guards everything below
    std::condition_variable m_changed;
    bool m_connected = false;
    bool m_refused = false;
    int m_connections = 0;
    std::set<std::string> m_topics;
    std::set<int> m_unacked; // ids of subscriptions the broker has not acknowledged
    std::map<std::string, std::string> m_kept;
};

} // namespace p2p
