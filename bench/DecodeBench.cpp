// One pane's cost per picture: H.264 decoding (libavcodec, one thread, the
// send/receive calls the decode thread makes) plus the conversion to RGB32,
// against `ffmpeg -threads 1 -i <stream> -pix_fmt bgra -f null -` on the
// same stream, in one run.
#include "media/ToRGB32.h"
#include "tests/support/TestStreams.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string RunCapture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return out;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0)
        out.append(chunk, n);
    pclose(pipe);
    return out;
}

// Decodes and converts every frame; returns seconds and the picture count.
double DecodeAndConvert(const std::vector<std::vector<uint8_t>>& frames, int& pictures, bool convert = true) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    avcodec_open2(ctx, codec, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<uint32_t> rgb;
    pictures = 0;
    auto start = std::chrono::steady_clock::now();
    auto receive = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            if (convert) {
                rgb.resize(static_cast<size_t>(frame->width) * frame->height);
                ToRGB32(frame->data, frame->linesize, frame->width, frame->height, rgb.data());
            }
            ++pictures;
            av_frame_unref(frame);
        }
    };
    for (const auto& f : frames) {
        packet->data = const_cast<uint8_t*>(f.data());
        packet->size = static_cast<int>(f.size());
        packet->flags = AV_PKT_FLAG_KEY;
        avcodec_send_packet(ctx, packet);
        receive();
    }
    avcodec_send_packet(ctx, nullptr);
    receive();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    return took.count();
}

// ffmpeg's own real time for the whole run (its -benchmark line), which
// leaves out process start-up.
// extra = "-filter_threads 1" keeps its conversion on one thread too.
double FfmpegSeconds(const std::string& path, const std::string& extra = "") {
    std::string out = RunCapture("ffmpeg -nostdin -hide_banner -benchmark " + extra + " -threads 1 -i '" + path +
                                 "' -pix_fmt bgra -f null - 2>&1");
    size_t at = out.find("rtime=");
    return at == std::string::npos ? -1 : std::atof(out.c_str() + at + 6);
}

} // namespace

int main() {
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("vantor-decodebench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::printf("ToRGB32 variant: %s\n", ToRGB32Variant());
    std::printf("%-10s %8s %12s %12s %14s %12s %12s %12s\n", "stream", "pictures", "ours ms/pic", "decode only",
                "ffmpeg ms/pic", "ours/ffmpeg", "ffmpeg 1 thr", "ours/1 thr");
    const int sizes[][2] = {{640, 360}, {1280, 720}, {1920, 1080}};
    for (auto& size : sizes) {
        char name[64];
        std::snprintf(name, sizeof name, "%dx%d", size[0], size[1]);
        std::string path = (folder / (std::string(name) + ".h264")).string();
        // A camera-like stream: x264 baseline, 25 frames a second, a key frame a second, 10 s.
        std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::string(name) +
                           ":rate=25 -t 10 -c:v libx264 -profile:v baseline -bf 0 -g 25 -f h264 '" + path + "'";
        if (std::system(make.c_str()) != 0) {
            std::printf("%-10s cannot make the stream\n", name);
            continue;
        }
        auto frames = TestStreams::ReadAccessUnits(path);
        double ours = 1e9, decodeOnly = 1e9, theirs = 1e9, theirsOne = 1e9;
        int pictures = 0, decoded = 0;
        for (int round = 0; round < 3; ++round) {
            ours = std::min(ours, DecodeAndConvert(frames, pictures));
            decodeOnly = std::min(decodeOnly, DecodeAndConvert(frames, decoded, false));
            double f = FfmpegSeconds(path);
            if (f > 0)
                theirs = std::min(theirs, f);
            f = FfmpegSeconds(path, "-filter_threads 1");
            if (f > 0)
                theirsOne = std::min(theirsOne, f);
        }
        const double n = static_cast<double>(std::max(pictures, 1));
        double oursMs = ours * 1000 / n, decodeMs = decodeOnly * 1000 / n;
        double theirsMs = theirs * 1000 / n, theirsOneMs = theirsOne * 1000 / n;
        std::printf("%-10s %8d %12.3f %12.3f %14.3f %12.2f %12.3f %12.2f\n", name, pictures, oursMs, decodeMs, theirsMs,
                    oursMs / theirsMs, theirsOneMs, oursMs / theirsOneMs);
    }
    std::filesystem::remove_all(folder);
    std::printf("ours/ffmpeg < 1: one pane decodes and converts faster than ffmpeg does the same\n");
    return 0;
}
