#include "media/ToRGB32.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    const uint8_t* planes[3];

    Picture(int w, int h, int pad) : width(w), height(h) {
        int cw = (w + 1) / 2, ch = (h + 1) / 2;
        lineSizes[0] = w + pad;
        lineSizes[1] = cw + pad;
        lineSizes[2] = cw + pad;
        y.resize(static_cast<size_t>(lineSizes[0]) * h);
        u.resize(static_cast<size_t>(lineSizes[1]) * ch);
        v.resize(static_cast<size_t>(lineSizes[2]) * ch);
    }
    // Converts with `convert` into width x height pixels and one guard word,
    // which must stay as it was.
    std::vector<uint32_t> Convert(decltype(&ToRGB32) convert) {
        planes[0] = y.data();
        planes[1] = u.data();
        planes[2] = v.data();
        const size_t n = static_cast<size_t>(width) * height;
        std::vector<uint32_t> out(n + 1, 0xA5A5A5A5);
        convert(planes, lineSizes, width, height, out.data());
        EXPECT_EQ(out[n], 0xA5A5A5A5u) << "written past the end";
        out.pop_back();
        return out;
    }
};

const std::pair<const char*, decltype(&ToRGB32)> kVersions[] = {
    {"reference", ToRGB32Reference}, {"fast", ToRGB32}, {"sse2", ToRGB32Sse2}};

// The fast versions give exactly the reference's bits.
void ExpectSame(Picture& p) {
    const std::vector<uint32_t> ref = p.Convert(ToRGB32Reference);
    for (const auto& [name, convert] : kVersions) {
        const std::vector<uint32_t> out = p.Convert(convert);
        const size_t bad = static_cast<size_t>(std::mismatch(ref.begin(), ref.end(), out.begin()).first - ref.begin());
        EXPECT_EQ(bad, ref.size()) << name << " " << p.width << "x" << p.height << " differs at pixel ("
                                   << bad % p.width << ", " << bad / p.width << ")";
    }
}

} // namespace

TEST(ToRGB32, WorkedValuesHoldInEveryVersion) {
    const struct {
        uint8_t y, u, v;
        uint32_t rgb;
    } values[] = {
        {0, 128, 128, 0xFF000000u},
        {255, 128, 128, 0xFFFFFFFFu},
        {16, 128, 128, 0xFF101010u},
        {76, 85, 255, 0xFFFE0000u},
        {100, 200, 50, 0xFF0083E3u},
        // B = (0 + 454 * -128) >> 8 < 0 -> 0; G = (183 * 128 + 88 * 128) >> 8 = 135.
        {0, 0, 0, 0xFF008700u},
        // R and B above 255 -> 255; G = (65280 - 271 * 127) >> 8 = 120.
        {255, 255, 255, 0xFFFF78FFu},
    };
    for (const auto& [name, convert] : kVersions) {
        for (const auto& value : values) {
            Picture p(1, 1, 0);
            p.y = {value.y};
            p.u = {value.u};
            p.v = {value.v};
            EXPECT_EQ(p.Convert(convert)[0], value.rgb)
                << name << " " << int{value.y} << "," << int{value.u} << "," << int{value.v};
        }
    }
}

TEST(ToRGB32, ChromaOfOddColumnsAndRowsIsShared) {
    // 3 x 3: the last column and row use chroma at index 1.
    Picture p(3, 3, 0);
    std::fill(p.y.begin(), p.y.end(), 128);
    p.u = {128, 128, 128, 255};
    p.v = {128, 128, 128, 0};
    const uint32_t gray = 0xFF808080u, colour = 0xFF00AFFFu; // Y 128, U 255, V 0
    const std::vector<uint32_t> expected = {gray, gray, gray, gray, gray, gray, gray, gray, colour};
    for (const auto& [name, convert] : kVersions)
        EXPECT_EQ(p.Convert(convert), expected) << name;
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
