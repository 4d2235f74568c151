#pragma once

#include "p2p/IceStream.h"
#include "p2p/P2PSettings.h"
#include "p2p/SignalingDevice.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace p2p {

// The device's side of the broker path: answers each client's offer with an
// ICE stream of its own, trickles its candidates to that client, and hands
// every stream whose pair works to `onStream`. Attempts that fail, or do not
// connect within the search time and 10 s more, are dropped.
class BrokerListener {
public:
    // Runs on the listener's thread; the stream is the receiver's from then on.
    using StreamHandler = std::function<void(const std::string& uid, std::shared_ptr<IceStream> stream)>;
    static constexpr size_t kMaxAttempts = 16; // more offers at once are refused (-95, device busy)

    BrokerListener(const P2PSettings& settings, std::vector<std::string> uids, StreamHandler onStream);
    ~BrokerListener();
    BrokerListener(const BrokerListener&) = delete;
    BrokerListener& operator=(const BrokerListener&) = delete;

    // 0; as SignalingDevice::Start otherwise.
    int Start();
    bool WaitConnected(int timeoutMs) { return m_signaling->WaitConnected(timeoutMs); }

private:
    struct Attempt {
        std::string uid;
        std::shared_ptr<IceStream> stream;
        std::chrono::steady_clock::time_point started;
        bool answered = false;          // local candidates go out after the answer
        std::vector<std::string> early; // gathered before it
        bool earlyDone = false;
        bool failed = false; // could not start; dropped by the worker
    };
    struct Outbox; // what a stream's candidate handler reaches, cut when the listener goes

    void OnSignal(const std::string& uid, const SignalMessage& message); // broker thread
    void Answer(const std::string& uid, const SignalMessage& offer);
    void OnLocalCandidate(const std::string& client, const std::string& candidate);
    void Run(); // hands connected streams over, drops failed and stale ones

    P2PSettings m_settings;
    StreamHandler m_onStream;
    std::shared_ptr<Outbox> m_outbox;

    std::mutex m_mutex; // guards m_attempts and m_stop
    std::condition_variable m_changed;
    std::map<std::string, Attempt> m_attempts; // by client id
    bool m_stop = false;
    std::thread m_worker;
    std::unique_ptr<SignalingDevice> m_signaling; // last: its thread stops first
};

} // namespace p2p
