#include "MessageThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <vector>

namespace {

constexpr uint32_t UM_RECORD = 0x401;
constexpr uint32_t UM_BLOCK = 0x402;
constexpr uint32_t UM_QUIT_JOB = 0x403;

class RecordingThread : public MessageThread {
public:
    RecordingThread() {
        OnMessage(UM_RECORD, [this](uintptr_t wParam, intptr_t lParam) {
            std::lock_guard<std::mutex> guard(lock);
            seen.push_back(static_cast<int>(wParam) * 1000 + static_cast<int>(lParam));
        });
        OnMessage(UM_BLOCK, [this](uintptr_t, intptr_t) {
            entered.set_value();
            release.get_future().wait();
            finished = true;
        });
        OnMessage(UM_QUIT_JOB, [this](uintptr_t, intptr_t) { PostQuitMessage(); });
    }
    ~RecordingThread() override { Quit(); }

    std::vector<int> Seen() {
        std::lock_guard<std::mutex> guard(lock);
        return seen;
    }

    std::mutex lock;
    std::vector<int> seen;
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<bool> finished{false};
};

} // namespace

TEST(MessageThread, PostBeforeStartIsRefused) {
    RecordingThread thread;
    EXPECT_EQ(thread.GetThreadId(), 0u);
    EXPECT_FALSE(thread.PostThreadMessage(UM_RECORD, 1, 1));
}

TEST(MessageThread, KeepsPostOrderAndDispatchesByNumber) {
    RecordingThread thread;
    ASSERT_TRUE(thread.CreateThread());
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(thread.PostThreadMessage(UM_RECORD, i, 7));
    EXPECT_TRUE(thread.PostThreadMessage(0x999, 0, 0)); // no handler: ignored
    EXPECT_TRUE(thread.PostThreadMessage(UM_QUIT_JOB, 0, 0));
    ASSERT_TRUE(thread.WaitForExit(5000));

    auto seen = thread.Seen();
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(seen[i], i * 1000 + 7);
}

TEST(MessageThread, ThreadIdIsFixedAndDistinct) {
    RecordingThread a;
    RecordingThread b;
    ASSERT_TRUE(a.CreateThread());
    ASSERT_TRUE(b.CreateThread());
    uint32_t id = a.GetThreadId();
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, b.GetThreadId());
    EXPECT_FALSE(a.CreateThread());
    EXPECT_EQ(a.GetThreadId(), id);
    a.Quit();
    EXPECT_EQ(a.GetThreadId(), id);
}

TEST(MessageThread, MessagesAfterQuitAreRefused) {
    RecordingThread thread;
    ASSERT_TRUE(thread.CreateThread());
    thread.Quit();
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(thread.PostThreadMessage(UM_RECORD, 1, 1));
}

TEST(MessageThread, QuitWhileAHandlerRunsWaitsForIt) {
    RecordingThread thread;
    ASSERT_TRUE(thread.CreateThread());
    ASSERT_TRUE(thread.PostThreadMessage(UM_BLOCK, 0, 0));
    ASSERT_TRUE(thread.PostThreadMessage(UM_RECORD, 1, 1)); // discarded by the quit
    thread.entered.get_future().wait();

    auto quitting = std::async(std::launch::async, [&] { thread.Quit(); });
    EXPECT_EQ(quitting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    thread.release.set_value();
    quitting.get();

    EXPECT_TRUE(thread.finished);
    EXPECT_TRUE(thread.Seen().empty());
}

TEST(MessageThread, QuitJobEndsTheLoopAndDropsWaitingJobs) {
    RecordingThread thread;
    ASSERT_TRUE(thread.CreateThread());
    ASSERT_TRUE(thread.PostThreadMessage(UM_BLOCK, 0, 0));
    thread.entered.get_future().wait();
    ASSERT_TRUE(thread.PostThreadMessage(UM_QUIT_JOB, 0, 0));
    ASSERT_TRUE(thread.PostThreadMessage(UM_RECORD, 2, 2));
    EXPECT_FALSE(thread.WaitForExit(50)); // the blocking job still runs
    thread.release.set_value();
    EXPECT_TRUE(thread.WaitForExit(5000));
    EXPECT_TRUE(thread.Seen().empty());
}
