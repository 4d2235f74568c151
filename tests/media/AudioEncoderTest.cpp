#include "AudioEncoder.h"
#include "FrameBufferList.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// 8-bit samples are centred on 128, 16-bit ones signed; both are scaled and clamped to [-1, 1].
TEST(AudioEncoderConversion, SamplesAreCentredScaledAndClamped) {
    EXPECT_EQ(AudioEncoder::ConvertSample8(128), 0.0f);
    EXPECT_EQ(AudioEncoder::ConvertSample8(255), 1.0f);
    EXPECT_EQ(AudioEncoder::ConvertSample8(0), -1.0f); // -128/127 lies below -1
    EXPECT_EQ(AudioEncoder::ConvertSample8(1), -1.0f);
    EXPECT_EQ(AudioEncoder::ConvertSample8(129), static_cast<float>(1 / 127.0));
    EXPECT_EQ(AudioEncoder::ConvertSample8(127), static_cast<float>(-1 / 127.0));
    EXPECT_EQ(AudioEncoder::ConvertSample16(0), 0.0f);
    EXPECT_EQ(AudioEncoder::ConvertSample16(-32768), -1.0f);
    EXPECT_EQ(AudioEncoder::ConvertSample16(32767), 1.0f);
    EXPECT_EQ(AudioEncoder::ConvertSample16(-32767), -1.0f);
    EXPECT_EQ(AudioEncoder::ConvertSample16(16384), static_cast<float>(16384 / 32767.0));
}

TEST(AudioEncoderConversion, OnlyBlocksOf1024EightOrSixteenBitSamplesAreConverted) {
    EXPECT_EQ(AudioEncoder::BlockBits(1024), 8u);
    EXPECT_EQ(AudioEncoder::BlockBits(1151), 8u);
    EXPECT_EQ(AudioEncoder::BlockBits(2048), 16u);
    EXPECT_EQ(AudioEncoder::BlockBits(2175), 16u);

    std::vector<uint8_t> data(4096, 0);
    std::vector<float> out(1024, 42.0f);
    for (uint32_t length : {0u, 1u, 512u, 1000u, 1023u, 1152u, 1536u, 2047u, 2176u, 4096u}) {
        EXPECT_FALSE(AudioEncoder::ConvertBlock(data.data(), length, out.data())) << length;
        EXPECT_EQ(out[0], 42.0f) << length;
        EXPECT_EQ(out[1023], 42.0f) << length;
    }
}

TEST(AudioEncoderConversion, BlocksConvertEverySampleInOrder) {
    std::vector<uint8_t> block8(1024);
    for (size_t i = 0; i < block8.size(); ++i)
        block8[i] = static_cast<uint8_t>(i);
    std::vector<float> out(1024);
    ASSERT_TRUE(AudioEncoder::ConvertBlock(block8.data(), 1024, out.data()));
    for (size_t i = 0; i < 1024; ++i)
        ASSERT_EQ(out[i], AudioEncoder::ConvertSample8(static_cast<uint8_t>(i))) << i;

    // Little-endian 16-bit, including both extremes.
    std::vector<uint8_t> block16(2048);
    for (size_t i = 0; i < 1024; ++i) {
        int16_t s = static_cast<int16_t>(i % 3 == 0 ? -32768 : i % 3 == 1 ? 32767 : static_cast<int>(i) * 31 - 16000);
        block16[2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(s) & 0xFF);
        block16[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8);
    }
    ASSERT_TRUE(AudioEncoder::ConvertBlock(block16.data(), 2050, out.data())); // a spare byte is allowed
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(out[1], 1.0f);
    EXPECT_EQ(out[2], static_cast<float>((2 * 31 - 16000) / 32767.0));
    EXPECT_EQ(out[1022], static_cast<float>((1022 * 31 - 16000) / 32767.0));
}

TEST(AudioEncoderRecord, A200BytePacketMakesA215ByteRecord) {
    std::vector<uint8_t> packet(200);
    for (size_t i = 0; i < packet.size(); ++i)
        packet[i] = static_cast<uint8_t>(i * 3);
    std::vector<uint8_t> record(300, 0xEE);
    EXPECT_EQ(AudioEncoder::WriteRecord(record.data(), 0x01020304, packet.data(), 200), 215u);

    const uint8_t head[] = {0x04, 0x03, 0x02, 0x01,                    // sequence number
                            207,  0,    0,    0,                       // L = 200 + 7
                            0xFF, 0xF9, 0x6C, 0x40, 0x19, 0xFF, 0x01}; // ADTS header
    EXPECT_EQ(std::memcmp(record.data(), head, sizeof head), 0);
    EXPECT_EQ(std::memcmp(record.data() + 15, packet.data(), 200), 0);
    EXPECT_EQ(record[215], 0xEE); // nothing written past the record
}

