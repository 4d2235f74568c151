#include "media/ToRGB32.h"

#include <immintrin.h>

namespace {

constexpr uint32_t kOpaque = 0xFF000000u;

inline uint32_t Clamp255(int32_t value) {
    return value < 0 ? 0u : (value > 255 ? 255u : static_cast<uint32_t>(value));
}

// Columns [from, width) of one row, per pixel.
void ConvertRowTail(const uint8_t* y, const uint8_t* u, const uint8_t* v, int from, int width, uint32_t* out) {
    int32_t rv = 0, gvu = 0, bu = 0;
    for (int j = from; j < width; ++j) {
        if ((j & 1) == 0 || j == from) {
            int32_t uu = static_cast<int32_t>(u[j >> 1]) - 128;
            int32_t vv = static_cast<int32_t>(v[j >> 1]) - 128;
            rv = 359 * vv;
            gvu = -183 * vv - 88 * uu;
            bu = 454 * uu;
        }
        int32_t yy = 256 * static_cast<int32_t>(y[j]);
        out[j] =
            kOpaque | (Clamp255((yy + rv) >> 8) << 16) | (Clamp255((yy + gvu) >> 8) << 8) | Clamp255((yy + bu) >> 8);
    }
}

// Since 256 Y is a multiple of 256, (256 Y + x) >> 8 == Y + (x >> 8): the chroma
// terms are shifted once per two pixels and added to Y in 16 bits, and the
// saturating pack does the clamping. (359 V) >> 8 is the high half of
// (8 V) * (359 * 32); (454 U) >> 8 that of (16 U) * (454 * 16); the green term
// needs a 32-bit sum (madd) before its shift.

void ConvertRowsSse2(const uint8_t* y0, const uint8_t* y1, const uint8_t* u, const uint8_t* v, int width,
                     uint32_t* out0, uint32_t* out1) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i ones = _mm_set1_epi8(-1);
    const __m128i k128 = _mm_set1_epi16(128);
    const __m128i kR = _mm_set1_epi16(359 * 32);
    const __m128i kB = _mm_set1_epi16(454 * 16);
    const __m128i kG = _mm_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(-88) << 16) | (-183 & 0xFFFF)));
    int j = 0;
    for (; j + 16 <= width; j += 16) {
        __m128i u16 =
            _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + j / 2)), zero), k128);
        __m128i v16 =
            _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + j / 2)), zero), k128);
        __m128i rv = _mm_mulhi_epi16(_mm_slli_epi16(v16, 3), kR);
        __m128i bu = _mm_mulhi_epi16(_mm_slli_epi16(u16, 4), kB);
        __m128i gLo = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(v16, u16), kG), 8);
        __m128i gHi = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(v16, u16), kG), 8);
        __m128i gv = _mm_packs_epi32(gLo, gHi);
        __m128i rvL = _mm_unpacklo_epi16(rv, rv), rvH = _mm_unpackhi_epi16(rv, rv);
        __m128i gvL = _mm_unpacklo_epi16(gv, gv), gvH = _mm_unpackhi_epi16(gv, gv);
        __m128i buL = _mm_unpacklo_epi16(bu, bu), buH = _mm_unpackhi_epi16(bu, bu);
        for (int row = 0; row < 2; ++row) {
            const uint8_t* yRow = row == 0 ? y0 : y1;
            if (!yRow)
                break;
            uint32_t* outRow = row == 0 ? out0 : out1;
            __m128i yy = _mm_loadu_si128(reinterpret_cast<const __m128i*>(yRow + j));
            __m128i yL = _mm_unpacklo_epi8(yy, zero), yH = _mm_unpackhi_epi8(yy, zero);
            __m128i r = _mm_packus_epi16(_mm_add_epi16(yL, rvL), _mm_add_epi16(yH, rvH));
            __m128i g = _mm_packus_epi16(_mm_add_epi16(yL, gvL), _mm_add_epi16(yH, gvH));
            __m128i b = _mm_packus_epi16(_mm_add_epi16(yL, buL), _mm_add_epi16(yH, buH));
            __m128i bgL = _mm_unpacklo_epi8(b, g), bgH = _mm_unpackhi_epi8(b, g);
            __m128i r0L = _mm_unpacklo_epi8(r, ones), r0H = _mm_unpackhi_epi8(r, ones);
            __m128i* dst = reinterpret_cast<__m128i*>(outRow + j);
            _mm_storeu_si128(dst + 0, _mm_unpacklo_epi16(bgL, r0L));
            _mm_storeu_si128(dst + 1, _mm_unpackhi_epi16(bgL, r0L));
            _mm_storeu_si128(dst + 2, _mm_unpacklo_epi16(bgH, r0H));
            _mm_storeu_si128(dst + 3, _mm_unpackhi_epi16(bgH, r0H));
        }
    }
    if (j < width) {
        ConvertRowTail(y0, u, v, j, width, out0);
        if (y1)
            ConvertRowTail(y1, u, v, j, width, out1);
    }
}

