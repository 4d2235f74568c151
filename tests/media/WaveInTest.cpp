#include "WaveIn.h"
#include "WaveInTestFiles.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Records what the device hands back; optionally gives each buffer back to
// the device until `limit` blocks have arrived, like a capture cycle.
struct Capture {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<uint32_t> flags;
    int opens = 0;
    int closes = 0;
    bool cycle = false;
    size_t limit = 0;

    bool WaitForBlocks(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return blocks.size() >= count; });
    }
    size_t BlockCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return blocks.size();
    }
};

void CaptureProc(WaveIn* device, uint32_t message, void* instance, WaveInHeader* header) {
    auto* capture = static_cast<Capture*>(instance);
    std::lock_guard<std::mutex> lock(capture->mutex);
    if (message == WIM_OPEN) {
        ++capture->opens;
    } else if (message == WIM_CLOSE) {
        ++capture->closes;
    } else if (message == WIM_DATA) {
        capture->blocks.emplace_back(header->data, header->data + header->bytesRecorded);
        capture->flags.push_back(header->flags);
        if (capture->cycle && capture->blocks.size() < capture->limit)
            device->AddBuffer(header);
    }
    capture->changed.notify_all();
}

WaveInFormat Format(uint16_t bits) {
    WaveInFormat format;
    format.bitsPerSample = bits;
    format.blockAlign = bits / 8;
    format.avgBytesPerSec = 8000 * bits / 8;
    return format;
}

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 7 + 3) & 0xFF);
    return bytes;
}

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& blocks) {
    std::vector<uint8_t> all;
    for (const auto& block : blocks)
        all.insert(all.end(), block.begin(), block.end());
    return all;
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

class WaveInTest : public ::testing::Test {
protected:
    void SetUp() override {
        input = Pattern(16384);
        WriteFile(dir.path() / "mic.raw", input);
        UseCaptureFile(dir.path() / "mic.raw");
    }
    TempDir dir;
    std::vector<uint8_t> input;
};

// 8-bit and 16-bit samples alike arrive unchanged, byte for byte.
class WaveInBitsTest : public WaveInTest, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(WaveInBitsTest, CyclingBuffersDeliverEveryCapturedByteInOrder) {
    Capture capture;
    capture.cycle = true;
    capture.limit = 6;
    WaveIn device;
    ASSERT_EQ(device.Open(Format(GetParam()), &CaptureProc, &capture), 0);
    Buffers buffers(2, 1024);
    for (auto& header : buffers.headers) {
        ASSERT_EQ(device.PrepareHeader(&header), 0);
        ASSERT_EQ(device.AddBuffer(&header), 0);
    }
    ASSERT_EQ(device.Start(), 0);
    ASSERT_TRUE(capture.WaitForBlocks(6));
    EXPECT_EQ(device.Stop(), 0);
    EXPECT_EQ(device.Reset(), 0);
    EXPECT_EQ(device.Close(), 0);

    std::lock_guard<std::mutex> lock(capture.mutex);
    ASSERT_GE(capture.blocks.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(capture.blocks[i].size(), 1024u);
        EXPECT_TRUE(capture.flags[i] & WHDR_DONE);
        EXPECT_FALSE(capture.flags[i] & WHDR_INQUEUE);
    }
    std::vector<uint8_t> all = Concat(capture.blocks);
    ASSERT_LE(all.size(), input.size());
    EXPECT_TRUE(std::equal(all.begin(), all.end(), input.begin()));
    EXPECT_EQ(capture.opens, 1);
    EXPECT_EQ(capture.closes, 1);
}

INSTANTIATE_TEST_SUITE_P(Bits, WaveInBitsTest, ::testing::Values(8, 16));

TEST_F(WaveInTest, ResetHandsBackEveryHeldBufferWithWhatItHolds) {
    Capture capture;
    WaveIn device;
    ASSERT_EQ(device.Open(Format(8), &CaptureProc, &capture), 0);
    Buffers buffers(3, 1024);
    for (auto& header : buffers.headers) {
        device.PrepareHeader(&header);
        device.AddBuffer(&header);
    }
    // Before the start nothing was captured: all three come back empty.
    EXPECT_EQ(device.Reset(), 0);
    {
        std::lock_guard<std::mutex> lock(capture.mutex);
        ASSERT_EQ(capture.blocks.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_TRUE(capture.blocks[i].empty());
            EXPECT_FALSE(capture.flags[i] & WHDR_INQUEUE);
        }
        capture.blocks.clear();
        capture.flags.clear();
    }

    for (auto& header : buffers.headers)
        device.AddBuffer(&header);
    device.Start();
    ASSERT_TRUE(capture.WaitForBlocks(1));
    device.Stop();
    // Stopped: no more buffers come back by themselves.
    size_t afterStop = capture.BlockCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(capture.BlockCount(), afterStop);
    device.Reset();
    device.Close();

    std::lock_guard<std::mutex> lock(capture.mutex);
    EXPECT_EQ(capture.blocks.size(), 3u);
    std::vector<uint8_t> all = Concat(capture.blocks);
    EXPECT_GE(all.size(), 1024u);
    EXPECT_TRUE(std::equal(all.begin(), all.end(), input.begin()));
}

TEST_F(WaveInTest, HeadersMustBePreparedAndAreQueuedOnce) {
    Capture capture;
    WaveIn device;
    Buffers buffers(1, 1024);
    WaveInHeader& header = buffers.headers[0];
    EXPECT_EQ(device.AddBuffer(&header), -1); // not open
    ASSERT_EQ(device.Open(Format(8), &CaptureProc, &capture), 0);
    EXPECT_EQ(device.AddBuffer(&header), -1); // not prepared
    EXPECT_EQ(device.PrepareHeader(&header), 0);
    EXPECT_EQ(device.AddBuffer(&header), 0);
    EXPECT_EQ(device.AddBuffer(&header), -1);       // already queued
    EXPECT_EQ(device.UnprepareHeader(&header), -1); // still with the device
    device.Reset();
    EXPECT_EQ(device.UnprepareHeader(&header), 0);
    EXPECT_FALSE(header.flags & WHDR_PREPARED);

    WaveInHeader empty;
    EXPECT_EQ(device.PrepareHeader(&empty), -1);
    EXPECT_EQ(device.PrepareHeader(nullptr), -1);
}

TEST_F(WaveInTest, UnsupportedFormatsAndMissingDevicesFailWithoutLeakingSdl) {
    Capture capture;
    WaveIn device;
    WaveInFormat bad = Format(8);
    bad.bitsPerSample = 24;
    bad.blockAlign = 3;
    EXPECT_EQ(device.Open(bad, &CaptureProc, &capture), -1);
    bad = Format(16);
    bad.blockAlign = 1;
    EXPECT_EQ(device.Open(bad, &CaptureProc, &capture), -1);
    bad = Format(8);
    bad.formatTag = 3;
    EXPECT_EQ(device.Open(bad, &CaptureProc, &capture), -1);
    EXPECT_EQ(device.Open(Format(8), nullptr, &capture), -1);

    UseCaptureFile(dir.path() / "no-such-file.raw");
    EXPECT_EQ(device.Open(Format(8), &CaptureProc, &capture), -1);
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
    EXPECT_EQ(device.Close(), -1);

    UseCaptureFile(dir.path() / "mic.raw");
    EXPECT_EQ(device.Open(Format(8), &CaptureProc, &capture), 0);
    EXPECT_EQ(device.Open(Format(8), &CaptureProc, &capture), -1); // already open
    EXPECT_NE(SDL_WasInit(SDL_INIT_AUDIO), 0u);
    EXPECT_EQ(device.Close(), 0);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
}

TEST_F(WaveInTest, DestroyingAnOpenDeviceHandsBackItsBuffersAndCloses) {
    Capture capture;
    Buffers buffers(2, 1024);
    {
        WaveIn device;
        ASSERT_EQ(device.Open(Format(8), &CaptureProc, &capture), 0);
        for (auto& header : buffers.headers) {
            device.PrepareHeader(&header);
            device.AddBuffer(&header);
        }
        device.Start();
    }
    std::lock_guard<std::mutex> lock(capture.mutex);
    EXPECT_EQ(capture.blocks.size(), 2u);
    EXPECT_EQ(capture.closes, 1);
    EXPECT_FALSE(buffers.headers[0].flags & WHDR_INQUEUE);
    EXPECT_FALSE(buffers.headers[1].flags & WHDR_INQUEUE);
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
}

// Panes open and close their microphones from their own threads; SDL's
// subsystem count must come back to zero.
TEST_F(WaveInTest, DevicesOpenAndCloseFromSeveralThreads) {
    auto worker = [] {
        for (int i = 0; i < 10; ++i) {
            Capture capture;
            WaveIn device;
            if (device.Open(Format(i % 2 == 0 ? 8 : 16), &CaptureProc, &capture) != 0) {
                ADD_FAILURE() << "open failed";
                return;
            }
            Buffers buffers(2, 1024);
            for (auto& header : buffers.headers) {
                device.PrepareHeader(&header);
                device.AddBuffer(&header);
            }
            device.Start();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            device.Stop();
            device.Reset();
            device.Close();
        }
    };
    std::thread a(worker);
    std::thread b(worker);
    a.join();
    b.join();
    EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
}

} // namespace
