#include "platform/MessageThread.h"
#include "platform/ThreadName.h"

namespace {

uint32_t NextThreadId() {
    static std::atomic<uint32_t> counter{0};
    return ++counter;
}

} // namespace

MessageThread::~MessageThread() {
    Quit();
}

bool MessageThread::CreateThread() {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_started)
        return false;
    m_threadId = NextThreadId();
    try {
        m_thread = std::thread(&MessageThread::Run, this);
    } catch (const std::system_error&) {
        m_threadId = 0;
        return false;
    }
    m_started = true;
    return true;
}

bool MessageThread::PostThreadMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_started || m_quit || m_exited)
        return false;
    m_queue.push_back({msg, wParam, lParam});
    m_changed.notify_all();
    return true;
}

void MessageThread::PostQuitMessage() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_quit = true;
    m_queue.clear();
    m_changed.notify_all();
}

void MessageThread::Quit() {
    PostQuitMessage();
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

bool MessageThread::WaitForExit(uint32_t milliseconds) {
    {
        std::unique_lock<std::mutex> guard(m_lock);
        if (!m_changed.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                [this] { return m_exited || !m_started; }))
            return false;
    }
    JoinIfExited();
    return true;
}

bool MessageThread::IsRunning() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_started && !m_exited;
}

void MessageThread::OnMessage(uint32_t msg, Handler handler) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_handlers[msg] = std::move(handler);
}

void MessageThread::JoinIfExited() {
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

void MessageThread::SetTimer(uintptr_t id, uint32_t milliseconds) {
    std::lock_guard<std::mutex> guard(m_lock);
    const std::chrono::milliseconds period(milliseconds > 0 ? milliseconds : 1);
    m_timers[id] = Timer{period, Clock::now() + period};
    m_changed.notify_all();
}

void MessageThread::KillTimer(uintptr_t id) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_timers.erase(id);
}

bool MessageThread::NextMessage(Message& out) {
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        if (m_quit)
            return false;
        if (!m_queue.empty()) {
            out = m_queue.front();
            m_queue.pop_front();
            return true;
        }
        auto next = m_timers.end();
        for (auto it = m_timers.begin(); it != m_timers.end(); ++it)
            if (next == m_timers.end() || it->second.due < next->second.due)
                next = it;
        if (next == m_timers.end()) {
            m_changed.wait(guard);
            continue;
        }
        const Clock::time_point now = Clock::now();
        if (next->second.due <= now) {
            next->second.due = now + next->second.period;
            out = Message{WM_TIMER, next->first, 0};
            return true;
        }
        m_changed.wait_until(guard, next->second.due);
    }
}

void MessageThread::Run() {
    NameThisThread("vantor-pane");
    if (InitInstance()) {
        Message message{};
        while (NextMessage(message)) {
            Handler handler;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                auto it = m_handlers.find(message.msg);
                if (it != m_handlers.end())
                    handler = it->second;
            }
            if (handler)
                handler(message.wParam, message.lParam);
        }
    }
    ExitInstance();
    std::lock_guard<std::mutex> guard(m_lock);
    m_exited = true;
    m_queue.clear();
    m_changed.notify_all();
}
