// The time from IOTC_Connect_ByUID_Parallel to an open AV channel, on
// loopback with a real mosquitto: the LAN search alone (no broker set), both
// paths racing with the device on the LAN (the LAN wins), and the broker path
// alone (the search finds nothing, ICE wins). Prints figures; run by hand:
// build-x/bench/ConnectBench
#include "p2p/Device.h"
#include "p2p/P2PApi.h"
#include "p2p/P2PErrors.h"
#include "p2p/P2PSettings.h"
#include "tests/support/TestBroker.h"
#include "tests/support/TestNet.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRounds = 20;

// Connects `kRounds` times with `settings`; prints the times and the path taken.
void Measure(const char* what, const std::string& uid, const P2PSettings& settings) {
    P2PSettings::Set(settings);
    IOTC_Initialize2(0);
    avInitialize(8);
    std::vector<double> ms;
    std::string path;
    int failures = 0;
    for (int i = 0; i < kRounds; ++i) {
        const Clock::time_point start = Clock::now();
        int sid = IOTC_Get_SessionID();
        int av = IOTC_Connect_ByUID_Parallel(uid.c_str(), sid) == P2P_OK
                     ? avClientStart2(sid, "admin", "531642", 5000, nullptr, 0, nullptr)
                     : -1;
        if (av >= 0) {
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            char text[16] = "";
            IOTC_Session_Path(sid, text, sizeof text);
            path = text;
            avClientStop(av);
        } else {
            ++failures;
        }
        IOTC_Session_Close(sid);
    }
    avDeInitialize();
    IOTC_DeInitialize();
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms.empty() ? 0.0 : ms[static_cast<size_t>(q * (ms.size() - 1))]; };
    std::printf("%s: median %.1f ms, p95 %.1f ms, max %.1f ms, path %s, %d of %d failed\n", what, at(0.5), at(0.95),
                ms.empty() ? 0.0 : ms.back(), path.c_str(), failures, kRounds);
}

} // namespace

int main() {
    testnet::UseIsolatedPorts(3000, 3000);
    const std::string uid = testnet::UniqueUid("BENCH");
    TestBroker broker({{uid, "pw"}, {"desk-01", "pw"}});
    if (!broker.Start()) {
        std::printf("ConnectBench: mosquitto does not start\n");
        return 1;
    }
    P2PSettings lan = P2PSettings::Current();
    P2PSettings both = lan;
    both.broker = {"127.0.0.1", broker.port()};
    both.brokerPassword = "pw";

    DeviceListener listener;
    Device device(listener);
    device.AddUid(uid, "admin", "531642");
    P2PSettings own = both;
    own.brokerUser = uid;
    if (device.Start(own) != P2P_OK || !device.WaitBrokerConnected(5000)) {
        std::printf("ConnectBench: the device does not start\n");
        return 1;
    }
    both.brokerUser = "desk-01";
    P2PSettings brokerOnly = both;
    brokerOnly.hosts = {"127.0.0.2"}; // no device answers the search there

    std::printf("ConnectBench: %d connects each, from the call to the open channel\n", kRounds);
    Measure("LAN alone (no broker)", uid, lan);
    Measure("both paths, device on the LAN", uid, both);
    Measure("broker path alone", uid, brokerOnly);
    device.Stop();
    return 0;
}
