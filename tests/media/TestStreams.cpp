#include "TestStreams.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
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

} // namespace TestStreams
