#pragma once

#include <cstddef>
#include <cstdint>

// The fields of an H.264 sequence parameter set that a recording needs: the
// profile bytes, the picture size after frame cropping, the frame rate when
// the SPS states it, and how far decode order may run ahead of presentation.
struct H264Sps {
    int profileIdc = 0;
    int constraintFlags = 0;
    int levelIdc = 0;
    int chromaFormatIdc = 1;
    int width = 0;
    int height = 0;
    // The most frames that may precede a frame in decode order and follow it
    // in presentation order: max_num_reorder_frames when the SPS gives it, 0
    // for the Baseline profile (no B slices), else the most the level's
    // picture buffer holds.
    int reorderDepth = 0;
    // Timing information (0 when absent): a frame lasts 2 * numUnitsInTick / timeScale s.
    uint32_t numUnitsInTick = 0;
    uint32_t timeScale = 0;

    // Parses one SPS NAL unit, header byte included, emulation prevention
    // bytes still in it. False for anything that is not a well-formed SPS
    // with a plausible size.
    static bool Parse(const uint8_t* nal, size_t length, H264Sps& out);
};
