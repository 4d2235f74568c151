// What finishing a recording costs at stop: an hour (and a minute, to
// compare) of 1280x720 H.264 at 25 fps with 8000 Hz AAC, from the camera
// simulator's encoders, fed to the recorder's writer as fast as it takes
// them. Prints the time the stop takes and the bytes it adds (the index).
// Then three hours of sound whose clock runs 200 ppm fast or slow against
// the picture clock, placed by the recording's timeline: the worst offset of
// sound from its stamps and the largest step taken to follow it.
// Run by hand: build/bench/Mp4RecorderBench [folder [keep]]   (writes about
// 1 GB; "keep" leaves the files there, e.g. for ffprobe)
#include "media/FrameTimeline.h"
#include "media/RecordingWriter.h"
#include "p2p/Protocol.h"
#include "tools/camsim/AacEncoder.h"
#include "tools/camsim/TestPicture.h"
#include "tools/camsim/VideoEncoder.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

using Clock = std::chrono::steady_clock;

namespace {

struct Stream {
    std::vector<std::vector<uint8_t>> video, audio;
};

// One second of the camera's stream: its test picture and its tone.
Stream OneSecond() {
    Stream s;
    VideoEncoder encoder;
    if (encoder.Open(1280, 720, 25, p2p::kMaxFrameSize) != 0)
        return s;
    for (uint32_t i = 0; i < 25; ++i) {
        TestPicture::Paint(encoder.Picture(), "BENCH", i, "12:00:00");
        std::vector<uint8_t> unit;
        bool key = false;
        if (encoder.Encode(i == 0, unit, key) == 0 && !unit.empty())
            s.video.push_back(unit);
    }
    AacEncoder aac;
    aac.Open();
    while (s.audio.size() < 10)
        aac.EncodeNext(s.audio);
    s.audio.erase(s.audio.begin(), s.audio.begin() + 2); // past the encoder's start
    return s;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void Record(const Stream& s, int seconds, bool keep) {
    std::string name;
    RecordingWriter writer([&](const std::string& n) { name = n; });
    if (!writer.Open()) {
        std::printf("cannot create a file here\n");
        return;
    }
    uint64_t media = 0;
    const Clock::time_point begin = Clock::now();
    for (int second = 0; second < seconds; ++second) {
        for (size_t i = 0; i < s.video.size(); ++i) {
            const auto& f = s.video[i];
            writer.Video(f.data(), static_cast<uint32_t>(f.size()),
                         static_cast<uint32_t>(second * 1000000 + i * 40000));
            media += f.size();
        }
        // 8000 / 1024 frames a second: 125 frames every 16 seconds.
        for (int64_t a = second * 125 / 16; a < (second + 1) * 125 / 16; ++a) {
            const auto& f = s.audio[static_cast<size_t>(a) % s.audio.size()];
            writer.Audio(f.data(), static_cast<uint32_t>(f.size()), static_cast<uint32_t>(a * 128000));
            media += f.size() - 7;
        }
    }
    const Clock::time_point fed = Clock::now();
    const uint64_t before = std::filesystem::file_size(name);
    const bool ok = writer.Close();
    const Clock::time_point stopped = Clock::now();
    const uint64_t after = std::filesystem::file_size(name);
    std::printf("%5d s: %s, %.1f MB media, written in %.2f s (%.0fx real time)\n", seconds, ok ? "ok" : "FAILED",
                media / 1e6, Seconds(fed - begin), seconds / Seconds(fed - begin));
    std::printf("         stop: %.1f ms; the file grew by %.1f KB, of which %.1f KB index (moov) and the rest "
                "the last fragment; %.2f%% of the file is boxes\n",
                Seconds(stopped - fed) * 1e3, (after - before) / 1e3, writer.GetIndexBytes() / 1e3,
                100.0 * (after - media) / after);
    if (keep)
        std::printf("         kept %s\n", name.c_str());
    else
        std::filesystem::remove(name);
}

void Drift(double ppm) {
    constexpr uint32_t kRate = 8000, kSamples = 1024;
    constexpr int64_t kFrameUs = 40000, kHoursUs = int64_t{3} * 3600 * 1000000;
    const double soundPeriodUs = kSamples * 1e6 / (kRate * (1 + ppm * 1e-6));
    FrameTimeline timeline;
    timeline.Begin(0, 0, kFrameUs);
    int64_t k = 0, end = 0, worstStep = 0, left = 0;
    double worstUs = 0, lastUs = 0;
    for (int64_t us = 0; us < kHoursUs; us += kFrameUs) {
        int64_t dts = 0;
        uint32_t offset = 0;
        timeline.Video(static_cast<uint32_t>(us), dts, offset);
        for (; k * soundPeriodUs < static_cast<double>(us + kFrameUs); ++k) {
            const auto at = std::llround(k * soundPeriodUs);
            if (!timeline.Audio(static_cast<uint32_t>(at), kRate, kSamples, dts)) {
                ++left;
                continue;
            }
            worstStep = k > 0 ? std::max(worstStep, std::abs(dts - end)) : 0;
            end = dts + kSamples;
            lastUs = dts * 1e6 / kRate - static_cast<double>(at);
            worstUs = std::max(worstUs, std::abs(lastUs));
        }
    }
    std::printf("drift %+.0f ppm, 3 h: sound %+.1f ms from its stamps at the end, worst %.1f ms; largest step "
                "%.2f ms; %lld frames left out\n",
                ppm, lastUs / 1e3, worstUs / 1e3, worstStep * 1e3 / kRate, static_cast<long long>(left));
}

} // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    if (argc > 1)
        std::filesystem::current_path(argv[1]);
    const bool keep = argc > 2 && std::string(argv[2]) == "keep";
    Stream s = OneSecond();
    if (s.video.size() != 25) {
        std::printf("the encoder failed\n");
        return 1;
    }
    Record(s, 60, keep);
    Record(s, 3600, keep);
    Drift(200);
    Drift(-200);
    return 0;
}
