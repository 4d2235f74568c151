// The transport over loopback: client calls against the real device side, and
// both sides against a peer that breaks the protocol.
#include "Device.h"
#include "P2PApi.h"
#include "P2PErrors.h"
#include "P2PSettings.h"
#include "P2PTestHooks.h"
#include "Protocol.h"
#include "SocketUtil.h"
#include "TestNet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace p2p;
using testnet::SecondsSince;
using testnet::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

class Listener : public DeviceListener {
public:
    bool OnAvStart(int session, const std::string&, const std::string&, bool matches) override {
        if (matches) {
            std::lock_guard<std::mutex> lock(mutex);
            active.push_back(session);
        }
        return matches;
    }
    void OnIOCtrl(int session, uint32_t type, const uint8_t* payload, size_t length) override {
        std::lock_guard<std::mutex> lock(mutex);
        ioctrls.push_back({session, type, std::vector<uint8_t>(payload, payload + length)});
    }
    bool OnAvStop(int) override {
        stops++;
        return ackStop.load();
    }
    void OnSessionClosed(int, int reason) override {
        lastCloseReason = reason;
        closed++;
    }
    std::vector<int> Active() {
        std::lock_guard<std::mutex> lock(mutex);
        return active;
    }
    size_t IOCtrlCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return ioctrls.size();
    }

    struct IOCtrl {
        int session;
        uint32_t type;
        std::vector<uint8_t> payload;
    };
    std::mutex mutex;
    std::vector<int> active;
    std::vector<IOCtrl> ioctrls;
    std::atomic<bool> ackStop{true};
    std::atomic<int> stops{0};
    std::atomic<int> closed{0};
    std::atomic<int> lastCloseReason{0};
};

// A started device serving one UID of its own.
struct ServedDevice {
    explicit ServedDevice(const std::string& tag) : device(listener), uid(testnet::UniqueUid(tag)) {
        device.AddUid(uid, "admin", "531642");
        started = device.Start(P2PSettings::Current()) == 0;
    }
    Listener listener;
    Device device;
    std::string uid;
    bool started = false;
};

class TransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testnet::UseIsolatedPorts(3000, 1500); }
    void SetUp() override {
        ASSERT_EQ(IOTC_Initialize2(0), 0);
        ASSERT_GE(avInitialize(8), 0);
    }
    void TearDown() override {
        avDeInitialize();
        IOTC_DeInitialize();
    }

    // Connects and opens the channel; returns the channel index.
    int Open(const std::string& uid, int& sid, const char* password = "531642") {
        sid = IOTC_Get_SessionID();
        EXPECT_GE(sid, 0);
        int r = IOTC_Connect_ByUID_Parallel(uid.c_str(), sid);
        if (r < 0)
            return r;
        return avClientStart2(sid, "admin", password, 5000, nullptr, 0, nullptr);
    }

    // Opens a channel to `served` and waits for its session there; returns the channel index.
    int OpenServed(ServedDevice& served, int& sid, int& session) {
        const int av = Open(served.uid, sid);
        EXPECT_GE(av, 0);
        EXPECT_TRUE(WaitUntil([&] { return served.listener.Active().size() == 1; }, 3000));
        session = served.listener.Active().empty() ? -1 : served.listener.Active()[0];
        return av;
    }

    static void SendVideo(Device& device, int session, uint32_t number, uint32_t timestamp, size_t size) {
        std::vector<uint8_t> data(size, static_cast<uint8_t>(number));
        FrameInfo info;
        info.codec = kCodecH264;
        info.frameNumber = number;
        info.timestamp = timestamp;
        ASSERT_EQ(device.SendVideo(session, info, data.data(), data.size()), 0);
    }
};

} // namespace

TEST_F(TransportTest, InitialiseTwiceAnswersMinusThree) {
    EXPECT_EQ(IOTC_Initialize2(0), P2P_ERR_ALREADY_INITIALISED);
    EXPECT_TRUE(test::IsInitialised());
}

