// Mp4Recorder fed the way the decoder threads feed it; the files are read
// back with FFmpeg.
#include "media/Mp4Recorder.h"
#include "media/FileSync.h"
#include "media/FrameTimeline.h"
#include "tests/support/TestStreams.h"
#include "tools/camsim/SourceReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using TestStreams::Frame;

struct Stamped {
    Frame data;
    uint32_t stamp;
};

std::vector<Stamped> Stamp(const std::vector<Frame>& frames, uint32_t first, uint32_t stepUs) {
    std::vector<Stamped> out;
    for (size_t i = 0; i < frames.size(); ++i)
        out.push_back({frames[i], first + static_cast<uint32_t>(i) * stepUs});
    return out;
}

// Pushes both streams in the order of their stamps (which may wrap), 10 ms
// apart so that the writer keeps up; `halfway` runs in the middle.
void Feed(Mp4Recorder& recorder, const std::vector<Stamped>& video, const std::vector<Stamped>& audio,
          const std::function<void()>& halfway = {}) {
    const uint32_t base = video.empty() ? 0 : video[0].stamp;
    auto at = [&](const Stamped& s) { return static_cast<int32_t>(s.stamp - base); };
    size_t v = 0, a = 0;
    while (v < video.size() || a < audio.size()) {
        bool takeVideo = a == audio.size() || (v < video.size() && at(video[v]) <= at(audio[a]));
        const Stamped& s = takeVideo ? video[v++] : audio[a++];
        const auto size = static_cast<uint32_t>(s.data.size());
        takeVideo ? recorder.PushVideo(s.data.data(), size, s.stamp) : recorder.PushAudio(s.data.data(), size, s.stamp);
        std::this_thread::sleep_for(10ms);
        if (halfway && v == video.size() / 2 && takeVideo)
            halfway();
    }
}

std::vector<std::string> Recordings() {
    std::vector<std::string> names;
    for (auto& entry : fs::directory_iterator(fs::current_path()))
        if (entry.path().extension() == ".mp4")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<TestStreams::Packet> PacketsOf(const std::string& path, bool video) {
    auto packets = TestStreams::ReadPackets(path);
    packets.erase(std::remove_if(packets.begin(), packets.end(), [&](auto& p) { return p.video != video; }),
                  packets.end());
    return packets;
}

// The pictures a file decodes to, as frame hashes in presentation order.
std::vector<std::string> PictureHashes(const std::string& path) {
    std::string out = TestStreams::Run("ffmpeg -nostdin -v error -i '" + path + "' -map 0:v -f framemd5 - 2>&1");
    std::vector<std::string> hashes;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#')
            hashes.push_back(line.substr(line.rfind(',') + 1));
    return hashes;
}

std::string WriteStream(const std::vector<Stamped>& frames, const std::string& name) {
    std::ofstream out(name, std::ios::binary);
    for (const Stamped& f : frames)
        out.write(reinterpret_cast<const char*>(f.data.data()), static_cast<std::streamsize>(f.data.size()));
    return name;
}

class Mp4RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = fs::current_path();
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        fs::current_path(TestStreams::TempFolder("rec-" + name));
    }
    void TearDown() override {
        fs::path here = fs::current_path();
        fs::current_path(saved);
        if (!HasFailure())
            fs::remove_all(here);
    }
    fs::path saved;
};

} // namespace

