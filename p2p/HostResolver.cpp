#include "p2p/HostResolver.h"

#include "p2p/P2PErrors.h"
#include "p2p/P2PTestHooks.h"
#include "p2p/ThreadStart.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <netdb.h>

namespace p2p {

namespace {

constexpr int kCancelPollMs = 20;
std::atomic<int> g_delayMs{0};

// Shared by the caller and the look-up threads; the last one to let go frees it.
struct Lookups {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::vector<SocketAddress>> results;
    size_t finished = 0;
};

std::string Unbracketed(const std::string& host) {
    return host.size() > 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
}

// Every address of both families; numericOnly never asks a name service.
std::vector<SocketAddress> Addresses(const std::string& host, bool numericOnly) {
    std::vector<SocketAddress> out;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = numericOnly ? AI_NUMERICHOST : 0;
    addrinfo* result = nullptr;
    if (getaddrinfo(Unbracketed(host).c_str(), nullptr, &hints, &result) != 0)
        return out;
    for (const addrinfo* i = result; i != nullptr; i = i->ai_next) {
        if (i->ai_family != AF_INET && i->ai_family != AF_INET6)
            continue;
        SocketAddress address = SocketAddress::From(i->ai_addr, i->ai_addrlen);
        if (std::find(out.begin(), out.end(), address) == out.end())
            out.push_back(address);
    }
    freeaddrinfo(result);
    return out;
}

std::vector<SocketAddress> LookUp(const std::string& host) {
    if (int delay = g_delayMs.load(); delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    return Addresses(host, false);
}

} // namespace

int ResolveHosts(const std::vector<std::string>& hosts, int timeoutMs, const std::function<bool()>& cancelled,
                 std::vector<SocketAddress>& out) {
    auto lookups = std::make_shared<Lookups>();
    lookups->results.resize(hosts.size());
    for (size_t i = 0; i < hosts.size(); ++i) {
        std::vector<SocketAddress> numeric = Addresses(hosts[i], true);
        if (!numeric.empty()) {
            std::lock_guard<std::mutex> lock(lookups->mutex);
            lookups->results[i] = std::move(numeric);
            ++lookups->finished;
            continue;
        }
        std::thread thread;
        bool started = StartThread(thread, [lookups, i, host = hosts[i]] {
            std::vector<SocketAddress> addresses = LookUp(host);
            std::lock_guard<std::mutex> lock(lookups->mutex);
            lookups->results[i] = std::move(addresses);
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
    for (const std::vector<SocketAddress>& addresses : lookups->results)
        for (const SocketAddress& address : addresses)
            if (std::find(out.begin(), out.end(), address) == out.end())
                out.push_back(address);
    return P2P_OK;
}

void test::DelayResolution(int ms) {
    g_delayMs.store(ms);
}

} // namespace p2p
