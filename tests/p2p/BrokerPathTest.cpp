// The whole connect with a broker set: IOTC_Connect_ByUID_Parallel races the
// LAN search against the broker path to a real Device, on a real mosquitto
// with the sample ACL and loopback ICE. A path that is not cancelled when it
// should be shows as a hang: the search times here are a minute long.
#include "p2p/BrokerDialer.h"
#include "p2p/Device.h"
#include "p2p/P2PApi.h"
#include "p2p/P2PErrors.h"
#include "p2p/P2PSettings.h"
#include "tests/support/TestBroker.h"
#include "tests/support/TestNet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace p2p;

namespace {

constexpr int kLongSearchMs = 60000;

// Sends a small video frame to every session whose channel is open, until stopped.
class StreamingListener : public DeviceListener {
public:
    explicit StreamingListener(Device& device) : m_device(device) {
        m_sender = std::thread([this] {
            const std::vector<uint8_t> frame(1000, 0x42);
            FrameInfo info;
            while (!m_stop.load()) {
                std::vector<int> sessions;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    sessions = m_active;
                }
                for (int session : sessions)
                    m_device.SendVideo(session, info, frame.data(), frame.size());
                info.frameNumber++;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~StreamingListener() override {
        m_stop.store(true);
        m_sender.join();
    }
    bool OnAvStart(int session, const std::string&, const std::string&, bool matches) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (matches)
            m_active.push_back(session);
        return matches;
    }
    void OnSessionOpened(int, const std::string&, const std::string& peer) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastPeer = peer;
    }
    std::vector<int> Active() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_active;
    }
    std::string LastPeer() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastPeer;
    }

private:
    Device& m_device;
    std::mutex m_mutex;
    std::vector<int> m_active;
    std::string m_lastPeer;
    std::atomic<bool> m_stop{false};
    std::thread m_sender;
};

class BrokerPathTest : public ::testing::Test {
protected:
    BrokerPathTest() : uid(testnet::UniqueUid("PATH")), broker({{uid, "pw"}, {"desk-01", "pw"}}) {}

    void SetUp() override {
        testnet::UseIsolatedPorts(3000, 1500);
        ASSERT_TRUE(broker.Start());
        lan = P2PSettings::Current();
        lan.broker = {"127.0.0.1", broker.port()};
        lan.brokerPassword = "pw";
    }
    void TearDown() override {
        device.Stop(); // before the listener goes
        avDeInitialize();
        IOTC_DeInitialize();
        P2PSettings::ClearOverride();
    }

    // The device registers with the broker under its UID's account.
    void StartDevice(const P2PSettings& settings) {
        P2PSettings own = settings;
        own.brokerUser = uid;
        device.AddUid(uid, "admin", "531642");
        ASSERT_EQ(device.Start(own), P2P_OK);
        ASSERT_TRUE(device.WaitBrokerConnected(5000));
    }
    // The desk calls with `settings` as the transport's settings.
    void StartClient(P2PSettings settings) {
        settings.brokerUser = "desk-01";
        P2PSettings::Set(settings);
        ASSERT_EQ(IOTC_Initialize2(0), P2P_OK);
        ASSERT_GE(avInitialize(8), 0);
    }
    static std::string PathOf(int sid) {
        char path[16] = "?";
        IOTC_Session_Path(sid, path, sizeof path);
        return path;
    }
    // Opens the channel on a connected session and waits for a frame.
    static bool FramesArrive(int sid) {
        int av = avClientStart2(sid, "admin", "531642", 5000, nullptr, 0, nullptr);
        std::vector<char> buf(48000);
        bool arrived = av >= 0 && testnet::WaitUntil(
                                      [&] {
                                          return avRecvFrameData2(av, buf.data(), 48000, nullptr, nullptr, nullptr, 0,
                                                                  nullptr, nullptr) >= 0;
                                      },
                                      10000);
        if (av >= 0)
            avClientStop(av);
        return arrived;
    }

    std::string uid;
    TestBroker broker;
    P2PSettings lan; // the isolated LAN ports with the broker set
    Device device{listener};
    StreamingListener listener{device};
};