TEST_F(TransportTest, FramesArriveInOrderAndOversizedOnesAreSkipped) {
    ServedDevice served("ORDER");
    ASSERT_TRUE(served.started);
    Listener& listener = served.listener;
    int sid = -1, session = -1;
    const int av = OpenServed(served, sid, session);
    ASSERT_GE(session, 0);

    // An IOCTRL with a payload arrives whole.
    const char zero[2] = {0, 0};
    ASSERT_EQ(avSendIOCtrl(av, 0x00FF, zero, 2), 0);
    ASSERT_EQ(avSendIOCtrl(av, 0x01FF, nullptr, 0), 0);
    ASSERT_TRUE(WaitUntil([&] { return listener.IOCtrlCount() == 2; }, 3000));
    EXPECT_EQ(listener.ioctrls[0].type, 0x00FFu);
    EXPECT_EQ(listener.ioctrls[0].payload, std::vector<uint8_t>({0, 0}));
    EXPECT_EQ(listener.ioctrls[1].type, 0x01FFu);
    EXPECT_TRUE(listener.ioctrls[1].payload.empty());

    for (uint32_t i = 0; i < 10; ++i)
        SendVideo(served.device, session, i, 1000 * i, i == 4 ? 48001 : (i == 5 ? 48000 : 100 + i));
    std::vector<char> buf(48000);
    char info[16];
    std::vector<uint32_t> stamps;
    int tooLarge = 0;
    ASSERT_TRUE(WaitUntil(
        [&] {
            int actual = 0, expected = 0, infoSize = 0;
            unsigned int index = 0;
            int n = avRecvFrameData2(av, buf.data(), 48000, &actual, &expected, info, 16, &infoSize, &index);
            if (n == P2P_ERR_BUFFER_TOO_SMALL) {
                EXPECT_EQ(expected, 48001);
                EXPECT_EQ(index, 4u);
                ++tooLarge;
            } else if (n >= 0) {
                EXPECT_EQ(infoSize, 16);
                EXPECT_EQ(actual, n);
                EXPECT_EQ(static_cast<uint8_t>(buf[0]), static_cast<uint8_t>(index));
                stamps.push_back(DecodeFrameInfo(reinterpret_cast<uint8_t*>(info)).timestamp);
                if (index == 5) {
                    EXPECT_EQ(n, 48000);
                }
            } else {
                EXPECT_EQ(n, P2P_ERR_NO_DATA);
            }
            return stamps.size() == 9;
        },
        5000));
    EXPECT_EQ(tooLarge, 1);
    EXPECT_EQ(stamps, (std::vector<uint32_t>{0, 1000, 2000, 3000, 5000, 6000, 7000, 8000, 9000}));
    int actual, expected, infoSize;
    unsigned int index;
    EXPECT_EQ(avRecvFrameData2(av, buf.data(), 48000, &actual, &expected, info, 16, &infoSize, &index),
              P2P_ERR_NO_DATA);
    EXPECT_EQ(avRecvAudioData(av, buf.data(), 1024, info, 16, &index), P2P_ERR_NO_DATA);
    EXPECT_EQ(avRecvAudioData(-1, buf.data(), 1024, info, 16, &index), P2P_ERR_AV_BAD_ARGUMENT);

    auto start = Clock::now();
    avClientStop(av);
    EXPECT_LT(SecondsSince(start), 3.0);
    EXPECT_EQ(listener.stops.load(), 1);
    EXPECT_EQ(avSendIOCtrl(av, 0x01FF, nullptr, 0), P2P_ERR_INVALID_SESSION);
    EXPECT_EQ(IOTC_Session_Close(sid), 0);
    EXPECT_EQ(test::SessionCount(), 0);
    EXPECT_EQ(test::ChannelCount(), 0);
}

