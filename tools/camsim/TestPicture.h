#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/frame.h>
}

// Paints the moving test picture into a YUV 4:2:0 frame: a slowly shifting
// colour field, a bar that sweeps across, and three lines of text: the UID,
// the frame counter and the wall-clock time.
class TestPicture {
public:
    static constexpr int kMarkerSize = 64;

    static void Paint(AVFrame* frame, const std::string& uid, uint32_t frameNumber, const std::string& timeText);
    // The beep marker: a 64x64 square in the top-right corner, pure white (Y
    // 235, no colour) while the beep sounds, else black. A player, test or
    // benchmark can line pictures up with the sound by it.
    static void PaintBeepMarker(AVFrame* frame, bool beep);
};
