// Two ICE streams on this machine, candidates handed over directly (the
// signaling is tested on its own): a large payload crosses intact and in
// order, on a direct pair and through a real coturn relay over UDP and TCP.
#include "p2p/IceStream.h"
#include "p2p/P2PErrors.h"
#include "tests/support/TestBroker.h"
#include "tests/support/TestNet.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sched.h>
#include <thread>
#include <unistd.h>

using namespace p2p;

namespace {

// coturn on loopback with one account, stopped by its process id.
class TestTurn {
public:
    TestTurn() : m_port(TestBroker::FreePort()) {
        std::string port = "--listening-port=" + std::to_string(m_port);
        m_pid = fork();
        if (m_pid == 0) {
            execlp("turnserver", "turnserver", "-n", "--listening-ip=127.0.0.1", "--relay-ip=127.0.0.1", port.c_str(),
                   "--lt-cred-mech", "--user=vantor:turnpw", "--realm=vantor", "--no-cli", "--no-tls", "--no-dtls",
                   "--allow-loopback-peers", "--no-stdout-log", "--log-file=/dev/null", static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    ~TestTurn() {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    uint16_t port() const { return m_port; }

private:
    uint16_t m_port;
    pid_t m_pid;
};

// One side: a stream and what arrived on it.
struct Side {
    explicit Side(IceStream::Options options)
        : stream(std::move(options), [this](const std::string& c) {
              std::lock_guard<std::mutex> lock(mutex);
              if (c.empty())
                  gathered = true;
              else
                  candidates.push_back(c);
              changed.notify_all();
          }) {
        stream.SetCallback([this] { Drain(); });
    }
    // Reads all that waits, unless reading is stopped.
    void Drain() {
        uint8_t buffer[65536];
        std::lock_guard<std::mutex> lock(mutex);
        for (ptrdiff_t n; reading && (n = stream.Read(buffer, sizeof buffer)) > 0;)
            received.insert(received.end(), buffer, buffer + n);
        ++events;
        changed.notify_all();
    }
    bool WaitFor(const std::function<bool()>& done, int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), done);
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> candidates;
    bool gathered = false;
    int events = 0; // callbacks so far
    bool reading = true;
    std::vector<uint8_t> received;
    IceStream stream;
};

// Connects a and b by handing each the other's credentials and candidates.
void Pair(Side& a, Side& b) {
    ASSERT_EQ(a.stream.Start(), P2P_OK);
    ASSERT_EQ(b.stream.Start(), P2P_OK);
    for (Side* s : {&a, &b})
        ASSERT_TRUE(s->WaitFor([s] { return s->gathered; }, 10000)) << "gathering did not end";
    for (auto [from, to] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
        ASSERT_TRUE(to->stream.SetRemoteCredentials(from->stream.LocalUfrag(), from->stream.LocalPwd()));
        for (const std::string& c : from->candidates)
            EXPECT_TRUE(to->stream.AddRemoteCandidate(c)) << c;
        to->stream.RemoteCandidatesDone();
    }
}

struct Path {
    const char* name;
    bool relay;
    bool udp;
    bool tcp;
    const char* local = "127.0.0.1"; // the host candidates' address
};

class IceStreamTest : public testing::TestWithParam<Path> {};

// 8 MiB from the controlling side arrive whole and in order, and the
// stream reports the path it took. While the receiver reads nothing, the
// sender is held back: the receiving stream stops taking from the pair
// rather than buffering all that comes.
TEST_P(IceStreamTest, LargePayloadCrossesIntact) {
    const Path& p = GetParam();
    std::unique_ptr<TestTurn> turn;
    IceStream::Options options;
    if (std::string(p.local) == "::1" && access("/proc/sys/net/ipv6", F_OK) != 0)
        GTEST_SKIP() << "this kernel has no IPv6";
    options.localAddresses = {p.local};
    if (p.relay) {
        turn = std::make_unique<TestTurn>();
        ASSERT_TRUE(TestBroker::WaitAccepting(turn->port())) << "turnserver did not start";
        options.turn = {"127.0.0.1", turn->port()};
        options.turnUser = "vantor";
        options.turnPassword = "turnpw";
        options.turnOverUdp = p.udp;
        options.turnOverTcp = p.tcp;
        options.relayOnly = true;
    }
    options.controlling = true;
    Side a(options);
    options.controlling = false;
    Side b(options);
    Pair(a, b);
    ASSERT_TRUE(a.WaitFor([&] { return a.stream.GetState() == ByteStream::State::Connected; }, 15000));
    EXPECT_EQ(a.stream.Path(), p.relay ? "relay" : "direct");
    const std::string peer = std::string(p.local) == "::1" ? "[::1]:" : "127.0.0.1:";
    if (!p.relay) {
        EXPECT_EQ(a.stream.RemoteAddress().rfind(peer, 0), 0u) << a.stream.RemoteAddress();
    }

    std::vector<uint8_t> payload(8 << 20);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.reading = false;
    }
    size_t sent = 0;
    // Writes until all is sent, or until nothing more has been taken for
    // `patience` (false then).
    auto send = [&](std::chrono::milliseconds patience) {
        using Clock = std::chrono::steady_clock;
        for (auto progress = Clock::now(); sent < payload.size();) {
            ptrdiff_t n = a.stream.Write(payload.data() + sent, payload.size() - sent);
            EXPECT_GE(n, 0) << "stream broke after " << sent << " bytes";
            if (n < 0 || (n == 0 && Clock::now() - progress > patience))
                return false;
            sent += static_cast<size_t>(n);
            if (n > 0) {
                progress = Clock::now();
            } else { // until the stream says it has room
                std::unique_lock<std::mutex> lock(a.mutex);
                int seen = a.events;
                a.changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return a.events != seen; });
            }
        }
        return true;
    };
    EXPECT_FALSE(send(std::chrono::seconds(1))) << "the sender was not held back";
    EXPECT_LT(sent, size_t(4) << 20);
    {
        std::lock_guard<std::mutex> lock(b.mutex);
        b.reading = true;
    }
    b.Drain(); // the rest then flows as b reads it
    ASSERT_TRUE(send(std::chrono::seconds(20))) << "the stream did not take up again after " << sent << " bytes";
    ASSERT_TRUE(b.WaitFor([&] { return b.received.size() >= payload.size(); }, 60000)) << b.received.size();
    std::lock_guard<std::mutex> lock(b.mutex);
    EXPECT_TRUE(b.received == payload);
}

INSTANTIATE_TEST_SUITE_P(Paths, IceStreamTest,
                         testing::Values(Path{"Direct", false, true, true},
                                         Path{"DirectOverIpv6", false, true, true, "::1"},
                                         Path{"RelayOverUdp", true, true, false},
                                         Path{"RelayOverTcp", true, false, true}),
                         [](const testing::TestParamInfo<Path>& info) { return std::string(info.param.name); });

// Inside a network namespace of its own whose only addresses besides
// loopback are global IPv6 ones on a veth pair: two streams given no local
// address gather those by themselves, pair over them and carry data both
// ways. Returns what went wrong, or nothing.
std::string CrossOverGlobalIpv6() {
    if (unshare(CLONE_NEWNET) != 0)
        return "unshare failed";
    if (std::system("ip link set lo up && ip link add v0 type veth peer name v1 && "
                    "ip addr add 2001:db8:1::1/64 dev v0 nodad && ip addr add 2001:db8:1::2/64 dev v1 nodad && "
                    "ip link set v0 up && ip link set v1 up") != 0)
        return "the namespace's links could not be made";
    IceStream::Options options;
    options.controlling = true;
    Side a(options);
    options.controlling = false;
    Side b(options);
    Pair(a, b);
    for (Side* s : {&a, &b})
        if (!s->WaitFor([s] { return s->stream.GetState() == ByteStream::State::Connected; }, 15000))
            return "the streams did not connect";
    if (a.stream.RemoteAddress().rfind("[2001:db8:1::", 0) != 0)
        return "pair not on the global addresses: " + a.stream.RemoteAddress();
    const std::string ask = "over ipv6?", answer = "yes";
    if (a.stream.Write(reinterpret_cast<const uint8_t*>(ask.data()), ask.size()) != ptrdiff_t(ask.size()) ||
        !b.WaitFor([&] { return b.received.size() == ask.size(); }, 10000))
        return "nothing crossed from the controlling side";
    if (b.stream.Write(reinterpret_cast<const uint8_t*>(answer.data()), answer.size()) != ptrdiff_t(answer.size()) ||
        !a.WaitFor([&] { return a.received.size() == answer.size(); }, 10000))
        return "nothing crossed back";
    std::lock_guard<std::mutex> lock(b.mutex);
    return std::string(b.received.begin(), b.received.end()) == ask ? "" : "the data changed on the way";
}

TEST(IceStreamIpv6Test, GathersAndPairsGlobalAddresses) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    if (std::system("ip -V > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs the ip tool";
    // The child runs in a fresh process (threadsafe style), so no thread of
    // this one is in its namespace.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::string error = CrossOverGlobalIpv6();
            std::cerr << (error.empty() ? "crossed over global ipv6" : error) << std::endl;
            _exit(error.empty() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "crossed over global ipv6");
}

// The process's threads, or those of one name.
size_t Threads(const std::string& name = {}) {
    size_t count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        std::getline(comm, line);
        count += name.empty() || line == name;
    }
    return count;
}

// Every agent of the process runs on one loop: four connected pairs run no
// more threads than one, and the loop's thread ends with the last stream
// (GLib's own worker thread, started once, stays).
TEST(IceLoopTest, StreamsShareOneThreadThatEndsWithTheLast) {
    IceStream::Options options;
    options.localAddresses = {"127.0.0.1"};
    std::vector<std::unique_ptr<Side>> sides;
    size_t withOne = 0;
    for (int pair = 0; pair < 4; ++pair) {
        options.controlling = true;
        sides.push_back(std::make_unique<Side>(options));
        options.controlling = false;
        sides.push_back(std::make_unique<Side>(options));
        Side& a = *sides[sides.size() - 2];
        Pair(a, *sides.back());
        ASSERT_TRUE(a.WaitFor([&] { return a.stream.GetState() == ByteStream::State::Connected; }, 15000));
        if (pair == 0)
            withOne = Threads();
    }
    EXPECT_LE(Threads(), withOne);
    EXPECT_EQ(Threads("vantor-ice"), 1u);
    sides.clear();
    for (int i = 0; i < 50 && Threads("vantor-ice") > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(Threads("vantor-ice"), 0u);
}

} // namespace