TEST_F(TransportTest, UnknownUidFailsWithinTheSearchTimeAndLeavesNothing) {
    int sid = IOTC_Get_SessionID();
    ASSERT_GE(sid, 0);
    auto start = Clock::now();
    EXPECT_EQ(IOTC_Connect_ByUID_Parallel(testnet::UniqueUid("NOBODY").c_str(), sid), P2P_ERR_UID_NOT_FOUND);
    EXPECT_LT(SecondsSince(start), 6.0);
    EXPECT_EQ(avClientStart2(sid, "admin", "531642", 1000, nullptr, 0, nullptr), P2P_ERR_SESSION_CLOSED);
    EXPECT_EQ(IOTC_Session_Close(sid), 0);
    EXPECT_EQ(IOTC_Session_Close(sid), P2P_ERR_INVALID_SESSION);
    EXPECT_EQ(test::SessionCount(), 0);
    EXPECT_EQ(test::ChannelCount(), 0);
    EXPECT_EQ(IOTC_Connect_ByUID_Parallel("bad uid", 0), P2P_ERR_BAD_ARGUMENT);
    EXPECT_EQ(IOTC_Connect_ByUID_Parallel(nullptr, 0), P2P_ERR_BAD_ARGUMENT);
}

TEST_F(TransportTest, WrongPasswordIsRefused) {
    ServedDevice served("PWD");
    ASSERT_TRUE(served.started);
    int sid = -1;
    EXPECT_EQ(Open(served.uid, sid, "wrong"), P2P_ERR_WRONG_ACCOUNT);
    EXPECT_EQ(test::ChannelCount(), 0);
    // The session stays usable: the right password opens the channel.
    int av = avClientStart2(sid, "admin", "531642", 5000, nullptr, 0, nullptr);
    EXPECT_GE(av, 0);
    IOTC_Session_Close(sid);
    EXPECT_EQ(test::ChannelCount(), 0);
}

TEST_F(TransportTest, DeviceCloseEndsTheSessionAfterTheQueuedFrames) {
    ServedDevice served("CLOSE");
    ASSERT_TRUE(served.started);
    int sid = -1, session = -1;
    const int av = OpenServed(served, sid, session);
    ASSERT_GE(session, 0);
    for (uint32_t i = 0; i < 3; ++i)
        SendVideo(served.device, session, i, i, 500);
    ASSERT_TRUE(WaitUntil([&] { return test::PendingVideoFrames(av) == 3; }, 3000));
    served.device.CloseSession(session);
    ASSERT_TRUE(WaitUntil([&] { return IOTC_Session_Check(sid, nullptr) != 0; }, 3000));
    EXPECT_EQ(IOTC_Session_Check(sid, nullptr), P2P_ERR_SESSION_CLOSED);
    std::vector<char> buf(48000);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(avRecvFrameData2(av, buf.data(), 48000, nullptr, nullptr, nullptr, 0, nullptr, nullptr), 500);
    EXPECT_EQ(avRecvFrameData2(av, buf.data(), 48000, nullptr, nullptr, nullptr, 0, nullptr, nullptr),
              P2P_ERR_SESSION_CLOSED);
    EXPECT_EQ(avRecvAudioData(av, buf.data(), 1024, nullptr, 0, nullptr), P2P_ERR_SESSION_CLOSED);
    auto start = Clock::now();
    avClientStop(av);
    EXPECT_LT(SecondsSince(start), 1.0);
    IOTC_Session_Close(sid);
}

TEST_F(TransportTest, SilentDeviceEndsInRemoteTimeout) {
    ServedDevice served("SILENT");
    ASSERT_TRUE(served.started);
    int sid = -1, session = -1;
    const int av = OpenServed(served, sid, session);
    ASSERT_GE(session, 0);
    served.device.FreezeSession(session);
    std::vector<char> buf(1024);
    auto start = Clock::now();
    ASSERT_TRUE(WaitUntil(
        [&] { return avRecvAudioData(av, buf.data(), 1024, nullptr, 0, nullptr) == P2P_ERR_REMOTE_TIMEOUT; }, 10000));
    EXPECT_GT(SecondsSince(start), 1.0); // the configured silence is 3 s
    IOTC_Session_Close(sid);
    // The silent side still notices that the client is gone.
    EXPECT_TRUE(WaitUntil([&] { return served.device.SessionCount() == 0; }, 3000));
}

