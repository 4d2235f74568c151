#include "Mp4Recorder.h"
#include "TestStreams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using TestStreams::Frame;

struct Probe {
    std::map<std::string, std::string> video, audio;
    int streams = 0;
    double duration = 0;
};

// ffprobe's view of a file: its streams and the container duration.
Probe ProbeFile(const std::string& path) {
    std::string out =
        TestStreams::Run("ffprobe -v error -show_entries "
                         "stream=codec_type,codec_name,codec_tag_string,width,height,sample_rate,channels "
                         "-show_entries format=duration '" +
                         path + "'");
    Probe probe;
    std::istringstream lines(out);
    std::string line;
    std::map<std::string, std::string> current;
    while (std::getline(lines, line)) {
        if (line == "[/STREAM]") {
            ++probe.streams;
            (current["codec_type"] == "video" ? probe.video : probe.audio) = current;
            current.clear();
            continue;
        }
        auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "duration")
            probe.duration = std::atof(value.c_str());
        else
            current[key] = value;
    }
    return probe;
}

// Flags of every video packet, "K" for a key frame (sync sample).
std::vector<bool> KeyFlags(const std::string& path) {
    std::string out =
        TestStreams::Run("ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 '" + path + "'");
    std::vector<bool> keys;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line))
        if (!line.empty())
            keys.push_back(line[0] == 'K');
    return keys;
}

int CountPackets(const std::string& path, const char* stream) {
    std::string out =
        TestStreams::Run(std::string("ffprobe -v error -select_streams ") + stream +
                         " -count_packets -show_entries stream=nb_read_packets -of csv=p=0 '" + path + "'");
    return std::atoi(out.c_str());
}

// Decodes the whole file; returns ffmpeg's error output ("" when clean).
std::string DecodeErrors(const std::string& path, int* frames = nullptr) {
    int status = 0;
    std::string err =
        TestStreams::Run("ffmpeg -nostdin -v error -i '" + path + "' -fps_mode passthrough -f null - 2>&1", &status);
    if (frames)
        *frames = std::atoi(TestStreams::Run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                                             "stream=nb_read_frames -of csv=p=0 '" +
                                             path + "'")
                                .c_str());
    return status == 0 ? err : "exit status " + std::to_string(status) + ": " + err;
}

// "LiveVideo-" with year, month, day, hour, minute and second.
bool IsRecordingName(const std::string& name) {
    const std::string pattern = "LiveVideo-####-##-##-##-##-##.mp4";
    if (name.size() != pattern.size())
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        bool ok = pattern[i] == '#' ? (name[i] >= '0' && name[i] <= '9') : name[i] == pattern[i];
        if (!ok)
            return false;
    }
    return true;
}

