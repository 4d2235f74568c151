#include "p2p/P2PApi.h"

#include "p2p/BrokerDialer.h"
#include "p2p/ClientSession.h"
#include "p2p/HostResolver.h"
#include "p2p/KnownDevices.h"
#include "p2p/P2PErrors.h"
#include "p2p/P2PSettings.h"
#include "p2p/P2PTestHooks.h"
#include "p2p/Protocol.h"
#include "p2p/SocketUtil.h"
#include "p2p/StreamBridge.h"
#include "p2p/ThreadStart.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <vector>

using namespace p2p;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kMaxSessions = 64;
constexpr int kConnectTimeoutMs = 2000;
constexpr int kResearchMs = 1000; // the search for another address after a connect failed
constexpr int kHelloTimeoutMs = 3000;
constexpr int kResolveTimeoutMs = 2000;
constexpr int kIceConnectTimeoutMs = 5000;     // after the device's answer, for a working ICE pair
constexpr unsigned kIOCtrlAudioStart = 0x0300; // a camera starts its sound on this
constexpr int kStopTimeoutMs = 10000;
constexpr int kDefaultStartTimeoutMs = 5000;

// Process-wide state of the transport. Session and channel ids only grow (and
// wrap far away), so a stale id held by a late caller never names a newer
// session or channel.
struct Sdk {
    std::mutex mutex;
    bool iotcUp = false;
    bool avUp = false;
    int maxChannels = 0;
    int nextSession = 0;
    int nextChannel = 0;
    P2PSettings settings;
    std::map<int, std::shared_ptr<ClientSession>> sessions;
    std::map<int, std::shared_ptr<ClientSession>> channels;

    std::atomic<int> forcedResult{0};
    std::atomic<int> forcedTimes{0};
    std::atomic<int> initCount{0};
    std::atomic<int> deinitCount{0};
};

// The desk's known-devices file, apart from the table's lock: sessions read
// and write it on the I/O loop, which a call holding the table's lock may be
// waiting for.
struct Pins {
    std::mutex mutex;
    std::string path; // empty: no pinning
};

Pins& ThePins() {
    static Pins pins;
    return pins;
}

// The first key a UID shows is pinned; every later one must be the same.
int CheckPinned(const std::string& path, const std::string& uid, const std::string& seen, std::string& expected) {
    if (path.empty())
        return P2P_OK;
    std::lock_guard<std::mutex> lock(ThePins().mutex);
    KnownDevices known(path);
    std::string error;
    if (!known.Load(error)) {
        std::fprintf(stderr, "p2p: %s; the device is refused\n", error.c_str());
        return P2P_ERR_CONNECT_FAILED; // a list that cannot be read pins nothing new either
    }
    expected = known.Find(uid);
    if (!expected.empty())
        return expected == seen ? P2P_OK : P2P_ERR_IDENTITY_MISMATCH;
    if (!KnownDevices::IsFingerprint(seen))
        return P2P_ERR_IDENTITY_MISMATCH; // a device without an Ed25519 key cannot be pinned
    if (!known.Add(uid, seen, error))
        std::fprintf(stderr, "p2p: %s; %s is not pinned\n", error.c_str(), uid.c_str());
    expected = seen;
    return P2P_OK;
}

// Never destroyed: a detached thread finishing a late avClientStop after the
// program's statics are gone must still find the table.
Sdk& TheSdk() {
    static Sdk* sdk = new Sdk;
    return *sdk;
}

int NextId(int& counter, const std::map<int, std::shared_ptr<ClientSession>>& used) {
    for (;;) {
        int id = counter;
        counter = counter == INT_MAX ? 0 : counter + 1;
        if (used.find(id) == used.end())
            return id;
    }
}

std::shared_ptr<ClientSession> FindSession(int sessionId) {
    Sdk& sdk = TheSdk();
    std::lock_guard<std::mutex> lock(sdk.mutex);
    auto it = sdk.sessions.find(sessionId);
    return it == sdk.sessions.end() ? nullptr : it->second;
}

