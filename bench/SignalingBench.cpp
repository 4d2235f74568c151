// One local mosquitto carrying a fleet: N simulated devices (SignalingDevice,
// one broker connection each, as on real devices, in child processes) register their presence,
// then a desk sends offers to devices picked at random and times each until
// its answer, while all are present. Also the broker's memory per device
// (its RSS with the fleet less its RSS before). Prints figures, ending with
//   SUMMARY devices N: offer-to-answer p50 X ms, p95 Y ms, broker Z KiB per device
// Run by hand: build/bench/SignalingBench [--devices N] [--offers M]
#include "p2p/P2PErrors.h"
#include "p2p/SignalMessage.h"
#include "p2p/SignalingClient.h"
#include "p2p/SignalingDevice.h"
#include "tests/support/TestBroker.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <csignal>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace p2p;
using Clock = std::chrono::steady_clock;

namespace {

long RssKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

std::string Uid(int i) {
    return "BENCH-" + std::to_string(i);
}

// libmosquitto waits on its sockets with select(), which stops at descriptor
// 1024: a fleet of devices runs in processes of this many each.
constexpr int kPerProcess = 200;

// A child process: devices first..last-1, each answering every offer; says
// on `ready` when all are connected, then serves until killed.
int RunFleet(const P2PSettings& settings, int first, int last, int ready) {
    std::vector<std::unique_ptr<SignalingDevice>> fleet(static_cast<size_t>(last - first));
    for (int i = first; i < last; ++i) {
        auto& slot = fleet[static_cast<size_t>(i - first)];
        slot = std::make_unique<SignalingDevice>(settings, std::vector<std::string>{Uid(i)},
                                                 [&slot](const std::string& uid, const SignalMessage& m) {
                                                     if (m.type != SignalMessage::Offer)
                                                         return;
                                                     SignalMessage answer = m;
                                                     answer.type = SignalMessage::Answer;
                                                     slot->Send(uid, answer);
                                                 });
        if (slot->Start() != P2P_OK)
            return 1;
    }
    for (auto& device : fleet)
        if (!device->WaitConnected(30000))
            return 1;
    char byte = 1;
    if (write(ready, &byte, 1) != 1)
        return 1;
    for (;;)
        pause();
}

// The fleet's processes, stopped by their ids when this goes.
struct Fleet {
    std::vector<pid_t> children;
    ~Fleet() {
        for (pid_t pid : children)
            kill(pid, SIGTERM);
        for (pid_t pid : children)
            waitpid(pid, nullptr, 0);
    }
};

} // namespace

int main(int argc, char** argv) {
    int devices = 1000;
    int offers = 500;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--devices") == 0)
            devices = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--offers") == 0)
            offers = std::max(1, std::atoi(argv[i + 1]));
    }
    // Each device is a connection: the broker and this process need that many descriptors.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    TestBroker broker;
    if (!broker.Start()) {
        std::fprintf(stderr, "SignalingBench: mosquitto did not start\n");
        return 1;
    }
    P2PSettings settings;
    settings.broker = {"127.0.0.1", broker.port()};
    long rssBefore = RssKiB(broker.pid());

    auto started = Clock::now();
    Fleet fleet;
    for (int first = 0; first < devices; first += kPerProcess) {
        int ready[2];
        if (pipe(ready) != 0)
            return 1;
        pid_t pid = fork();
        if (pid == 0) {
            close(ready[0]);
            _exit(RunFleet(settings, first, std::min(devices, first + kPerProcess), ready[1]));
        }
        close(ready[1]);
        fleet.children.push_back(pid);
        char byte = 0;
        pollfd wait{ready[0], POLLIN, 0};
        bool up = poll(&wait, 1, 60000) == 1 && read(ready[0], &byte, 1) == 1;
        close(ready[0]);
        if (!up) {
            std::fprintf(stderr, "SignalingBench: devices %d.. did not all connect\n", first);
            return 1;
        }
    }
    double registerS = std::chrono::duration<double>(Clock::now() - started).count();
    long rssFleet = RssKiB(broker.pid());
    std::printf("devices %d registered in %.2f s; broker RSS %ld KiB before, %ld KiB with the fleet\n", devices,
                registerS, rssBefore, rssFleet);

    // The desk: one connection, answers on its own topics, one offer at a time.
    std::mutex mutex;
    std::condition_variable answered;
    std::string waitingFor;
    bool got = false;
    SignalingClient::Options options;
    options.broker = settings.broker;
    options.clientId = "cbench";
    SignalingClient desk(options, [&](const std::string& topic, const uint8_t*, size_t) {
        std::lock_guard<std::mutex> lock(mutex);
        if (topic == waitingFor) {
            got = true;
            answered.notify_all();
        }
    });
    desk.Subscribe("vantor/d/+/to/cbench");
    if (desk.Start() != P2P_OK || !desk.WaitConnected(5000)) {
        std::fprintf(stderr, "SignalingBench: the desk did not connect\n");
        return 1;
    }
    SignalMessage offer;
    offer.client = "cbench";
    offer.ufrag = "benc";
    offer.pwd = "0123456789abcdefghijklmn";
    offer.candidates = {"candidate:1 1 UDP 2015363327 192.0.2.10 40000 typ host",
                        "candidate:2 1 UDP 1686052607 198.51.100.7 61000 typ srflx raddr 192.0.2.10 rport 40000"};
    std::string payload = EncodeSignal(offer);
    std::mt19937 pick(7);
    std::vector<double> ms;
    int lost = 0;
    for (int n = 0; n < offers; ++n) {
        std::string uid = Uid(static_cast<int>(pick() % static_cast<unsigned>(devices)));
        std::unique_lock<std::mutex> lock(mutex);
        waitingFor = SignalAnswerTopic(uid, "cbench");
        got = false;
        auto sent = Clock::now();
        desk.Publish(SignalInTopic(uid), payload);
        if (!answered.wait_for(lock, std::chrono::seconds(5), [&] { return got; })) {
            ++lost;
            continue;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
    double perDevice = static_cast<double>(rssFleet - rssBefore) / devices;
    std::printf("offers %d, answered %zu, lost %d; offer-to-answer p50 %.2f ms, p95 %.2f ms, max %.2f ms\n", offers,
                ms.size(), lost, Percentile(ms, 0.5), Percentile(ms, 0.95), Percentile(ms, 1.0));
    std::printf("SUMMARY devices %d: offer-to-answer p50 %.1f ms, p95 %.1f ms, broker %.1f KiB per device\n", devices,
                Percentile(ms, 0.5), Percentile(ms, 0.95), perDevice);
    return lost == 0 ? 0 : 1;
}
