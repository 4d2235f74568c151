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

// The access units of a raw H.264 file (throws when it cannot be read).
std::vector<Frame> ReadAccessUnits(const std::string& path);

// AAC-LC in ADTS frames of 1024 samples: a 440 Hz tone.
std::vector<Frame> Aac(int sampleRate, int channels, double seconds);

// The packets of a media file, in file order, times in seconds.
struct Packet {
    bool video;
    double pts, dts, duration;
    bool key;
};
std::vector<Packet> ReadPackets(const std::string& path);

// The top-level boxes of an MP4 file and the movie length its moov states.
struct Mp4Layout {
    std::vector<std::string> boxes;
    double movieSeconds = 0;
};
Mp4Layout ReadMp4Layout(const std::string& path);

// ffmpeg's complaints when it decodes the whole file ("" when none).
std::string DecodeErrors(const std::string& path);

// What keeps a finished recording from being a plain MP4 that any player
// reads and seeks: top-level boxes other than ftyp, mdat, moov; a movie
// length off the media's by more than 10%; video decode times that do not
// increase; ffmpeg's complaints. "" when there is nothing.
std::string PlainMp4Problems(const std::string& path);

// Gaps and overlaps between the fragments of a recording (at the top level
// while it is written, inside the one mdat once it is finished): each
// track's fragment must start where its previous one ends, and no sample may
// last 0. "" when there is nothing.
std::string FragmentProblems(const std::string& path);

// The beep marker of vantor-camsim in a decoded picture: 1 for the white
// square, 0 for no pure white there, -1 for anything in between.
int BeepMarker(const uint8_t* const data[], const int linesize[], int width);
// Where a recording shows the white square appear and the beep start, in
// seconds, as a player would present them.
struct BeepMarks {
    std::vector<double> squares, beeps;
    int pictures = 0;
    int unclearMarkers = 0;
};
BeepMarks FindBeepMarks(const std::string& path);
// Beep onsets in decoded sound: each sample with its time in seconds.
std::vector<double> BeepOnsets(const std::vector<float>& samples, const std::vector<double>& times);

// Runs a command line; returns its standard output (and the exit status).
std::string Run(const std::string& command, int* status = nullptr);

// A fresh empty folder under the build tree's test area.
std::string TempFolder(const std::string& name);

} // namespace TestStreams
