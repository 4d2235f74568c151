#include "media/H264Sps.h"
#include "media/Mp4Recorder.h"
#include "tests/support/TestStreams.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Split {
    Bytes sps, pps, sample;
    bool key = false;
};

Split SplitOf(const Bytes& frame) {
    std::vector<uint8_t> storage(Mp4Recorder::kSampleBufferSize);
    H264FrameParts parts;
    parts.sample = storage.data();
    parts.sampleCapacity = static_cast<uint32_t>(storage.size());
    parts.spsLength = 77; // stale lengths from an earlier frame are cleared
    parts.sampleLength = 99;
    Mp4Recorder::SplitH264Frame(frame.data(), static_cast<uint32_t>(frame.size()), parts);
    Split s;
    s.sps.assign(parts.sps, parts.sps + parts.spsLength);
    s.pps.assign(parts.pps, parts.pps + parts.ppsLength);
    s.sample.assign(parts.sample, parts.sample + parts.sampleLength);
    s.key = parts.keyFrame;
    return s;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kLong = {0, 0, 0, 1};
const Bytes kShort = {0, 0, 1};
const Bytes kSps = {0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x02, 0x80, 0xBF, 0xE5};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33, 0xFF};
const Bytes kSlice = {0x41, 0x9A, 0x21, 0x6C};
const Bytes kSei = {0x06, 0x05, 0x11, 0x22, 0x80};
const Bytes kAud = {0x09, 0xF0};

Bytes WithLength(const Bytes& nal) {
    uint32_t n = static_cast<uint32_t>(nal.size());
    Bytes out = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
                 static_cast<uint8_t>(n)};
    out.insert(out.end(), nal.begin(), nal.end());
    return out;
}

} // namespace

TEST(SplitH264Frame, FindsParameterSetsAndTheSample) {
    const Bytes idr2 = {0x65, 0x44, 0x55};
    const Bytes idr3 = {0x65, 0x66, 0x03, 0x00, 0x01}; // the last unit runs to the end of the frame
    Bytes sps2 = kSps;
    sps2.back() = 0x77;
    Bytes huge(150, 0x11);
    huge[0] = 0x68; // a PPS longer than its buffer
    struct Case {
        const char* name;
        Bytes frame, sps, pps, sample;
        bool key;
    } cases[] = {
        {"SpsPpsAndIdr", Cat({kLong, kSps, kLong, kPps, kLong, kIdr}), kSps, kPps, WithLength(kIdr), true},
        {"SeiAndAudStayOut", Cat({kLong, kAud, kLong, kSei, kLong, kSlice}), {}, {}, WithLength(kSlice), false},
        {"NoFourByteStartCode", Cat({kShort, kSps, kShort, kIdr}), {}, {}, {}, false},
        {"NoStartCode", {0x65, 0x11, 0x22}, {}, {}, {}, false},
        {"OnlyAStartCode", kLong, {}, {}, {}, false},
        {"Empty", {}, {}, {}, {}, false},
        // Slices behind 3-byte start codes too, as x264 writes them, and zero
        // bytes before a start code that belong to it.
        {"EverySliceWithItsLength",
         Cat({Bytes{0xAA, 0xBB}, kLong, kSps, kLong, kPps, kLong, kIdr, Bytes{0, 0}, kShort, idr2, kLong, kSei, kShort,
              idr3}),
         kSps, kPps, Cat({WithLength(kIdr), WithLength(idr2), WithLength(idr3)}), true},
        {"LaterParameterSetsReplaceEarlierOversizedOnesAreLeftOut",
         Cat({kLong, kSps, kLong, sps2, kLong, kPps, kLong, huge, kLong, kSlice}), sps2, kPps, WithLength(kSlice),
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Split s = SplitOf(c.frame);
        EXPECT_EQ(s.sps, c.sps);
        EXPECT_EQ(s.pps, c.pps);
        EXPECT_EQ(s.sample, c.sample);
        EXPECT_EQ(s.key, c.key);
    }
}

TEST(SplitH264Frame, TooSmallASampleBufferWritesNothingPastIt) {
    Bytes frame = Cat({kLong, kIdr, kLong, kSlice});
    std::vector<uint8_t> storage(12, 0xEE);
    H264FrameParts parts;
    parts.sample = storage.data();
    parts.sampleCapacity = 11; // fits the IDR (4 + 6), not the slice
    Mp4Recorder::SplitH264Frame(frame.data(), static_cast<uint32_t>(frame.size()), parts);
    EXPECT_EQ(parts.sampleLength, 10u);
    EXPECT_EQ(storage[11], 0xEE);
}

TEST(H264Sps, ReadsSizesWithCroppingFromRealStreams) {
    struct Case {
        int width, height;
        const char* pixelFormat;
        const char* profile;
    } cases[] = {
        {640, 360, "yuv420p", "baseline"}, {1920, 1080, "yuv420p", "high"},  {352, 288, "yuv420p", "main"},
        {642, 362, "yuv420p", "baseline"}, {320, 240, "yuv444p", "high444"}, {330, 186, "yuv422p", "high422"},
    };
    for (const Case& c : cases) {
        auto frames = TestStreams::H264(c.width, c.height, 0.04, "", c.pixelFormat, c.profile);
        ASSERT_FALSE(frames.empty());
        Split s = SplitOf(frames[0]);
        ASSERT_FALSE(s.sps.empty()) << c.width << "x" << c.height;
        H264Sps sps;
        ASSERT_TRUE(H264Sps::Parse(s.sps.data(), s.sps.size(), sps)) << c.width << "x" << c.height << c.profile;
        EXPECT_EQ(sps.width, c.width) << c.profile;
        EXPECT_EQ(sps.height, c.height) << c.profile;
        EXPECT_EQ(sps.profileIdc, s.sps[1]);
        EXPECT_EQ(sps.levelIdc, s.sps[3]);
        // From the VUI: no B-frames, 25 frames a second.
        EXPECT_EQ(sps.reorderDepth, 0);
        ASSERT_GT(sps.numUnitsInTick, 0u);
        EXPECT_EQ(sps.timeScale / sps.numUnitsInTick, 50u);
    }
    // Without bitstream restrictions: none for Baseline, else what the level's buffer holds.
    H264Sps sps;
    ASSERT_TRUE(H264Sps::Parse(kSps.data(), kSps.size(), sps));
    EXPECT_EQ(sps.reorderDepth, 0);
    Bytes main = kSps;
    main[1] = 77;
    ASSERT_TRUE(H264Sps::Parse(main.data(), main.size(), sps));
    EXPECT_EQ(sps.reorderDepth, 8100 / ((sps.width + 15) / 16 * ((sps.height + 15) / 16))); // level 3.0
}

TEST(H264Sps, RefusesWhatIsNotAnSps) {
    H264Sps sps;
    EXPECT_FALSE(H264Sps::Parse(kPps.data(), kPps.size(), sps));
    Bytes cut = {0x67, 0x42, 0xC0};
    EXPECT_FALSE(H264Sps::Parse(cut.data(), cut.size(), sps));
    Bytes zeros = {0x67, 0x42, 0xC0, 0x1E, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(H264Sps::Parse(zeros.data(), zeros.size(), sps));
    EXPECT_FALSE(H264Sps::Parse(nullptr, 0, sps));
}
