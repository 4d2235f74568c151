#include "session/FrameBufferList.h"
#include "tests/support/TestNet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

FrameBuffer* Produce(FrameBufferList& list, uint32_t timestamp) {
    FrameBuffer* buf = list.AcquireFree();
    if (buf) {
        buf->SetTimestamp(timestamp);
        buf->SetLength(4);
        std::memcpy(buf->GetData(), &timestamp, 4);
        list.MarkReady(buf);
    }
    return buf;
}

uint32_t Consume(FrameBufferList& list) {
    FrameBuffer* buf = list.TakeReady();
    if (!buf)
        return 0;
    uint32_t ts = buf->GetTimestamp();
    list.Recycle(buf);
    return ts;
}

} // namespace

TEST(FrameBufferList, FullListDropsNewFramesAndKeepsTheQueuedOrder) {
    FrameBufferList list(15, 8);
    for (uint32_t i = 1; i <= 15; ++i)
        ASSERT_NE(Produce(list, i), nullptr);
    EXPECT_EQ(Produce(list, 16), nullptr);
    for (uint32_t i = 1; i <= 15; ++i)
        EXPECT_EQ(Consume(list), i);
    EXPECT_EQ(Consume(list), 0u);
}

TEST(FrameBufferList, ReadyBufferBehindAHeldHeadIsNotTaken) {
    FrameBufferList list(3, 8);
    FrameBuffer* held = list.AcquireFree();
    ASSERT_NE(Produce(list, 2), nullptr);
    EXPECT_EQ(list.TakeReady(), nullptr);
    held->SetTimestamp(1);
    list.MarkReady(held);
    EXPECT_EQ(Consume(list), 1u);
    EXPECT_EQ(Consume(list), 2u);
}

TEST(FrameBufferList, DestructorWaitsForAHeldHead) {
    auto list = std::make_unique<FrameBufferList>(4, 8);
    FrameBufferList* raw = list.get(); // reset() nulls the owner before deleting
    FrameBuffer* held = raw->AcquireFree();
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        list.reset();
        destroyed = true;
    });
    EXPECT_FALSE(testnet::WaitUntil([&] { return destroyed.load(); }, 100));
    raw->MarkReady(held);
    destroyer.join();
}

// The consumer waits as the decode threads do; once the producer is done, its
// stop flag and WakeWaiters end the last wait (a missed wake would hang here).
TEST(FrameBufferList, OneProducerOneConsumerDeliverEveryFrameInOrderAndAStopEndsTheWait) {
    FrameBufferList list(8, 64);
    constexpr uint32_t frames = 20000;
    std::vector<uint32_t> received;
    std::atomic<bool> stop{false};
    std::thread consumer([&] {
        while (!stop.load()) {
            FrameBuffer* buf = list.WaitReady(600000, [&] { return stop.load(); });
            if (!buf)
                continue;
            uint32_t value;
            std::memcpy(&value, buf->GetData(), 4);
            EXPECT_EQ(value, buf->GetTimestamp());
            received.push_back(value);
            list.Recycle(buf);
        }
    });
    for (uint32_t i = 1; i <= frames;) {
        if (Produce(list, i))
            ++i;
        else
            std::this_thread::yield();
    }
    ASSERT_TRUE(testnet::WaitUntil([&] { return list.GetReadyCount() == 0; }, 10000));
    stop.store(true);
    list.WakeWaiters();
    consumer.join();
    ASSERT_EQ(received.size(), frames);
    for (uint32_t i = 0; i < frames; ++i)
        ASSERT_EQ(received[i], i + 1);
}
