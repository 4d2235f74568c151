// RenderPacer driven like the render thread drives it, over ten seconds of a
// simulated camera: pictures arrive with jitter, the render thread takes each
// when it is free, waits as told and draws; the sound of each picture is
// heard some time after the picture arrived.
#include "media/RenderPacer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

struct PacingCase {
    std::string name;
    uint32_t firstStamp;
    int jitterMs;   // each picture arrives up to this much late
    int soundLagMs; // its sound is heard this long after it arrived; < 0: no sound
};

class RenderPacerTest : public ::testing::TestWithParam<PacingCase> {};

} // namespace

TEST_P(RenderPacerTest, PicturesFollowTheirStampsAndStayWithTheirSound) {
    const PacingCase& c = GetParam();
    RenderPacer pacer(10);
    std::minstd_rand random(7);
    std::uniform_int_distribution<int> late(0, c.jitterMs);
    uint32_t free = 0; // when the render thread can take the next picture
    int64_t previous = -1;
    std::vector<int> offsets; // sound heard minus picture drawn, once settled
    for (uint32_t k = 0; k < 250; ++k) {
        const uint32_t stamp = c.firstStamp + k * 40000;
        const uint32_t arrival = 1000 + k * 40 + static_cast<uint32_t>(late(random));
        if (c.soundLagMs >= 0)
            pacer.NoteSound(stamp, arrival + static_cast<uint32_t>(c.soundLagMs));
        const uint32_t now = std::max(arrival, free);
        const uint32_t drawn = now + pacer.Schedule(stamp, now, 0);
        free = drawn + 5;
        SCOPED_TRACE("picture " + std::to_string(k));
        EXPECT_GT(static_cast<int64_t>(drawn), previous); // in order, none skipped
        previous = drawn;
        if (k < 50)
            continue; // settled after two seconds
        // Never held longer than the jitter and the sound ask for.
        EXPECT_LE(drawn - arrival,
                  static_cast<uint32_t>(c.jitterMs + std::max(0, c.soundLagMs - RenderPacer::kSoundLagTargetMs) + 10));
        if (c.soundLagMs >= 0) { // sound at most 45 ms before, 125 ms after its picture
            const int offset = static_cast<int>(arrival + static_cast<uint32_t>(c.soundLagMs) - drawn);
            EXPECT_GE(offset, -45);
            EXPECT_LE(offset, 125);
            offsets.push_back(offset);
        }
    }
    if (!offsets.empty()) { // and in step on the whole: the median within 30 ms
        std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
        EXPECT_LE(std::abs(offsets[offsets.size() / 2]), 30);
    }
}

INSTANTIATE_TEST_SUITE_P(Cameras, RenderPacerTest,
                         ::testing::Values(PacingCase{"SteadyWithoutSound", 3000000000u, 0, -1},
                                           PacingCase{"JitteryWithoutSound", 0, 30, -1},
                                           PacingCase{"StampsThatWrap", 0xFFFFFFFFu - 3000000u, 20, 60},
                                           PacingCase{"SoundSoonAfterThePicture", 0, 20, 40},
                                           PacingCase{"SoundLongAfterThePicture", 0, 20, 200}),
                         [](const ::testing::TestParamInfo<PacingCase>& info) { return info.param.name; });
