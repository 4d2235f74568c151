#include "media/PictureScaler.h"

#include <algorithm>

#include <immintrin.h>

namespace {

inline uint8_t Average4(const uint8_t* row0, const uint8_t* row1, int j) {
    // The same rounding as two pairwise averages, like the vector code.
    const int top = (row0[2 * j] + row1[2 * j] + 1) >> 1;
    const int bottom = (row0[2 * j + 1] + row1[2 * j + 1] + 1) >> 1;
    return static_cast<uint8_t>((top + bottom + 1) >> 1);
}

// One row of horizontal bilinear samples, plain.
void ResizeRow(const uint8_t* row, const int* first, const int* weight, int count, uint8_t* dst) {
    for (int k = 0; k < count; ++k) {
        const int x0 = first[k], fx = weight[k];
        dst[k] = static_cast<uint8_t>((row[x0] * (256 - fx) + row[x0 + 1] * fx + 128) >> 8);
    }
}

// Sixteen bytes picked from two registers by two masks (0x80: from the other).
__attribute__((target("ssse3"))) inline __m128i Pick(__m128i low, __m128i high, const uint8_t* lowMask,
                                                     const uint8_t* highMask) {
    return _mm_or_si128(_mm_shuffle_epi8(low, _mm_load_si128(reinterpret_cast<const __m128i*>(lowMask))),
                        _mm_shuffle_epi8(high, _mm_load_si128(reinterpret_cast<const __m128i*>(highMask))));
}

// The same, sixteen samples at a time: byte shuffles pick both source
// samples of each from 32 bytes of the row, and one multiply-add per pair
// weighs them. The row needs 32 spare bytes at its end.
__attribute__((target("ssse3"))) void ResizeRowSsse3(const uint8_t* row, const PictureScaler::Axis& x, uint8_t* dst) {
    const __m128i round = _mm_set1_epi16(32);
    for (size_t g = 0; g < x.groups.size(); ++g) {
        const PictureScaler::Axis::Group& group = x.groups[g];
        const int k = static_cast<int>(g) * 16;
        if (!group.fits) {
            ResizeRow(row, x.first.data() + k, x.weight.data() + k, std::min(16, x.outSize - k), dst + k);
            continue;
        }
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + group.base));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + group.base + 16));
        const __m128i a = Pick(low, high, group.firstLow, group.firstHigh);
        const __m128i b = Pick(low, high, group.secondLow, group.secondHigh);
        const __m128i* w = reinterpret_cast<const __m128i*>(group.weights);
        const __m128i s0 = _mm_maddubs_epi16(_mm_unpacklo_epi8(a, b), _mm_load_si128(w));
        const __m128i s1 = _mm_maddubs_epi16(_mm_unpackhi_epi8(a, b), _mm_load_si128(w + 1));
        _mm_storeu_si128(
            reinterpret_cast<__m128i*>(dst + k),
            _mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(s0, round), 6), _mm_srli_epi16(_mm_add_epi16(s1, round), 6)));
    }
}

bool HasSsse3() {
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    return ssse3;
}

int ChromaSize(int lumaSize) {
    return (lumaSize + 1) / 2;
}

// Lays out a picture of width x height in `store`, planes packed.
PlanarPicture Allocate(int width, int height, std::vector<uint8_t>& store) {
    PlanarPicture out;
    out.width = width;
    out.height = height;
    const size_t lumaBytes = static_cast<size_t>(width) * static_cast<size_t>(height);
    const size_t chromaBytes = static_cast<size_t>(ChromaSize(width)) * static_cast<size_t>(ChromaSize(height));
    if (store.size() < lumaBytes + 2 * chromaBytes)
        store.resize(lumaBytes + 2 * chromaBytes);
    out.data[0] = store.data();
    out.data[1] = store.data() + lumaBytes;
    out.data[2] = store.data() + lumaBytes + chromaBytes;
    out.lineSize[0] = width;
    out.lineSize[1] = out.lineSize[2] = ChromaSize(width);
    return out;
}

// One halving step of a whole picture into `store`, of its columns, its rows
// or both. Halved luma sizes stay even, so the halved chroma planes always lie
// inside the chroma planes given.
PlanarPicture Halve(const PlanarPicture& in, bool columns, bool rows, std::vector<uint8_t>& store) {
    PlanarPicture out =
        Allocate(columns ? (in.width / 4) * 2 : in.width, rows ? (in.height / 4) * 2 : in.height, store);
    for (int p = 0; p < 3; ++p) {
        const int width = p == 0 ? out.width : ChromaSize(out.width);
        const int height = p == 0 ? out.height : ChromaSize(out.height);
        PictureScaler::HalvePlane(in.data[p], in.lineSize[p], width, height, const_cast<uint8_t*>(out.data[p]),
                                  out.lineSize[p], columns, rows);
    }
    return out;
}

} // namespace

void PictureScaler::HalvePlane(const uint8_t* in, int inLineSize, int outWidth, int outHeight, uint8_t* out,
                               int outLineSize, bool columns, bool rows) {
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    for (int i = 0; i < outHeight; ++i) {
        const uint8_t* row0 = in + static_cast<std::ptrdiff_t>(rows ? 2 * i : i) * inLineSize;
        const uint8_t* row1 = rows ? row0 + inLineSize : row0;
        uint8_t* dst = out + static_cast<std::ptrdiff_t>(i) * outLineSize;
        int j = 0;
        if (!columns) {
            for (; j + 16 <= outWidth; j += 16)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + j),
                                 _mm_avg_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row0 + j)),
                                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(row1 + j))));
            for (; j < outWidth; ++j)
                dst[j] = static_cast<uint8_t>((row0[j] + row1[j] + 1) >> 1);
            continue;
        }
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

