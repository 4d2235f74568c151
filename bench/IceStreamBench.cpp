// The ICE byte stream (libnice, reliable mode) on loopback: connect time,
// throughput of a 32 MiB transfer and the round trip of a 1 KiB message, on a
// direct pair and through a local coturn over UDP and over TCP.
// Prints figures; run by hand: build/bench/IceStreamBench
#include "p2p/IceStream.h"
#include "p2p/P2PErrors.h"
#include "tests/support/TestBroker.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

using namespace p2p;
using Clock = std::chrono::steady_clock;

namespace {

// One end: its stream, its gathered candidates and the bytes it received.
struct End {
    explicit End(IceStream::Options options)
        : stream(std::move(options), [this](const std::string& c) {
              std::lock_guard<std::mutex> lock(mutex);
              if (c.empty())
                  gathered = true;
              else
                  candidates.push_back(c);
              changed.notify_all();
          }) {
        stream.SetCallback([this] {
            uint8_t buffer[65536];
            std::lock_guard<std::mutex> lock(mutex);
            for (ptrdiff_t n; (n = stream.Read(buffer, sizeof buffer)) > 0;)
                received += static_cast<size_t>(n);
            ++events;
            changed.notify_all();
        });
    }
    template <class Done> bool Wait(Done done, int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms), done);
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> candidates;
    bool gathered = false;
    size_t received = 0;
    int events = 0;
    IceStream stream;
};

bool Connect(End& a, End& b) {
    if (a.stream.Start() != P2P_OK || b.stream.Start() != P2P_OK)
        return false;
    for (End* e : {&a, &b})
        if (!e->Wait([e] { return e->gathered; }, 10000))
            return false;
    for (auto [from, to] : {std::pair{&a, &b}, std::pair{&b, &a}}) {
        to->stream.SetRemoteCredentials(from->stream.LocalUfrag(), from->stream.LocalPwd());
        for (const std::string& c : from->candidates)
            to->stream.AddRemoteCandidate(c);
        to->stream.RemoteCandidatesDone();
    }
    return a.Wait([&] { return a.stream.GetState() == ByteStream::State::Connected; }, 15000) &&
           b.Wait([&] { return b.stream.GetState() == ByteStream::State::Connected; }, 15000);
}

// Sends `size` bytes from `from` until `to` has `target` bytes in all.
bool Send(End& from, End& to, size_t size, size_t target) {
    std::vector<uint8_t> data(size, 0x5a);
    for (size_t sent = 0; sent < size;) {
        ptrdiff_t n = from.stream.Write(data.data() + sent, size - sent);
        if (n < 0)
            return false;
        sent += static_cast<size_t>(n);
        if (n == 0) {
            std::unique_lock<std::mutex> lock(from.mutex);
            int seen = from.events;
            from.changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return from.events != seen; });
        }
    }
    return to.Wait([&] { return to.received >= target; }, 60000);
}

void Run(const char* name, IceStream::Options options) {
    auto t0 = Clock::now();
    options.controlling = true;
    End a(options);
    options.controlling = false;
    End b(options);
    if (!Connect(a, b)) {
        std::printf("%-14s did not connect\n", name);
        return;
    }
    double connectMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();

    const size_t bulk = 32u << 20;
    auto t1 = Clock::now();
    bool ok = Send(a, b, bulk, bulk);
    double seconds = std::chrono::duration<double>(Clock::now() - t1).count();

    std::vector<double> rtt;
    for (int i = 0; i < 200 && ok; ++i) {
        auto t = Clock::now();
        ok = Send(a, b, 1024, b.received + 1024) && Send(b, a, 1024, a.received + 1024);
        rtt.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t).count());
    }
    std::sort(rtt.begin(), rtt.end());
    if (!ok || rtt.empty()) {
        std::printf("%-14s transfer failed\n", name);
        return;
    }
    std::printf("%-14s path %-6s connect %6.1f ms  throughput %6.1f MiB/s  1 KiB round trip p50 %.2f ms p95 %.2f ms\n",
                name, a.stream.Path().c_str(), connectMs, bulk / seconds / (1 << 20), rtt[rtt.size() / 2],
                rtt[rtt.size() * 95 / 100]);
}

} // namespace

int main() {
    IceStream::Options direct;
    direct.localAddresses = {"127.0.0.1"};
    Run("direct", direct);

    uint16_t port = TestBroker::FreePort();
    std::string listen = "--listening-port=" + std::to_string(port);
    pid_t turn = fork();
    if (turn == 0) {
        execlp("turnserver", "turnserver", "-n", "--listening-ip=127.0.0.1", "--relay-ip=127.0.0.1", listen.c_str(),
               "--lt-cred-mech", "--user=vantor:turnpw", "--realm=vantor", "--no-cli", "--no-tls", "--no-dtls",
               "--allow-loopback-peers", "--no-stdout-log", "--log-file=/dev/null", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (TestBroker::WaitAccepting(port)) {
        for (bool udp : {true, false}) {
            IceStream::Options relay = direct;
            relay.turn = {"127.0.0.1", port};
            relay.turnUser = "vantor";
            relay.turnPassword = "turnpw";
            relay.relayOnly = true;
            relay.turnOverUdp = udp;
            relay.turnOverTcp = !udp;
            Run(udp ? "relay over UDP" : "relay over TCP", relay);
        }
    } else {
        std::printf("turnserver did not start: no relay figures\n");
    }
    kill(turn, SIGTERM);
    waitpid(turn, nullptr, 0);
    return 0;
}
