#include "H264Sps.h"

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
    out = sps;
    return true;
}
