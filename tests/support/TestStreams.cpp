#include "tests/support/TestStreams.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace TestStreams {

namespace {

std::filesystem::path CacheFolder() {
    std::filesystem::path folder = std::filesystem::path(VANTOR_BINARY_DIR) / "test-streams";
    std::filesystem::create_directories(folder);
    return folder;
}

// Makes the file once: written under a temporary name, then renamed, so a
// test running in parallel never reads half a file.
std::string Cached(const std::string& name, const std::string& ffmpegArguments) {
    std::filesystem::path path = CacheFolder() / name;
    if (!std::filesystem::exists(path)) {
        std::string temporary = path.string() + ".part" + std::to_string(getpid());
        int status = 0;
        Run("ffmpeg -nostdin -v error -y " + ffmpegArguments + " '" + temporary + "'", &status);
        if (status != 0)
            throw std::runtime_error("ffmpeg failed making " + name);
        std::filesystem::rename(temporary, path);
    }
    return path.string();
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

std::string Run(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + command);
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
        out.append(chunk.data(), n);
    int result = pclose(pipe);
    if (status)
        *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return out;
}

std::string TempFolder(const std::string& name) {
    std::filesystem::path folder =
        std::filesystem::path(VANTOR_BINARY_DIR) / "test-tmp" / (name + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder.string();
}

std::vector<Frame> ReadAccessUnits(const std::string& path) {
    // The raw H.264 demuxer cuts the byte stream into access units.
    std::vector<Frame> frames;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), av_find_input_format("h264"), nullptr) < 0)
        throw std::runtime_error("cannot open " + path);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        frames.emplace_back(packet->data, packet->data + packet->size);
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&input);
    return frames;
}

std::vector<Frame> H264(int width, int height, double seconds, const std::string& extraX264,
                        const std::string& pixelFormat, const std::string& profile) {
    std::string params = "repeat-headers=1:keyint=25:min-keyint=25:scenecut=0";
    if (!extraX264.empty())
        params += ":" + extraX264;
    std::string name = "video-" + std::to_string(width) + "x" + std::to_string(height) + "-" +
                       std::to_string(static_cast<int>(seconds * 1000)) + "-" + pixelFormat + "-" + profile + "-" +
                       extraX264 + ".h264";
    for (char& c : name)
        if (c == '=' || c == ':')
            c = '_';
    std::string path =
        Cached(name, "-f lavfi -i testsrc2=size=" + std::to_string(width) + "x" + std::to_string(height) +
                         ":rate=25 -t " + std::to_string(seconds) + " -pix_fmt " + pixelFormat +
                         " -c:v libx264 -profile:v " + profile + " -bf 0 -x264-params " + params + " -f h264");
    return ReadAccessUnits(path);
}

std::vector<Frame> Aac(int sampleRate, int channels, double seconds) {
    std::string name = "audio-" + std::to_string(sampleRate) + "-" + std::to_string(channels) + "-" +
                       std::to_string(static_cast<int>(seconds * 1000)) + ".aac";
    std::string path =
        Cached(name, "-f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(sampleRate) + " -t " +
                         std::to_string(seconds) + " -ac " + std::to_string(channels) + " -c:a aac -b:a 32k -f adts");
    std::vector<uint8_t> bytes = ReadFile(path);
    std::vector<Frame> frames;
    size_t at = 0;
    while (at + 7 <= bytes.size() && bytes[at] == 0xFF && (bytes[at + 1] & 0xF0) == 0xF0) {
        size_t length = ((bytes[at + 3] & 3u) << 11) | (bytes[at + 4] << 3) | (bytes[at + 5] >> 5);
        if (length < 7 || at + length > bytes.size())
            break;
        frames.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                            bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += length;
    }
    return frames;
}

std::vector<Packet> ReadPackets(const std::string& path) {
    std::vector<Packet> packets;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0)
        return packets;
    avformat_find_stream_info(input, nullptr);
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        const AVStream* stream = input->streams[packet->stream_index];
        const double tb = av_q2d(stream->time_base);
        packets.push_back({stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO, packet->pts * tb, packet->dts * tb,
                           packet->duration * tb, (packet->flags & AV_PKT_FLAG_KEY) != 0});
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&input);
    return packets;
}

