#pragma once

#include <cstdint>
#include <vector>

// The planes of one planar 4:2:0 picture (luma, then Cb and Cr at half width
// and half height, rounded up), each with its own line size.
struct PlanarPicture {
    const uint8_t* data[3] = {nullptr, nullptr, nullptr};
    int lineSize[3] = {0, 0, 0};
    int width = 0;
    int height = 0;
};

// Brings a decoded picture to the size of the pane it is drawn in, before it
// is converted to RGB: a pane shows a 1080p camera in a few hundred pixels, so
// converting every pixel and then scaling most of them away would waste the
// most time per picture, and scaling here leaves the pane a plain copy.
//
// Along each axis where the picture is at least twice the target size, it is
// halved by averaging pairs of pixels (a box filter, which keeps the result
// free of aliasing); the rest of the way, up or down, is bilinear. Luma and chroma are
// scaled the same way, each plane at its own resolution.
//
// The storage for the scaled planes is kept between pictures and grows only
// when a larger picture comes.
class PictureScaler {
public:
    // `in` itself when the size already matches or the target is unknown
    // (0 x 0); else the scaled planes, valid until the next call.
    const PlanarPicture& Scale(const PlanarPicture& in, int width, int height);

    // One box halving of a plane into outWidth x outHeight: of its columns
    // (pairs of samples averaged), its rows, or both (2 x 2 averaged).
    static void HalvePlane(const uint8_t* in, int inLineSize, int outWidth, int outHeight, uint8_t* out,
                           int outLineSize, bool columns, bool rows);
    // Where each output sample of one axis takes its two source samples:
    // the first one's index and the second one's weight in 1/256.
    struct Axis {
        // Sixteen output samples taken from at most 32 source bytes from
        // `base`: byte shuffles for the first and the second source sample of
        // each, and their weights in 1/64, in pairs.
        struct Group {
            int base = 0;
            bool fits = false; // else these samples are made one by one
            alignas(16) uint8_t firstLow[16], firstHigh[16], secondLow[16], secondHigh[16];
            alignas(16) int8_t weights[32];
        };
        int inSize = 0;
        int outSize = 0;
        std::vector<int> first;
        std::vector<int> weight;
        std::vector<Group> groups;
        void Build(int in, int out);
    };
    // Bilinear scaling of one plane; `row` holds one blended source row.
    static void ResizePlane(const uint8_t* in, int inLineSize, const Axis& x, const Axis& y, uint8_t* out,
                            int outLineSize, std::vector<uint8_t>& row);

private:
    PlanarPicture m_out;
    std::vector<uint8_t> m_store[2];
    std::vector<uint8_t> m_row;
    Axis m_axes[2][2]; // [luma, chroma][x, y], rebuilt when a size changes
};
