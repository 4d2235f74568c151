#pragma once

#include "p2p/IoLoop.h"
#include "p2p/P2PSettings.h"
#include "p2p/Protocol.h"
#include "p2p/SocketUtil.h"
#include "p2p/TlsLayer.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace p2p {
class BrokerListener;
class IceStream;
class StreamBridge;
} // namespace p2p

// What a device hears from its sessions. The calls run on the process's I/O
// loop thread, which serves every session of the process (viewers' too):
// implementations must return quickly and never block (no sleeping, no
// waiting on the network or for another session), must be thread safe
// against the application's own threads, and must not call Device::Stop from
// inside a call.
class DeviceListener {
public:
    virtual ~DeviceListener() = default;
    virtual void OnSessionOpened(int session, const std::string& uid, const std::string& peer);
    // A client asks for the AV channel. `matches` tells whether the account and
    // the password are those of the UID; return true to accept.
    virtual bool OnAvStart(int session, const std::string& account, const std::string& password, bool matches);
    virtual void OnIOCtrl(int session, uint32_t type, const uint8_t* payload, size_t length);
    // The client closes its AV channel; return true to acknowledge it (the
    // client's avClientStop waits for that).
    virtual bool OnAvStop(int session);
    virtual void OnSessionClosed(int session, int reason);
};

// The device side of the transport: answers searches for its UIDs, accepts
// sessions, checks the account of each AV channel, delivers IOCTRLs to the
// listener and sends frames with their information block. With a broker in
// its settings it also registers its UIDs there, and each ICE stream a
// client opens through it becomes a session like an accepted connection.
class Device : private p2p::IoLoop::Client {
public:
    explicit Device(DeviceListener& listener);
    ~Device() override;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // A UID this device holds, with the account that may open its AV channel.
    int AddUid(const std::string& uid, const std::string& account, const std::string& password);
    // The key pair every session shows in its TLS handshake (call before
    // Start); without one, Start makes one that lives in memory only.
    void SetIdentity(std::shared_ptr<TlsLayer::Identity> identity) { m_identity = std::move(identity); }
    // The identity's fingerprint, once started or set.
    std::string Fingerprint() const { return m_identity ? m_identity->Fingerprint() : std::string(); }
    // Takes the first free search port of the settings and a TCP port, and
    // starts serving; with a broker set, registers the UIDs added so far
    // there too. 0 or a negative code.
    int Start(const P2PSettings& settings);
    int Start() { return Start(P2PSettings::Current()); }
    // Closes every session and stops serving.
    void Stop();

    // Queue a frame for a session whose AV channel is open. Frames are dropped
    // (P2P_ERR_SEND_QUEUE_FULL) while the client is too slow to take them.
    int SendVideo(int session, const p2p::FrameInfo& info, const uint8_t* data, size_t length);
    int SendAudio(int session, const p2p::FrameInfo& info, const uint8_t* data, size_t length);
    int CloseSession(int session);
    // The session goes silent without closing: nothing is read or sent any more.
    int FreezeSession(int session);
    int SessionCount();
    // How a session reached this device: "lan", "direct" or "relay"; empty
    // for an unknown session.
    std::string SessionPath(int session);
    // Whether the broker registration is up (within timeoutMs); false
    // without a broker.
    bool WaitBrokerConnected(int timeoutMs);

    uint16_t GetSearchPort() const { return m_searchPort; }
    uint16_t GetTcpPort() const { return m_tcpPort; }

    class Session;

private:
    struct Account {
        std::string account;
        std::string password;
    };
    void OnEvent(uint32_t events) override;
    bool WatchSockets(); // every search and session socket on the loop
    // Registers the UIDs with the broker of the settings, if one is set.
    int StartBroker();
    void AnswerSearch(int udp);
    void Accept(int listening);
    // Makes a session of a connection (a TCP one, or a broker path's stream
    // behind a bridge) under the limits every session shares.
    void Admit(p2p::UniqueFd fd, std::string peer, std::string path, std::unique_ptr<p2p::StreamBridge> bridge);
    void AdoptStream(std::shared_ptr<p2p::IceStream> stream); // the broker listener's thread
    // Tells a client that arrived when every session is taken, and hangs up.
    static void RefuseBusy(int fd);
    // Sessions (not dropped) that have said HELLO, or have not, from `host`
    // or from anywhere. The lock must be held.
    int CountSessions(bool greeted, const std::string* host);
    // Drops the oldest session that has not said HELLO when `limit` of them
    // (from `host`, or from anywhere) are open. The lock must be held.
    void MakeRoomForPending(const std::string* host, int limit);
    void Reap();
    int SendFrame(uint16_t type, int session, const p2p::FrameInfo& info, const uint8_t* data, size_t length);
    std::shared_ptr<Session> Find(int session);

    friend class Session;
    bool CheckAccount(const std::string& uid, const std::string& account, const std::string& password);
    // Wrong passwords per client address: once an address has erred 3 times,
    // each of its next tries waits (250 ms, doubling up to 3 s) before it is
    // checked; a success or 10 minutes without a miss forgets the address.
    // The time the next try of `host` waits.
    int StrikeDelayMs(const std::string& host);
    void NoteTry(const std::string& host, bool accepted);
    bool HoldsUid(const std::string& uid);

    DeviceListener& m_listener;
    P2PSettings m_settings;
    std::shared_ptr<TlsLayer::Identity> m_identity;
    std::vector<p2p::UniqueFd> m_udp;    // the search, one socket per address listened on
    std::vector<p2p::UniqueFd> m_listen; // the sessions, likewise, all at m_tcpPort
    uint16_t m_searchPort = 0;
    uint16_t m_tcpPort = 0;
    std::shared_ptr<p2p::IoLoop> m_loop; // serves the search, the accepts and every session
    std::vector<uint64_t> m_watches;     // one for each socket above
    std::atomic<bool> m_stop{true};
    std::unique_ptr<p2p::BrokerListener> m_broker;

    std::mutex m_mutex; // guards the maps and the id counter
    std::map<std::string, Account> m_uids;
    std::map<int, std::shared_ptr<Session>> m_sessions;
    struct Strikes {
        int misses = 0;
        std::chrono::steady_clock::time_point last{};
    };
    std::map<std::string, Strikes> m_strikes;
    int m_nextSession = 1;
};
