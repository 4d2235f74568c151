#include "ToRGB32.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

// A picture with planes of exactly lineSize x rows bytes, so that reading past
// a plane is caught by the address sanitizer.
struct Picture {
    std::vector<uint8_t> y, u, v;
    int lineSizes[3];
    int width, height;

    Picture(int w, int h, int pad) : width(w), height(h) {
        int cw = (w + 1) / 2, ch = (h + 1) / 2;
        lineSizes[0] = w + pad;
        lineSizes[1] = cw + pad;
        lineSizes[2] = cw + pad;
        y.resize(static_cast<size_t>(lineSizes[0]) * h);
        u.resize(static_cast<size_t>(lineSizes[1]) * ch);
        v.resize(static_cast<size_t>(lineSizes[2]) * ch);
    }
    const uint8_t* planes[3];
    const uint8_t* const* Planes() {
        planes[0] = y.data();
        planes[1] = u.data();
        planes[2] = v.data();
        return planes;
    }
};

uint32_t OnePixel(uint8_t y, uint8_t u, uint8_t v, bool fast) {
    Picture p(1, 1, 0);
    p.y[0] = y;
    p.u[0] = u;
    p.v[0] = v;
    uint32_t out = 0xDEADBEEF;
    if (fast)
        ToRGB32(p.Planes(), p.lineSizes, 1, 1, &out);
    else
        ToRGB32Reference(p.Planes(), p.lineSizes, 1, 1, &out);
    return out;
}

void ExpectSame(Picture& p) {
    size_t n = static_cast<size_t>(p.width) * p.height;
    // One guard word past the end in each: neither version may write beyond.
    std::vector<uint32_t> ref(n + 1, 0xA5A5A5A5), fast(n + 1, 0x5A5A5A5A), sse2(n + 1, 0x5A5A5A5A);
    ToRGB32Reference(p.Planes(), p.lineSizes, p.width, p.height, ref.data());
    ToRGB32(p.Planes(), p.lineSizes, p.width, p.height, fast.data());
    ToRGB32Sse2(p.Planes(), p.lineSizes, p.width, p.height, sse2.data());
    EXPECT_EQ(ref[n], 0xA5A5A5A5u);
    EXPECT_EQ(fast[n], 0x5A5A5A5Au);
    EXPECT_EQ(sse2[n], 0x5A5A5A5Au);
    ref.pop_back();
    fast.pop_back();
    sse2.pop_back();
    EXPECT_TRUE(sse2 == ref) << p.width << "x" << p.height << " (SSE2)";
    size_t firstBad = n;
    for (size_t i = 0; i < n; ++i) {
        if (ref[i] != fast[i]) {
            firstBad = i;
            break;
        }
    }
    EXPECT_EQ(firstBad, n) << p.width << "x" << p.height << " pixel " << firstBad << " ("
                           << (firstBad < n ? firstBad % p.width : 0) << ", " << (firstBad < n ? firstBad / p.width : 0)
                           << ")";
}

} // namespace

TEST(ToRGB32, WorkedValuesHoldInBothVersions) {
    for (bool fast : {false, true}) {
        EXPECT_EQ(OnePixel(0, 128, 128, fast), 0xFF000000u);
        EXPECT_EQ(OnePixel(255, 128, 128, fast), 0xFFFFFFFFu);
        EXPECT_EQ(OnePixel(16, 128, 128, fast), 0xFF101010u);
        EXPECT_EQ(OnePixel(76, 85, 255, fast), 0xFFFE0000u);
        EXPECT_EQ(OnePixel(100, 200, 50, fast), 0xFF0083E3u);
    }
}

TEST(ToRGB32, ClampsAtBothEnds) {
    // Y 0 with U 0: B = (0 + 454 * -128) >> 8 < 0 -> 0; G = (183 * 128 + 88 * 128) >> 8 = 135.
    // Y 255 with U and V 255: R and B above 255 -> 255; G = (65280 - 271 * 127) >> 8 = 120.
    for (bool fast : {false, true}) {
        EXPECT_EQ(OnePixel(0, 0, 0, fast), 0xFF008700u);
        EXPECT_EQ(OnePixel(255, 255, 255, fast), 0xFFFF78FFu);
    }
}

TEST(ToRGB32, ChromaOfOddColumnsAndRowsIsShared) {
    // 3 x 3: the last column and row use chroma at index 1.
    Picture p(3, 3, 0);
    for (auto& b : p.y)
        b = 128;
    p.u = {128, 128, 128, 255};
    p.v = {128, 128, 128, 0};
    std::vector<uint32_t> out(9);
    ToRGB32Reference(p.Planes(), p.lineSizes, 3, 3, out.data());
    uint32_t gray = 0xFF808080, colour = OnePixel(128, 255, 0, false);
    std::vector<uint32_t> expected = {gray, gray, gray, gray, gray, gray, gray, gray, colour};
    EXPECT_EQ(out, expected);
    std::vector<uint32_t> fast(9);
    ToRGB32(p.Planes(), p.lineSizes, 3, 3, fast.data());
    EXPECT_EQ(fast, expected);
}

TEST(ToRGB32, FastAgreesWithReferenceOverEveryChromaPair) {
    // 512 x 512: column pair k carries U = k, row pair l carries V = l, luma varies.
    Picture p(512, 512, 0);
    for (int i = 0; i < 512; ++i)
        for (int j = 0; j < 512; ++j)
            p.y[i * 512 + j] = static_cast<uint8_t>(i * 7 + j * 13);
    for (int i = 0; i < 256; ++i)
        for (int j = 0; j < 256; ++j) {
            p.u[i * 256 + j] = static_cast<uint8_t>(j);
            p.v[i * 256 + j] = static_cast<uint8_t>(i);
        }
    ExpectSame(p);
}

TEST(ToRGB32, FastAgreesWithReferenceOnRandomPicturesOfOddSizes) {
    std::mt19937 rng(1234);
    const int sizes[][2] = {{1, 1},   {2, 2},   {3, 5},     {15, 7},    {16, 2},     {17, 3},
                            {31, 9},  {32, 4},  {33, 17},   {47, 1},    {63, 31},    {64, 64},
                            {65, 33}, {97, 55}, {320, 240}, {641, 361}, {1280, 720}, {1281, 721}};
    for (auto& size : sizes) {
        for (int pad : {0, 5, 32}) {
            Picture p(size[0], size[1], pad);
            for (auto* plane : {&p.y, &p.u, &p.v})
                for (auto& b : *plane)
                    b = static_cast<uint8_t>(rng());
            ExpectSame(p);
        }
    }
}
