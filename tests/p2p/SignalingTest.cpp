// The broker signaling against a real mosquitto with Vantor's sample ACL: the
// message codec, several clients calling one device, a broker restart, a
// device that vanishes, answers that never come and malformed messages.
#include "p2p/P2PErrors.h"
#include "p2p/SignalMessage.h"
#include "p2p/SignalingCall.h"
#include "p2p/SignalingDevice.h"
#include "tests/support/TestBroker.h"
#include "tests/support/TestNet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

using namespace p2p;

namespace {

const char* const kPassword = "pw-0123";

SignalMessage Decoded(const std::string& text) {
    SignalMessage m;
    m.type = SignalMessage::Presence;
    m.client = "<not decoded>";
    DecodeSignal(reinterpret_cast<const uint8_t*>(text.data()), text.size(), m);
    return m;
}

struct Malformed {
    const char* name;
    std::string text;
};

class MalformedSignalTest : public testing::TestWithParam<Malformed> {};

TEST_P(MalformedSignalTest, IsRefused) {
    EXPECT_EQ(Decoded(GetParam().text).client, "<not decoded>");
}

const std::string kOffer = "VSIG 1 offer\nclient c1\nufrag abcd\npwd 0123456789abcdefghijkl\n";

INSTANTIATE_TEST_SUITE_P(Signal, MalformedSignalTest,
                         testing::Values(Malformed{"Empty", ""}, Malformed{"WrongVersion", "VSIG 2 offer\nclient c1\n"},
                                         Malformed{"UnknownType", "VSIG 1 hello\nclient c1\n"},
                                         Malformed{"CutLastLine",
                                                   kOffer + "cand candidate:1 1 udp 1 10.0.0.1 5000 typ host"},
                                         Malformed{"ClientIdEscapesTopic", "VSIG 1 done\nclient c1/#\n"},
                                         Malformed{"OfferWithoutPwd", "VSIG 1 offer\nclient c1\nufrag abcd\n"},
                                         Malformed{"ControlByteInLine", "VSIG 1 done\nclient c\x01\n"},
                                         Malformed{"KeyOfAnotherType", kOffer + "via CAM-1\n"},
                                         Malformed{"CandidateNotSdp", kOffer + "cand 10.0.0.1:5000\n"},
                                         Malformed{"PresenceNeitherOnlineNorOffline", "VSIG 1 presence\nstate maybe\n"},
                                         Malformed{"Oversized", kOffer + std::string(kMaxSignalSize, 'x') + "\n"},
                                         Malformed{"TooManyCandidates",
                                                   [] {
                                                       std::string s = kOffer;
                                                       for (size_t i = 0; i <= kMaxSignalCandidates; ++i)
                                                           s += "cand candidate:1 1 udp 1 10.0.0.1 " +
                                                                std::to_string(5000 + i) + " typ host\n";
                                                       return s;
                                                   }()}),
                         [](const testing::TestParamInfo<Malformed>& info) { return std::string(info.param.name); });

TEST(SignalMessageTest, EveryTypeSurvivesARoundTrip) {
    for (int type = SignalMessage::Offer; type <= SignalMessage::Presence; ++type) {
        SignalMessage m;
        m.type = static_cast<SignalMessage::Type>(type);
        m.client = type == SignalMessage::Presence ? "" : "c-42";
        m.ufrag = "Ab+/";
        m.pwd = "0123456789abcdefghijklmn";
        if (type <= SignalMessage::Candidate)
            m.candidates = {"candidate:1 1 UDP 2015363327 10.0.0.5 40000 typ host",
                            "candidate:2 1 TCP 1015021823 203.0.113.9 3478 typ relay raddr 0.0.0.0 rport 0",
                            "candidate:3 1 UDP 2015363071 2001:db8::5 40002 typ host",
                            "candidate:4 1 UDP 1686052351 2001:db8:ffff:ffff:ffff:ffff:ffff:7 61002 typ srflx raddr "
                            "fe80::1 rport 40002"};
        m.online = type == SignalMessage::Presence;
        m.via = type == SignalMessage::Presence ? "CAM-1" : "";
        m.code = type == SignalMessage::Reject ? -20024 : 0;
        SignalMessage back = Decoded(EncodeSignal(m));
        EXPECT_EQ(back.type, m.type) << type;
        EXPECT_EQ(back.client, m.client) << type;
        EXPECT_EQ(back.candidates, m.candidates) << type;
        EXPECT_EQ(back.via, m.via) << type;
        EXPECT_EQ(back.code, m.code) << type;
    }
}

// A broker with the sample ACL, device accounts named after their UIDs and
// one desk account, and settings that point at it.
class SignalingTest : public testing::Test {
protected:
    SignalingTest()
        : m_uid(testnet::UniqueUid("SIG")),
          m_broker({{m_uid, kPassword}, {"desk-01", kPassword}, {"VANISH", kPassword}}) {}
    void SetUp() override { ASSERT_TRUE(m_broker.Start()) << "mosquitto did not start"; }

