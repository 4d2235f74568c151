#include "p2p/Device.h"

#include "p2p/BrokerListener.h"
#include "p2p/Connection.h"
#include "p2p/HostResolver.h"
#include "p2p/P2PErrors.h"
#include "p2p/P2PTestHooks.h"
#include "p2p/StreamBridge.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace p2p;

namespace {
constexpr int kMaxSessionsPerDevice = 32; // sessions that said HELLO
constexpr int kMaxPendingPerHost = 8;     // connections that have not, from one address
constexpr int kMaxPending = 32;           // and from all
constexpr int kHelloTimeoutMs = 5000;     // a client must say which UID it wants within this
constexpr int kMaxWrongPasswords = 3;     // per session; the session is closed then
constexpr int kFirstDelayMs = 250;        // an address's tries wait this long once it has erred 3 times,
constexpr int kMaxDelayMs = 3000;         // doubling with each miss up to this
constexpr auto kStrikeMemory = std::chrono::minutes(10);
constexpr size_t kMaxStrikeAddresses = 1024;
constexpr size_t kMaxHeldBytes = 64 * 1024; // a client's requests held while its channel start waits

// Compares in a time that does not depend on where the texts differ.
bool SameSecret(const std::string& typed, const std::string& kept) {
    unsigned diff = typed.size() == kept.size() ? 0u : 1u;
    for (size_t i = 0; i < typed.size(); ++i)
        diff |= static_cast<unsigned char>(typed[i]) ^ static_cast<unsigned char>(i < kept.size() ? kept[i] : 0);
    return diff == 0;
}

std::string HostOf(const std::string& peer) {
    return PeerHost(peer);
}
} // namespace

void DeviceListener::OnSessionOpened(int, const std::string&, const std::string&) {}
bool DeviceListener::OnAvStart(int, const std::string&, const std::string&, bool matches) {
    return matches;
}
void DeviceListener::OnIOCtrl(int, uint32_t, const uint8_t*, size_t) {}
bool DeviceListener::OnAvStop(int) {
    return true;
}
void DeviceListener::OnSessionClosed(int, int) {}

// One accepted session: its connection and where the client stands.
class Device::Session : public Connection::Handler {
public:
    Session(Device& device, int id, UniqueFd fd, int timeoutMs, std::string peer, std::string path,
            std::unique_ptr<StreamBridge> bridge)
        : device(device), id(id), path(std::move(path)), bridge(std::move(bridge)),
          connection(fd.release(), timeoutMs, std::move(peer)) {}

    int OnMessage(uint16_t type, const uint8_t* payload, size_t length) override {
        if (startPending)
            return Hold(type, payload, length);
        switch (type) {
        case MSG_HELLO: {
            uint8_t version = 0;
            std::string name;
            if (!uid.empty() || !DecodeHello(payload, length, version, name))
                return P2P_ERR_PROTOCOL;
            if (!device.HoldsUid(name)) {
                std::vector<uint8_t> ack = EncodeResult(P2P_ERR_UID_NOT_HERE);
                connection.Send(MSG_HELLO_ACK, ack.data(), ack.size());
                return P2P_ERR_UID_NOT_HERE;
            }
            uid = name;
            greeted.store(true);
            std::vector<uint8_t> ack = EncodeResult(P2P_OK);
            connection.Send(MSG_HELLO_ACK, ack.data(), ack.size());
            device.m_listener.OnSessionOpened(id, uid, connection.GetPeer());
            return 0;
        }
        case MSG_AV_START: {
            if (uid.empty() || !DecodeAvStart(payload, length, start.channel, start.account, start.password))
                return P2P_ERR_PROTOCOL;
            if (avActive.load())
                return Answer(MSG_AV_START_ACK, P2P_ERR_CHANNEL_IN_USE);
            // Every try waits alike once its address has erred, right or wrong.
            // The wait must not hold the loop: the try is decided on a later
            // tick, and what the client sends meanwhile waits its turn.
            const int delayMs = device.StrikeDelayMs(HostOf(connection.GetPeer()));
            if (delayMs <= 0)
                return DecideStart();
            startDue = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
            startPending = true;
            return 0;
        }
        case MSG_AV_STOP:
            if (uid.empty())
                return P2P_ERR_PROTOCOL;
            avActive.store(false);
            if (device.m_listener.OnAvStop(id))
                connection.Send(MSG_AV_STOP_ACK, nullptr, 0);
            return 0;
        case MSG_IOCTRL:
            if (uid.empty())
                return P2P_ERR_PROTOCOL;
            if (avActive.load())
                device.m_listener.OnIOCtrl(id, GetU32(payload), payload + 4, length - 4);
            return 0;
        default:
            return P2P_ERR_PROTOCOL; // nothing else may come from a client
        }
    }