std::vector<std::string> Recordings() {
    std::vector<std::string> names;
    for (auto& entry : fs::directory_iterator(fs::current_path()))
        if (entry.path().extension() == ".mp4")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Pushes video (25 a second) and audio (1024 samples at 8000 Hz) in time
// order, with device time stamps starting at tsBase. realTime paces the
// pushes like a camera; otherwise they are 20 ms apart so the queues keep up.
// onTime is called once, at time point, during the feed.
void Feed(Mp4Recorder& recorder, const std::vector<Frame>& video, const std::vector<Frame>& audio, uint32_t tsBase,
          bool realTime, bool sameStamps = false, double at = -1, const std::function<void()>& onTime = {}) {
    auto start = std::chrono::steady_clock::now();
    size_t v = 0, a = 0;
    // Sound for as long as the pictures last, like a camera.
    size_t audioCount = audio.size();
    if (!video.empty())
        audioCount = std::min(audioCount, static_cast<size_t>(std::ceil(video.size() * 0.040 / 0.128)));
    bool called = false;
    while (v < video.size() || a < audioCount) {
        double tv = v < video.size() ? v * 0.040 : 1e9;
        double ta = a < audioCount ? a * 0.128 : 1e9;
        double t = std::min(tv, ta);
        if (realTime)
            std::this_thread::sleep_until(start + std::chrono::duration<double>(t));
        else
            std::this_thread::sleep_for(20ms);
        if (!called && at >= 0 && t >= at) {
            called = true;
            onTime();
        }
        if (tv <= ta) {
            uint32_t ts = sameStamps ? tsBase : tsBase + static_cast<uint32_t>(v * 40000);
            recorder.PushVideo(video[v].data(), static_cast<uint32_t>(video[v].size()), ts);
            ++v;
        } else {
            recorder.PushAudio(audio[a].data(), static_cast<uint32_t>(audio[a].size()),
                               tsBase + static_cast<uint32_t>(a * 128000));
            ++a;
        }
    }
}

class Mp4RecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved = fs::current_path();
        fs::current_path(TestStreams::TempFolder(std::string("rec-") +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name()));
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

TEST_F(Mp4RecorderTest, RecordsAStreamThatPlaysAtRealSpeedAndSurvivesBeingCut) {
    auto video = TestStreams::H264(640, 360, 4.0);
    auto audio = TestStreams::Aac(8000, 1, 4.0);
    ASSERT_EQ(video.size(), 100u);
    Mp4Recorder recorder;
    ASSERT_EQ(recorder.Start(), 0);
    std::string copy = (fs::current_path() / "copy.mp4.part").string();
    // Device time stamps that wrap during the recording.
    Feed(recorder, video, audio, 0xFFFFFFFFu - 1500000u, true, false, 2.5,
         [&] { fs::copy_file(recorder.GetFileName(), copy); });
    ASSERT_EQ(recorder.Stop(), 0);

    auto files = Recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(IsRecordingName(files[0])) << files[0];
    EXPECT_EQ(files[0], recorder.GetFileName());

    Probe probe = ProbeFile(files[0]);
    EXPECT_EQ(probe.streams, 2);
    EXPECT_EQ(probe.video["codec_name"], "h264");
    EXPECT_EQ(probe.video["codec_tag_string"], "avc1");
    EXPECT_EQ(probe.video["width"], "640");
    EXPECT_EQ(probe.video["height"], "360");
    EXPECT_EQ(probe.audio["codec_name"], "aac");
    EXPECT_EQ(probe.audio["sample_rate"], "8000");
    EXPECT_NEAR(probe.duration, 4.0, 4.0 * 0.05);

    // Every frame and every audio block is in the file; key frames are sync samples.
    EXPECT_EQ(CountPackets(files[0], "v:0"), 100);
    EXPECT_EQ(CountPackets(files[0], "a:0"), 32); // 4.096 s
    auto keys = KeyFlags(files[0]);
    ASSERT_EQ(keys.size(), 100u);
    for (size_t i = 0; i < keys.size(); ++i)
        EXPECT_EQ(keys[i], i % 25 == 0) << "packet " << i;
    int frames = 0;
    EXPECT_EQ(DecodeErrors(files[0], &frames), "");
    EXPECT_EQ(frames, 100);
    int status = 1;
    TestStreams::Run("ffmpeg -nostdin -v error -ss 2.5 -i '" + files[0] + "' -frames:v 1 -f null - 2>&1", &status);
    EXPECT_EQ(status, 0);

    // The copy taken while the writer was still open plays up to its last fragment.
    int copyFrames = 0;
    EXPECT_EQ(DecodeErrors(copy, &copyFrames), "");
    EXPECT_GE(copyFrames, 25);
    EXPECT_LT(copyFrames, 100);
}

TEST_F(Mp4RecorderTest, MultiSliceFramesKeepEverySlice) {
    auto video = TestStreams::H264(640, 360, 1.0, "slices=4");
    auto audio = TestStreams::Aac(8000, 1, 1.0);
    Mp4Recorder recorder;
    ASSERT_EQ(recorder.Start(), 0);
    Feed(recorder, video, audio, 1000, false);
    recorder.Stop();
    auto files = Recordings();
    ASSERT_EQ(files.size(), 1u);
    int frames = 0;
    EXPECT_EQ(DecodeErrors(files[0], &frames), "");
    EXPECT_EQ(frames, static_cast<int>(video.size()));
    // The file's frames are the stream's frames: compare decoded pictures.
    std::string a = TestStreams::Run("ffmpeg -nostdin -v error -i '" + files[0] + "' -map 0:v -f framemd5 - 2>&1");
    std::string source =
        (fs::path(VANTOR_BINARY_DIR) / "test-streams" / "video-640x360-1000-yuv420p-baseline-slices_4.h264").string();
    std::string b = TestStreams::Run("ffmpeg -nostdin -v error -i '" + source + "' -f framemd5 - 2>&1");
    auto hashes = [](const std::string& s) {
        std::vector<std::string> out;
        std::istringstream lines(s);
        std::string line;
        while (std::getline(lines, line))
            if (!line.empty() && line[0] != '#')
                out.push_back(line.substr(line.rfind(',') + 1));
        return out;
    };
    EXPECT_EQ(hashes(a), hashes(b));
}

TEST_F(Mp4RecorderTest, FixedDurationsWhenTimeStampsDoNotAdvance) {
    auto video = TestStreams::H264(320, 240, 2.0);
    Mp4Recorder recorder;
    ASSERT_EQ(recorder.Start(), 0);
    Feed(recorder, video, {}, 777, false, true);
    recorder.Stop();
    auto files = Recordings();
    ASSERT_EQ(files.size(), 1u);
    // 50 samples of 6000 / 90000 s.
    EXPECT_NEAR(ProbeFile(files[0]).duration, 50 * 6000 / 90000.0, 0.2);
    EXPECT_EQ(ProbeFile(files[0]).video["width"], "320");
}

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
    auto video = TestStreams::H264(320, 240, 1.0);
    auto audio = TestStreams::Aac(8000, 1, 1.0);
    std::vector<std::unique_ptr<Mp4Recorder>> recorders;
    for (int i = 0; i < 4; ++i) {
        recorders.push_back(std::make_unique<Mp4Recorder>());
        ASSERT_EQ(recorders.back()->Start(), 0);
    }
    std::vector<std::thread> feeders;
    for (auto& r : recorders)
        feeders.emplace_back([&, rec = r.get()] { Feed(*rec, video, audio, 0, false); });
    for (auto& f : feeders)
        f.join();
    std::set<std::string> names;
    for (auto& r : recorders) {
        r->Stop();
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
        int frames = 0;
        EXPECT_EQ(DecodeErrors(name, &frames), "") << name;
        EXPECT_EQ(frames, 25) << name;
    }
}