    P2PSettings Settings(const std::string& user) const {
        P2PSettings s;
        s.broker = {"127.0.0.1", m_broker.port()};
        s.brokerUser = user;
        s.brokerPassword = kPassword;
        return s;
    }
    // A device that answers every offer with its own credentials and the
    // offer's ufrag as its first candidate's foundation, then trickles one
    // candidate and the end of them.
    std::unique_ptr<SignalingDevice> StartDevice() {
        auto device = std::make_unique<SignalingDevice>(
            Settings(m_uid), std::vector<std::string>{m_uid}, [this](const std::string& uid, const SignalMessage& m) {
                if (m.type != SignalMessage::Offer)
                    return;
                SignalMessage answer = m;
                answer.type = SignalMessage::Answer;
                answer.candidates = {"candidate:" + m.ufrag + " 1 UDP 1 127.0.0.1 9 typ host"};
                m_device->Send(uid, answer);
                SignalMessage more = answer;
                more.type = SignalMessage::Candidate;
                more.candidates = {"candidate:late-" + m.ufrag + " 1 UDP 1 127.0.0.1 10 typ host"};
                m_device->Send(uid, more);
            });
        m_device = device.get();
        EXPECT_EQ(device->Start(), P2P_OK);
        EXPECT_TRUE(device->WaitConnected(5000));
        return device;
    }
    static SignalMessage Offer(const std::string& ufrag) {
        SignalMessage offer;
        offer.ufrag = ufrag;
        offer.pwd = "0123456789abcdefghijklmn";
        return offer;
    }

