#pragma once

#include "p2p/SocketUtil.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace p2p {

// The one thread that serves every session of a process: it watches file
// descriptors with epoll and calls their clients when they are ready, when
// someone asks it to (Notify), and on a tick every kTickMs, which is when
// clients check their time-outs. The thread count of a process therefore
// does not grow with its sessions.
//
// Every client call runs on this thread, one at a time: a call must never
// block (no sleeping, no waiting on the network or on another session),
// because every other session waits for it.
class IoLoop {
public:
    static constexpr int kTickMs = 100;

    class Client {
    public:
        virtual ~Client() = default;
        // `events` are the epoll events of the watched fd, or 0 for a Notify
        // or a tick.
        virtual void OnEvent(uint32_t events) = 0;
    };

    // The process's loop, started at the first use and stopped (its thread
    // joined) when the last holder lets it go. Null when its thread cannot
    // start.
    static std::shared_ptr<IoLoop> Shared();

    IoLoop(const IoLoop&) = delete;
    IoLoop& operator=(const IoLoop&) = delete;

    // Watches `fd` for `events` on behalf of `client`, and notifies it once
    // at once. `id` names the watch (0 when it cannot be made); it is set
    // before the client can be called, so the client may use it from its
    // first call.
    bool Add(int fd, uint32_t events, Client* client, uint64_t& id);
    void Modify(uint64_t id, uint32_t events);
    // Ends a watch. When this returns, the client is never called again for
    // it: off the loop's thread it waits for a call in progress.
    void Remove(uint64_t id);
    // Has the client of `id` called soon on the loop's thread (any thread;
    // an ended watch is ignored).
    void Notify(uint64_t id);
    bool InLoop() const { return std::this_thread::get_id() == m_threadId; }

private:
    struct Watch {
        int fd;
        Client* client;
    };
    IoLoop() = default;
    bool Begin();
    void Retire();
    void Run();
    void Wake();
    void Dispatch(uint64_t id, uint32_t events);

    UniqueFd m_epoll;
    UniqueFd m_wake;
    std::thread m_thread;
    std::thread::id m_threadId;

    std::mutex m_mutex; // guards the fields below
    std::condition_variable m_idle;
    bool m_stop = false;
    bool m_retireInLoop = false; // the last holder let go on the loop's thread
    uint64_t m_nextId = 1;
    std::map<uint64_t, Watch> m_watches;
    std::set<uint64_t> m_notified;
    uint64_t m_running = 0; // the watch whose client is being called
};

} // namespace p2p
