#include "p2p/IceLoop.h"

#include "p2p/ThreadStart.h"

#include <condition_variable>
#include <glib.h>
#include <optional>
#include <pthread.h>

namespace p2p {

namespace {
std::mutex g_sharedMutex;
std::weak_ptr<IceLoop> g_shared; // the loop while anything holds it
} // namespace

std::shared_ptr<IceLoop> IceLoop::Shared() {
    std::lock_guard<std::mutex> lock(g_sharedMutex);
    if (std::shared_ptr<IceLoop> loop = g_shared.lock())
        return loop;
    std::unique_ptr<IceLoop> fresh(new IceLoop());
    if (!fresh->Begin())
        return nullptr;
    std::shared_ptr<IceLoop> loop(fresh.release(), [](IceLoop* retired) { retired->Retire(); });
    g_shared = loop;
    return loop;
}

IceLoop::~IceLoop() {
    if (m_loop != nullptr)
        g_main_loop_unref(m_loop);
    if (m_context != nullptr)
        g_main_context_unref(m_context);
}

bool IceLoop::Begin() {
    m_context = g_main_context_new();
    m_loop = g_main_loop_new(m_context, FALSE);
    // Run waits for this lock, so the id is set before any task can ask for it.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!StartThread(m_thread, [this] { Run(); }))
        return false;
    m_threadId = m_thread.get_id();
    return true;
}

// The last holder let go: nothing of it is queued (a task holds what it
// works on, and that holds the loop), so the loop stops and is freed. On the
// loop's own thread it cannot join itself: the thread frees the loop as it ends.
void IceLoop::Retire() {
    std::unique_ptr<IceLoop> self(this);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (InLoop()) {
            m_retireInLoop = true;
            m_thread.detach();
            self.release();
        }
    }
    g_main_loop_quit(m_loop);
    if (m_thread.joinable())
        m_thread.join();
}

void IceLoop::Post(std::function<void()> task) {
    bool first;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        first = m_tasks.empty();
        m_tasks.push_back(std::move(task));
    }
    if (first) {
        GSource* source = g_idle_source_new();
        // Default priority: an idle one waits for ever behind an agent that
        // always has work (a writer the peer holds back).
        g_source_set_priority(source, G_PRIORITY_DEFAULT);
        g_source_set_callback(source, &IceLoop::RunTasks, this, nullptr);
        g_source_attach(source, m_context);
        g_source_unref(source);
    }
}

int IceLoop::Call(const std::function<int()>& task) {
    if (InLoop())
        return task();
    std::mutex doneMutex;
    std::condition_variable doneCv;
    std::optional<int> result;
    Post([&] {
        const int r = task();
        std::lock_guard<std::mutex> lock(doneMutex);
        result = r;
        doneCv.notify_all();
    });
    std::unique_lock<std::mutex> lock(doneMutex);
    doneCv.wait(lock, [&] { return result.has_value(); });
    return *result;
}

int IceLoop::RunTasks(void* self) {
    auto* loop = static_cast<IceLoop*>(self);
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(loop->m_mutex);
        tasks.swap(loop->m_tasks);
    }
    // A task may drop the last hold on the loop: nothing of it is touched after.
    while (!tasks.empty()) {
        std::function<void()> task = std::move(tasks.front());
        tasks.pop_front();
        task();
    }
    return G_SOURCE_REMOVE;
}

void IceLoop::Run() {
    pthread_setname_np(pthread_self(), "vantor-ice");
    {
        std::lock_guard<std::mutex> lock(m_mutex); // Begin has set the id
    }
    g_main_context_push_thread_default(m_context);
    g_main_loop_run(m_loop);
    g_main_context_pop_thread_default(m_context);
    bool freeSelf;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        freeSelf = m_retireInLoop;
    }
    if (freeSelf)
        std::unique_ptr<IceLoop> self(this);
}

} // namespace p2p
