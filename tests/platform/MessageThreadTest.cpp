#include "platform/MessageThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t UM_RECORD = 0x401;
constexpr uint32_t UM_BLOCK = 0x402;
constexpr uint32_t UM_QUIT_JOB = 0x403;

class RecordingThread : public MessageThread {
public:
    RecordingThread() {
        OnMessage(UM_RECORD, [this](uintptr_t wParam, intptr_t lParam) {
            seen.push_back(static_cast<int>(wParam) * 1000 + static_cast<int>(lParam));
        });
        OnMessage(UM_BLOCK, [this](uintptr_t, intptr_t) {
            entered.set_value();
            release.get_future().wait();
        });
        OnMessage(UM_QUIT_JOB, [this](uintptr_t, intptr_t) { PostQuitMessage(); });
    }
    ~RecordingThread() override { Quit(); }

    std::vector<int> seen; // read once the thread has ended
    std::promise<void> entered;
    std::promise<void> release;
};

} // namespace

TEST(MessageThread, KeepsPostOrderAndDispatchesByNumber) {
    RecordingThread thread;
    ASSERT_TRUE(thread.CreateThread());
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(thread.PostThreadMessage(UM_RECORD, i, 7));
    EXPECT_TRUE(thread.PostThreadMessage(0x999, 0, 0)); // no handler: ignored
    EXPECT_TRUE(thread.PostThreadMessage(UM_QUIT_JOB, 0, 0));
    ASSERT_TRUE(thread.WaitForExit(5000));

    ASSERT_EQ(thread.seen.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(thread.seen[i], i * 1000 + 7);
}

// Panes are told apart by their thread ids; a message to a thread that is
// not running is refused, so its sender knows it was not queued.
TEST(MessageThread, StartsOnceWithADistinctIdAndRefusesPostsWhenNotRunning) {
    RecordingThread a;
    RecordingThread b;
    EXPECT_FALSE(a.PostThreadMessage(UM_RECORD, 1, 1));
    ASSERT_TRUE(a.CreateThread());
    ASSERT_TRUE(b.CreateThread());
    const uint32_t id = a.GetThreadId();
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, b.GetThreadId());
    EXPECT_FALSE(a.CreateThread());
    a.Quit();
    EXPECT_EQ(a.GetThreadId(), id);
    EXPECT_FALSE(a.IsRunning());
    EXPECT_FALSE(a.PostThreadMessage(UM_RECORD, 1, 1));
}

TEST(MessageThread, QuitJobEndsTheLoopAndDropsWaitingJobs) {
    RecordingThread thread;
    ASSERT_TRUE(thread.CreateThread());
    ASSERT_TRUE(thread.PostThreadMessage(UM_BLOCK, 0, 0));
    thread.entered.get_future().wait();
    ASSERT_TRUE(thread.PostThreadMessage(UM_QUIT_JOB, 0, 0));
    ASSERT_TRUE(thread.PostThreadMessage(UM_RECORD, 2, 2));
    thread.release.set_value();
    EXPECT_TRUE(thread.WaitForExit(5000));
    EXPECT_TRUE(thread.seen.empty());
}