TEST_F(BrokerPathTest, DeviceOnlyBehindTheBrokerIsReachedDirectly) {
    StartDevice(lan);
    P2PSettings client = lan;
    client.hosts = {"127.0.0.2"}; // no device answers the search there
    client.searchTimeoutMs = kLongSearchMs;
    StartClient(client);

    // Two panes at once, each on an ICE stream of its own.
    std::mutex mutex;
    std::vector<std::string> faults;
    std::vector<std::string> devicePaths; // the device's sessions as the panes saw them, "" once closed
    std::vector<std::thread> panes;
    for (int pane = 0; pane < 2; ++pane)
        panes.emplace_back([&, pane] {
            int sid = IOTC_Get_SessionID();
            int r = IOTC_Connect_ByUID_Parallel(uid.c_str(), sid);
            P2PSessionInfo info{};
            bool ok = r == P2P_OK && PathOf(sid) == "direct" && IOTC_Session_Check(sid, &info) == P2P_OK &&
                      info.remote[0] != '\0' && FramesArrive(sid);
            // While this pane's session is open, the device's side of it is too.
            std::vector<std::string> paths;
            for (int session : listener.Active())
                paths.push_back(device.SessionPath(session));
            IOTC_Session_Close(sid);
            std::lock_guard<std::mutex> lock(mutex);
            devicePaths.insert(devicePaths.end(), paths.begin(), paths.end());
            if (!ok)
                faults.push_back("pane " + std::to_string(pane) + ": connect " + std::to_string(r) + ", path \"" +
                                 PathOf(sid) + "\"");
        });
    for (std::thread& pane : panes)
        pane.join();
    EXPECT_TRUE(faults.empty()) << faults.front();
    // The device names a session by the client's ICE address, as it would a TCP peer.
    EXPECT_NE(std::count(devicePaths.begin(), devicePaths.end(), "direct"), 0);
    EXPECT_EQ(std::count(devicePaths.begin(), devicePaths.end(), "direct") +
                  std::count(devicePaths.begin(), devicePaths.end(), ""),
              static_cast<long>(devicePaths.size()));
    EXPECT_NE(listener.LastPeer().find(':'), std::string::npos) << listener.LastPeer();
}

TEST_F(BrokerPathTest, StreamThatNeverSaysHelloIsDroppedLikeATcpConnection) {
    StartDevice(lan);
    P2PSettings desk = lan;
    desk.brokerUser = "desk-01";
    BrokerDialer dialer(desk);
    std::unique_ptr<IceStream> stream;
    ASSERT_EQ(dialer.Dial(uid, 5000, 5000, stream), P2P_OK);
    ASSERT_TRUE(testnet::WaitUntil([&] { return device.SessionCount() == 1; }, 5000));
    // Dropped as a silent TCP connection is (here by the 3 s silence time-out, before the HELLO deadline).
    EXPECT_TRUE(testnet::WaitUntil([&] { return device.SessionCount() == 0; }, 15000));
}

TEST_F(BrokerPathTest, LanWinsAndTheBrokerDialIsCancelled) {
    // The device is on the LAN but not registered with the broker: the
    // broker dial would wait the whole search time for an answer.
    device.AddUid(uid, "admin", "531642");
    ASSERT_EQ(device.Start(P2PSettings::Current()), P2P_OK);
    P2PSettings client = lan;
    client.searchTimeoutMs = kLongSearchMs;
    StartClient(client);

    for (int round = 0; round < 2; ++round) {
        int sid = IOTC_Get_SessionID();
        ASSERT_EQ(IOTC_Connect_ByUID_Parallel(uid.c_str(), sid), P2P_OK);
        EXPECT_EQ(PathOf(sid), "lan");
        EXPECT_TRUE(FramesArrive(sid));
        EXPECT_EQ(IOTC_Session_Close(sid), P2P_OK);
    }
}

TEST_F(BrokerPathTest, CloseDuringTheBrokerDialCancelsBothPaths) {
    P2PSettings client = lan;
    client.hosts = {"127.0.0.2"};
    client.searchTimeoutMs = kLongSearchMs; // nobody answers on either path
    StartClient(client);

    int sid = IOTC_Get_SessionID();
    std::atomic<int> result{1};
    std::thread caller([&] { result = IOTC_Connect_ByUID_Parallel(uid.c_str(), sid); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the dial is waiting for an answer
    EXPECT_EQ(IOTC_Session_Close(sid), P2P_OK);
    caller.join();
    EXPECT_EQ(result.load(), P2P_ERR_CANCELLED);
}

TEST_F(BrokerPathTest, UnreachableBrokerLeavesTheSearchResult) {
    P2PSettings client = lan;
    client.broker.port = TestBroker::FreePort(); // nothing listens there
    StartClient(client);

    int sid = IOTC_Get_SessionID();
    EXPECT_EQ(IOTC_Connect_ByUID_Parallel(uid.c_str(), sid), P2P_ERR_UID_NOT_FOUND);
    EXPECT_EQ(PathOf(sid), "");
    IOTC_Session_Close(sid);
}

} // namespace
