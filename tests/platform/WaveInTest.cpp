#include "platform/WaveIn.h"
#include "tests/support/TestFiles.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace {

// Records what the device hands back, and gives each buffer back to the
// device until `limit` blocks have arrived, like a capture cycle.
struct Capture {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<uint32_t> flags;
    size_t limit = 0;

    bool WaitForBlocks(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return blocks.size() >= count; });
    }
    // Every byte handed back, in order.
    std::vector<uint8_t> All() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<uint8_t> all;
        for (const auto& block : blocks)
            all.insert(all.end(), block.begin(), block.end());
        return all;
    }
};

void CaptureProc(WaveIn* device, uint32_t message, void* instance, WaveInHeader* header) {
    auto* capture = static_cast<Capture*>(instance);
    std::lock_guard<std::mutex> lock(capture->mutex);
    if (message == WIM_DATA) {
        capture->blocks.emplace_back(header->data, header->data + header->bytesRecorded);
        capture->flags.push_back(header->flags);
        if (capture->blocks.size() < capture->limit)
            device->AddBuffer(header);
    }
    capture->changed.notify_all();
}

WaveInFormat Format(uint16_t bits, uint16_t blockAlign = 0, uint16_t formatTag = 1) {
    WaveInFormat format;
    format.formatTag = formatTag;
    format.bitsPerSample = bits;
    format.blockAlign = blockAlign != 0 ? blockAlign : bits / 8;
    format.avgBytesPerSec = 8000 * bits / 8;
    return format;
}

struct Buffers {
    explicit Buffers(size_t count, uint32_t size) : storage(count, std::vector<uint8_t>(size)), headers(count) {
        for (size_t i = 0; i < count; ++i) {
            headers[i].data = storage[i].data();
            headers[i].bufferLength = size;
        }
    }
    std::vector<std::vector<uint8_t>> storage;
    std::vector<WaveInHeader> headers;
};

// The microphone holds 16 KiB: 8-bit, a pattern; 16-bit, samples with both
// extremes.
class WaveInTest : public ::testing::Test {
protected:
    void Speak(uint16_t bits) {
        const int16_t values[] = {-32768, 32767, 0, -1, 1, 12345, -12345};
        input.resize(16384);
        for (size_t i = 0; i < input.size(); ++i)
            input[i] = bits == 8 ? static_cast<uint8_t>((i * 7 + 3) & 0xFF)
                                 : static_cast<uint8_t>(static_cast<uint16_t>(values[i / 2 % 7]) >> (i % 2 * 8));
        WriteFile(dir.path() / "mic.raw", input);
        UseCaptureFile(dir.path() / "mic.raw");
    }
    void SetUp() override { Speak(8); }
    TempDir dir;
    std::vector<uint8_t> input;
};

class WaveInBitsTest : public WaveInTest, public ::testing::WithParamInterface<uint16_t> {};

} // namespace

TEST_P(WaveInBitsTest, CyclingBuffersDeliverEveryCapturedByteInOrder) {
    const uint16_t bits = GetParam();
    Speak(bits);
    Capture capture;
    capture.limit = 6;
    WaveIn device;
    ASSERT_EQ(device.Open(Format(bits), &CaptureProc, &capture), 0);
    EXPECT_EQ(device.Open(Format(bits), &CaptureProc, &capture), -1); // already open
    Buffers buffers(2, 1024u * bits / 8);
    for (auto& header : buffers.headers) {
        ASSERT_EQ(device.PrepareHeader(&header), 0);
        ASSERT_EQ(device.AddBuffer(&header), 0);
    }
    ASSERT_EQ(device.Start(), 0);
    ASSERT_TRUE(capture.WaitForBlocks(6));
    EXPECT_EQ(device.Stop(), 0);
    EXPECT_EQ(device.Reset(), 0);
    EXPECT_EQ(device.Close(), 0);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);

    const std::vector<uint8_t> all = capture.All();
    ASSERT_GE(all.size(), 6u * 1024u * bits / 8);
    ASSERT_LE(all.size(), input.size());
    EXPECT_TRUE(std::equal(all.begin(), all.end(), input.begin()));
    std::lock_guard<std::mutex> lock(capture.mutex);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(capture.blocks[i].size(), 1024u * bits / 8);
        EXPECT_TRUE(capture.flags[i] & WHDR_DONE);
        EXPECT_FALSE(capture.flags[i] & WHDR_INQUEUE);
    }
}

