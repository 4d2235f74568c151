// Parses arbitrary bytes as an H.264 sequence parameter set. A parse that
// succeeds must give a plausible picture, must not depend on bytes after the
// ones it read, and a parse that fails must leave the output alone.
#include "media/H264Sps.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

bool Same(const H264Sps& a, const H264Sps& b) {
    return a.profileIdc == b.profileIdc && a.constraintFlags == b.constraintFlags && a.levelIdc == b.levelIdc &&
           a.chromaFormatIdc == b.chromaFormatIdc && a.width == b.width && a.height == b.height;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const H264Sps untouched{-1, -1, -1, -1, -1, -1};
    H264Sps sps = untouched;
    if (!H264Sps::Parse(data, size, sps)) {
        if (!Same(sps, untouched))
            __builtin_trap();
        return 0;
    }
    if (sps.width <= 0 || sps.width > 16384 || sps.height <= 0 || sps.height > 32768 || sps.chromaFormatIdc < 0 ||
        sps.chromaFormatIdc > 3 || sps.profileIdc > 255 || sps.levelIdc > 255)
        __builtin_trap();
    // Within the RBSP the parser keeps, bytes after the last field change nothing.
    if (size < 256) {
        std::vector<uint8_t> longer(data, data + size);
        longer.insert(longer.end(), 16, 0xA5);
        H264Sps again = untouched;
        if (!H264Sps::Parse(longer.data(), longer.size(), again) || !Same(again, sps))
            __builtin_trap();
    }
    return 0;
}
