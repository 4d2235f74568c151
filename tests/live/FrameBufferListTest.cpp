#include "FrameBufferList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
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

TEST(FrameBufferList, NewListHasZeroFilledFreeBuffersAndTheSixteenthAcquireFails) {
    FrameBufferList list(15, 48000);
    std::vector<FrameBuffer*> taken;
    for (int i = 0; i < 15; ++i) {
        FrameBuffer* buf = list.AcquireFree();
        ASSERT_NE(buf, nullptr);
        EXPECT_EQ(buf->GetCapacity(), 48000u);
        EXPECT_EQ(buf->GetLength(), 0u);
        EXPECT_EQ(buf->GetTimestamp(), 0u);
        EXPECT_EQ(buf->GetState(), BUF_BUSY);
        EXPECT_TRUE(std::all_of(buf->GetData(), buf->GetData() + 48000, [](uint8_t b) { return b == 0; }));
        EXPECT_EQ(std::find(taken.begin(), taken.end(), buf), taken.end());
        taken.push_back(buf);
    }
    EXPECT_EQ(list.AcquireFree(), nullptr);
    for (auto* buf : taken)
        list.MarkReady(buf);
}

TEST(FrameBufferList, RecycledBufferGoesBehindTheFreeOnesAndOrderHolds) {
    FrameBufferList list(5, 16);
    FrameBuffer* first = Produce(list, 1);
    FrameBuffer* second = Produce(list, 2);
    FrameBuffer* third = Produce(list, 3);
    ASSERT_TRUE(first && second && third);

    EXPECT_EQ(Consume(list), 1u);
    FrameBuffer* fourth = list.AcquireFree();
    EXPECT_NE(fourth, first); // the recycled buffer is taken last
    EXPECT_NE(fourth, second);
    EXPECT_NE(fourth, third);
    fourth->SetTimestamp(4);
    list.MarkReady(fourth);

    EXPECT_EQ(Consume(list), 2u);
    EXPECT_EQ(Consume(list), 3u);
    EXPECT_EQ(Consume(list), 4u);
    EXPECT_EQ(Consume(list), 0u);
}

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

TEST(FrameBufferList, RecycleOfANonHeadChangesNothing) {
    FrameBufferList list(3, 8);
    Produce(list, 1);
    FrameBuffer* second = Produce(list, 2);
    FrameBuffer* head = list.TakeReady();
    ASSERT_NE(head, nullptr);

    list.Recycle(second);
    EXPECT_EQ(second->GetState(), BUF_READY);
    list.Recycle(head);
    EXPECT_EQ(head->GetState(), BUF_FREE);
    EXPECT_EQ(Consume(list), 2u);
}

TEST(FrameBufferList, MarkReadyOfAForeignBufferIsIgnored) {
    FrameBufferList list(2, 8);
    FrameBufferList other(2, 8);
    FrameBuffer* foreign = other.AcquireFree();
    list.MarkReady(foreign);
    EXPECT_EQ(foreign->GetState(), BUF_BUSY);
    EXPECT_EQ(list.TakeReady(), nullptr);
    other.MarkReady(foreign);
}

TEST(FrameBufferList, DestructorWaitsForAHeldHead) {
    auto list = std::make_unique<FrameBufferList>(4, 8);
    FrameBufferList* raw = list.get(); // reset() nulls the owner before deleting
    FrameBuffer* held = raw->AcquireFree();
    std::atomic<bool> released{false};
    std::thread holder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        released = true;
        raw->MarkReady(held);
    });
    list.reset();
    EXPECT_TRUE(released);
    holder.join();
}

TEST(FrameBufferList, OneProducerOneConsumerDeliverEveryFrameInOrder) {
    FrameBufferList list(8, 64);
    constexpr uint32_t frames = 20000;
    std::vector<uint32_t> received;
    std::thread consumer([&] {
        while (received.size() < frames) {
            FrameBuffer* buf = list.TakeReady();
            if (!buf) {
                std::this_thread::yield();
                continue;
            }
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
    consumer.join();
    for (uint32_t i = 0; i < frames; ++i)
        ASSERT_EQ(received[i], i + 1);
}