__attribute__((target("avx2"))) void ConvertRowsAvx2(const uint8_t* y0, const uint8_t* y1, const uint8_t* u,
                                                     const uint8_t* v, int width, uint32_t* out0, uint32_t* out1) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ones = _mm256_set1_epi8(-1);
    const __m256i k128 = _mm256_set1_epi16(128);
    const __m256i kR = _mm256_set1_epi16(359 * 32);
    const __m256i kB = _mm256_set1_epi16(454 * 16);
    const __m256i kG = _mm256_set1_epi32(static_cast<int32_t>((static_cast<uint32_t>(-88) << 16) | (-183 & 0xFFFF)));
    int j = 0;
    for (; j + 32 <= width; j += 32) {
        // Chroma in order, 16 values; the in-lane unpack/pack pairs below keep
        // that order, and the final lane permutes put the pixels back in row order.
        __m256i u16 =
            _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u + j / 2))), k128);
        __m256i v16 =
            _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + j / 2))), k128);
        __m256i rv = _mm256_mulhi_epi16(_mm256_slli_epi16(v16, 3), kR);
        __m256i bu = _mm256_mulhi_epi16(_mm256_slli_epi16(u16, 4), kB);
        __m256i gLo = _mm256_srai_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(v16, u16), kG), 8);
        __m256i gHi = _mm256_srai_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(v16, u16), kG), 8);
        __m256i gv = _mm256_packs_epi32(gLo, gHi);
        __m256i rvL = _mm256_unpacklo_epi16(rv, rv), rvH = _mm256_unpackhi_epi16(rv, rv);
        __m256i gvL = _mm256_unpacklo_epi16(gv, gv), gvH = _mm256_unpackhi_epi16(gv, gv);
        __m256i buL = _mm256_unpacklo_epi16(bu, bu), buH = _mm256_unpackhi_epi16(bu, bu);
        for (int row = 0; row < 2; ++row) {
            const uint8_t* yRow = row == 0 ? y0 : y1;
            if (!yRow)
                break;
            uint32_t* outRow = row == 0 ? out0 : out1;
            __m256i yy = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(yRow + j));
            __m256i yL = _mm256_unpacklo_epi8(yy, zero), yH = _mm256_unpackhi_epi8(yy, zero);
            __m256i r = _mm256_packus_epi16(_mm256_add_epi16(yL, rvL), _mm256_add_epi16(yH, rvH));
            __m256i g = _mm256_packus_epi16(_mm256_add_epi16(yL, gvL), _mm256_add_epi16(yH, gvH));
            __m256i b = _mm256_packus_epi16(_mm256_add_epi16(yL, buL), _mm256_add_epi16(yH, buH));
            __m256i bgL = _mm256_unpacklo_epi8(b, g), bgH = _mm256_unpackhi_epi8(b, g);
            __m256i r0L = _mm256_unpacklo_epi8(r, ones), r0H = _mm256_unpackhi_epi8(r, ones);
            __m256i pa = _mm256_unpacklo_epi16(bgL, r0L); // pixels 0-3 | 16-19
            __m256i pb = _mm256_unpackhi_epi16(bgL, r0L); // 4-7 | 20-23
            __m256i pc = _mm256_unpacklo_epi16(bgH, r0H); // 8-11 | 24-27
            __m256i pd = _mm256_unpackhi_epi16(bgH, r0H); // 12-15 | 28-31
            __m256i* dst = reinterpret_cast<__m256i*>(outRow + j);
            _mm256_storeu_si256(dst + 0, _mm256_permute2x128_si256(pa, pb, 0x20));
            _mm256_storeu_si256(dst + 1, _mm256_permute2x128_si256(pc, pd, 0x20));
            _mm256_storeu_si256(dst + 2, _mm256_permute2x128_si256(pa, pb, 0x31));
            _mm256_storeu_si256(dst + 3, _mm256_permute2x128_si256(pc, pd, 0x31));
        }
    }
    if (j < width)
        ConvertRowsSse2(y0 + j, y1 ? y1 + j : nullptr, u + j / 2, v + j / 2, width - j, out0 + j,
                        y1 ? out1 + j : nullptr);
}