    bool Accepts(uint16_t type) const override {
        if (uid.empty())
            return type == MSG_HELLO;
        return type == MSG_AV_START || type == MSG_AV_STOP || type == MSG_IOCTRL;
    }

    int DecideStart() {
        startPending = false;
        bool matches = start.channel == 0 && device.CheckAccount(uid, start.account, start.password);
        bool accepted = device.m_listener.OnAvStart(id, start.account, start.password, matches);
        device.NoteTry(HostOf(connection.GetPeer()), accepted);
        start = {};
        if (accepted)
            avActive.store(true);
        Answer(MSG_AV_START_ACK, accepted ? P2P_OK : P2P_ERR_WRONG_ACCOUNT);
        return accepted || ++wrongTries < kMaxWrongPasswords ? 0 : P2P_ERR_WRONG_ACCOUNT;
    }

    int Hold(uint16_t type, const uint8_t* payload, size_t length) {
        heldBytes += length + kHeaderSize;
        if (heldBytes > kMaxHeldBytes)
            return P2P_ERR_PROTOCOL; // a client does not pile up requests while its start waits
        held.emplace_back(type, std::vector<uint8_t>(payload, payload + length));
        return 0;
    }

    int OnTick() override {
        if (!startPending || std::chrono::steady_clock::now() < startDue)
            return 0;
        int r = DecideStart();
        while (r == 0 && !startPending && !held.empty()) {
            auto [type, payload] = std::move(held.front());
            held.pop_front();
            heldBytes -= payload.size() + kHeaderSize;
            r = OnMessage(type, payload.data(), payload.size());
        }
        return r;
    }

    int Answer(uint16_t type, int32_t result) {
        std::vector<uint8_t> ack = EncodeResult(result);
        connection.Send(type, ack.data(), ack.size());
        return 0;
    }

    void OnClosed(int reason, int) override {
        avActive.store(false);
        if (!uid.empty())
            device.m_listener.OnSessionClosed(id, reason);
    }

    Device& device;
    const int id;
    const std::string path;               // "lan", "direct" or "relay"
    std::unique_ptr<StreamBridge> bridge; // before the connection: it goes after it, so the goodbye gets out
    Connection connection;
    std::string uid; // written and read on the loop's thread only
    std::atomic<bool> avActive{false};
    int wrongTries = 0; // loop's thread only
    struct StartRequest {
        uint8_t channel = 0;
        std::string account;
        std::string password;
    };
    // A channel start that waits out its address's strikes, and what came after it; loop's thread only.
    StartRequest start;
    bool startPending = false;
    std::chrono::steady_clock::time_point startDue;
    std::deque<std::pair<uint16_t, std::vector<uint8_t>>> held;
    size_t heldBytes = 0;
    std::atomic<bool> greeted{false}; // said HELLO for a UID of this device
    bool dropped = false;             // closed to make room; guarded by the device's lock
};

Device::Device(DeviceListener& listener) : m_listener(listener) {}

Device::~Device() {
    Stop();
}

int Device::AddUid(const std::string& uid, const std::string& account, const std::string& password) {
    if (!IsValidName(uid, kMaxUidLength) || account.size() > kMaxAccountLength || password.size() > kMaxAccountLength)
        return P2P_ERR_BAD_ARGUMENT;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_uids[uid] = Account{account, password};
    return P2P_OK;
}

