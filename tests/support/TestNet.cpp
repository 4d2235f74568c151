#include "tests/support/TestNet.h"

#include "p2p/P2PSettings.h"

#include <atomic>
#include <cstdlib>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace testnet {

namespace {
bool UdpPortFree(int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}
} // namespace

int UseIsolatedPorts(int sessionTimeoutMs, int searchTimeoutMs) {
    std::mt19937 engine{std::random_device{}() ^ static_cast<unsigned>(getpid())};
    std::uniform_int_distribution<int> pick(20000 / 16, 60000 / 16);
    int port = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        port = pick(engine) * 16;
        if (UdpPortFree(port))
            break;
    }
    P2PSettings settings;
    settings.hosts = {"127.0.0.1"};
    settings.port = static_cast<uint16_t>(port);
    settings.portSpan = 16;
    settings.bindAddress = "127.0.0.1";
    settings.searchTimeoutMs = searchTimeoutMs;
    settings.sessionTimeoutMs = sessionTimeoutMs;
    P2PSettings::Set(settings);
    setenv("VANTOR_P2P_HOSTS", "127.0.0.1", 1);
    setenv("VANTOR_P2P_PORT", std::to_string(port).c_str(), 1);
    setenv("VANTOR_P2P_SPAN", "16", 1);
    setenv("VANTOR_P2P_BIND", "127.0.0.1", 1);
    setenv("VANTOR_P2P_SEARCH_MS", std::to_string(searchTimeoutMs).c_str(), 1);
    setenv("VANTOR_P2P_TIMEOUT_MS", std::to_string(sessionTimeoutMs).c_str(), 1);
    return port;
}

std::string UniqueUid(const std::string& tag) {
    static std::atomic<int> counter{0};
    static const unsigned salt = std::random_device{}() % 100000;
    return tag + "-" + std::to_string(getpid()) + "-" + std::to_string(salt) + "-" + std::to_string(++counter);
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace testnet