using RowsFunction = void (*)(const uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, int, uint32_t*,
                              uint32_t*);

bool HasAvx2() {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}

} // namespace

void ToRGB32Reference(const uint8_t* const planes[3], const int lineSizes[3], int width, int height, uint32_t* out) {
    for (int i = 0; i < height; ++i) {
        const uint8_t* y = planes[0] + static_cast<std::ptrdiff_t>(i) * lineSizes[0];
        const uint8_t* u = planes[1] + static_cast<std::ptrdiff_t>(i >> 1) * lineSizes[1];
        const uint8_t* v = planes[2] + static_cast<std::ptrdiff_t>(i >> 1) * lineSizes[2];
        int32_t rv = 0, gvu = 0, bu = 0;
        for (int j = 0; j < width; ++j) {
            if ((j & 1) == 0) {
                int32_t uu = static_cast<int32_t>(u[j >> 1]) - 128;
                int32_t vv = static_cast<int32_t>(v[j >> 1]) - 128;
                rv = 359 * vv;
                gvu = -183 * vv - 88 * uu;
                bu = 454 * uu;
            }
            int32_t yy = 256 * static_cast<int32_t>(y[j]);
            uint32_t r = Clamp255((yy + rv) >> 8);
            uint32_t g = Clamp255((yy + gvu) >> 8);
            uint32_t b = Clamp255((yy + bu) >> 8);
            *out++ = kOpaque + r * 65536 + g * 256 + b;
        }
    }
}

namespace {

void ConvertWith(RowsFunction rows, const uint8_t* const planes[3], const int lineSizes[3], int width, int height,
                 uint32_t* out) {
    const std::ptrdiff_t outStride = width;
    // Rows 2k and 2k + 1 share their chroma row: convert them together.
    for (int i = 0; i < height; i += 2) {
        const uint8_t* y0 = planes[0] + static_cast<std::ptrdiff_t>(i) * lineSizes[0];
        const uint8_t* y1 = i + 1 < height ? y0 + lineSizes[0] : nullptr;
        const uint8_t* u = planes[1] + static_cast<std::ptrdiff_t>(i >> 1) * lineSizes[1];
        const uint8_t* v = planes[2] + static_cast<std::ptrdiff_t>(i >> 1) * lineSizes[2];
        uint32_t* out0 = out + i * outStride;
        rows(y0, y1, u, v, width, out0, y1 ? out0 + outStride : nullptr);
    }
}

} // namespace

void ToRGB32(const uint8_t* const planes[3], const int lineSizes[3], int width, int height, uint32_t* out) {
    ConvertWith(HasAvx2() ? ConvertRowsAvx2 : ConvertRowsSse2, planes, lineSizes, width, height, out);
}

void ToRGB32Sse2(const uint8_t* const planes[3], const int lineSizes[3], int width, int height, uint32_t* out) {
    ConvertWith(ConvertRowsSse2, planes, lineSizes, width, height, out);
}

const char* ToRGB32Variant() {
    return HasAvx2() ? "avx2" : "sse2";
}