bool Device::HoldsUid(const std::string& uid) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_uids.count(uid) > 0;
}

bool Device::CheckAccount(const std::string& uid, const std::string& account, const std::string& password) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_uids.find(uid);
    return it != m_uids.end() && SameSecret(account, it->second.account) && SameSecret(password, it->second.password);
}

int Device::StrikeDelayMs(const std::string& host) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_strikes.find(host);
    if (it == m_strikes.end() || it->second.misses < kMaxWrongPasswords)
        return 0;
    return std::min(kMaxDelayMs, kFirstDelayMs << std::min(it->second.misses - kMaxWrongPasswords, 4));
}

void Device::NoteTry(const std::string& host, bool accepted) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    if (accepted) {
        m_strikes.erase(host);
        return;
    }
    for (auto it = m_strikes.begin(); m_strikes.size() >= kMaxStrikeAddresses && it != m_strikes.end();)
        it = now - it->second.last > kStrikeMemory ? m_strikes.erase(it) : std::next(it);
    if (m_strikes.size() >= kMaxStrikeAddresses && m_strikes.count(host) == 0)
        m_strikes.erase(std::min_element(m_strikes.begin(), m_strikes.end(),
                                         [](const auto& a, const auto& b) { return a.second.last < b.second.last; }));
    Strikes& strikes = m_strikes[host];
    if (now - strikes.last > kStrikeMemory)
        strikes.misses = 0;
    strikes.misses += 1;
    strikes.last = now;
}

int Device::Start(const P2PSettings& settings) {
    if (!m_stop.load())
        return P2P_ERR_ALREADY_INITIALISED;
    m_settings = settings;
    if (!m_identity && !(m_identity = TlsLayer::Identity::Generate()))
        return P2P_ERR_NO_RESOURCES;
    constexpr int kResolveTimeoutMs = 2000;
    std::vector<SocketAddress> bound;
    ResolveHosts(
        {settings.bindAddress}, kResolveTimeoutMs, [] { return false; }, bound);
    if (bound.empty())
        return P2P_ERR_BAD_ARGUMENT;
    const std::vector<ListenAddress> at = ListenAddresses(bound);
    m_udp.clear();
    for (int i = 0; i < settings.portSpan && m_udp.empty(); ++i)
        m_searchPort = BindSockets(at, SOCK_DGRAM, static_cast<uint16_t>(settings.port + i), m_udp);
    if (m_udp.empty())
        return P2P_ERR_NETWORK;
    m_tcpPort = BindSockets(at, SOCK_STREAM, 0, m_listen);
    if (m_listen.empty()) {
        m_udp.clear();
        return P2P_ERR_NETWORK;
    }
    m_stop.store(false);
    m_loop = IoLoop::Shared();
    if (!m_loop || !WatchSockets()) {
        Stop();
        return P2P_ERR_NO_RESOURCES;
    }
    if (int r = StartBroker(); r != P2P_OK) {
        Stop();
        return r;
    }
    return P2P_OK;
}

int Device::StartBroker() {
    std::vector<std::string> uids;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_uids)
            uids.push_back(entry.first);
    }
    if (!m_settings.broker.IsSet() || uids.empty())
        return P2P_OK;
    m_broker = std::make_unique<BrokerListener>(
        m_settings, std::move(uids), [this](const std::string&, std::shared_ptr<IceStream> s) { AdoptStream(s); });
    // A broker that is down now is retried by the listener; settings it cannot use are an error.
    return m_broker->Start();
}

void Device::Stop() {
    if (m_stop.exchange(true))
        return;
    m_broker.reset(); // no stream is handed over after this
    if (m_loop)
        for (uint64_t watch : m_watches) // nothing is searched or accepted after this
            m_loop->Remove(watch);
    m_watches.clear();
    std::map<int, std::shared_ptr<Session>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sessions.swap(m_sessions);
    }
    for (auto& entry : sessions)
        entry.second->connection.Close(P2P_ERR_LOCAL_CLOSE);
    for (auto& entry : sessions)
        entry.second->connection.Join();
    sessions.clear();
    m_udp.clear();
    m_listen.clear();
    m_loop.reset(); // after the sessions, which hold it too
}

