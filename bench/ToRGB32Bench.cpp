// ToRGB32 (fast and reference) against libswscale (yuv420p -> bgra, one
// thread, same size) and libyuv's I420ToARGB, in one run, at three sizes.
#include "media/ToRGB32.h"

#include <libyuv.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

double BestMsPerPicture(const std::function<void()>& convert, int pixels) {
    // Enough pictures for ~150 ms per round; the best of five rounds.
    int perRound = std::max(3, 150000000 / std::max(pixels, 1) / 4);
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < perRound; ++i)
            convert();
        std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count() / perRound);
    }
    return best;
}

} // namespace

int main() {
    std::printf("ToRGB32 fast variant: %s\n", ToRGB32Variant());
    std::printf("%-10s %10s %10s %10s %10s %10s %9s %9s %9s\n", "size", "ours ms", "sse2 ms", "reference", "swscale",
                "libyuv", "sws/ours", "ours/yuv", "sse2/yuv");
    const int sizes[][2] = {{640, 360}, {1280, 720}, {1920, 1080}};
    for (auto& size : sizes) {
        const int w = size[0], h = size[1], cw = (w + 1) / 2, ch = (h + 1) / 2;
        std::vector<uint8_t> y(static_cast<size_t>(w) * h), u(static_cast<size_t>(cw) * ch), v(u.size());
        for (int i = 0; i < h; ++i)
            for (int j = 0; j < w; ++j)
                y[static_cast<size_t>(i) * w + j] = static_cast<uint8_t>((i + j) * 255 / (w + h));
        for (size_t i = 0; i < u.size(); ++i) {
            u[i] = static_cast<uint8_t>(i * 7);
            v[i] = static_cast<uint8_t>(255 - i * 3);
        }
        const uint8_t* planes[3] = {y.data(), u.data(), v.data()};
        const int lineSizes[3] = {w, cw, cw};
        std::vector<uint32_t> out(static_cast<size_t>(w) * h);

        double ours = BestMsPerPicture([&] { ToRGB32(planes, lineSizes, w, h, out.data()); }, w * h);
        double sse2 = BestMsPerPicture([&] { ToRGB32Sse2(planes, lineSizes, w, h, out.data()); }, w * h);
        double reference = BestMsPerPicture([&] { ToRGB32Reference(planes, lineSizes, w, h, out.data()); }, w * h);

        SwsContext* sws =
            sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_BGRA, SWS_POINT, nullptr, nullptr, nullptr);
        uint8_t* dst[4] = {reinterpret_cast<uint8_t*>(out.data()), nullptr, nullptr, nullptr};
        int dstStride[4] = {w * 4, 0, 0, 0};
        double swscale = BestMsPerPicture([&] { sws_scale(sws, planes, lineSizes, 0, h, dst, dstStride); }, w * h);
        sws_freeContext(sws);

        double yuv = BestMsPerPicture(
            [&] {
                libyuv::I420ToARGB(y.data(), w, u.data(), cw, v.data(), cw, reinterpret_cast<uint8_t*>(out.data()),
                                   w * 4, w, h);
            },
            w * h);

        char name[32];
        std::snprintf(name, sizeof name, "%dx%d", w, h);
        std::printf("%-10s %10.3f %10.3f %10.3f %10.3f %10.3f %9.2f %9.2f %9.2f\n", name, ours, sse2, reference,
                    swscale, yuv, swscale / ours, ours / yuv, sse2 / yuv);
    }
    std::printf("sws/ours > 1: ours is faster than libswscale; ours/yuv: time relative to libyuv (1 = equal)\n");
    return 0;
}