std::shared_ptr<ClientSession> FindChannel(int avIndex) {
    Sdk& sdk = TheSdk();
    std::lock_guard<std::mutex> lock(sdk.mutex);
    auto it = sdk.channels.find(avIndex);
    return it == sdk.channels.end() ? nullptr : it->second;
}

uint32_t RandomNonce() {
    static std::mutex mutex;
    static std::mt19937 engine{std::random_device{}()};
    std::lock_guard<std::mutex> lock(mutex);
    return engine();
}

bool IsCancelled(ClientSession& session) {
    std::lock_guard<std::mutex> lock(session.mutex);
    return session.cancelled;
}

// The search's two sockets, one per family; a family this host lacks has none.
struct SearchSockets {
    UniqueFd v4{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};
    UniqueFd v6{socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)};

    SearchSockets() {
        const int one = 1;
        setsockopt(v4.get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        setsockopt(v6.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    }
    int For(const SocketAddress& target) const { return target.Family() == AF_INET6 ? v6.get() : v4.get(); }
};

// Asks every search port of every host, of every local network's broadcast
// address and of the IPv6 all-nodes group on every local link for the UID
// until its device answers from an address not in `tried`, or `until`. The
// answer's source address and TCP port are where the session goes.
int SearchUid(const std::string& uid, std::vector<SocketAddress> hosts, const P2PSettings& settings,
              const std::function<bool()>& cancelled, Clock::time_point until, const std::vector<std::string>& tried,
              SocketAddress& found) {
    for (const auto& local : {LocalBroadcastAddresses(), LocalMulticastAddresses()})
        hosts.insert(hosts.end(), local.begin(), local.end());
    std::vector<SocketAddress> targets;
    for (SocketAddress target : hosts) {
        for (int i = 0; i < settings.portSpan; ++i) {
            target.SetPort(static_cast<uint16_t>(settings.port + i));
            targets.push_back(target);
        }
    }
    const SearchSockets sockets;
    if (sockets.v4.get() < 0 && sockets.v6.get() < 0)
        return P2P_ERR_NETWORK;
    uint32_t nonce = RandomNonce();
    std::vector<uint8_t> request = EncodeSearchRequest(nonce, uid);
    Clock::time_point nextSend = Clock::now();
    int interval = 100;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= until)
            return P2P_ERR_UID_NOT_FOUND;
        if (cancelled())
            return P2P_ERR_CANCELLED;
        if (now >= nextSend) {
            for (const SocketAddress& target : targets)
                sendto(sockets.For(target), request.data(), request.size(), 0, target.Raw(), target.Size());
            nextSend = now + std::chrono::milliseconds(interval);
            interval = interval < 800 ? interval * 2 : interval;
        }
        pollfd p[2] = {{sockets.v4.get(), POLLIN, 0}, {sockets.v6.get(), POLLIN, 0}};
        poll(p, 2, 20);
        for (int fd : {sockets.v4.get(), sockets.v6.get()}) {
            uint8_t answer[512];
            SocketAddress from;
            socklen_t fromLen = sizeof from.storage;
            ssize_t n;
            while (fd >= 0 && (n = recvfrom(fd, answer, sizeof answer, 0, from.Raw(), &fromLen)) > 0) {
                uint32_t answerNonce = 0;
                std::string answerUid;
                uint16_t tcpPort = 0;
                if (DecodeSearchAnswer(answer, static_cast<size_t>(n), answerNonce, answerUid, tcpPort) &&
                    answerNonce == nonce && answerUid == uid) {
                    from.SetPort(tcpPort);
                    if (std::find(tried.begin(), tried.end(), from.Text()) == tried.end()) {
                        found = from;
                        return P2P_OK;
                    }
                }
                fromLen = sizeof from.storage;
            }
        }
    }
}

// Where a path reached the device: a TCP connection, or a broker path's
// stream joined to a socket by a bridge.
struct Reached {
    p2p::UniqueFd fd;
    std::unique_ptr<StreamBridge> bridge;
    std::string remote;
    std::string path;
};

