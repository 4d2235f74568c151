#include "media/RenderPacer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Step {
    uint32_t timestamp; // microseconds, from the device
    uint32_t now;       // tick at which the picture is taken
    uint32_t queued;    // pictures waiting behind it
    uint32_t wait;      // expected wait before drawing
    bool sound = false; // before it: the sound of soundTimestamp is heard at heardAt
    uint32_t soundTimestamp = 0;
    uint32_t heardAt = 0;
};

struct PacingCase {
    std::string name;
    std::vector<Step> steps;
};

// A first picture 30 ms late, then pictures 40 ms apart that come on time:
// each of them waits 30 ms until the window of twelve is full.
std::vector<Step> EarlyPictures() {
    std::vector<Step> steps = {{0, 1000, 0, 0}};
    for (uint32_t k = 1; k <= 12; ++k)
        steps.push_back({k * 40000, 1000 + k * 40 - 30, 0, k < 12 ? 30u : 0u});
    steps.push_back({13 * 40000, 1000 + 13 * 40 - 30, 0, 0}); // the base has moved: on time
    return steps;
}

class RenderPacerTest : public ::testing::TestWithParam<PacingCase> {};

} // namespace

TEST_P(RenderPacerTest, WaitsAsTheTimeStampsSay) {
    RenderPacer pacer(10);
    const std::vector<Step>& steps = GetParam().steps;
    for (size_t i = 0; i < steps.size(); ++i) {
        if (steps[i].sound)
            pacer.NoteSound(steps[i].soundTimestamp, steps[i].heardAt);
        EXPECT_EQ(pacer.Schedule(steps[i].timestamp, steps[i].now, steps[i].queued), steps[i].wait) << "step " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, RenderPacerTest,
    ::testing::Values(
        // The first picture is drawn at once and sets the base; a late one is drawn at once.
        PacingCase{"FromTheFirstPictureOfADeviceClockFarFromZero",
                   {{3000000000u, 5000, 0, 0},
                    {3000040000u, 5010, 0, 30},
                    {3000080000u, 5040, 0, 40},
                    {3000120000u, 5300, 0, 0}}},
        PacingCase{"TimeStampGoingBackStartsANewBase",
                   {{1000000, 0, 0, 0}, {1040000, 0, 0, 40}, {500000, 50, 0, 0}, {540000, 50, 0, 40}}},
        PacingCase{"PictureFarAheadStartsANewBase", {{0, 0, 0, 0}, {60000000, 0, 0, 0}, {60020000, 0, 0, 20}}},
        PacingCase{"WrapOfTheMicrosecondCounter",
                   {{0xFFFFFFFFu - 19999, 0, 0, 0}, {20000, 0, 0, 40}, {60000, 40, 0, 40}}},
        // A backlog moves the base: what is taken now is due now, and the next one follows it.
        PacingCase{"HalfFullQueueIsDueNow", {{0, 0, 0, 0}, {40000, 0, 5, 0}, {80000, 0, 0, 40}}},
        // Delay left from a late first picture falls back to the arrival jitter.
        PacingCase{"PicturesThatAllWaitMoveTheBaseEarlier", EarlyPictures()},
        // Sound heard 200 ms after its picture: pictures wait until it is 90 ms.
        PacingCase{"PicturesWaitForSoundThatComesLate",
                   {{0, 1000, 0, 0}, {40000, 1010, 0, 140, true, 0, 1200}, {80000, 1150, 0, 40}}},
        // Sound 80 ms late: within the limit, and early moves stop at 90 ms.
        PacingCase{"EarlyMovesKeepTheSoundWithinItsTarget",
                   [] {
                       std::vector<Step> steps = EarlyPictures();
                       steps[1].sound = true;
                       steps[1].heardAt = 1000 + 80;
                       steps[12].wait = 20; // the base moves 10 ms, not 30
                       steps.back().wait = 20;
                       return steps;
                   }()}),
    [](const ::testing::TestParamInfo<PacingCase>& info) { return info.param.name; });