TEST_F(Mp4RecorderTest, NoParameterSetsNoFileAndStartTwiceIsOneRecording) {
    auto video = TestStreams::H264(320, 240, 1.0);
    Mp4Recorder recorder;
    ASSERT_EQ(recorder.Start(), 0);
    // Frames after the first key frame carry no SPS or PPS.
    std::vector<Frame> noHeaders(video.begin() + 1, video.begin() + 10);
    Feed(recorder, noHeaders, {}, 0, false);
    recorder.Stop();
    EXPECT_TRUE(Recordings().empty());
    EXPECT_EQ(recorder.GetFileName(), "");

    ASSERT_EQ(recorder.Start(), 0);
    ASSERT_EQ(recorder.Start(), 0);
    Feed(recorder, video, {}, 0, false);
    recorder.Stop();
    recorder.Stop();
    EXPECT_EQ(Recordings().size(), 1u);
    // Pushes while stopped go nowhere.
    EXPECT_EQ(recorder.PushVideo(video[0].data(), static_cast<uint32_t>(video[0].size()), 0), 0);
    EXPECT_EQ(Recordings().size(), 1u);
}

TEST_F(Mp4RecorderTest, FramesLargerThanABufferAreDropped) {
    auto video = TestStreams::H264(320, 240, 1.0);
    Mp4Recorder recorder;
    ASSERT_EQ(recorder.Start(), 0);
    std::vector<uint8_t> huge(Mp4Recorder::kVideoBufferSize + 1, 0);
    EXPECT_EQ(recorder.PushVideo(huge.data(), static_cast<uint32_t>(huge.size()), 0), 0);
    EXPECT_EQ(recorder.PushAudio(huge.data(), Mp4Recorder::kAudioBufferSize + 1, 0), 0);
    Feed(recorder, video, {}, 0, false);
    recorder.Stop();
    auto files = Recordings();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(CountPackets(files[0], "v:0"), 25);
}