Mp4Layout ReadMp4Layout(const std::string& path) {
    std::vector<uint8_t> bytes = ReadFile(path);
    auto u32 = [&](size_t at) {
        return at + 4 > bytes.size() ? 0u
                                     : uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
                                           uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
    };
    auto u64 = [&](size_t at) { return uint64_t{u32(at)} << 32 | u32(at + 4); };
    Mp4Layout layout;
    for (size_t at = 0; at + 8 <= bytes.size();) {
        uint64_t size = u32(at);
        size_t header = 8;
        if (size == 1) {
            size = u64(at + 8);
            header = 16;
        } else if (size == 0) {
            size = bytes.size() - at;
        }
        std::string type(bytes.begin() + static_cast<std::ptrdiff_t>(at + 4),
                         bytes.begin() + static_cast<std::ptrdiff_t>(at + 8));
        layout.boxes.push_back(type);
        if (type == "moov" && u32(at + header + 4) == 0x6D766864) { // its first child is the mvhd
            size_t mvhd = at + header + 8;
            bool wide = bytes[mvhd] == 1;
            uint32_t scale = u32(mvhd + (wide ? 20 : 12));
            uint64_t duration = wide ? u64(mvhd + 24) : u32(mvhd + 16);
            layout.movieSeconds = scale ? static_cast<double>(duration) / scale : 0;
        }
        if (size < header)
            break;
        at += size;
    }
    return layout;
}

std::string DecodeErrors(const std::string& path) {
    int status = 0;
    std::string errors = Run("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1", &status);
    return status == 0 ? errors : "exit status " + std::to_string(status) + ": " + errors;
}

std::string PlainMp4Problems(const std::string& path) {
    std::string problems;
    Mp4Layout layout = ReadMp4Layout(path);
    if (layout.boxes != std::vector<std::string>{"ftyp", "mdat", "moov"}) {
        problems += "boxes:";
        for (const std::string& box : layout.boxes)
            problems += " " + box;
        problems += "\n";
    }
    std::vector<Packet> packets = ReadPackets(path);
    double begin = 1e9, end = 0;
    const Packet* previous = nullptr;
    for (const Packet& p : packets) {
        begin = std::min(begin, p.pts);
        end = std::max(end, p.pts + p.duration);
        if (!p.video)
            continue;
        if (previous && p.dts <= previous->dts)
            problems +=
                "video decode time " + std::to_string(p.dts) + " s after " + std::to_string(previous->dts) + "\n";
        previous = &p;
    }
    if (packets.empty() || std::abs(layout.movieSeconds - (end - begin)) > (end - begin) * 0.1)
        problems += "movie length " + std::to_string(layout.movieSeconds) + " s for media of " +
                    std::to_string(end - begin) + " s\n";
    return problems + DecodeErrors(path);
}

std::string FragmentProblems(const std::string& path) {
    std::vector<uint8_t> bytes = ReadFile(path);
    auto u32 = [&](size_t at) {
        return at + 4 > bytes.size() ? 0u
                                     : uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
                                           uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
    };
    auto type = [&](size_t at) { return std::string(reinterpret_cast<const char*>(&bytes[at + 4]), 4); };
    std::string problems;
    std::map<uint32_t, int64_t> ends; // track id -> where its last fragment ended
    int fragments = 0;
    // A traf: tfhd (track id), tfdt (start), trun (per-sample durations).
    auto traf = [&](size_t at, size_t end) {
        uint32_t track = 0;
        int64_t start = -1, length = 0;
        for (size_t box = at; box + 8 <= end && u32(box) >= 8; box += u32(box)) {
            if (type(box) == "tfhd")
                track = u32(box + 12);
            else if (type(box) == "tfdt")
                start = bytes[box + 8] == 1 ? int64_t{u32(box + 12)} << 32 | u32(box + 16) : u32(box + 12);
            if (type(box) != "trun")
                continue;
            const uint32_t flags = u32(box + 8) & 0xFFFFFF;
            const uint32_t count = u32(box + 12);
            size_t sample = box + 16 + (flags & 1 ? 4 : 0) + (flags & 4 ? 4 : 0);
            const size_t fields = __builtin_popcount(flags & 0xF00);
            for (uint32_t i = 0; i < count && (flags & 0x100); ++i, sample += 4 * fields) {
                if (u32(sample) == 0)
                    problems += "track " + std::to_string(track) + ": a sample of no length\n";
                length += u32(sample);
            }
        }
        if (ends.count(track) && ends[track] != start)
            problems += "track " + std::to_string(track) + ": fragment " + std::to_string(fragments) + " starts at " +
                        std::to_string(start) + ", the one before ends at " + std::to_string(ends[track]) + "\n";
        ends[track] = start + length;
    };
    std::function<void(size_t, size_t)> walk = [&](size_t at, size_t end) {
        while (at + 8 <= end) {
            uint64_t size = u32(at);
            if (size == 1) { // the mdat of a finished recording: the fragments are inside
                walk(at + 16, std::min<uint64_t>(end, at + (uint64_t{u32(at + 8)} << 32 | u32(at + 12))));
                return;
            }
            if (size < 8)
                break;
            if (type(at) == "moof") {
                ++fragments;
                for (size_t box = at + 8; box + 8 <= at + size && u32(box) >= 8; box += u32(box))
                    if (type(box) == "traf")
                        traf(box + 8, box + u32(box));
            }
            at += size;
        }
    };
    walk(0, bytes.size());
    return fragments == 0 ? "no fragments\n" : problems;
}

