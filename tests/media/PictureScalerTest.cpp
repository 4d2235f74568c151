#include "media/PictureScaler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

struct Sizes {
    int inWidth, inHeight, outWidth, outHeight;
};

// A 4:2:0 picture whose luma rises from left to right and whose chroma is flat.
struct Picture {
    Picture(int width, int height)
        : luma(static_cast<size_t>(width) * height),
          chroma(static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2), 77) {
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                luma[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(x * 255 / std::max(1, width - 1));
        planes.data[0] = luma.data();
        planes.data[1] = planes.data[2] = chroma.data();
        planes.lineSize[0] = width;
        planes.lineSize[1] = planes.lineSize[2] = (width + 1) / 2;
        planes.width = width;
        planes.height = height;
    }
    std::vector<uint8_t> luma, chroma;
    PlanarPicture planes;
};

class PictureScalerTest : public ::testing::TestWithParam<Sizes> {};

} // namespace

// Every size, odd ones and upscaling included: the result has the size asked
// for, flat planes stay flat, and a ramp stays a ramp from its first value to
// its last (ASan catches a read outside the planes).
TEST_P(PictureScalerTest, KeepsFlatAndRisingPlanesAtAnySize) {
    const Sizes s = GetParam();
    Picture in(s.inWidth, s.inHeight);
    PictureScaler scaler;
    const PlanarPicture& out = scaler.Scale(in.planes, s.outWidth, s.outHeight);
    ASSERT_EQ(out.width, s.outWidth);
    ASSERT_EQ(out.height, s.outHeight);
    for (int p = 1; p < 3; ++p)
        for (int y = 0; y < (s.outHeight + 1) / 2; ++y)
            for (int x = 0; x < (s.outWidth + 1) / 2; ++x)
                ASSERT_EQ(out.data[p][y * out.lineSize[p] + x], 77) << "plane " << p << " at " << x << "," << y;
    for (int y = 0; y < s.outHeight; ++y) {
        const uint8_t* row = out.data[0] + y * out.lineSize[0];
        EXPECT_LE(row[0], 20);
        EXPECT_GE(row[s.outWidth - 1], 235);
        EXPECT_TRUE(std::is_sorted(row, row + s.outWidth)) << "row " << y;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PictureScalerTest,
                         ::testing::Values(Sizes{1920, 1080, 300, 270}, Sizes{1280, 720, 299, 269},
                                           Sizes{641, 361, 300, 270}, Sizes{1919, 1079, 33, 17},
                                           Sizes{320, 180, 901, 541}, Sizes{64, 64, 64, 63}));
