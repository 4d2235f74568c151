#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Test streams made with the ffmpeg tool (x264 and FFmpeg's AAC encoder) and
// cut into the frames a camera sends: H.264 access units in Annex B form and
// ADTS frames. Files are made once per build tree and reused.
namespace TestStreams {

using Frame = std::vector<uint8_t>;

// x264, baseline, 25 frames a second, a key frame with SPS and PPS every
// second. extraX264 adds x264 parameters (e.g. "slices=4"); pixelFormat and
// profile choose the layout (yuv420p baseline by default).
std::vector<Frame> H264(int width, int height, double seconds, const std::string& extraX264 = "",
                        const std::string& pixelFormat = "yuv420p", const std::string& profile = "baseline");

// AAC-LC in ADTS frames of 1024 samples: a 440 Hz tone.
std::vector<Frame> Aac(int sampleRate, int channels, double seconds);

// Runs a command line; returns its standard output (and the exit status).
std::string Run(const std::string& command, int* status = nullptr);

// A fresh empty folder under the build tree's test area.
std::string TempFolder(const std::string& name);

} // namespace TestStreams
