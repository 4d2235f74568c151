// Splits arbitrary bytes as one received H.264 frame, and parses whatever SPS
// comes out as a sequence parameter set (H264SpsFuzz feeds that parser alone).
#include "media/H264Sps.h"
#include "media/Mp4Recorder.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> sample(Mp4Recorder::kSampleBufferSize);
    H264FrameParts parts;
    parts.sample = sample.data();
    // A small capacity now and then exercises the bounds checks.
    parts.sampleCapacity = size % 7 == 0 ? static_cast<uint32_t>(size / 2) : Mp4Recorder::kSampleBufferSize;
    Mp4Recorder::SplitH264Frame(data, static_cast<uint32_t>(size), parts);
    if (parts.sampleLength > parts.sampleCapacity || parts.spsLength > H264FrameParts::kParameterSetCapacity ||
        parts.ppsLength > H264FrameParts::kParameterSetCapacity)
        __builtin_trap();
    H264Sps sps;
    if (parts.spsLength > 0 && H264Sps::Parse(parts.sps, parts.spsLength, sps) && (sps.width <= 0 || sps.height <= 0))
        __builtin_trap();
    return 0;
}
