#include "p2p/ThreadStart.h"

#include "p2p/P2PTestHooks.h"

#include <atomic>
#include <system_error>

namespace {
std::atomic<int> g_failStarts{0};
} // namespace

namespace p2p {

bool StartThread(std::thread& thread, std::function<void()> body) {
    int pending = g_failStarts.load();
    while (pending > 0 && !g_failStarts.compare_exchange_weak(pending, pending - 1)) {
    }
    if (pending > 0)
        return false;
    try {
        thread = std::thread(std::move(body));
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void test::FailThreadStarts(int times) {
    g_failStarts.store(times);
}

} // namespace p2p