bool Device::WatchSockets() {
    for (const auto* sockets : {&m_udp, &m_listen})
        for (const UniqueFd& fd : *sockets) {
            uint64_t watch = 0;
            if (!m_loop->Add(fd.get(), EPOLLIN, this, watch))
                return false;
            m_watches.push_back(watch);
        }
    return true;
}

// On the loop: a search or a connection came (every socket is read, which
// costs an empty read at most), or the tick, which reaps ended sessions.
void Device::OnEvent(uint32_t) {
    for (const UniqueFd& fd : m_udp)
        AnswerSearch(fd.get());
    for (const UniqueFd& fd : m_listen)
        Accept(fd.get());
    Reap();
}

// Answers on the socket the search came on, so in the family it came in.
void Device::AnswerSearch(int udp) {
    uint8_t buffer[512];
    SocketAddress from;
    socklen_t fromLen = sizeof from.storage;
    ssize_t n;
    while ((n = recvfrom(udp, buffer, sizeof buffer, 0, from.Raw(), &fromLen)) >= 0) {
        uint32_t nonce = 0;
        std::string uid;
        if (DecodeSearchRequest(buffer, static_cast<size_t>(n), nonce, uid) && HoldsUid(uid)) {
            std::vector<uint8_t> answer = EncodeSearchAnswer(nonce, uid, m_tcpPort);
            sendto(udp, answer.data(), answer.size(), 0, from.Raw(), fromLen);
        }
        fromLen = sizeof from.storage;
    }
}

void Device::Accept(int listening) {
    for (;;) {
        UniqueFd fd(accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (fd.get() < 0)
            return;
        int one = 1;
        setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Admit(std::move(fd), std::string(), "lan", nullptr);
    }
}

void Device::AdoptStream(std::shared_ptr<IceStream> stream) {
    // The session is named after the client's address on the selected ICE
    // pair, so that the per-address limits and the wrong-password slow-down
    // count a client the same whichever path it came by. The client id of
    // the signaling would not do: a client picks a new one for every call.
    // A relayed client shows the relay's address and shares its limits with
    // the others behind that relay.
    std::string peer = stream->RemoteAddress();
    std::string path = stream->Path();
    UniqueFd fd;
    std::unique_ptr<StreamBridge> bridge = StreamBridge::Create(std::move(stream), fd);
    if (bridge && !m_stop.load())
        Admit(std::move(fd), std::move(peer), std::move(path), std::move(bridge));
}

void Device::Admit(UniqueFd fd, std::string peer, std::string path, std::unique_ptr<StreamBridge> bridge) {
    std::shared_ptr<Session> session; // a refused one goes after the lock: its bridge lets the refusal out
    std::lock_guard<std::mutex> lock(m_mutex);
    int id = m_nextSession++;
    session = std::make_shared<Session>(*this, id, std::move(fd), m_settings.sessionTimeoutMs, std::move(peer),
                                        std::move(path), std::move(bridge));
    if (CountSessions(true, nullptr) >= kMaxSessionsPerDevice) {
        RefuseBusy(session->connection.ReleaseFd());
        return;
    }
    const std::string host = HostOf(session->connection.GetPeer());
    MakeRoomForPending(&host, kMaxPendingPerHost);
    MakeRoomForPending(nullptr, kMaxPending);
    // The handshake counts as unfinished too: TLS and then HELLO must be done within the deadline.
    std::unique_ptr<TlsLayer> tls = TlsLayer::Server(m_identity);
    if (!tls)
        return; // the connection hangs up as it goes
    if (!test::TlsDisabled())
        session->connection.UseTls(std::move(tls));
    session->connection.RequireFirst(MSG_HELLO, kHelloTimeoutMs);
    if (session->connection.Start(session.get()))
        m_sessions[id] = session; // else the connection hangs up as it goes
}

int Device::CountSessions(bool greeted, const std::string* host) {
    int count = 0;
    for (const auto& [id, session] : m_sessions)
        count += !session->dropped && session->greeted.load() == greeted &&
                 (host == nullptr || HostOf(session->connection.GetPeer()) == *host);
    return count;
}

void Device::MakeRoomForPending(const std::string* host, int limit) {
    // The oldest connection that has not said HELLO makes way for the new one,
    // so a flood of silent connections can delay a real client but not bar it.
    if (CountSessions(false, host) < limit)
        return;
    for (auto& [id, session] : m_sessions) {
        if (!session->dropped && !session->greeted.load() &&
            (host == nullptr || HostOf(session->connection.GetPeer()) == *host)) {
            session->dropped = true;
            session->connection.Close(P2P_ERR_DEVICE_BUSY);
            return;
        }
    }
}

void Device::RefuseBusy(int fd) {
    // A fresh socket's send buffer is empty: the close message goes out whole.
    UniqueFd refused(fd);
    uint8_t close[kHeaderSize + 4];
    EncodeHeader(MSG_CLOSE, 4, close);
    PutU32(close + kHeaderSize, static_cast<uint32_t>(P2P_ERR_DEVICE_BUSY));
    ssize_t n = send(refused.get(), close, sizeof close, MSG_NOSIGNAL);
    // Unread input would turn the hang-up into a reset that can discard the
    // close message before the client reads it.
    shutdown(refused.get(), SHUT_WR);
    uint8_t drain[256];
    while (n > 0 && recv(refused.get(), drain, sizeof drain, MSG_DONTWAIT) > 0) {
    }
}

void Device::Reap() {
    std::vector<std::shared_ptr<Session>> ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            // A bridge still passing the goodbye on is left to end by itself:
            // waiting for it here would hold the loop.
            const StreamBridge* bridge = it->second->bridge.get();
            if (it->second->connection.IsClosed() && (bridge == nullptr || bridge->IsDone())) {
                ended.push_back(it->second);
                it = m_sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& session : ended)
        session->connection.Join();
}

std::shared_ptr<Device::Session> Device::Find(int session) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sessions.find(session);
    return it == m_sessions.end() ? nullptr : it->second;
}