TEST_F(Mp4RecorderTest, ACleanStopLeavesAPlainMp4AndACutCopyPlaysToItsLastFragment) {
    // Stamps that wrap during the recording.
    const uint32_t first = 0xFFFFFFFFu - 1500000u;
    auto video = Stamp(TestStreams::H264(640, 360, 4.0), first, 40000);
    auto audio = Stamp(TestStreams::Aac(8000, 1, 4.0), first, 128000);
    audio.resize(32); // 4.096 s
    Mp4Recorder recorder;
    ASSERT_EQ(recorder.Start(), 0);
    const std::string name = recorder.GetFileName();
    Feed(recorder, video, audio, [&] { fs::copy_file(name, "cut.mp4.part"); });
    ASSERT_EQ(recorder.Stop(), 0);
    EXPECT_FALSE(recorder.HasFailed());

    EXPECT_EQ(Recordings(), std::vector<std::string>{name});
    EXPECT_EQ(name.size(), std::string("LiveVideo-2024-01-31-23-59-59.mp4").size()) << name;
    EXPECT_EQ(TestStreams::PlainMp4Problems(name), "");
    EXPECT_NEAR(TestStreams::ReadMp4Layout(name).movieSeconds, 4.1, 0.05);
    // Every frame at its own time; key frames are sync samples.
    auto pictures = PacketsOf(name, true);
    ASSERT_EQ(pictures.size(), 100u);
    for (size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_NEAR(pictures[i].pts, i * 0.040, 1e-4) << i;
        EXPECT_EQ(pictures[i].key, i % 25 == 0) << i;
    }
    auto sound = PacketsOf(name, false);
    ASSERT_EQ(sound.size(), 32u);
    for (size_t i = 0; i < sound.size(); ++i)
        EXPECT_NEAR(sound[i].pts, i * 0.128, 1e-4) << i;
    int status = 1;
    TestStreams::Run("ffmpeg -nostdin -v error -ss 2.5 -i '" + name + "' -frames:v 1 -f null - 2>&1", &status);
    EXPECT_EQ(status, 0);

    // The copy taken while the file was being written: fragments, which play.
    EXPECT_EQ(TestStreams::FragmentProblems("cut.mp4.part"), "");
    EXPECT_EQ(TestStreams::DecodeErrors("cut.mp4.part"), "");
    size_t cutPictures = PacketsOf("cut.mp4.part", true).size();
    EXPECT_GE(cutPictures, 25u);
    EXPECT_LT(cutPictures, 100u);
}

// Stamps as cameras send them, and what the recording must show for them.
struct TimedStreams {
    std::vector<Stamped> video, audio;
    std::vector<double> videoTimes, audioTimes; // presentation times expected in the file
};

struct TimingCase {
    const char* name;
    std::function<TimedStreams()> make;
};

std::vector<double> Times(const std::vector<Stamped>& frames, uint32_t zero) {
    std::vector<double> times;
    for (const Stamped& f : frames)
        times.push_back(static_cast<int32_t>(f.stamp - zero) / 1e6);
    std::sort(times.begin(), times.end());
    return times;
}

// Pictures 40 ms apart from 0, and sound for as long as they last.
TimedStreams Regular(const std::vector<Frame>& pictures, uint32_t audioStart = 0) {
    TimedStreams s;
    s.video = Stamp(pictures, 0, 40000);
    s.audio = Stamp(TestStreams::Aac(8000, 1, 2.0), audioStart, 128000);
    s.audio.resize(std::min(s.audio.size(), (pictures.size() * 40 + 127) / 128));
    s.videoTimes = Times(s.video, 0);
    s.audioTimes = Times(s.audio, 0);
    return s;
}

const TimingCase kTimingCases[] = {
    {"EarlyAndLateFramesKeepTheirTimes",
     [] {
         TimedStreams s = Regular(TestStreams::H264(320, 240, 2.0));
         for (size_t i = 0; i < s.video.size(); ++i)
             s.video[i].stamp += i % 3 == 1 ? -8000 : (i % 3 == 2 ? 5000 : 0);
         s.videoTimes = Times(s.video, 0);
         return s;
     }},
    {"StampsThatDoNotAdvanceGiveOneFrameEach",
     [] {
         TimedStreams s = Regular(TestStreams::H264(320, 240, 2.0));
         for (Stamped& f : s.video)
             f.stamp = 0;
         return s; // x264 states 25 frames a second
     }},
    {"AGapInTheSoundStaysAGap",
     [] {
         TimedStreams s = Regular(TestStreams::H264(320, 240, 2.0));
         s.audio.erase(s.audio.begin() + 5, s.audio.begin() + 8);
         s.audioTimes = Times(s.audio, 0);
         return s;
     }},
    {"SoundThatStartsLaterStartsLater",
     [] {
         TimedStreams s = Regular(TestStreams::H264(320, 240, 2.0), 500000);
         s.audio.resize(12);
         s.audioTimes = Times(s.audio, 0);
         return s;
     }},
    {"MultiSliceFramesKeepEverySlice", [] { return Regular(TestStreams::H264(640, 360, 1.0, "slices=4")); }},
    {"BFramesKeepDecodeOrderAndPresentationTimes",
     [] {
         // A Main profile file with B-frames, sent as camsim sends it.
         std::string clip = (fs::current_path() / "b.mp4").string();
         TestStreams::Run("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25 -t 2 -pix_fmt yuv420p "
                          "-c:v libx264 -profile:v main -bf 2 -g 25 '" +
                          clip + "'");
         SourceReader reader;
         EXPECT_EQ(reader.Open(clip, "", 320, 240, 25, Mp4Recorder::kVideoBufferSize), 0);
         TimedStreams s;
         for (int i = 0; i < 50; ++i) {
             Stamped f;
             bool key = false;
             int64_t pts = 0, dts = 0;
             EXPECT_EQ(reader.Next(false, true, f.data, key, pts, dts), 0);
             f.stamp = static_cast<uint32_t>(pts);
             s.video.push_back(f);
         }
         s.audio = Stamp(TestStreams::Aac(8000, 1, 2.0), s.video[0].stamp, 128000);
         s.videoTimes = Times(s.video, s.video[0].stamp);
         s.audioTimes = Times(s.audio, s.video[0].stamp);
         return s;
     }},
};