// Starts the session on the reached device and says HELLO; the lock is taken here.
int OpenConnection(ClientSession& session, const std::string& uid, Reached reached, int sessionTimeoutMs) {
    std::lock_guard<std::mutex> lock(session.mutex);
    if (session.cancelled)
        return P2P_ERR_CANCELLED;
    session.remote = reached.remote;
    session.path = reached.path;
    session.connection.reset(); // a previous session's, before its bridge goes
    session.bridge = std::move(reached.bridge);
    session.connection = std::make_unique<Connection>(reached.fd.release(), sessionTimeoutMs, reached.remote);
    std::unique_ptr<TlsLayer> tls = TlsLayer::Client();
    if (!tls) {
        session.connection.reset();
        return P2P_ERR_NO_RESOURCES;
    }
    if (!test::TlsDisabled())
        session.connection->UseTls(std::move(tls));
    std::string pins;
    {
        std::lock_guard<std::mutex> pinsLock(ThePins().mutex);
        pins = ThePins().path;
    }
    session.checkIdentity = [pins, uid](const std::string& seen, std::string& expected) {
        return CheckPinned(pins, uid, seen, expected);
    };
    if (!session.connection->Start(&session)) {
        session.connection.reset();
        return P2P_ERR_NO_RESOURCES;
    }
    // A device that hung up at once (a full one says why first) is seen by AwaitHello.
    std::vector<uint8_t> hello = EncodeHello(uid);
    session.connection->Send(MSG_HELLO, hello.data(), hello.size());
    return P2P_OK;
}

// Waits for the device's answer to HELLO. A session that ended meanwhile is
// never taken for connected, even when the answer came with the close.
int AwaitHello(ClientSession& session) {
    std::unique_lock<std::mutex> lock(session.mutex);
    session.cv.wait_for(lock, std::chrono::milliseconds(kHelloTimeoutMs), [&] {
        return session.helloResult.has_value() || session.state == ClientSession::Ended || session.cancelled;
    });
    if (session.cancelled)
        return P2P_ERR_CANCELLED;
    if (session.helloResult && *session.helloResult != 0)
        return *session.helloResult < 0 ? *session.helloResult : P2P_ERR_CONNECT_FAILED;
    if (session.state == ClientSession::Ended && session.endReason == P2P_ERR_IDENTITY_MISMATCH)
        return P2P_ERR_IDENTITY_MISMATCH;
    if (session.state == ClientSession::Ended)
        return session.peerReason == P2P_ERR_DEVICE_BUSY ? P2P_ERR_DEVICE_BUSY : P2P_ERR_CONNECT_FAILED;
    if (!session.helloResult)
        return P2P_ERR_HELLO_TIMEOUT;
    session.state = ClientSession::Connected;
    return P2P_OK;
}

// The LAN path: resolution, search and TCP connection, each bounded in time
// and each given up as soon as cancelled() says so.
int ConnectLan(const std::string& uid, const P2PSettings& settings, const std::function<bool()>& cancelled,
               Reached& out) {
    std::vector<SocketAddress> hosts;
    if (int r = ResolveHosts(settings.hosts, kResolveTimeoutMs, cancelled, hosts); r != P2P_OK)
        return r;
    if (hosts.empty())
        return P2P_ERR_HOST_NOT_RESOLVED;
    // A device answers from each of its addresses; when the first answer's
    // address takes no connection (IPv6 filtered, a stale route), a short
    // search within the search time asks for another one.
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(settings.searchTimeoutMs);
    std::vector<std::string> tried;
    SocketAddress address;
    int failed = P2P_OK;
    for (;;) {
        int r = SearchUid(uid, hosts, settings, cancelled, until, tried, address);
        if (r == P2P_ERR_UID_NOT_FOUND && failed != P2P_OK)
            return failed; // found, but no answer could be reached
        if (r != P2P_OK)
            return r;
        r = ConnectTcp(address, kConnectTimeoutMs, cancelled, out.fd);
        if (r == P2P_OK)
            break;
        if (r == P2P_ERR_CANCELLED)
            return r;
        failed = r;
        tried.push_back(address.Text());
        until = std::min(until, Clock::now() + std::chrono::milliseconds(kResearchMs));
    }
    out.remote = address.Text();
    out.path = "lan";
    return P2P_OK;
}