int Device::SendFrame(uint16_t type, int sessionId, const FrameInfo& info, const uint8_t* data, size_t length) {
    if (length > kMaxFrameSize || (data == nullptr && length > 0))
        return P2P_ERR_BAD_ARGUMENT;
    std::shared_ptr<Session> session = Find(sessionId);
    if (!session || session->connection.IsClosed())
        return P2P_ERR_INVALID_SESSION;
    if (!session->avActive.load())
        return P2P_ERR_NO_PERMISSION;
    uint8_t block[kFrameInfoSize];
    FrameInfo filled = info;
    filled.frameSize = static_cast<uint32_t>(length);
    EncodeFrameInfo(filled, block);
    return session->connection.Send(type, block, kFrameInfoSize, data, length, true);
}

int Device::SendVideo(int session, const FrameInfo& info, const uint8_t* data, size_t length) {
    return SendFrame(MSG_VIDEO, session, info, data, length);
}

int Device::SendAudio(int session, const FrameInfo& info, const uint8_t* data, size_t length) {
    return SendFrame(MSG_AUDIO, session, info, data, length);
}

int Device::CloseSession(int sessionId) {
    std::shared_ptr<Session> session = Find(sessionId);
    if (!session)
        return P2P_ERR_INVALID_SESSION;
    session->connection.Close(P2P_ERR_SESSION_CLOSED);
    return P2P_OK;
}

int Device::FreezeSession(int sessionId) {
    std::shared_ptr<Session> session = Find(sessionId);
    if (!session)
        return P2P_ERR_INVALID_SESSION;
    session->connection.Freeze();
    return P2P_OK;
}

std::string Device::SessionPath(int sessionId) {
    std::shared_ptr<Session> session = Find(sessionId);
    return session ? session->path : std::string();
}

bool Device::WaitBrokerConnected(int timeoutMs) {
    return m_broker && m_broker->WaitConnected(timeoutMs);
}

int Device::SessionCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_sessions.size());
}
