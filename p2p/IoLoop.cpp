#include "p2p/IoLoop.h"

#include "p2p/ThreadStart.h"

#include <chrono>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace p2p {

namespace {
using Clock = std::chrono::steady_clock;
constexpr uint64_t kWakeId = 0;
constexpr int kMaxEvents = 64;

std::mutex g_sharedMutex;
std::weak_ptr<IoLoop> g_shared; // the loop while anything holds it
} // namespace

std::shared_ptr<IoLoop> IoLoop::Shared() {
    std::lock_guard<std::mutex> lock(g_sharedMutex);
    if (std::shared_ptr<IoLoop> loop = g_shared.lock())
        return loop;
    std::unique_ptr<IoLoop> fresh(new IoLoop());
    if (!fresh->Begin())
        return nullptr;
    std::shared_ptr<IoLoop> loop(fresh.release(), [](IoLoop* retired) { retired->Retire(); });
    g_shared = loop;
    return loop;
}

bool IoLoop::Begin() {
    m_epoll.reset(epoll_create1(EPOLL_CLOEXEC));
    m_wake.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (m_epoll.get() < 0 || m_wake.get() < 0)
        return false;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeId;
    if (epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, m_wake.get(), &event) != 0)
        return false;
    // Run waits for this lock, so the id is set before any call can ask for it.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!StartThread(m_thread, [this] { Run(); }))
        return false;
    m_threadId = m_thread.get_id();
    return true;
}

// The last holder let go: stop the thread and free the loop. On the loop's
// own thread (a client dropped the last hold from a call) it cannot join
// itself, so the thread frees the loop as it ends.
void IoLoop::Retire() {
    std::unique_ptr<IoLoop> self(this);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        if (InLoop()) {
            m_retireInLoop = true;
            m_thread.detach();
            self.release();
        }
    }
    Wake();
    if (m_thread.joinable())
        m_thread.join();
}

void IoLoop::Wake() {
    uint64_t one = 1;
    ssize_t r = write(m_wake.get(), &one, sizeof one);
    (void)r;
}

bool IoLoop::Add(int fd, uint32_t events, Client* client, uint64_t& id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    id = 0;
    epoll_event event{};
    event.events = events;
    event.data.u64 = m_nextId;
    if (epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, fd, &event) != 0)
        return false;
    id = m_nextId++;
    m_watches[id] = Watch{fd, client};
    if (m_notified.empty())
        Wake();
    m_notified.insert(id);
    return true;
}

void IoLoop::Modify(uint64_t id, uint32_t events) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_watches.find(id);
    if (it == m_watches.end())
        return;
    epoll_event event{};
    event.events = events;
    event.data.u64 = id;
    epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, it->second.fd, &event);
}

void IoLoop::Remove(uint64_t id) {
    if (id == 0)
        return; // no watch was made
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = m_watches.find(id);
    if (it != m_watches.end()) {
        epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, it->second.fd, nullptr);
        m_watches.erase(it);
    }
    m_notified.erase(id);
    if (!InLoop())
        m_idle.wait(lock, [&] { return m_running != id; });
}

void IoLoop::Notify(uint64_t id) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_watches.count(id) == 0)
        return;
    if (m_notified.empty())
        Wake();
    m_notified.insert(id);
}

void IoLoop::Dispatch(uint64_t id, uint32_t events) {
    Client* client;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_watches.find(id);
        if (it == m_watches.end())
            return; // ended by an earlier call of this round
        client = it->second.client;
        m_running = id;
    }
    client->OnEvent(events);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = 0;
    }
    m_idle.notify_all();
}

void IoLoop::Run() {
    pthread_setname_np(pthread_self(), "vantor-io"); // else it bears the name of whichever thread started it
    epoll_event events[kMaxEvents];
    Clock::time_point nextTick = Clock::now() + std::chrono::milliseconds(kTickMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop)
                break;
        }
        const auto untilTick = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - Clock::now()).count();
        const int n = epoll_wait(m_epoll.get(), events, kMaxEvents, untilTick > 0 ? static_cast<int>(untilTick) : 0);
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kWakeId) {
                uint64_t count;
                ssize_t r = read(m_wake.get(), &count, sizeof count);
                (void)r;
            } else {
                Dispatch(events[i].data.u64, events[i].events);
            }
        }
        std::set<uint64_t> notified;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            notified.swap(m_notified);
        }
        for (uint64_t id : notified)
            Dispatch(id, 0);
        if (Clock::now() >= nextTick) {
            nextTick = Clock::now() + std::chrono::milliseconds(kTickMs);
            std::vector<uint64_t> ids;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (const auto& entry : m_watches)
                    ids.push_back(entry.first);
            }
            for (uint64_t id : ids)
                Dispatch(id, 0);
        }
    }
    bool freeSelf;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        freeSelf = m_retireInLoop;
    }
    if (freeSelf)
        std::unique_ptr<IoLoop> self(this);
}

} // namespace p2p