void PictureScaler::Axis::Build(int in, int out) {
    if (in == inSize && out == outSize)
        return;
    inSize = in;
    outSize = out;
    first.resize(static_cast<size_t>(out));
    weight.resize(static_cast<size_t>(out));
    for (int o = 0; o < out; ++o) {
        // Sample centres map onto each other.
        const int fixed = std::max(0, static_cast<int>((2 * int64_t{o} + 1) * in * 128 / out) - 128);
        const int index = std::min(fixed >> 8, in - 1);
        first[static_cast<size_t>(o)] = index;
        weight[static_cast<size_t>(o)] = index + 1 < in ? (fixed & 0xFF) : 0;
    }
    groups.assign(static_cast<size_t>((out + 15) / 16), Group{});
    for (size_t g = 0; g < groups.size(); ++g) {
        Group& group = groups[g];
        const int k0 = static_cast<int>(g) * 16;
        group.base = first[static_cast<size_t>(k0)];
        group.fits = k0 + 16 <= out && first[static_cast<size_t>(k0 + 15)] + 1 - group.base < 32;
        for (int i = 0; group.fits && i < 16; ++i) {
            const int a = first[static_cast<size_t>(k0 + i)] - group.base;
            const int b = a + (weight[static_cast<size_t>(k0 + i)] > 0 ? 1 : 0);
            group.firstLow[i] = static_cast<uint8_t>(a < 16 ? a : 0x80);
            group.firstHigh[i] = static_cast<uint8_t>(a >= 16 ? a - 16 : 0x80);
            group.secondLow[i] = static_cast<uint8_t>(b < 16 ? b : 0x80);
            group.secondHigh[i] = static_cast<uint8_t>(b >= 16 ? b - 16 : 0x80);
            const int second = (weight[static_cast<size_t>(k0 + i)] + 2) >> 2;
            group.weights[2 * i] = static_cast<int8_t>(64 - second);
            group.weights[2 * i + 1] = static_cast<int8_t>(second);
        }
    }
}

void PictureScaler::ResizePlane(const uint8_t* in, int inLineSize, const Axis& x, const Axis& y, uint8_t* out,
                                int outLineSize, std::vector<uint8_t>& rowStore) {
    if (rowStore.size() < static_cast<size_t>(x.inSize) + 32)
        rowStore.resize(static_cast<size_t>(x.inSize) + 32);
    const bool ssse3 = HasSsse3();
    uint8_t* row = rowStore.data();
    const __m128i zero = _mm_setzero_si128();
    const __m128i half = _mm_set1_epi16(128);
    for (int o = 0; o < y.outSize; ++o) {
        const int fy = y.weight[static_cast<size_t>(o)];
        const uint8_t* row0 = in + static_cast<std::ptrdiff_t>(y.first[static_cast<size_t>(o)]) * inLineSize;
        const uint8_t* row1 = fy > 0 ? row0 + inLineSize : row0;
        // Vertical blend of the two source rows, 16 samples at a time.
        const __m128i w1 = _mm_set1_epi16(static_cast<int16_t>(fy));
        const __m128i w0 = _mm_set1_epi16(static_cast<int16_t>(256 - fy));
        int i = 0;
        for (; i + 16 <= x.inSize; i += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row0 + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row1 + i));
            const __m128i lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(a, zero), w0),
                                             _mm_mullo_epi16(_mm_unpacklo_epi8(b, zero), w1));
            const __m128i hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(a, zero), w0),
                                             _mm_mullo_epi16(_mm_unpackhi_epi8(b, zero), w1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i),
                             _mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(lo, half), 8),
                                              _mm_srli_epi16(_mm_add_epi16(hi, half), 8)));
        }
        for (; i < x.inSize; ++i)
            row[i] = static_cast<uint8_t>((row0[i] * (256 - fy) + row1[i] * fy + 128) >> 8);
        row[x.inSize] = row[x.inSize - 1]; // the second sample of the last column
        uint8_t* dst = out + static_cast<std::ptrdiff_t>(o) * outLineSize;
        if (ssse3)
            ResizeRowSsse3(row, x, dst);
        else
            ResizeRow(row, x.first.data(), x.weight.data(), x.outSize, dst);
    }
}

const PlanarPicture& PictureScaler::Scale(const PlanarPicture& in, int width, int height) {
    if (width <= 0 || height <= 0 || (width == in.width && height == in.height))
        return in;
    const PlanarPicture* current = &in;
    int next = 0;
    for (;;) {
        const bool columns = (current->width / 4) * 2 >= width;
        const bool rows = (current->height / 4) * 2 >= height;
        if (!columns && !rows)
            break;
        m_out = Halve(*current, columns, rows, m_store[next]);
        current = &m_out;
        next ^= 1;
    }
    if (current->width == width && current->height == height)
        return *current;
    const PlanarPicture from = *current;
    m_out = Allocate(width, height, m_store[next]);
    m_axes[0][0].Build(from.width, width);
    m_axes[0][1].Build(from.height, height);
    m_axes[1][0].Build(ChromaSize(from.width), ChromaSize(width));
    m_axes[1][1].Build(ChromaSize(from.height), ChromaSize(height));
    for (int p = 0; p < 3; ++p) {
        const Axis* axes = m_axes[p == 0 ? 0 : 1];
        ResizePlane(from.data[p], from.lineSize[p], axes[0], axes[1], const_cast<uint8_t*>(m_out.data[p]),
                    m_out.lineSize[p], m_row);
    }
    return m_out;
}