// Joins a broker path's connected stream to a socket for the session.
int Bridge(std::unique_ptr<IceStream> stream, Reached& out) {
    out.path = stream->Path();
    out.remote = stream->RemoteAddress();
    out.bridge = StreamBridge::Create(std::shared_ptr<ByteStream>(std::move(stream)), out.fd);
    return out.bridge ? P2P_OK : P2P_ERR_NO_RESOURCES;
}

// The LAN path on this thread and the broker path on another, side by side:
// the first to reach the device wins and the other is cancelled; a close of
// the session cancels both. When neither reaches it the LAN path's code
// stands, unless the device answered through the broker and no ICE pair
// worked, which says more.
int RacePaths(ClientSession& session, const std::string& uid, const P2PSettings& settings, Reached& out) {
    auto dialer = std::make_shared<BrokerDialer>(settings);
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        if (session.cancelled)
            return P2P_ERR_CANCELLED;
        session.cancelDial = [dialer] { dialer->Cancel(); };
    }
    std::atomic<bool> brokerWon{false};
    std::unique_ptr<IceStream> stream;
    int brokerResult = P2P_ERR_UID_NOT_FOUND;
    std::thread broker;
    bool racing = StartThread(broker, [&] {
        brokerResult = dialer->Dial(uid, settings.searchTimeoutMs, kIceConnectTimeoutMs, stream);
        brokerWon.store(brokerResult == P2P_OK);
    });
    int lan = ConnectLan(
        uid, settings, [&] { return IsCancelled(session) || brokerWon.load(); }, out);
    if (lan == P2P_OK)
        dialer->Cancel();
    if (racing)
        broker.join();
    {
        std::lock_guard<std::mutex> lock(session.mutex);
        session.cancelDial = nullptr;
    }
    if (lan == P2P_OK)
        return P2P_OK; // a stream the broker path may have opened meanwhile goes
    if (IsCancelled(session))
        return P2P_ERR_CANCELLED;
    if (racing && brokerResult == P2P_OK)
        return Bridge(std::move(stream), out);
    return racing && brokerResult == P2P_ERR_CONNECT_FAILED ? brokerResult : lan;
}

// Reaches the device (by the LAN alone when no broker is set, else by the
// race of both paths), then HELLO.
int ConnectSession(ClientSession& session, const std::string& uid, const P2PSettings& settings) {
    Reached reached;
    int r = settings.broker.IsSet() ? RacePaths(session, uid, settings, reached)
                                    : ConnectLan(
                                          uid, settings, [&] { return IsCancelled(session); }, reached);
    if (r != P2P_OK)
        return r;
    r = OpenConnection(session, uid, std::move(reached), settings.sessionTimeoutMs);
    return r == P2P_OK ? AwaitHello(session) : r;
}

int EndedCode(const ClientSession& session) {
    return session.endReason == P2P_ERR_REMOTE_TIMEOUT ? P2P_ERR_REMOTE_TIMEOUT : P2P_ERR_SESSION_CLOSED;
}

} // namespace

int IOTC_Initialize2(unsigned short port) {
    Sdk& sdk = TheSdk();
    if (sdk.forcedTimes.load() > 0) {
        sdk.forcedTimes.fetch_sub(1);
        return sdk.forcedResult.load();
    }
    std::lock_guard<std::mutex> lock(sdk.mutex);
    if (sdk.iotcUp)
        return P2P_ERR_ALREADY_INITIALISED;
    sdk.settings = P2PSettings::Current();
    if (port != 0)
        sdk.settings.port = port;
    sdk.iotcUp = true;
    sdk.initCount.fetch_add(1);
    return P2P_OK;
}