TEST(AudioEncoderRecord, TheHeaderCarriesTheFrameLengthForEveryPacketSize) {
    std::vector<uint8_t> packet(8192 - 7, 0x5A);
    std::vector<uint8_t> record(8192 + 8);
    for (uint32_t size = 0; size + 7 < 8192; ++size) {
        ASSERT_EQ(AudioEncoder::WriteRecord(record.data(), size, packet.data(), size), 15 + size);
        const uint8_t* adts = record.data() + 8;
        const uint32_t length = ((adts[3] & 3u) << 11) | (adts[4] << 3) | (adts[5] >> 5);
        ASSERT_EQ(length, size + 7) << size;
        ASSERT_EQ(record[4] | (record[5] << 8) | (record[6] << 16) | (record[7] << 24), static_cast<int>(size + 7));
        // AAC-LC, 8000 Hz, one channel; the other header bits never change.
        ASSERT_EQ(adts[0], 0xFF);
        ASSERT_EQ(adts[1], 0xF9);
        ASSERT_EQ(adts[2], 0x6C);
        ASSERT_EQ(adts[3] & 0xFC, 0x40);
        ASSERT_EQ(adts[5] & 0x1F, 0x1F);
        ASSERT_EQ(adts[6], 0x01);
    }
}

// Feeds `count` blocks into the encoder's queue the way the capture callback
// does, waiting while the queue is full.
void Feed(AudioEncoder& encoder, const std::vector<uint8_t>& block, int count) {
    for (int i = 0; i < count; ++i) {
        FrameBufferList* queue = encoder.GetInputQueue();
        ASSERT_NE(queue, nullptr);
        FrameBuffer* buf = nullptr;
        for (int tries = 0; buf == nullptr && tries < 1000; ++tries) {
            buf = queue->AcquireFree();
            if (buf == nullptr)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_NE(buf, nullptr) << "the encoder does not take its blocks";
        std::memcpy(buf->GetData(), block.data(), block.size());
        buf->SetLength(static_cast<uint32_t>(block.size()));
        queue->MarkReady(buf);
    }
}

TEST(AudioEncoderThread, TheInputQueueExistsOnlyWhileTheThreadRuns) {
    AudioEncoder encoder;
    EXPECT_EQ(encoder.GetInputQueue(), nullptr);
    EXPECT_EQ(encoder.StopEncoder(), 0); // nothing to stop
    ASSERT_EQ(encoder.StartEncoder(), 0);
    FrameBufferList* queue = encoder.GetInputQueue();
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(queue->GetCount(), 50u);
    EXPECT_EQ(queue->GetBufferSize(), 16384u);
    EXPECT_EQ(encoder.StartEncoder(), -1); // one thread at a time
    EXPECT_EQ(encoder.GetInputQueue(), queue);
    EXPECT_EQ(encoder.StopEncoder(), 0);
    EXPECT_EQ(encoder.GetInputQueue(), nullptr);
    EXPECT_EQ(encoder.StopEncoder(), 0);
    ASSERT_EQ(encoder.StartEncoder(), 0); // and again, as a pane talks twice
    EXPECT_NE(encoder.GetInputQueue(), nullptr);
}

// Without a sink the records go nowhere, but the batch must not grow: far
// more blocks than one 65536-byte batch can hold pass through cleanly.
TEST(AudioEncoderThread, WithoutASinkManyBlocksPassThrough) {
    std::vector<uint8_t> block(1024);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(128 + std::lround(100 * std::sin(2 * M_PI * 440 * i / 8000.0)));
    AudioEncoder encoder;
    ASSERT_EQ(encoder.StartEncoder(), 0);
    Feed(encoder, block, 600);
    std::vector<uint8_t> odd(1500, 128); // skipped, not encoded
    Feed(encoder, odd, 5);
    EXPECT_EQ(encoder.StopEncoder(), 0);
}

} // namespace