TEST_F(TransportTest, UnansweredStopEndsWhenTheSessionCloses) {
    ServedDevice served("NOACK");
    ASSERT_TRUE(served.started);
    served.listener.ackStop = false;
    int sid = -1;
    const int av = Open(served.uid, sid);
    ASSERT_GE(av, 0);
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        avClientStop(av);
        stopped = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return served.listener.stops.load() == 1; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(stopped.load());
    auto start = Clock::now();
    IOTC_Session_Close(sid);
    EXPECT_TRUE(WaitUntil([&] { return stopped.load(); }, 3000));
    EXPECT_LT(SecondsSince(start), 3.0);
    stopper.join();
    avClientStop(av); // a stale index is ignored
}

TEST_F(TransportTest, FourDevicesAndTwoViewersOfOne) {
    std::vector<std::unique_ptr<ServedDevice>> served;
    for (int i = 0; i < 4; ++i) {
        served.push_back(std::make_unique<ServedDevice>("FOUR"));
        ASSERT_TRUE(served.back()->started);
    }
    // Four clients, one per device, and a fifth on device 0, connecting at once.
    std::vector<int> sids(5, -1), avs(5, -1);
    std::vector<std::thread> connects;
    for (int c = 0; c < 5; ++c)
        connects.emplace_back([&, c] { avs[c] = Open(served[c % 4]->uid, sids[c]); });
    for (std::thread& t : connects)
        t.join();
    for (int c = 0; c < 5; ++c)
        ASSERT_GE(avs[c], 0) << "client " << c;
    ASSERT_TRUE(WaitUntil([&] { return served[0]->listener.Active().size() == 2; }, 3000));
    for (int d = 0; d < 4; ++d) {
        for (int session : served[d]->listener.Active()) {
            for (uint32_t i = 0; i < 5; ++i)
                SendVideo(served[d]->device, session, i, static_cast<uint32_t>(d * 100 + i), 1000);
        }
    }
    std::vector<char> buf(48000);
    char info[16];
    for (int c = 0; c < 5; ++c) {
        std::vector<uint32_t> stamps;
        ASSERT_TRUE(WaitUntil(
            [&] {
                int n = avRecvFrameData2(avs[c], buf.data(), 48000, nullptr, nullptr, info, 16, nullptr, nullptr);
                if (n >= 0)
                    stamps.push_back(DecodeFrameInfo(reinterpret_cast<uint8_t*>(info)).timestamp);
                return stamps.size() == 5;
            },
            5000))
            << "client " << c;
        uint32_t base = static_cast<uint32_t>((c % 4) * 100);
        EXPECT_EQ(stamps, (std::vector<uint32_t>{base, base + 1, base + 2, base + 3, base + 4}));
    }
    for (int c = 0; c < 5; ++c) {
        avClientStop(avs[c]);
        IOTC_Session_Close(sids[c]);
    }
    EXPECT_EQ(test::SessionCount(), 0);
}

