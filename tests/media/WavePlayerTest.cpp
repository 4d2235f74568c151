#include "media/WavePlayer.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestNet.h"

#include <SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Each test plays into its own file through SDL's disk driver.
class WavePlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", output.c_str(), 1);
    }
    bool WaitPlayed(WavePlayer& player) {
        return testnet::WaitUntil([&] { return player.GetQueuedBlocks() == 0; }, 10000);
    }

    TempDir dir;
    std::filesystem::path output = dir.path() / "out.raw";
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
    for (float f : block)
        out.push_back(
            static_cast<int16_t>(std::clamp(std::trunc(static_cast<double>(f) * 32768.0), -32768.0, 32767.0)));
    return out;
}

size_t Find(const std::vector<int16_t>& haystack, const std::vector<int16_t>& needle, size_t from) {
    auto it = std::search(haystack.begin() + static_cast<std::ptrdiff_t>(std::min(from, haystack.size())),
                          haystack.end(), needle.begin(), needle.end());
    return it == haystack.end() ? std::string::npos : static_cast<size_t>(it - haystack.begin());
}

} // namespace

// Floats are scaled by 32768, truncated toward zero and saturated; 16-bit
// PCM is copied; bytes after the last whole float are ignored.
TEST_F(WavePlayerTest, BlocksComeOutInOrderAsSaturatedPcm) {
    WavePlayer player;
    ASSERT_EQ(player.OpenOutput(), 0);
    std::vector<float> edge = Block(2);
    std::vector<int16_t> expectedEdge = Expected(edge);
    const std::vector<std::pair<float, int16_t>> edges = {{1.5f, 32767},       {-2.0f, -32768}, {0.99999f, 32767},
                                                          {-0.99999f, -32767}, {1e-3f, 32},     {-1e-3f, -32}};
    for (size_t i = 0; i < edges.size(); ++i)
        std::tie(edge[100 + i], expectedEdge[100 + i]) = edges[i];
    std::vector<int16_t> pcm(800, 1000);
    std::vector<uint8_t> trailing(4099, 0x7F);
    std::memcpy(trailing.data(), Block(9).data(), 4096);
    ASSERT_EQ(player.WriteSamples(1, edge.data(), 4096, 1, 8000), 0);
    ASSERT_EQ(player.WriteSamples(3, pcm.data(), static_cast<uint32_t>(pcm.size() * 2), 1, 8000), 0);
    ASSERT_EQ(player.WriteSamples(1, trailing.data(), 4099, 1, 8000), 0);
    ASSERT_TRUE(WaitPlayed(player));
    player.CloseOutput();

    auto out = ReadS16(output);
    size_t at = Find(out, expectedEdge, 0);
    ASSERT_NE(at, std::string::npos);
    for (const auto& next : {expectedEdge, pcm, Expected(Block(9))}) {
        EXPECT_EQ(Find(out, next, at), at);
        at += next.size();
    }
}

// Close discards the 32 s still queued: far less than that reaches the output.
TEST_F(WavePlayerTest, CloseDiscardsWhatIsQueued) {
    WavePlayer player;
    ASSERT_EQ(player.OpenOutput(), 0);
    std::vector<float> big(25600, 0.25f); // the largest block: 3.2 s, 51,200 bytes
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(player.WriteSamples(1, big.data(), 25600 * 4, 1, 8000), 0) << i;
    EXPECT_EQ(player.CloseOutput(), 0);
    EXPECT_EQ(player.GetQueuedBlocks(), 0u);
    EXPECT_LT(ReadS16(output).size(), 10u * 25600u / 2);
}

// A refused block leaves the player as it was: closing works, and opened
// again it plays.
TEST_F(WavePlayerTest, RefusedBlocksLeaveItReadyToPlay) {
    std::vector<float> big(25601, 0.25f);
    std::vector<int16_t> pcm(25601, 1);
    using Setup = std::function<void(WavePlayer&)>;
    const Setup none = [](WavePlayer&) {};
    const Setup open = [](WavePlayer& p) { EXPECT_EQ(p.OpenOutput(), 0); };
    const Setup closeTwice = [](WavePlayer& p) {
        EXPECT_EQ(p.OpenOutput(), 0);
        EXPECT_EQ(p.CloseOutput(), 0);
        EXPECT_EQ(p.CloseOutput(), 0);
    };
    const Setup failOpen = [](WavePlayer& p) {
        setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
        EXPECT_EQ(p.OpenOutput(), -1);
        setenv("SDL_AUDIODRIVER", "disk", 1);
    };
    const Setup queueTen = [&](WavePlayer& p) {
        EXPECT_EQ(p.OpenOutput(), 0);
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(p.WriteSamples(1, big.data(), 25600 * 4, 1, 8000), 0) << i;
    };
    const struct {
        const char* name;
        const Setup& setup;
        int type;
        const void* samples;
        uint32_t bytes;
    } refused[] = {
        // clang-format off
        {"NeverOpened",           none,       1, big.data(), 4096},
        {"Closed",                closeTwice, 1, big.data(), 4096},
        {"OpenFailed",            failOpen,   1, big.data(), 4096},
        {"NoSamples",             open,       1, nullptr,    4096},
        {"UnknownSampleType",     open,       2, big.data(), 400},
        {"FloatBlockTooBig",      open,       1, big.data(), 25601 * 4},
        {"PcmBlockTooBig",        open,       3, pcm.data(), 25601 * 2},
        {"EleventhWithTenQueued", queueTen,   1, big.data(), 4096},
        // clang-format on
    };
    for (const auto& row : refused) {
        SCOPED_TRACE(row.name);
        {
            WavePlayer player;
            row.setup(player);
            EXPECT_EQ(player.WriteSamples(row.type, row.samples, row.bytes, 1, 8000), -1);
            EXPECT_EQ(player.CloseOutput(), 0);
            ASSERT_EQ(player.OpenOutput(), 0);
            EXPECT_EQ(player.WriteSamples(1, big.data(), 4096, 1, 8000), 0);
        }
        EXPECT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
    }
}