int IOTC_DeInitialize() {
    Sdk& sdk = TheSdk();
    std::map<int, std::shared_ptr<ClientSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(sdk.mutex);
        if (!sdk.iotcUp)
            return P2P_ERR_NOT_INITIALISED;
        sdk.iotcUp = false;
        sessions.swap(sdk.sessions);
        sdk.channels.clear();
        sdk.deinitCount.fetch_add(1);
    }
    // Every session is asked to close first and waited for after, so that the
    // goodbyes run side by side rather than one after another.
    std::vector<std::unique_ptr<Connection>> closing;
    for (auto& entry : sessions)
        closing.push_back(entry.second->Cancel());
    for (std::unique_ptr<Connection>& connection : closing)
        if (connection)
            connection->Join();
    return P2P_OK;
}

int IOTC_Get_SessionID() {
    Sdk& sdk = TheSdk();
    std::lock_guard<std::mutex> lock(sdk.mutex);
    if (!sdk.iotcUp)
        return P2P_ERR_NOT_INITIALISED;
    if (sdk.sessions.size() >= kMaxSessions)
        return P2P_ERR_TOO_MANY_SESSIONS;
    int id = NextId(sdk.nextSession, sdk.sessions);
    sdk.sessions[id] = std::make_shared<ClientSession>(id);
    return id;
}

int IOTC_Connect_ByUID_Parallel(const char* uid, int sessionId) {
    if (uid == nullptr || !IsValidName(uid, kMaxUidLength))
        return P2P_ERR_BAD_ARGUMENT;
    std::shared_ptr<ClientSession> session = FindSession(sessionId);
    if (!session)
        return P2P_ERR_INVALID_SESSION;
    P2PSettings settings;
    {
        Sdk& sdk = TheSdk();
        std::lock_guard<std::mutex> lock(sdk.mutex);
        settings = sdk.settings;
    }
    {
        std::lock_guard<std::mutex> lock(session->mutex);
        if (session->cancelled)
            return P2P_ERR_INVALID_SESSION;
        if (!session->BeginConnect(uid))
            return P2P_ERR_SESSION_IN_USE;
    }
    int r = ConnectSession(*session, uid, settings);
    if (r == P2P_OK)
        return P2P_OK;
    session->Disconnect();
    std::lock_guard<std::mutex> lock(session->mutex);
    if (session->cancelled)
        r = P2P_ERR_CANCELLED;
    session->state = ClientSession::Ended;
    session->endReason = r;
    return r;
}

int IOTC_Session_Check(int sessionId, P2PSessionInfo* info) {
    std::shared_ptr<ClientSession> session = FindSession(sessionId);
    if (!session)
        return P2P_ERR_INVALID_SESSION;
    std::lock_guard<std::mutex> lock(session->mutex);
    if (info != nullptr) {
        std::memset(info, 0, sizeof *info);
        std::strncpy(info->uid, session->uid.c_str(), sizeof info->uid - 1);
        std::strncpy(info->remote, session->remote.c_str(), sizeof info->remote - 1);
        info->state = session->state == ClientSession::Connected ? 1 : session->state == ClientSession::Ended ? 2 : 0;
        info->endReason = session->endReason;
    }
    if (session->state == ClientSession::Connected)
        return P2P_OK;
    if (session->state == ClientSession::Ended)
        return session->endReason;
    return P2P_ERR_INVALID_SESSION;
}

int IOTC_Session_Path(int sessionId, char* path, int size) {
    if (path == nullptr || size <= 0)
        return P2P_ERR_BAD_ARGUMENT;
    path[0] = '\0';
    std::shared_ptr<ClientSession> session = FindSession(sessionId);
    if (!session)
        return P2P_ERR_INVALID_SESSION;
    std::lock_guard<std::mutex> lock(session->mutex);
    if (session->path.empty())
        return P2P_ERR_INVALID_SESSION;
    std::strncpy(path, session->path.c_str(), static_cast<size_t>(size) - 1);
    path[size - 1] = '\0';
    return P2P_OK;
}

