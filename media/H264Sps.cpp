#include "media/H264Sps.h"

#include <algorithm>
#include <array>

namespace {

// Reads bits MSB first from an RBSP; reading past the end sets failed.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t length) : m_data(data), m_length(length) {}

    uint32_t Bit() {
        if (m_pos >= m_length * 8) {
            failed = true;
            return 0;
        }
        uint32_t bit = (m_data[m_pos >> 3] >> (7 - (m_pos & 7))) & 1;
        ++m_pos;
        return bit;
    }
    uint32_t Bits(int n) {
        uint32_t value = 0;
        for (int i = 0; i < n; ++i)
            value = (value << 1) | Bit();
        return value;
    }
    // Exp-Golomb, unsigned; values beyond 32 bits fail.
    uint32_t Ue() {
        int zeros = 0;
        while (Bit() == 0) {
            if (failed || ++zeros > 31) {
                failed = true;
                return 0;
            }
        }
        return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + Bits(zeros));
    }
    int32_t Se() {
        uint32_t k = Ue();
        return (k & 1) ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
    }

    bool failed = false;

private:
    const uint8_t* m_data;
    size_t m_length;
    size_t m_pos = 0;
};

void SkipScalingList(BitReader& bits, int size) {
    int32_t lastScale = 8, nextScale = 8;
    for (int j = 0; j < size && !bits.failed; ++j) {
        if (nextScale != 0) {
            int32_t delta = bits.Se();
            nextScale = (lastScale + delta + 256) % 256;
        }
        lastScale = nextScale == 0 ? lastScale : nextScale;
    }
}

bool HasChromaFields(int profileIdc) {
    switch (profileIdc) {
    case 100:
    case 110:
    case 122:
    case 244:
    case 44:
    case 83:
    case 86:
    case 118:
    case 128:
    case 138:
    case 139:
    case 134:
    case 135:
        return true;
    default:
        return false;
    }
}

// Skips hrd_parameters().
void SkipHrd(BitReader& bits) {
    uint32_t count = bits.Ue() + 1;
    bits.Bits(8); // bit_rate_scale, cpb_size_scale
    for (uint32_t i = 0; i < count && i < 32 && !bits.failed; ++i) {
        bits.Ue();  // bit_rate_value_minus1
        bits.Ue();  // cpb_size_value_minus1
        bits.Bit(); // cbr_flag
    }
    bits.Bits(20); // four delay and offset lengths
}

// Reads the timing information and bitstream restrictions of vui_parameters().
// False when the VUI is cut short.
bool ParseVui(BitReader& bits, H264Sps& sps, bool& haveReorder) {
    if (bits.Bit()) {            // aspect_ratio_info_present_flag
        if (bits.Bits(8) == 255) // aspect_ratio_idc: Extended_SAR
            bits.Bits(32);       // sar_width, sar_height
    }
    if (bits.Bit())        // overscan_info_present_flag
        bits.Bit();        // overscan_appropriate_flag
    if (bits.Bit()) {      // video_signal_type_present_flag
        bits.Bits(4);      // video_format, video_full_range_flag
        if (bits.Bit())    // colour_description_present_flag
            bits.Bits(24); // primaries, transfer, matrix
    }
    if (bits.Bit()) { // chroma_loc_info_present_flag
        bits.Ue();
        bits.Ue();
    }
    if (bits.Bit()) { // timing_info_present_flag
        sps.numUnitsInTick = bits.Bits(32);
        sps.timeScale = bits.Bits(32);
        bits.Bit(); // fixed_frame_rate_flag
    }
    bool nalHrd = bits.Bit() != 0;
    if (nalHrd)
        SkipHrd(bits);
    bool vclHrd = bits.Bit() != 0;
    if (vclHrd)
        SkipHrd(bits);
    if (nalHrd || vclHrd)
        bits.Bit();   // low_delay_hrd_flag
    bits.Bit();       // pic_struct_present_flag
    if (bits.Bit()) { // bitstream_restriction_flag
        bits.Bit();   // motion_vectors_over_pic_boundaries_flag
        bits.Ue();    // max_bytes_per_pic_denom
        bits.Ue();    // max_bits_per_mb_denom
        bits.Ue();    // log2_max_mv_length_horizontal
        bits.Ue();    // log2_max_mv_length_vertical
        uint32_t reorder = bits.Ue();
        bits.Ue(); // max_dec_frame_buffering
        if (!bits.failed) {
            sps.reorderDepth = static_cast<int>(std::min<uint32_t>(reorder, 16));
            haveReorder = true;
        }
    }
    return !bits.failed;
}

// MaxDpbFrames of the level for this picture size (H.264 Table A-1).
int MaxDpbFrames(int levelIdc, bool constraintSet3, uint32_t widthMbs, uint32_t heightMbs) {
    struct Level {
        int idc;
        uint32_t maxDpbMbs;
    } static constexpr kLevels[] = {{9, 396},     {10, 396},    {11, 900},    {12, 2376},   {13, 2376},
                                    {20, 2376},   {21, 4752},   {22, 8100},   {30, 8100},   {31, 18000},
                                    {32, 20480},  {40, 32768},  {41, 32768},  {42, 34816},  {50, 110400},
                                    {51, 184320}, {52, 184320}, {60, 696320}, {61, 696320}, {62, 696320}};
    uint32_t maxDpbMbs = 696320;
    int idc = (levelIdc == 11 && constraintSet3) ? 9 : levelIdc; // level 1b
    for (const Level& level : kLevels)
        if (level.idc == idc)
            maxDpbMbs = level.maxDpbMbs;
    uint64_t frameMbs = uint64_t{widthMbs} * heightMbs;
    return static_cast<int>(std::min<uint64_t>(16, frameMbs == 0 ? 16 : maxDpbMbs / frameMbs));
}

} // namespace

