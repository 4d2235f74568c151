#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

// A thread with its own message queue and a message map: the stand-in for a
// user-interface thread that handles posted thread messages.
//
// Derived classes add handlers with OnMessage() in their constructor and start
// the thread with CreateThread(). Messages are handled one at a time in the
// order they were posted. The thread identifier is fixed once the thread is
// created. Quit() ends the loop after the message being handled (queued ones
// are discarded), refuses later posts and joins the thread.
//
// Timers: SetTimer(id, ms) makes the thread handle WM_TIMER with wParam = id
// every ms milliseconds, until KillTimer(id). As with a window system's
// timers, a due timer is handled only when no posted message waits, and one
// that fell behind fires once, not once per missed period.
//
// A derived class must call Quit() in its own destructor: the base destructor
// also does, but by then the derived members that handlers use are gone.
constexpr uint32_t WM_TIMER = 0x0113;

class MessageThread {
public:
    using Handler = std::function<void(uintptr_t wParam, intptr_t lParam)>;

    MessageThread() = default;
    virtual ~MessageThread();
    MessageThread(const MessageThread&) = delete;
    MessageThread& operator=(const MessageThread&) = delete;

    // Starts the thread. False when it was started before or cannot be created.
    bool CreateThread();

    // Queues a message for the thread. False when the thread has not been
    // started, is quitting or has ended: the message is then not queued.
    bool PostThreadMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam);

    // Starts or restarts timer `id` with the period `milliseconds` (at least 1).
    // Safe from any thread.
    void SetTimer(uintptr_t id, uint32_t milliseconds);
    void KillTimer(uintptr_t id);

    // Identifier of the thread; 0 before CreateThread. Never reused in the process.
    uint32_t GetThreadId() const { return m_threadId.load(); }

    // Asks the loop to end and waits for the thread, without a time limit.
    // Must not be called on the thread itself (use PostQuitMessage there).
    void Quit();

    // Asks the loop to end without waiting. Safe from any thread, including
    // from a handler on the thread itself: the loop ends when that handler returns.
    void PostQuitMessage();

    // Waits at most `milliseconds` for the thread to end; true when it has ended
    // (it is then joined). Use after PostQuitMessage or a posted quit job.
    bool WaitForExit(uint32_t milliseconds);

    // True from CreateThread until the thread function has returned.
    bool IsRunning() const;

protected:
    // Message map entry: `handler` runs on the thread for every `msg`.
    void OnMessage(uint32_t msg, Handler handler);

    // Run on the thread before the loop; false ends the thread at once.
    virtual bool InitInstance() { return true; }
    // Run on the thread after the loop.
    virtual int ExitInstance() { return 0; }

private:
    using Clock = std::chrono::steady_clock;
    struct Timer {
        std::chrono::milliseconds period;
        Clock::time_point due;
    };
    struct Message {
        uint32_t msg;
        uintptr_t wParam;
        intptr_t lParam;
    };

    void Run();
    bool NextMessage(Message& out);
    void JoinIfExited();

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Message> m_queue;
    bool m_started = false;
    bool m_quit = false;
    bool m_exited = false;
    std::map<uint32_t, Handler> m_handlers;
    std::map<uintptr_t, Timer> m_timers;
    std::atomic<uint32_t> m_threadId{0};
    std::thread m_thread;
};