int IOTC_Set_Known_Devices_File(const char* path) {
    std::lock_guard<std::mutex> lock(ThePins().mutex);
    ThePins().path = path != nullptr ? path : "";
    return P2P_OK;
}

int IOTC_Session_Identity(int sessionId, char* seen, int seenSize, char* expected, int expectedSize) {
    if ((seen == nullptr && seenSize > 0) || (expected == nullptr && expectedSize > 0) || seenSize < 0 ||
        expectedSize < 0)
        return P2P_ERR_BAD_ARGUMENT;
    std::shared_ptr<ClientSession> session = FindSession(sessionId);
    if (!session)
        return P2P_ERR_INVALID_SESSION;
    std::lock_guard<std::mutex> lock(session->mutex);
    if (!session->secured)
        return P2P_ERR_INVALID_SESSION;
    auto copy = [](const std::string& text, char* out, int size) {
        if (size > 0)
            std::snprintf(out, static_cast<size_t>(size), "%s", text.c_str());
    };
    copy(session->seenFingerprint, seen, seenSize);
    copy(session->expectedFingerprint, expected, expectedSize);
    return P2P_OK;
}

int IOTC_Session_Close(int sessionId) {
    Sdk& sdk = TheSdk();
    std::shared_ptr<ClientSession> session;
    {
        std::lock_guard<std::mutex> lock(sdk.mutex);
        auto it = sdk.sessions.find(sessionId);
        if (it == sdk.sessions.end())
            return P2P_ERR_INVALID_SESSION;
        session = it->second;
        sdk.sessions.erase(it);
        for (auto c = sdk.channels.begin(); c != sdk.channels.end();) {
            if (c->second == session)
                c = sdk.channels.erase(c);
            else
                ++c;
        }
    }
    session->Shutdown();
    return P2P_OK;
}

int avInitialize(int maxChannels) {
    Sdk& sdk = TheSdk();
    std::lock_guard<std::mutex> lock(sdk.mutex);
    if (!sdk.iotcUp)
        return P2P_ERR_NOT_INITIALISED;
    if (maxChannels <= 0)
        return P2P_ERR_AV_BAD_ARGUMENT;
    sdk.avUp = true;
    sdk.maxChannels = maxChannels;
    return maxChannels;
}

int avDeInitialize() {
    Sdk& sdk = TheSdk();
    std::map<int, std::shared_ptr<ClientSession>> channels;
    {
        std::lock_guard<std::mutex> lock(sdk.mutex);
        if (!sdk.avUp)
            return P2P_ERR_AV_NOT_INITIALISED;
        sdk.avUp = false;
        channels.swap(sdk.channels);
    }
    for (auto& entry : channels) {
        ClientSession& session = *entry.second;
        {
            std::lock_guard<std::mutex> lock(session.mutex);
            // The device stops sending; its acknowledgement is not waited for.
            if (session.avActive && session.state == ClientSession::Connected && session.connection)
                session.connection->Send(MSG_AV_STOP, nullptr, 0);
            session.avActive = false;
            session.avCancelled = true;
        }
        session.NotifyAll();
    }
    return P2P_OK;
}

