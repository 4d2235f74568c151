#pragma once

#include <cstdint>
#include <vector>

// The planes of one planar 4:2:0 picture (luma, then Cb and Cr at half width
// and half height), each with its own line size.
struct PlanarPicture {
    const uint8_t* data[3] = {nullptr, nullptr, nullptr};
    int lineSize[3] = {0, 0, 0};
    int width = 0;
    int height = 0;
};

// Makes a picture smaller before it is converted and drawn: a pane shows a
// 1080p camera in a few hundred pixels, so converting every pixel and then
// scaling most of them away wastes the most time per picture. Each halving
// averages 2 x 2 pixels (a box filter, which also keeps the final smooth
// scaling free of aliasing). The picture is halved as often as it stays at
// least as large as the place it is drawn in, so the last, smooth scaling
// only ever shrinks by less than two.
//
// The storage for the halved planes is kept between pictures and grows only
// when a larger picture comes.
class PictureReducer {
public:
    // `in` itself when no halving fits, else the halved planes (valid until
    // the next call).
    const PlanarPicture& Reduce(const PlanarPicture& in, int minWidth, int minHeight);

    // One 2 x 2 box halving of a plane: out is (width / 2) x (height / 2).
    static void HalvePlane(const uint8_t* in, int inLineSize, int width, int height, uint8_t* out, int outLineSize);

private:
    PlanarPicture m_out;
    std::vector<uint8_t> m_store[2];
};