namespace {

// A hostile device: answers the search and the session set-up correctly,
// then runs `attack` on the session's socket.
class FakeDevice {
public:
    FakeDevice(const std::string& uid, std::function<void(int fd)> attack, bool answerStart = true)
        : m_uid(uid), m_attack(std::move(attack)), m_answerStart(answerStart) {
        P2PSettings s = P2PSettings::Current();
        for (int i = 0; i < s.portSpan && m_udp.get() < 0; ++i) {
            UniqueFd fd(socket(AF_INET, SOCK_DGRAM, 0));
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(static_cast<uint16_t>(s.port + i));
            if (bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
                m_udp = std::move(fd);
        }
        m_listen.reset(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(m_listen.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        listen(m_listen.get(), 1);
        getsockname(m_listen.get(), reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread(&FakeDevice::Run, this);
    }
    ~FakeDevice() {
        m_stop = true;
        m_thread.join();
    }

private:
    bool ReadMessage(int fd, uint16_t& type) {
        uint8_t header[kHeaderSize];
        if (!ReadAll(fd, header, kHeaderSize))
            return false;
        type = GetU16(header + 2);
        std::vector<uint8_t> payload(GetU32(header + 4));
        return ReadAll(fd, payload.data(), payload.size());
    }
    bool ReadAll(int fd, uint8_t* p, size_t n) {
        while (n > 0) {
            pollfd pfd{fd, POLLIN, 0};
            if (poll(&pfd, 1, 3000) <= 0)
                return false;
            ssize_t r = recv(fd, p, n, 0);
            if (r <= 0)
                return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    void Reply(int fd, uint16_t type, int32_t result) {
        uint8_t m[kHeaderSize + 4];
        EncodeHeader(type, 4, m);
        PutU32(m + kHeaderSize, static_cast<uint32_t>(result));
        send(fd, m, sizeof m, MSG_NOSIGNAL);
    }
    void Run() {
        UniqueFd session;
        while (!m_stop && session.get() < 0) {
            pollfd fds[2] = {{m_udp.get(), POLLIN, 0}, {m_listen.get(), POLLIN, 0}};
            poll(fds, 2, 50);
            if (fds[0].revents & POLLIN) {
                uint8_t buf[256];
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t n = recvfrom(m_udp.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                uint32_t nonce;
                std::string uid;
                if (n > 0 && DecodeSearchRequest(buf, static_cast<size_t>(n), nonce, uid) && uid == m_uid) {
                    std::vector<uint8_t> answer = EncodeSearchAnswer(nonce, uid, m_port);
                    sendto(m_udp.get(), answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
                }
            }
            if (fds[1].revents & POLLIN)
                session.reset(accept(m_listen.get(), nullptr, nullptr));
        }
        uint16_t type = 0;
        if (session.get() < 0 || !ReadMessage(session.get(), type) || type != MSG_HELLO)
            return;
        Reply(session.get(), MSG_HELLO_ACK, 0);
        if (!ReadMessage(session.get(), type) || type != MSG_AV_START)
            return;
        if (m_answerStart)
            Reply(session.get(), MSG_AV_START_ACK, 0);
        m_attack(session.get());
        while (!m_stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    std::string m_uid;
    std::function<void(int)> m_attack;
    bool m_answerStart;
    UniqueFd m_udp;
    UniqueFd m_listen;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

std::vector<uint8_t> Header(uint16_t type, uint32_t length) {
    std::vector<uint8_t> h(kHeaderSize);
    EncodeHeader(type, length, h.data());
    return h;
}

} // namespace

TEST_F(TransportTest, ClientSurvivesAHostileDevice) {
    struct Attack {
        const char* name;
        std::vector<uint8_t> bytes;
        bool closeAfter;
        int endCode;     // what the receive calls answer in the end
        int checkReason; // the session's end reason
    };
    std::vector<uint8_t> truncated = Header(MSG_VIDEO, 5000);
    truncated.resize(truncated.size() + 100, 0x11);
    std::vector<uint8_t> unexpected = Header(MSG_IOCTRL, 4);
    unexpected.resize(unexpected.size() + 4, 0);
    std::vector<Attack> attacks = {
        {"garbage",
         {'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '2', '0', '0'},
         false,
         P2P_ERR_SESSION_CLOSED,
         P2P_ERR_PROTOCOL},
        {"oversized frame header", Header(MSG_VIDEO, 0x7FFFFFFF), false, P2P_ERR_SESSION_CLOSED, P2P_ERR_PROTOCOL},
        {"a message only clients send", unexpected, false, P2P_ERR_SESSION_CLOSED, P2P_ERR_PROTOCOL},
        {"truncated frame, then close", truncated, true, P2P_ERR_SESSION_CLOSED, P2P_ERR_SESSION_CLOSED},
        {"truncated frame, then silence", truncated, false, P2P_ERR_REMOTE_TIMEOUT, P2P_ERR_REMOTE_TIMEOUT},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        std::string uid = testnet::UniqueUid("HOSTILE");
        FakeDevice fake(uid, [&](int fd) {
            send(fd, attack.bytes.data(), attack.bytes.size(), MSG_NOSIGNAL);
            if (attack.closeAfter)
                shutdown(fd, SHUT_RDWR);
        });
        int sid = -1;
        int av = Open(uid, sid);
        ASSERT_GE(av, 0);
        std::vector<char> buf(48000);
        int last = 0;
        EXPECT_TRUE(WaitUntil(
            [&] {
                last = avRecvFrameData2(av, buf.data(), 48000, nullptr, nullptr, nullptr, 0, nullptr, nullptr);
                return last != P2P_ERR_NO_DATA;
            },
            10000));
        EXPECT_EQ(last, attack.endCode);
        EXPECT_EQ(IOTC_Session_Check(sid, nullptr), attack.checkReason);
        avClientStop(av);
        IOTC_Session_Close(sid);
    }
}

TEST_F(TransportTest, DeviceSurvivesHostileClients) {
    ServedDevice served("TARGET");
    ASSERT_TRUE(served.started);
    Device& device = served.device;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(device.GetTcpPort());
    std::vector<uint8_t> beforeHello = Header(MSG_AV_START, 5);
    beforeHello.resize(beforeHello.size() + 5, 0);
    std::vector<uint8_t> badHello = Header(MSG_HELLO, 10);
    badHello.resize(badHello.size() + 10, 0xFF);
    std::vector<uint8_t> frameFromClient = Header(MSG_VIDEO, 16);
    frameFromClient.resize(frameFromClient.size() + 16, 0);
    std::vector<std::vector<uint8_t>> attacks = {{'G', 'E', 'T', ' ', '/', '\r', '\n'},
                                                 Header(MSG_IOCTRL, 0xFFFFFFF0u),
                                                 beforeHello,
                                                 badHello,
                                                 frameFromClient,
                                                 {}}; // silence
    for (size_t i = 0; i < attacks.size(); ++i) {
        SCOPED_TRACE(i);
        UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
        ASSERT_EQ(connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        send(fd.get(), attacks[i].data(), attacks[i].size(), MSG_NOSIGNAL);
        // The device hangs up (perhaps after a close message).
        auto start = Clock::now();
        bool hungUp = false;
        while (!hungUp && SecondsSince(start) < 10) {
            pollfd p{fd.get(), POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                uint8_t buf[256];
                hungUp = recv(fd.get(), buf, sizeof buf, 0) <= 0;
            }
        }
        EXPECT_TRUE(hungUp);
    }
    // A garbage search datagram is ignored.
    UniqueFd udp(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in search = addr;
    search.sin_port = htons(device.GetSearchPort());
    const char junk[] = "VPSQ\x01\xff junk";
    sendto(udp.get(), junk, sizeof junk, 0, reinterpret_cast<sockaddr*>(&search), sizeof search);
    // And the device still serves a proper client.
    int sid = -1;
    EXPECT_GE(Open(served.uid, sid), 0);
    IOTC_Session_Close(sid);
    EXPECT_TRUE(WaitUntil([&] { return device.SessionCount() == 0; }, 3000));
}

TEST_F(TransportTest, ChannelStartHonoursItsTimeOut) {
    std::string uid = testnet::UniqueUid("MUTE");
    FakeDevice fake(
        uid, [](int) {}, false);
    int sid = IOTC_Get_SessionID();
    ASSERT_EQ(IOTC_Connect_ByUID_Parallel(uid.c_str(), sid), 0);
    auto start = Clock::now();
    EXPECT_EQ(avClientStart2(sid, "admin", "531642", 1000, nullptr, 0, nullptr), P2P_ERR_AV_TIMEOUT);
    double took = SecondsSince(start);
    EXPECT_GT(took, 0.8);
    EXPECT_LT(took, 4.0);
    EXPECT_EQ(test::ChannelCount(), 0);
    IOTC_Session_Close(sid);
}