int avClientStart2(int sessionId, const char* account, const char* password, int timeoutMs, uint32_t* serviceType,
                   uint8_t channel, int* resend) {
    if (serviceType != nullptr)
        *serviceType = 0;
    if (resend != nullptr)
        *resend = 0;
    if (account == nullptr || password == nullptr || std::strlen(account) > kMaxAccountLength ||
        std::strlen(password) > kMaxAccountLength)
        return P2P_ERR_AV_BAD_ARGUMENT;
    if (timeoutMs <= 0)
        timeoutMs = kDefaultStartTimeoutMs;
    Sdk& sdk = TheSdk();
    std::shared_ptr<ClientSession> session;
    int avIndex;
    {
        std::lock_guard<std::mutex> lock(sdk.mutex);
        if (!sdk.avUp)
            return P2P_ERR_AV_NOT_INITIALISED;
        auto it = sdk.sessions.find(sessionId);
        if (it == sdk.sessions.end())
            return P2P_ERR_INVALID_SESSION;
        session = it->second;
        for (auto& entry : sdk.channels) {
            if (entry.second == session)
                return P2P_ERR_CHANNEL_IN_USE;
        }
        if (static_cast<int>(sdk.channels.size()) >= sdk.maxChannels)
            return P2P_ERR_TOO_MANY_CHANNELS;
        avIndex = NextId(sdk.nextChannel, sdk.channels);
        sdk.channels[avIndex] = session; // reserved while the device answers
    }
    auto release = [&](int code) {
        std::lock_guard<std::mutex> lock(sdk.mutex);
        auto it = sdk.channels.find(avIndex);
        if (it != sdk.channels.end() && it->second == session)
            sdk.channels.erase(it);
        return code;
    };

    std::unique_lock<std::mutex> lock(session->mutex);
    if (session->state == ClientSession::Ended)
        return release(EndedCode(*session));
    if (session->state != ClientSession::Connected || !session->connection)
        return release(P2P_ERR_INVALID_SESSION);
    session->avStartResult.reset();
    session->avCancelled = false;
    session->stopAcked = false;
    std::vector<uint8_t> start = EncodeAvStart(channel, account, password);
    int sent = session->connection->Send(MSG_AV_START, start.data(), start.size());
    if (sent != P2P_OK)
        return release(sent);
    session->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return session->avStartResult.has_value() || session->state == ClientSession::Ended || session->cancelled;
    });
    if (session->cancelled)
        return release(P2P_ERR_CANCELLED);
    if (!session->avStartResult && session->state == ClientSession::Ended)
        return release(EndedCode(*session));
    if (!session->avStartResult) {
        // The answer may still come: stop the channel it would open on the
        // device, and let that answer pass unheeded, so that a retry works.
        ++session->staleStartAcks;
        session->connection->Send(MSG_AV_STOP, nullptr, 0);
        return release(P2P_ERR_AV_TIMEOUT);
    }
    int32_t result = *session->avStartResult;
    if (result < 0)
        return release(result);
    if (session->avCancelled)
        return release(P2P_ERR_AV_NOT_INITIALISED);
    session->avActive = true;
    session->audioWanted = false;
    session->DropFrames();
    return avIndex;
}

int avSendIOCtrl(int avIndex, unsigned int type, const char* data, int length) {
    if (avIndex < 0 || length < 0 || static_cast<size_t>(length) > kMaxIOCtrlSize || (data == nullptr && length > 0))
        return P2P_ERR_AV_BAD_ARGUMENT;
    std::shared_ptr<ClientSession> session = FindChannel(avIndex);
    if (!session)
        return P2P_ERR_INVALID_SESSION;
    std::lock_guard<std::mutex> lock(session->mutex);
    if (session->state == ClientSession::Ended)
        return EndedCode(*session);
    if (!session->avActive || !session->connection)
        return P2P_ERR_INVALID_SESSION;
    if (type == kIOCtrlAudioStart)
        session->audioWanted = true;
    uint8_t typeBytes[4];
    PutU32(typeBytes, type);
    return session->connection->Send(MSG_IOCTRL, typeBytes, 4, reinterpret_cast<const uint8_t*>(data),
                                     static_cast<size_t>(length));
}

int avRecvFrameData2(int avIndex, char* buf, int bufSize, int* actualSize, int* expectedSize, char* info, int infoSize,
                     int* infoActual, unsigned int* frameIndex) {
    if (avIndex < 0 || buf == nullptr || bufSize <= 0)
        return P2P_ERR_AV_BAD_ARGUMENT;
    std::shared_ptr<ClientSession> session = FindChannel(avIndex);
    if (!session)
        return P2P_ERR_INVALID_SESSION;
    return session->Take(true, buf, bufSize, actualSize, expectedSize, info, infoSize, infoActual, frameIndex);
}

