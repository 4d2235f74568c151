#include "WavePlayer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Each test plays into its own file through SDL's disk driver.
class WavePlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        path = std::filesystem::temp_directory_path() /
               ("wave-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".raw");
        std::filesystem::remove(path);
        setenv("SDL_DISKAUDIOFILE", path.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove(path); }

    std::vector<int16_t> Output() {
        std::ifstream in(path, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<int16_t> samples(bytes.size() / 2);
        if (!samples.empty())
            std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        return samples;
    }
    bool WaitPlayed(WavePlayer& player) {
        for (int i = 0; i < 1000 && player.GetQueuedBlocks() > 0; ++i)
            std::this_thread::sleep_for(10ms);
        return player.GetQueuedBlocks() == 0;
    }

    std::filesystem::path path;
};

// 1024 float samples, none of which converts to 0, so a block is found in
// the output among the silence around it.
std::vector<float> Block(int k) {
    std::vector<float> block(1024);
    for (int i = 0; i < 1024; ++i)
        block[i] = static_cast<float>(0.9 * std::sin(0.05 * i + k) + (i % 2 ? 0.05 : -0.05));
    return block;
}

std::vector<int16_t> Expected(const std::vector<float>& block) {
    std::vector<int16_t> out;
    for (float f : block) {
        double d = std::trunc(static_cast<double>(f) * 32768.0);
        out.push_back(static_cast<int16_t>(d > 32767 ? 32767 : (d < -32768 ? -32768 : d)));
    }
    return out;
}

size_t Find(const std::vector<int16_t>& haystack, const std::vector<int16_t>& needle, size_t from) {
    auto it = std::search(haystack.begin() + static_cast<std::ptrdiff_t>(std::min(from, haystack.size())),
                          haystack.end(), needle.begin(), needle.end());
    return it == haystack.end() ? std::string::npos : static_cast<size_t>(it - haystack.begin());
}

} // namespace

TEST_F(WavePlayerTest, BlocksComeOutInOrderAsSaturatedPcm) {
    WavePlayer player;
    ASSERT_EQ(player.OpenOutput(), 0);
    std::vector<std::vector<float>> blocks;
    for (int k = 0; k < 6; ++k)
        blocks.push_back(Block(k));
    // Edge values: saturation at both ends, truncation toward zero.
    std::vector<float>& edge = blocks[2];
    const float edges[] = {1.0f, 1.5f, -1.0f, -2.0f, 0.5f, -0.5f, 0.99999f, -0.99999f, 1e-3f, -1e-3f, 100.0f};
    for (size_t i = 0; i < std::size(edges); ++i)
        edge[100 + i] = edges[i];
    for (auto& block : blocks)
        ASSERT_EQ(player.WriteSamples(1, block.data(), static_cast<uint32_t>(block.size() * 4), 2, 44100), 0);
    ASSERT_TRUE(WaitPlayed(player));
    player.CloseOutput();

    auto out = Output();
    size_t at = 0;
    for (size_t k = 0; k < blocks.size(); ++k) {
        size_t found = Find(out, Expected(blocks[k]), at);
        ASSERT_NE(found, std::string::npos) << "block " << k;
        at = found + 1024;
    }
    auto e = Expected(edge);
    EXPECT_EQ(e[100], 32767);
    EXPECT_EQ(e[101], 32767);
    EXPECT_EQ(e[102], -32768);
    EXPECT_EQ(e[103], -32768);
    EXPECT_EQ(e[104], 16384);
    EXPECT_EQ(e[105], -16384);
    EXPECT_EQ(e[106], 32767);
    EXPECT_EQ(e[107], -32767);
    EXPECT_EQ(e[108], 32);
    EXPECT_EQ(e[109], -32);
}

