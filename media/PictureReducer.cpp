#include "PictureReducer.h"

#include <immintrin.h>

namespace {

inline uint8_t Average4(const uint8_t* row0, const uint8_t* row1, int j) {
    // The same rounding as two pairwise averages, like the vector code.
    const int top = (row0[2 * j] + row1[2 * j] + 1) >> 1;
    const int bottom = (row0[2 * j + 1] + row1[2 * j + 1] + 1) >> 1;
    return static_cast<uint8_t>((top + bottom + 1) >> 1);
}

// One halving step of a whole picture into `store`. Luma sizes stay even, so
// the halved chroma planes always cover the halved luma.
PlanarPicture Halve(const PlanarPicture& in, std::vector<uint8_t>& store) {
    PlanarPicture out;
    out.width = (in.width / 4) * 2;
    out.height = (in.height / 4) * 2;
    const int chromaWidth = out.width / 2, chromaHeight = out.height / 2;
    const size_t lumaBytes = static_cast<size_t>(out.width) * static_cast<size_t>(out.height);
    const size_t chromaBytes = static_cast<size_t>(chromaWidth) * static_cast<size_t>(chromaHeight);
    if (store.size() < lumaBytes + 2 * chromaBytes)
        store.resize(lumaBytes + 2 * chromaBytes);
    uint8_t* planes[3] = {store.data(), store.data() + lumaBytes, store.data() + lumaBytes + chromaBytes};
    const int sizes[3][2] = {{out.width, out.height}, {chromaWidth, chromaHeight}, {chromaWidth, chromaHeight}};
    for (int p = 0; p < 3; ++p) {
        PictureReducer::HalvePlane(in.data[p], in.lineSize[p], sizes[p][0] * 2, sizes[p][1] * 2, planes[p],
                                   sizes[p][0]);
        out.data[p] = planes[p];
        out.lineSize[p] = sizes[p][0];
    }
    return out;
}

} // namespace

void PictureReducer::HalvePlane(const uint8_t* in, int inLineSize, int width, int height, uint8_t* out,
                                int outLineSize) {
    const int outWidth = width / 2;
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    for (int i = 0; i < height / 2; ++i) {
        const uint8_t* row0 = in + static_cast<std::ptrdiff_t>(2 * i) * inLineSize;
        const uint8_t* row1 = row0 + inLineSize;
        uint8_t* dst = out + static_cast<std::ptrdiff_t>(i) * outLineSize;
        int j = 0;
        for (; j + 16 <= outWidth; j += 16) {
            const __m128i v0 = _mm_avg_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row0 + 2 * j)),
                                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row1 + 2 * j)));
            const __m128i v1 = _mm_avg_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row0 + 2 * j + 16)),
                                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(row1 + 2 * j + 16)));
            const __m128i h0 = _mm_avg_epu16(_mm_and_si128(v0, lowBytes), _mm_srli_epi16(v0, 8));
            const __m128i h1 = _mm_avg_epu16(_mm_and_si128(v1, lowBytes), _mm_srli_epi16(v1, 8));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + j), _mm_packus_epi16(h0, h1));
        }
        for (; j < outWidth; ++j)
            dst[j] = Average4(row0, row1, j);
    }
}

const PlanarPicture& PictureReducer::Reduce(const PlanarPicture& in, int minWidth, int minHeight) {
    const PlanarPicture* current = &in;
    int next = 0;
    while (minWidth > 0 && minHeight > 0 && (current->width / 4) * 2 >= minWidth &&
           (current->height / 4) * 2 >= minHeight) {
        m_out = Halve(*current, m_store[next]);
        current = &m_out;
        next ^= 1;
    }
    return *current;
}