class Mp4RecorderTimingTest : public Mp4RecorderTest, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(Mp4RecorderTimingTest, SamplesKeepTheirStampsAndTheMuxerHasNothingToFix) {
    TimedStreams s = GetParam().make();
    Mp4Recorder recorder;
    ASSERT_EQ(recorder.Start(), 0);
    Feed(recorder, s.video, s.audio);
    ASSERT_EQ(recorder.Stop(), 0);
    const std::string name = recorder.GetFileName();
    // Decode times that increase; in the fragments, each sample lasting until the next.
    EXPECT_EQ(TestStreams::PlainMp4Problems(name), "");
    EXPECT_EQ(TestStreams::FragmentProblems(name), "");

    auto pictures = PacketsOf(name, true);
    ASSERT_EQ(pictures.size(), s.video.size());
    std::vector<double> shown;
    for (const auto& p : pictures)
        shown.push_back(p.pts);
    std::sort(shown.begin(), shown.end());
    for (size_t i = 0; i < shown.size(); ++i)
        EXPECT_NEAR(shown[i], s.videoTimes[i] - s.videoTimes[0], 2e-5) << "picture " << i;
    auto sound = PacketsOf(name, false);
    ASSERT_EQ(sound.size(), s.audioTimes.size());
    for (size_t i = 0; i < sound.size(); ++i)
        EXPECT_NEAR(sound[i].pts, s.audioTimes[i] - s.videoTimes[0], 2e-4) << "audio frame " << i;
    // The very pictures that were sent.
    EXPECT_EQ(PictureHashes(name), PictureHashes(WriteStream(s.video, "sent.h264")));
}