    std::string m_uid;
    TestBroker m_broker;
    SignalingDevice* m_device = nullptr;
};

// Four panes call one device at once: each gets the answer to its own offer
// and the candidate trickled to it, and nothing meant for another.
TEST_F(SignalingTest, SeveralClientsSeeOnlyTheirOwnAnswers) {
    auto device = StartDevice();
    std::vector<std::thread> panes;
    std::atomic<int> answered{0};
    std::mutex mutex;
    std::vector<std::string> faults;
    for (int i = 0; i < 4; ++i)
        panes.emplace_back([&, i] {
            std::string ufrag = "pane" + std::to_string(i);
            std::vector<std::string> late;
            std::mutex lateMutex;
            SignalingCall call(Settings("desk-01"), m_uid, [&](const std::string& c) {
                std::lock_guard<std::mutex> lock(lateMutex);
                late.push_back(c);
            });
            SignalMessage answer;
            int r = call.Call(Offer(ufrag), 5000, answer);
            bool gotLate = testnet::WaitUntil(
                [&] {
                    std::lock_guard<std::mutex> l(lateMutex);
                    return !late.empty();
                },
                5000);
            std::lock_guard<std::mutex> lock(mutex);
            if (r != P2P_OK || answer.client != call.ClientId() || answer.candidates.size() != 1 ||
                answer.candidates[0].find(ufrag) == std::string::npos)
                faults.push_back(ufrag + ": wrong answer, " + SignalingCall::OutcomeName(call.Result()));
            std::lock_guard<std::mutex> l(lateMutex);
            if (!gotLate || late.size() != 1 || late[0] != "candidate:late-" + ufrag + " 1 UDP 1 127.0.0.1 10 typ host")
                faults.push_back(ufrag + ": trickled candidates of others or none");
            ++answered;
        });
    for (auto& t : panes)
        t.join();
    EXPECT_TRUE(faults.empty()) << faults.front();
}

// The broker restarts empty under a live device: the device reconnects by
// itself, subscribes and publishes its presence again, and answers calls.
TEST_F(SignalingTest, DeviceComesBackAfterBrokerRestart) {
    auto device = StartDevice();
    m_broker.Stop();
    ASSERT_TRUE(m_broker.Start());
    ASSERT_TRUE(testnet::WaitUntil([&] { return device->Connections() >= 2; }, 20000));
    SignalingCall call(Settings("desk-01"), m_uid);
    SignalMessage answer;
    EXPECT_EQ(call.Call(Offer("again"), 5000, answer), P2P_OK) << SignalingCall::OutcomeName(call.Result());
}

// A device process is killed after the offer reached it: its last will
// marks it offline and the call ends at once with -90, not at its time limit.
TEST_F(SignalingTest, DeviceVanishingMidCallEndsTheCall) {
    // Sees the offer, and the vanishing device's first message.
    std::atomic<bool> offered{false}, up{false};
    SignalingClient::Options o;
    o.broker = Settings("VANISH").broker;
    o.user = "VANISH";
    o.password = kPassword;
    SignalingClient listener(o, [&](const std::string& topic, const uint8_t*, size_t) {
        (topic == SignalInTopic("VANISH") ? offered : up) = true;
    });
    listener.Subscribe(SignalInTopic("VANISH"));
    listener.Subscribe("vantor/d/VANISH/up");
    ASSERT_EQ(listener.Start(), P2P_OK);
    ASSERT_TRUE(listener.WaitConnected(5000));
    // The vanishing device: a broker connection holding a last will that
    // marks VANISH offline, in a process of its own; it says "up" once
    // connected (a line on its input becomes a message).
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    std::string port = std::to_string(m_broker.port());
    pid_t pid = fork();
    if (pid == 0) {
        dup2(input[0], STDIN_FILENO);
        execlp("mosquitto_pub", "mosquitto_pub", "-h", "127.0.0.1", "-p", port.c_str(), "-u", "VANISH", "-P", kPassword,
               "-t", "vantor/d/VANISH/up", "-l", "--will-topic", "vantor/d/VANISH/presence", "--will-payload",
               "VSIG 1 presence\nstate offline\n", "--will-retain", "--will-qos", "1", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    ASSERT_EQ(write(input[1], "up\n", 3), 3);
    ASSERT_TRUE(testnet::WaitUntil([&] { return up.load(); }, 10000));
    std::thread killer([&] {
        testnet::WaitUntil([&] { return offered.load(); }, 10000);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        close(input[1]);
    });
    SignalingCall call(Settings("desk-01"), "VANISH");
    SignalMessage answer;
    EXPECT_EQ(call.Call(Offer("gone"), 60000, answer), P2P_ERR_UID_NOT_FOUND);
    killer.join();
    EXPECT_EQ(call.Result(), SignalingCall::DeviceOffline);
}

struct Failing {
    const char* name;
    bool brokerUp;
    const char* password;
    const char* presence; // retained presence of the UID before the call, or null
    SignalingCall::Outcome outcome;
};

class FailingCallTest : public SignalingTest, public testing::WithParamInterface<Failing> {};

// Each way a call fails ends by itself with -90 and says why.
TEST_P(FailingCallTest, EndsWithUidNotFound) {
    const Failing& f = GetParam();
    if (f.presence != nullptr) {
        SignalingClient::Options o;
        o.broker = Settings(m_uid).broker;
        o.user = m_uid;
        o.password = kPassword;
        SignalingClient publisher(o, {});
        publisher.Keep(SignalPresenceTopic(m_uid), f.presence);
        ASSERT_EQ(publisher.Start(), P2P_OK);
        ASSERT_TRUE(publisher.WaitConnected(5000));
    }
    if (!f.brokerUp)
        m_broker.Stop();
    P2PSettings s = Settings("desk-01");
    s.brokerPassword = f.password;
    SignalingCall call(s, m_uid);
    SignalMessage answer;
    EXPECT_EQ(call.Call(Offer("none"), 1500, answer), P2P_ERR_UID_NOT_FOUND);
    EXPECT_EQ(call.Result(), f.outcome) << SignalingCall::OutcomeName(call.Result());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FailingCallTest,
    testing::Values(
        Failing{"AnswerNeverComes", true, kPassword, "VSIG 1 presence\nstate online\n", SignalingCall::NoAnswer},
        Failing{"DeviceOffline", true, kPassword, "VSIG 1 presence\nstate offline\n", SignalingCall::DeviceOffline},
        Failing{"BrokerDown", false, kPassword, nullptr, SignalingCall::BrokerUnreachable},
        Failing{"WrongPassword", true, "wrong", nullptr, SignalingCall::BrokerRefused}),
    [](const testing::TestParamInfo<Failing>& info) { return std::string(info.param.name); });

// Garbage and an oversized message sent to a device are dropped; the device
// goes on answering.
TEST_F(SignalingTest, MalformedMessagesAreDropped) {
    auto device = StartDevice();
    SignalingClient::Options o;
    o.broker = Settings("desk-01").broker;
    o.user = "desk-01";
    o.password = kPassword;
    SignalingClient sender(o, {});
    ASSERT_EQ(sender.Start(), P2P_OK);
    ASSERT_TRUE(sender.WaitConnected(5000));
    sender.Publish(SignalInTopic(m_uid), "VSIG 1 offer\nclient ../x\n");
    sender.Publish(SignalInTopic(m_uid), kOffer + std::string(kMaxSignalSize, 'c') + "\n");
    ASSERT_TRUE(testnet::WaitUntil([&] { return device->Dropped() == 2; }, 5000)) << device->Dropped();
    SignalingCall call(Settings("desk-01"), m_uid);
    SignalMessage answer;
    EXPECT_EQ(call.Call(Offer("after"), 5000, answer), P2P_OK);
}

} // namespace

namespace {

// A CA made with the openssl tool, and a broker certificate it signed for 127.0.0.1 and ::1.
bool MakeCertificates(const std::filesystem::path& dir) {
    const std::string d = dir.string();
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    std::ofstream(dir / "san.ext") << "subjectAltName=IP:127.0.0.1,IP:::1\n";
    const std::string commands[] = {
        "openssl req -x509" + ec + "-keyout " + d + "/ca.key -out " + d + "/ca.pem -days 2 -subj /CN=test-ca",
        "openssl req -x509" + ec + "-keyout " + d + "/other.key -out " + d + "/other.pem -days 2 -subj /CN=other-ca",
        "openssl req" + ec + "-keyout " + d + "/broker.key -out " + d + "/broker.csr -subj /CN=127.0.0.1",
        "openssl x509 -req -in " + d + "/broker.csr -CA " + d + "/ca.pem -CAkey " + d +
            "/ca.key -CAcreateserial -out " + d + "/broker.pem -days 2 -extfile " + d + "/san.ext"};
    for (const std::string& command : commands)
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
            return false;
    return true;
}

} // namespace

// mqtts:// reaches a broker whose certificate chains to the configured CA,
// over IPv4 and IPv6, and never one signed by another CA, nor in clear.
TEST(SignalingTlsTest, TheBrokerCertificateMustChainToTheCa) {
    TempDir dir;
    ASSERT_TRUE(MakeCertificates(dir.path()));
    const std::string cert = (dir.path() / "broker.pem").string(), key = (dir.path() / "broker.key").string();
    TestBroker broker;
    broker.UseTls(cert, key);
    const uint16_t v6Port = broker.AddIpv6Listener();
    broker.UseTls(cert, key);
    ASSERT_TRUE(broker.Start());
    P2PSettings s;
    std::string error;
    EXPECT_FALSE(s.Apply("broker_ca", (dir.path() / "none.pem").string(), "test", error));
    for (const std::string& url :
         {"mqtts://127.0.0.1:" + std::to_string(broker.port()), "mqtts://[::1]:" + std::to_string(v6Port)})
        for (const char* ca : {"ca.pem", "other.pem", ""}) {
            SCOPED_TRACE(url + " " + ca);
            ASSERT_TRUE(s.Apply("broker", url, "test", error)) << error;
            ASSERT_TRUE(*ca == '\0' || s.Apply("broker_ca", (dir.path() / ca).string(), "test", error)) << error;
            SignalingClient::Options o;
            o.broker = s.broker;
            o.tls = *ca != '\0';
            o.caFile = s.brokerCaFile;
            SignalingClient client(o, {});
            ASSERT_EQ(client.Start(), P2P_OK);
            EXPECT_EQ(client.WaitConnected(std::string(ca) == "ca.pem" ? 5000 : 1500), std::string(ca) == "ca.pem");
        }
}
