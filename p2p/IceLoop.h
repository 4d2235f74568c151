#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

struct _GMainContext;
struct _GMainLoop;

namespace p2p {

// The one GLib main loop on which every ICE agent of a process runs: libnice
// calls back on the thread that runs an agent's context, so with one shared
// context the thread count does not grow with ICE sessions. Started at the
// first use and stopped (its thread joined) when the last holder lets it go.
//
// Like the I/O loop's clients, whatever runs on it must never block.
class IceLoop {
public:
    // The process's loop; null when its thread cannot start.
    static std::shared_ptr<IceLoop> Shared();

    ~IceLoop(); // by the last holder's release only
    IceLoop(const IceLoop&) = delete;
    IceLoop& operator=(const IceLoop&) = delete;

    _GMainContext* Context() const { return m_context; }
    // Runs `task` on the loop's thread soon, after the tasks posted before
    // it; never at once, not even when called from the loop's thread.
    void Post(std::function<void()> task);
    // Runs `task` on the loop's thread and waits for its result (at once
    // when called there): what the task sets up is then seen by every later
    // callback of the loop.
    int Call(const std::function<int()>& task);
    bool InLoop() const { return std::this_thread::get_id() == m_threadId; }

private:
    IceLoop() = default;
    bool Begin();
    void Retire();
    void Run();
    static int RunTasks(void* self);

    _GMainContext* m_context = nullptr;
    _GMainLoop* m_loop = nullptr;
    std::thread m_thread;
    std::thread::id m_threadId;

    std::mutex m_mutex; // guards the fields below
    std::deque<std::function<void()>> m_tasks;
    bool m_retireInLoop = false; // the last holder let go on the loop's thread
};

} // namespace p2p