bool H264Sps::Parse(const uint8_t* nal, size_t length, H264Sps& out) {
    if (nal == nullptr || length < 4 || (nal[0] & 0x1F) != 7)
        return false;
    // RBSP: drop the emulation prevention byte of every 00 00 03.
    std::array<uint8_t, 512> rbsp;
    size_t n = 0;
    int zeros = 0;
    for (size_t i = 1; i < length && n < rbsp.size(); ++i) {
        if (zeros >= 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        rbsp[n++] = nal[i];
    }
    BitReader bits(rbsp.data(), n);
    H264Sps sps;
    sps.profileIdc = static_cast<int>(bits.Bits(8));
    sps.constraintFlags = static_cast<int>(bits.Bits(8));
    sps.levelIdc = static_cast<int>(bits.Bits(8));
    if (bits.Ue() > 31) // seq_parameter_set_id
        return false;
    bool separateColourPlanes = false;
    if (HasChromaFields(sps.profileIdc)) {
        uint32_t chroma = bits.Ue();
        if (chroma > 3)
            return false;
        sps.chromaFormatIdc = static_cast<int>(chroma);
        if (chroma == 3)
            separateColourPlanes = bits.Bit() != 0;
        bits.Ue();        // bit_depth_luma_minus8
        bits.Ue();        // bit_depth_chroma_minus8
        bits.Bit();       // qpprime_y_zero_transform_bypass_flag
        if (bits.Bit()) { // seq_scaling_matrix_present_flag
            int lists = chroma != 3 ? 8 : 12;
            for (int i = 0; i < lists && !bits.failed; ++i)
                if (bits.Bit())
                    SkipScalingList(bits, i < 6 ? 16 : 64);
        }
    }
    bits.Ue(); // log2_max_frame_num_minus4
    uint32_t pocType = bits.Ue();
    if (pocType == 0) {
        bits.Ue(); // log2_max_pic_order_cnt_lsb_minus4
    } else if (pocType == 1) {
        bits.Bit(); // delta_pic_order_always_zero_flag
        bits.Se();  // offset_for_non_ref_pic
        bits.Se();  // offset_for_top_to_bottom_field
        uint32_t cycle = bits.Ue();
        if (cycle > 255)
            return false;
        for (uint32_t i = 0; i < cycle && !bits.failed; ++i)
            bits.Se();
    } else if (pocType != 2) {
        return false;
    }
    bits.Ue();  // max_num_ref_frames
    bits.Bit(); // gaps_in_frame_num_value_allowed_flag
    uint32_t widthMbs = bits.Ue() + 1;
    uint32_t heightMapUnits = bits.Ue() + 1;
    uint32_t frameMbsOnly = bits.Bit();
    if (!frameMbsOnly)
        bits.Bit(); // mb_adaptive_frame_field_flag
    bits.Bit();     // direct_8x8_inference_flag
    uint32_t cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (bits.Bit()) {
        cropLeft = bits.Ue();
        cropRight = bits.Ue();
        cropTop = bits.Ue();
        cropBottom = bits.Ue();
    }
    if (bits.failed || widthMbs > 1024 || heightMapUnits > 1024)
        return false;
    int chromaArrayType = separateColourPlanes ? 0 : sps.chromaFormatIdc;
    uint64_t cropUnitX = 1, cropUnitY = 2 - frameMbsOnly;
    if (chromaArrayType != 0) {
        cropUnitX = chromaArrayType == 3 ? 1 : 2;
        cropUnitY *= chromaArrayType == 1 ? 2 : 1;
    }
    uint64_t width = uint64_t{widthMbs} * 16;
    uint64_t height = uint64_t{heightMapUnits} * 16 * (2 - frameMbsOnly);
    uint64_t cropX = cropUnitX * (uint64_t{cropLeft} + cropRight);
    uint64_t cropY = cropUnitY * (uint64_t{cropTop} + cropBottom);
    if (cropX >= width || cropY >= height)
        return false;
    sps.width = static_cast<int>(width - cropX);
    sps.height = static_cast<int>(height - cropY);

    bool haveReorder = false;
    if (bits.Bit() && !ParseVui(bits, sps, haveReorder)) { // vui_parameters_present_flag
        sps.numUnitsInTick = sps.timeScale = 0;            // a VUI cut short tells nothing
        haveReorder = false;
    }
    if (!haveReorder) {
        sps.reorderDepth = sps.profileIdc == 66 ? 0
                                                : MaxDpbFrames(sps.levelIdc, (sps.constraintFlags & 0x10) != 0,
                                                               widthMbs, heightMapUnits * (2 - frameMbsOnly));
    }
    out = sps;
    return true;
}