int avRecvAudioData(int avIndex, char* buf, int bufSize, char* info, int infoSize, unsigned int* frameIndex) {
    if (avIndex < 0 || buf == nullptr || bufSize <= 0)
        return P2P_ERR_AV_BAD_ARGUMENT;
    std::shared_ptr<ClientSession> session = FindChannel(avIndex);
    if (!session)
        return P2P_ERR_INVALID_SESSION;
    return session->Take(false, buf, bufSize, nullptr, nullptr, info, infoSize, nullptr, frameIndex);
}

int avWaitFrameData(int avIndex, int timeoutMs) {
    std::shared_ptr<ClientSession> session = FindChannel(avIndex);
    return session ? session->WaitFrame(true, timeoutMs) : P2P_ERR_INVALID_SESSION;
}

int avWaitAudioData(int avIndex, int timeoutMs) {
    std::shared_ptr<ClientSession> session = FindChannel(avIndex);
    return session ? session->WaitFrame(false, timeoutMs) : P2P_ERR_INVALID_SESSION;
}

void avClientStop(int avIndex) {
    Sdk& sdk = TheSdk();
    std::shared_ptr<ClientSession> session;
    {
        std::lock_guard<std::mutex> lock(sdk.mutex);
        auto it = sdk.channels.find(avIndex);
        if (it == sdk.channels.end())
            return;
        session = it->second;
        sdk.channels.erase(it);
    }
    std::unique_lock<std::mutex> lock(session->mutex);
    if (!session->avActive)
        return;
    session->avActive = false;
    session->DropFrames();
    session->stopAcked = false;
    if (session->state != ClientSession::Connected || !session->connection)
        return;
    if (session->connection->Send(MSG_AV_STOP, nullptr, 0) != P2P_OK)
        return;
    session->cv.wait_for(lock, std::chrono::milliseconds(kStopTimeoutMs), [&] {
        return session->stopAcked || session->avCancelled || session->cancelled ||
               session->state == ClientSession::Ended;
    });
}

namespace p2p::test {

void ForceInitializeResult(int result, int times) {
    TheSdk().forcedResult.store(result);
    TheSdk().forcedTimes.store(times);
}

int InitializeCount() {
    return TheSdk().initCount.load();
}
int DeInitializeCount() {
    return TheSdk().deinitCount.load();
}

bool IsInitialised() {
    Sdk& sdk = TheSdk();
    std::lock_guard<std::mutex> lock(sdk.mutex);
    return sdk.iotcUp;
}

int SessionCount() {
    Sdk& sdk = TheSdk();
    std::lock_guard<std::mutex> lock(sdk.mutex);
    return static_cast<int>(sdk.sessions.size());
}

int ChannelCount() {
    Sdk& sdk = TheSdk();
    std::lock_guard<std::mutex> lock(sdk.mutex);
    return static_cast<int>(sdk.channels.size());
}

static int Pending(int avIndex, bool video) {
    std::shared_ptr<ClientSession> session = FindChannel(avIndex);
    if (!session)
        return -1;
    std::lock_guard<std::mutex> lock(session->mutex);
    return static_cast<int>(video ? session->video.size() : session->audio.size());
}

int PendingVideoFrames(int avIndex) {
    return Pending(avIndex, true);
}
int PendingAudioFrames(int avIndex) {
    return Pending(avIndex, false);
}

} // namespace p2p::test

long long p2p::test::ArrivedVideoFrames(int avIndex) {
    std::shared_ptr<ClientSession> session = FindChannel(avIndex);
    if (!session)
        return -1;
    std::lock_guard<std::mutex> lock(session->mutex);
    return static_cast<long long>(session->videoArrived);
}

namespace {
std::atomic<bool> g_tlsDisabled{false};
} // namespace

void p2p::test::DisableTls(bool disabled) {
    g_tlsDisabled.store(disabled);
}

bool p2p::test::TlsDisabled() {
    return g_tlsDisabled.load();
}
