#include "p2p/HostResolver.h"

#include "p2p/P2PErrors.h"
#include "p2p/P2PTestHooks.h"
#include "p2p/ThreadStart.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <optional>

namespace p2p {

namespace {

constexpr int kCancelPollMs = 20;
std::atomic<int> g_delayMs{0};

// Shared by the caller and the look-up threads; the last one to let go frees it.
struct Lookups {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::optional<in_addr>> results;
    size_t finished = 0;
};

std::optional<in_addr> LookUp(const std::string& host) {
    if (int delay = g_delayMs.load(); delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr)
        return std::nullopt;
    in_addr addr = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
    freeaddrinfo(result);
    return addr;
}

} // namespace

int ResolveHosts(const std::vector<std::string>& hosts, int timeoutMs, const std::function<bool()>& cancelled,
                 std::vector<in_addr>& out) {
    auto lookups = std::make_shared<Lookups>();
    lookups->results.resize(hosts.size());
    for (size_t i = 0; i < hosts.size(); ++i) {
        in_addr numeric{};
        if (inet_pton(AF_INET, hosts[i].c_str(), &numeric) == 1) {
            std::lock_guard<std::mutex> lock(lookups->mutex);
            lookups->results[i] = numeric;
            ++lookups->finished;
            continue;
        }
        std::thread thread;
        bool started = StartThread(thread, [lookups, i, host = hosts[i]] {
            std::optional<in_addr> addr = LookUp(host);
            std::lock_guard<std::mutex> lock(lookups->mutex);
            lookups->results[i] = addr;
            ++lookups->finished;
            lookups->cv.notify_all();
        });
        if (started) {
            thread.detach();
        } else {
            std::lock_guard<std::mutex> lock(lookups->mutex);
            ++lookups->finished; // no thread: that host stays unresolved
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(lookups->mutex);
    while (lookups->finished < hosts.size() && std::chrono::steady_clock::now() < deadline) {
        if (cancelled())
            return P2P_ERR_CANCELLED;
        lookups->cv.wait_for(lock, std::chrono::milliseconds(kCancelPollMs));
    }
    if (cancelled())
        return P2P_ERR_CANCELLED;
    out.clear();
    for (const std::optional<in_addr>& addr : lookups->results)
        if (addr)
            out.push_back(*addr);
    return P2P_OK;
}

void test::DelayResolution(int ms) {
    g_delayMs.store(ms);
}

} // namespace p2p
