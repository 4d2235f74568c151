#pragma once

#include <cstddef>
#include <cstdint>

// The fields of an H.264 sequence parameter set that a recording needs: the
// profile bytes and the picture size after frame cropping.
struct H264Sps {
    int profileIdc = 0;
    int constraintFlags = 0;
    int levelIdc = 0;
    int chromaFormatIdc = 1;
    int width = 0;
    int height = 0;

    // Parses one SPS NAL unit, header byte included, emulation prevention
    // bytes still in it. False for anything that is not a well-formed SPS
    // with a plausible size.
    static bool Parse(const uint8_t* nal, size_t length, H264Sps& out);
};