INSTANTIATE_TEST_SUITE_P(Bits, WaveInBitsTest, ::testing::Values(8, 16));

// A header is queued only prepared and only once; every one the device holds
// comes back with what it holds, at a reset and when the device is destroyed
// while capturing.
TEST_F(WaveInTest, HeadersAreQueuedOnceAndAllComeBackWithWhatTheyHold) {
    Capture capture;
    Buffers buffers(3, 1024);
    WaveInHeader& first = buffers.headers[0];
    {
        WaveIn device;
        EXPECT_EQ(device.AddBuffer(&first), -1); // not open
        ASSERT_EQ(device.Open(Format(8), &CaptureProc, &capture), 0);
        EXPECT_EQ(device.AddBuffer(&first), -1); // not prepared
        WaveInHeader empty;
        EXPECT_EQ(device.PrepareHeader(&empty), -1);
        EXPECT_EQ(device.PrepareHeader(nullptr), -1);
        for (auto& header : buffers.headers) {
            ASSERT_EQ(device.PrepareHeader(&header), 0);
            ASSERT_EQ(device.AddBuffer(&header), 0);
        }
        EXPECT_EQ(device.AddBuffer(&first), -1);       // already queued
        EXPECT_EQ(device.UnprepareHeader(&first), -1); // still with the device
        // Before the start nothing was captured: all three come back empty.
        EXPECT_EQ(device.Reset(), 0);
        EXPECT_EQ(capture.All().size(), 0u);
        {
            std::lock_guard<std::mutex> lock(capture.mutex);
            ASSERT_EQ(capture.blocks.size(), 3u);
            for (uint32_t flags : capture.flags)
                EXPECT_FALSE(flags & WHDR_INQUEUE);
            capture.blocks.clear();
            capture.flags.clear();
        }
        EXPECT_EQ(device.UnprepareHeader(&first), 0);
        EXPECT_FALSE(first.flags & WHDR_PREPARED);

        ASSERT_EQ(device.PrepareHeader(&first), 0);
        for (auto& header : buffers.headers)
            ASSERT_EQ(device.AddBuffer(&header), 0);
        ASSERT_EQ(device.Start(), 0);
        ASSERT_TRUE(capture.WaitForBlocks(1));
    }
    const std::vector<uint8_t> all = capture.All();
    EXPECT_GE(all.size(), 1024u);
    EXPECT_TRUE(std::equal(all.begin(), all.end(), input.begin()));
    std::lock_guard<std::mutex> lock(capture.mutex);
    EXPECT_EQ(capture.blocks.size(), 3u);
    for (const auto& header : buffers.headers)
        EXPECT_FALSE(header.flags & WHDR_INQUEUE);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
}

TEST_F(WaveInTest, UnusableFormatsAndMissingDevicesFailWithoutHoldingSdl) {
    const struct {
        const char* name;
        WaveInFormat format;
        WaveInCallback callback;
        const char* microphone;
    } refused[] = {
        // clang-format off
        {"TwentyFourBits",       Format(24),       &CaptureProc, "mic.raw"},
        {"BlockAlignNotASample", Format(16, 1),    &CaptureProc, "mic.raw"},
        {"NotPcm",               Format(8, 1, 3),  &CaptureProc, "mic.raw"},
        {"NoCallback",           Format(8),        nullptr,      "mic.raw"},
        {"NoDevice",             Format(8),        &CaptureProc, "missing.raw"},
        // clang-format on
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(row.name);
        UseCaptureFile(dir.path() / row.microphone);
        Capture capture;
        WaveIn device;
        EXPECT_EQ(device.Open(row.format, row.callback, &capture), -1);
        EXPECT_FALSE(device.IsOpen());
        EXPECT_EQ(device.Close(), -1);
        EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
    }
}