INSTANTIATE_TEST_SUITE_P(Cases, Mp4RecorderTimingTest, ::testing::ValuesIn(kTimingCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Mp4RecorderTest, FourRecordersAtOnceGiveFourFilesAndNoneIsReplaced) {
    // Files named for the next seconds exist already and must survive.
    std::vector<std::string> existing;
    std::time_t now = std::time(nullptr);
    for (int s = 0; s < 4; ++s) {
        std::time_t t = now + s;
        std::tm local{};
        localtime_r(&t, &local);
        char name[100];
        std::snprintf(name, sizeof name, "LiveVideo-%04d-%02d-%02d-%02d-%02d-%02d.mp4", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
        std::ofstream(name) << "keep me";
        existing.push_back(name);
    }
    auto video = Stamp(TestStreams::H264(320, 240, 1.0), 0, 40000);
    auto audio = Stamp(TestStreams::Aac(8000, 1, 1.0), 0, 128000);
    std::vector<std::unique_ptr<Mp4Recorder>> recorders;
    for (int i = 0; i < 4; ++i) {
        recorders.push_back(std::make_unique<Mp4Recorder>());
        ASSERT_EQ(recorders.back()->Start(), 0);
    }
    std::vector<std::thread> feeders;
    for (auto& r : recorders)
        feeders.emplace_back([&, rec = r.get()] { Feed(*rec, video, audio); });
    for (auto& f : feeders)
        f.join();
    std::set<std::string> names;
    for (auto& r : recorders) {
        EXPECT_EQ(r->Stop(), 0);
        names.insert(r->GetFileName());
    }
    EXPECT_EQ(names.size(), 4u);
    for (const std::string& name : existing) {
        std::ifstream in(name);
        std::string content;
        std::getline(in, content);
        EXPECT_EQ(content, "keep me") << name;
        EXPECT_EQ(names.count(name), 0u);
    }
    for (const std::string& name : names) {
        EXPECT_EQ(TestStreams::PlainMp4Problems(name), "") << name;
        EXPECT_EQ(PacketsOf(name, true).size(), 25u) << name;
    }
}

TEST_F(Mp4RecorderTest, NoParameterSetsNoFileAndStartTwiceIsOneRecording) {
    auto video = Stamp(TestStreams::H264(320, 240, 1.0), 0, 40000);
    Mp4Recorder recorder;
    ASSERT_EQ(recorder.Start(), 0);
    // Frames after the first key frame carry no SPS or PPS.
    Feed(recorder, std::vector<Stamped>(video.begin() + 1, video.begin() + 10), {});
    EXPECT_EQ(recorder.Stop(), 0);
    EXPECT_TRUE(Recordings().empty());
    EXPECT_EQ(recorder.GetFileName(), "");

    ASSERT_EQ(recorder.Start(), 0);
    ASSERT_EQ(recorder.Start(), 0);
    // A frame larger than a queue buffer is dropped.
    std::vector<uint8_t> huge(Mp4Recorder::kVideoBufferSize + 1, 0);
    EXPECT_EQ(recorder.PushVideo(huge.data(), static_cast<uint32_t>(huge.size()), 0), 0);
    EXPECT_EQ(recorder.PushAudio(huge.data(), Mp4Recorder::kAudioBufferSize + 1, 0), 0);
    Feed(recorder, video, {});
    recorder.Stop();
    recorder.Stop();
    ASSERT_EQ(Recordings().size(), 1u);
    EXPECT_EQ(PacketsOf(Recordings()[0], true).size(), 25u);
    // Pushes while stopped go nowhere.
    EXPECT_EQ(recorder.PushVideo(video[0].data.data(), static_cast<uint32_t>(video[0].data.size()), 0), 0);
    EXPECT_EQ(Recordings().size(), 1u);
}

// A camera that repeats its parameter sets on every frame, recorded from
// between two key frames: the file begins at the next key frame.
TEST_F(Mp4RecorderTest, ARecordingStartedBetweenKeyFramesBeginsAtTheNextOne) {
    auto video = Stamp(TestStreams::H264(320, 240, 2.0), 0, 40000);
    const Frame& key = video[0].data; // SPS, PPS, then the IDR slice
    H264FrameParts parts;
    Mp4Recorder::SplitH264Frame(key.data(), static_cast<uint32_t>(key.size()), parts);
    const auto headers = std::search(key.begin(), key.end(), parts.pps, parts.pps + parts.ppsLength) - key.begin() +
                         static_cast<std::ptrdiff_t>(parts.ppsLength);
    for (size_t i = 1; i < video.size(); ++i)
        if (i % 25 != 0)
            video[i].data.insert(video[i].data.begin(), key.begin(), key.begin() + headers);
    Mp4Recorder recorder;
    ASSERT_EQ(recorder.Start(), 0);
    Feed(recorder, std::vector<Stamped>(video.begin() + 5, video.end()), {});
    ASSERT_EQ(recorder.Stop(), 0);
    auto pictures = PacketsOf(recorder.GetFileName(), true);
    ASSERT_EQ(pictures.size(), 25u);
    EXPECT_TRUE(pictures[0].key);
    EXPECT_EQ(TestStreams::DecodeErrors(recorder.GetFileName()), "");
}

// Three hours of a camera whose sound clock runs off its picture clock by
// `ppm`, every frame stamped on the picture clock (which wraps twice), stamps
// of sound jittering by up to `jitterUs`: no sound is left out, no frame is
// moved more than 1 ms from where the one before it ends, and the sound stays
// with its stamps.
struct DriftCase {
    double ppm;
    int jitterUs;
};

class FrameTimelineDriftTest : public ::testing::TestWithParam<DriftCase> {};

TEST_P(FrameTimelineDriftTest, SoundFollowsItsStampsInStepsOfAtMostOneMillisecond) {
    constexpr uint32_t kRate = 8000, kSamples = 1024, kFirst = 0xF0000000u;
    constexpr int64_t kFrameUs = 40000, kHoursUs = int64_t{3} * 3600 * 1000000;
    const double soundPeriodUs = kSamples * 1e6 / (kRate * (1 + GetParam().ppm * 1e-6));
    FrameTimeline timeline;
    timeline.Begin(kFirst, 0, kFrameUs);
    int64_t k = 0, end = 0, worstStep = 0;
    double worstOffsetUs = 0;
    for (int64_t us = 0; us < kHoursUs; us += kFrameUs) {
        int64_t dts = 0;
        uint32_t offset = 0;
        timeline.Video(kFirst + static_cast<uint32_t>(us), dts, offset);
        for (; k * soundPeriodUs < static_cast<double>(us + kFrameUs); ++k) {
            const auto at = std::llround(k * soundPeriodUs);
            const int jitter = k == 0 ? 0 : static_cast<int>((k * 7919) % 11 - 5) * GetParam().jitterUs / 5;
            ASSERT_TRUE(timeline.Audio(kFirst + static_cast<uint32_t>(at + jitter), kRate, kSamples, dts)) << k;
            if (k > 0)
                worstStep = std::max(worstStep, std::abs(dts - end));
            end = dts + kSamples;
            worstOffsetUs = std::max(worstOffsetUs, std::abs(dts * 1e6 / kRate - static_cast<double>(at)));
        }
    }
    EXPECT_LE(worstStep, kRate / 1000);
    EXPECT_LE(worstOffsetUs, 40000);
}

INSTANTIATE_TEST_SUITE_P(Clocks, FrameTimelineDriftTest,
                         ::testing::Values(DriftCase{200, 0}, DriftCase{-200, 0}, DriftCase{-200, 5000}),
                         [](const auto& info) {
                             return std::string(info.param.ppm > 0 ? "Fast" : "Slow") +
                                    (info.param.jitterUs ? "Jittering" : "");
                         });

// A stop puts the file on the disk step by step. At each step the file is
// copied as a cut at that instant leaves it (a kill: the page cache; a power
// cut: what the earlier syncs made durable), then the step fails as a failing
// fsync does. Every copy and the file itself must play whole, and the
// failure must reach the caller.
class Mp4RecorderFinishTest : public Mp4RecorderTest, public ::testing::WithParamInterface<FileSync::Step> {
protected:
    void TearDown() override {
        FileSync::SetProbe({});
        Mp4RecorderTest::TearDown();
    }
};

TEST_P(Mp4RecorderFinishTest, ACutOrAFailedSyncAtEachStepLeavesAFileThatPlays) {
    const FileSync::Step failAt = GetParam();
    std::vector<FileSync::Step> seen;
    FileSync::SetProbe([&](FileSync::Step step, int fd) {
        seen.push_back(step);
        if (step != FileSync::kFolder) // the file is open for writing only
            fs::copy_file("/proc/self/fd/" + std::to_string(fd), "cut-" + std::to_string(step) + ".mp4");
        return step != failAt;
    });
    Mp4Recorder recorder;
    ASSERT_EQ(recorder.Start(), 0);
    Feed(recorder, Stamp(TestStreams::H264(320, 240, 2.0), 0, 40000), Stamp(TestStreams::Aac(8000, 1, 2.0), 0, 128000));
    EXPECT_EQ(recorder.Stop(), -1);

    // The index is durable before the header points at it, the file before its folder entry.
    // A file that failed is kept, so its folder entry is synced all the same.
    std::vector<FileSync::Step> order = {FileSync::kData, FileSync::kHeaderRewrite, FileSync::kHeaderSync};
    order.resize(static_cast<size_t>(failAt));
    order.push_back(failAt);
    if (failAt != FileSync::kFolder)
        order.push_back(FileSync::kFolder);
    EXPECT_EQ(seen, order);
    std::vector<std::string> files = {recorder.GetFileName()};
    for (int step = 0; step <= failAt && step < FileSync::kFolder; ++step)
        files.push_back("cut-" + std::to_string(step) + ".mp4");
    for (const std::string& file : files) {
        EXPECT_EQ(TestStreams::DecodeErrors(file), "") << file;
        EXPECT_EQ(PacketsOf(file, true).size(), 50u) << file;
    }
    // Before the header rewrite the file is still the fragmented one.
    EXPECT_TRUE(failAt < FileSync::kHeaderRewrite || TestStreams::ReadMp4Layout("cut-1.mp4").boxes.at(1) != "mdat");
    EXPECT_TRUE(failAt < FileSync::kHeaderSync || TestStreams::PlainMp4Problems("cut-2.mp4").empty());
}

std::string StepName(const ::testing::TestParamInfo<FileSync::Step>& info) {
    static const char* const kNames[] = {"DataSync", "HeaderRewrite", "HeaderSync", "FolderSync"};
    return kNames[info.param];
}

INSTANTIATE_TEST_SUITE_P(Steps, Mp4RecorderFinishTest,
                         ::testing::Values(FileSync::kData, FileSync::kHeaderRewrite, FileSync::kHeaderSync,
                                           FileSync::kFolder),
                         StepName);