int BeepMarker(const uint8_t* const data[], const int linesize[], int width) {
    // The inside of the square: its edges may ring after compression.
    int minY = 255, maxY = 0, maxChroma = 0;
    for (int row = 8; row < 56; ++row) {
        for (int col = width - 56; col < width - 8; ++col) {
            int y = data[0][row * linesize[0] + col];
            minY = std::min(minY, y);
            maxY = std::max(maxY, y);
            for (int plane = 1; plane <= 2; ++plane)
                maxChroma = std::max(maxChroma, std::abs(data[plane][row / 2 * linesize[plane] + col / 2] - 128));
        }
    }
    if (minY >= 200 && maxChroma <= 12)
        return 1;
    return maxY < 200 ? 0 : -1;
}

std::vector<double> BeepOnsets(const std::vector<float>& samples, const std::vector<double>& times) {
    // The beep is at 0.5, the tone under it at 0.15: an onset is the first
    // loud sample after 50 ms without one.
    std::vector<double> onsets;
    double lastLoud = times.empty() ? 0 : times[0]; // sound that starts loud has no onset
    for (size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(samples[i]) < 0.33f)
            continue;
        if (times[i] - lastLoud > 0.05)
            onsets.push_back(times[i]);
        lastLoud = times[i];
    }
    return onsets;
}

BeepMarks FindBeepMarks(const std::string& path) {
    BeepMarks marks;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0)
        return marks;
    avformat_find_stream_info(input, nullptr);
    AVCodecContext* decoders[2] = {nullptr, nullptr};
    for (unsigned i = 0; i < input->nb_streams && i < 2; ++i) {
        const AVCodec* codec = avcodec_find_decoder(input->streams[i]->codecpar->codec_id);
        decoders[i] = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoders[i], input->streams[i]->codecpar);
        decoders[i]->thread_count = 1;
        avcodec_open2(decoders[i], codec, nullptr);
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<float> samples;
    std::vector<double> times;
    bool white = true; // a picture that starts white has no onset
    auto take = [&](int index) {
        const double tb = av_q2d(input->streams[index]->time_base);
        while (avcodec_receive_frame(decoders[index], frame) == 0) {
            const double at = frame->best_effort_timestamp * tb;
            if (decoders[index]->codec_type == AVMEDIA_TYPE_VIDEO) {
                ++marks.pictures;
                int marker = BeepMarker(frame->data, frame->linesize, frame->width);
                marks.unclearMarkers += marker < 0 ? 1 : 0;
                if (marker == 1 && !white)
                    marks.squares.push_back(at);
                white = marker != 0;
            } else {
                const float* first = reinterpret_cast<const float*>(frame->data[0]);
                for (int i = 0; i < frame->nb_samples; ++i) {
                    samples.push_back(first[i]);
                    times.push_back(at + static_cast<double>(i) / frame->sample_rate);
                }
            }
        }
    };
    while (av_read_frame(input, packet) >= 0) {
        int index = packet->stream_index;
        if (index < 2 && avcodec_send_packet(decoders[index], packet) == 0)
            take(index);
        av_packet_unref(packet);
    }
    for (int index = 0; index < 2; ++index) {
        if (decoders[index]) {
            avcodec_send_packet(decoders[index], nullptr);
            take(index);
            avcodec_free_context(&decoders[index]);
        }
    }
    marks.beeps = BeepOnsets(samples, times);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&input);
    return marks;
}

} // namespace TestStreams