TEST_F(WavePlayerTest, Pcm16IsCopiedAndTrailingFloatBytesAreIgnored) {
    WavePlayer player;
    ASSERT_EQ(player.OpenOutput(), 0);
    std::vector<int16_t> pcm(800);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<int16_t>(1000 + 37 * i);
    ASSERT_EQ(player.WriteSamples(3, pcm.data(), static_cast<uint32_t>(pcm.size() * 2), 1, 8000), 0);
    auto block = Block(9);
    // 4096 bytes plus 3: the three are ignored, 1024 samples are played.
    std::vector<uint8_t> bytes(4099, 0x7F);
    std::memcpy(bytes.data(), block.data(), 4096);
    ASSERT_EQ(player.WriteSamples(1, bytes.data(), 4099, 1, 8000), 0);
    std::vector<int16_t> marker(300, 12345);
    ASSERT_EQ(player.WriteSamples(3, marker.data(), 600, 1, 8000), 0);
    ASSERT_TRUE(WaitPlayed(player));
    player.CloseOutput();
    auto out = Output();
    size_t a = Find(out, pcm, 0);
    ASSERT_NE(a, std::string::npos);
    auto expected = Expected(block);
    size_t b = Find(out, expected, a);
    ASSERT_EQ(b, a + pcm.size());
    EXPECT_EQ(Find(out, marker, b), b + 1024);
}

TEST_F(WavePlayerTest, EleventhBlockWithTenQueuedAndOversizedBlocksAreRefused) {
    WavePlayer player;
    ASSERT_EQ(player.OpenOutput(), 0);
    // The largest block that fits: 25,600 samples (3.2 s), 51,200 bytes.
    std::vector<float> big(25600, 0.25f);
    std::vector<float> tooBig(25601, 0.25f);
    EXPECT_EQ(player.WriteSamples(1, tooBig.data(), 25601 * 4, 1, 8000), -1);
    std::vector<int16_t> pcmTooBig(25601, 1);
    EXPECT_EQ(player.WriteSamples(3, pcmTooBig.data(), 25601 * 2, 1, 8000), -1);
    EXPECT_EQ(player.WriteSamples(2, big.data(), 400, 1, 8000), -1); // unknown sample type
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(player.WriteSamples(1, big.data(), 25600 * 4, 1, 8000), 0) << i;
    EXPECT_EQ(player.WriteSamples(1, big.data(), 4096, 1, 8000), -1);
    EXPECT_EQ(player.GetQueuedBlocks(), 10u);

    // Close discards the 32 s still queued: it returns at once, and far less
    // than the queued sound reached the output.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(player.CloseOutput(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
    EXPECT_EQ(player.GetQueuedBlocks(), 0u);
    EXPECT_LT(Output().size(), 10u * 25600u / 2);
    EXPECT_EQ(player.WriteSamples(1, big.data(), 4096, 1, 8000), -1);
}

TEST_F(WavePlayerTest, ClosedPlayerRefusesAndClosingTwiceDoesNothing) {
    WavePlayer player;
    std::vector<float> block(1024, 0.1f);
    EXPECT_EQ(player.WriteSamples(1, block.data(), 4096, 1, 8000), -1);
    EXPECT_EQ(player.CloseOutput(), 0);
    ASSERT_EQ(player.OpenOutput(), 0);
    EXPECT_EQ(player.WriteSamples(1, nullptr, 4096, 1, 8000), -1);
    EXPECT_EQ(player.CloseOutput(), 0);
    EXPECT_EQ(player.CloseOutput(), 0);
    EXPECT_EQ(player.WriteSamples(1, block.data(), 4096, 1, 8000), -1);
    // Opened again after a close, it plays again.
    ASSERT_EQ(player.OpenOutput(), 0);
    EXPECT_EQ(player.WriteSamples(1, block.data(), 4096, 1, 8000), 0);
}

TEST_F(WavePlayerTest, FailedOpenRefusesEveryBlock) {
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    WavePlayer player;
    EXPECT_EQ(player.OpenOutput(), -1);
    std::vector<float> block(1024, 0.1f);
    EXPECT_EQ(player.WriteSamples(1, block.data(), 4096, 1, 8000), -1);
    EXPECT_EQ(player.CloseOutput(), 0);
    setenv("SDL_AUDIODRIVER", "disk", 1);
}

TEST_F(WavePlayerTest, FourPlayersAtOnce) {
    std::vector<std::thread> threads;
    std::atomic<int> written{0};
    for (int p = 0; p < 4; ++p) {
        threads.emplace_back([&written] {
            WavePlayer player;
            if (player.OpenOutput() != 0)
                return;
            auto block = Block(3);
            for (int i = 0; i < 3; ++i)
                if (player.WriteSamples(1, block.data(), 4096, 1, 8000) == 0)
                    ++written;
            std::this_thread::sleep_for(50ms);
            player.CloseOutput();
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(written.load(), 12);
}
