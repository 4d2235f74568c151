// The simulated camera seen through the transport: H.264 that decodes, IDRs
// with SPS and PPS at least every 2 s, access units within 48000 bytes, the
// tone as ADTS AAC, the beep marker, stamps on one clock, and media files as
// sources.
#include "CamSim.h"
#include "AacEncoder.h"
#include "P2PApi.h"
#include "P2PErrors.h"
#include "Protocol.h"
#include "TestNet.h"
#include "TestStreams.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>

using testnet::WaitUntil;

namespace {

struct Frame {
    std::vector<uint8_t> data;
    p2p::FrameInfo info;
};

// NAL unit types of an Annex B access unit, in order.
std::vector<int> NalTypes(const std::vector<uint8_t>& au) {
    std::vector<int> types;
    for (size_t i = 0; i + 3 < au.size(); ++i) {
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
            types.push_back(au[i + 3] & 0x1F);
            i += 2;
        }
    }
    return types;
}

class CamSimTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testnet::UseIsolatedPorts(3000, 1500); }
    void SetUp() override {
        ASSERT_EQ(IOTC_Initialize2(0), 0);
        ASSERT_GE(avInitialize(8), 0);
        m_dir = std::filesystem::temp_directory_path() / testnet::UniqueUid("camsim");
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override {
        avDeInitialize();
        IOTC_DeInitialize();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    // Runs a camera with `config`, watches it for `seconds` and returns what came.
    void Watch(CamSimConfig config, double seconds, std::vector<Frame>& video, std::vector<Frame>& audio) {
        std::string uid = testnet::UniqueUid("CAM");
        config.uids = {uid};
        config.settings = P2PSettings::Current();
        config.talkbackDir = m_dir.string();
        config.log = [](const std::string&) {};
        CamSim camsim(config);
        ASSERT_EQ(camsim.Start(), 0);
        int sid = IOTC_Get_SessionID();
        ASSERT_EQ(IOTC_Connect_ByUID_Parallel(uid.c_str(), sid), 0);
        int av = avClientStart2(sid, "admin", "531642", 5000, nullptr, 0, nullptr);
        ASSERT_GE(av, 0);
        ASSERT_EQ(avSendIOCtrl(av, 0x01FF, nullptr, 0), 0);
        ASSERT_EQ(avSendIOCtrl(av, 0x0300, nullptr, 0), 0);
        std::vector<char> buf(48000);
        char info[16];
        WaitUntil(
            [&] {
                int n;
                while ((n = avRecvFrameData2(av, buf.data(), 48000, nullptr, nullptr, info, 16, nullptr, nullptr)) >= 0)
                    video.push_back({std::vector<uint8_t>(buf.begin(), buf.begin() + n),
                                     p2p::DecodeFrameInfo(reinterpret_cast<uint8_t*>(info))});
                EXPECT_TRUE(n == P2P_ERR_NO_DATA) << n;
                while ((n = avRecvAudioData(av, buf.data(), 1024, info, 16, nullptr)) >= 0)
                    audio.push_back({std::vector<uint8_t>(buf.begin(), buf.begin() + n),
                                     p2p::DecodeFrameInfo(reinterpret_cast<uint8_t*>(info))});
                return false;
            },
            static_cast<int>(seconds * 1000));
        EXPECT_EQ(camsim.GetOversizedFrames(), 0);
        avClientStop(av);
        IOTC_Session_Close(sid);
    }

    // Decodes the frames; returns the number of pictures (or sound blocks)
    // and hands each to `each`.
    static int Decode(const std::vector<Frame>& frames, int& width, int& height,
                      const std::function<void(const AVFrame*)>& each = {}, AVCodecID codecId = AV_CODEC_ID_H264) {
        const AVCodec* codec = avcodec_find_decoder(codecId);
        AVCodecContext* ctx = avcodec_alloc_context3(codec);
        ctx->thread_count = 1;
        EXPECT_EQ(avcodec_open2(ctx, codec, nullptr), 0);
        AVPacket* packet = av_packet_alloc();
        AVFrame* picture = av_frame_alloc();
        int pictures = 0;
        for (const Frame& f : frames) {
            av_new_packet(packet, static_cast<int>(f.data.size()));
            std::copy(f.data.begin(), f.data.end(), packet->data);
            EXPECT_EQ(avcodec_send_packet(ctx, packet), 0);
            av_packet_unref(packet);
            while (avcodec_receive_frame(ctx, picture) == 0) {
                width = picture->width;
                height = picture->height;
                if (each)
                    each(picture);
                ++pictures;
            }
        }
        av_frame_free(&picture);
        av_packet_free(&packet);
        avcodec_free_context(&ctx);
        return pictures;
    }

    static void CheckVideo(const std::vector<Frame>& video, double fps) {
        ASSERT_FALSE(video.empty());
        EXPECT_TRUE(video[0].info.flags & p2p::kFrameFlagKey);
        uint32_t lastIdr = video[0].info.timestamp;
        for (size_t i = 0; i < video.size(); ++i) {
            const Frame& f = video[i];
            EXPECT_LE(f.data.size(), 48000u);
            std::vector<int> types = NalTypes(f.data);
            bool idr = std::find(types.begin(), types.end(), 5) != types.end();
            EXPECT_EQ(idr, (f.info.flags & p2p::kFrameFlagKey) != 0) << i;
            if (idr) {
                // SPS and PPS come before the IDR slice.
                auto sps = std::find(types.begin(), types.end(), 7);
                auto pps = std::find(types.begin(), types.end(), 8);
                auto slice = std::find(types.begin(), types.end(), 5);
                EXPECT_TRUE(sps < pps && pps < slice) << i;
                EXPECT_LE(f.info.timestamp - lastIdr, 2000000u) << i;
                lastIdr = f.info.timestamp;
            }
        }
        // Presentation times, B-frames or not: whole frame periods apart.
        std::vector<uint32_t> stamps;
        for (const Frame& f : video)
            stamps.push_back(f.info.timestamp);
        std::sort(stamps.begin(), stamps.end());
        for (size_t i = 1; i < stamps.size(); ++i) {
            double periods = (stamps[i] - stamps[i - 1]) * fps / 1e6;
            EXPECT_GE(periods, 0.999) << i;
            EXPECT_NEAR(periods, std::round(periods), 0.001) << i;
        }
        double span = (stamps.back() - stamps.front()) / 1e6;
        EXPECT_NEAR((video.size() - 1) / span, fps, fps * 0.4);
    }

    std::filesystem::path m_dir;
};

} // namespace

TEST_F(CamSimTest, TestPictureAndToneAtTheDefaultSize) {
    std::vector<Frame> video, audio;
    Watch(CamSimConfig{}, 3.0, video, audio);
    ASSERT_GE(video.size(), 50u);
    CheckVideo(video, 25);
    int width = 0, height = 0;
    // The white square shows exactly while the beep sounds, by the stamps.
    size_t picture = 0;
    EXPECT_EQ(Decode(video, width, height,
                     [&](const AVFrame* f) {
                         bool beep = AacEncoder::IsBeepTime(video[picture++].info.timestamp);
                         EXPECT_EQ(TestStreams::BeepMarker(f->data, f->linesize, f->width), beep ? 1 : 0)
                             << "picture " << picture;
                     }),
              static_cast<int>(video.size()));
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 360);
    // AAC at 8000 Hz: a frame every 128 ms, each one ADTS frame of its own length.
    ASSERT_GE(audio.size(), 15u);
    for (const Frame& a : audio) {
        ASSERT_GE(a.data.size(), 7u);
        EXPECT_EQ(a.data[0], 0xFF);
        EXPECT_EQ(a.data[1] & 0xF6, 0xF0);
        EXPECT_EQ((a.data[2] >> 2) & 0x0F, 11);                  // 8000 Hz
        EXPECT_EQ(((a.data[2] & 1) << 2) | (a.data[3] >> 6), 1); // mono
        EXPECT_EQ(((a.data[3] & 3) << 11) | (a.data[4] << 3) | (a.data[5] >> 5), static_cast<int>(a.data.size()));
    }
    double span = (audio.back().info.timestamp - audio.front().info.timestamp) / 1e6;
    EXPECT_NEAR((audio.size() - 1) / span, 8000.0 / 1024, 2.5);
    // Each frame is stamped with the time of its first sample: the beep
    // starts on the whole second.
    std::vector<float> samples;
    std::vector<double> times;
    size_t block = 0;
    Decode(
        audio, width, height,
        [&](const AVFrame* f) {
            // The first block lacks the one before it, which it overlaps.
            for (int i = 0; i < f->nb_samples && block > 0; ++i) {
                samples.push_back(reinterpret_cast<const float*>(f->data[0])[i]);
                times.push_back(audio[block].info.timestamp / 1e6 + i / 8000.0);
            }
            ++block;
        },
        AV_CODEC_ID_AAC);
    std::vector<double> onsets = TestStreams::BeepOnsets(samples, times);
    ASSERT_GE(onsets.size(), 2u);
    for (double onset : onsets)
        EXPECT_NEAR(onset, std::round(onset), 0.002) << onset;
}

TEST_F(CamSimTest, LargestSizeStaysWithinTheFrameLimit) {
    CamSimConfig config;
    config.width = 1920;
    config.height = 1080;
    config.fps = 25;
    std::vector<Frame> video, audio;
    Watch(config, 3.0, video, audio);
    ASSERT_GE(video.size(), 5u); // a loaded machine may encode slower than real time
    for (const Frame& f : video)
        EXPECT_LE(f.data.size(), 48000u);
    int width = 0, height = 0;
    EXPECT_GT(Decode(video, width, height), 0);
    EXPECT_EQ(width, 1920);
    EXPECT_EQ(height, 1080);
}

TEST_F(CamSimTest, MediaFilesAreSentInRealTimeAndLoop) {
    // H.264 files (passed through, one with B-frames) and an MPEG-4 part 2 file (re-encoded), 1 s each.
    struct Source {
        std::string name;
        std::string codec;
    };
    for (const Source& s : {Source{"clip.mp4", "libx264"}, Source{"clip-b.mp4", "libx264 -profile:v main -bf 2"},
                            Source{"clip.avi", "mpeg4"}}) {
        SCOPED_TRACE(s.name);
        std::string path = (m_dir / s.name).string();
        std::string command = "ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=20 -t 1 -c:v " + s.codec +
                              " -g 10 -pix_fmt yuv420p '" + path + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        CamSimConfig config;
        config.source = path;
        config.width = 320;
        config.height = 240;
        config.fps = 20;
        std::vector<Frame> video, audio;
        Watch(config, 2.6, video, audio);
        // More than the file holds: it loops, at its own rate.
        ASSERT_GE(video.size(), 30u);
        CheckVideo(video, 20);
        int width = 0, height = 0;
        EXPECT_GT(Decode(video, width, height), 25);
        EXPECT_EQ(width, 320);
    }
}

TEST_F(CamSimTest, BadConfigurationIsRefused) {
    auto refused = [&](const std::function<void(CamSimConfig&)>& change) {
        CamSimConfig config;
        config.uids = {testnet::UniqueUid("BAD")};
        config.settings = P2PSettings::Current();
        config.log = [](const std::string&) {};
        change(config);
        CamSim camsim(config);
        return camsim.Start() != 0;
    };
    EXPECT_TRUE(refused([](CamSimConfig& c) { c.width = 3840; }));
    EXPECT_TRUE(refused([](CamSimConfig& c) { c.height = 241; }));
    EXPECT_TRUE(refused([](CamSimConfig& c) { c.fps = 0; }));
    EXPECT_TRUE(refused([](CamSimConfig& c) { c.resizeAfterSeconds = 1; })); // no size to switch to
    EXPECT_TRUE(refused([](CamSimConfig& c) { c.uids = {"has space"}; }));
    EXPECT_TRUE(refused([](CamSimConfig& c) { c.uids.clear(); }));
    EXPECT_TRUE(refused([&](CamSimConfig& c) { c.source = (m_dir / "missing.mp4").string(); }));
}

TEST_F(CamSimTest, CheckToolReportsFramesByUid) {
    std::string uid = testnet::UniqueUid("CHECK");
    CamSimConfig config;
    config.uids = {uid};
    config.width = 320;
    config.height = 240;
    config.settings = P2PSettings::Current(); // the tool finds the same ports in the environment
    config.log = [](const std::string&) {};
    CamSim camsim(config);
    ASSERT_EQ(camsim.Start(), 0);
    std::string tool = std::string(VANTOR_BINARY_DIR) + "/tools/p2pcheck/vantor-p2pcheck";
    FILE* out = popen((tool + " --uid " + uid + " --seconds 2").c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string text;
    char line[512];
    while (std::fgets(line, sizeof line, out) != nullptr)
        text += line;
    EXPECT_EQ(pclose(out), 0) << text;
    EXPECT_NE(text.find("connected to " + uid), std::string::npos) << text;
    long video = 0, key = 0, audio = 0;
    size_t at = text.find("total video ");
    ASSERT_NE(at, std::string::npos) << text;
    ASSERT_EQ(
        std::sscanf(text.c_str() + at, "total video %ld frames (%ld key), audio %ld frames", &video, &key, &audio), 3);
    EXPECT_GT(video, 20);
    EXPECT_GE(key, 1);
    EXPECT_GT(audio, 5);

    FILE* missing = popen((tool + " --uid " + testnet::UniqueUid("NONE") + " --seconds 1").c_str(), "r");
    ASSERT_NE(missing, nullptr);
    text.clear();
    while (std::fgets(line, sizeof line, missing) != nullptr)
        text += line;
    EXPECT_NE(pclose(missing), 0);
    EXPECT_NE(text.find("no device holds the UID"), std::string::npos) << text;
}

TEST_F(CamSimTest, OneProcessServesSeveralUids) {
    CamSimConfig config;
    config.uids = {testnet::UniqueUid("MULTI"), testnet::UniqueUid("MULTI")};
    config.width = 160;
    config.height = 120;
    config.settings = P2PSettings::Current();
    config.log = [](const std::string&) {};
    CamSim camsim(config);
    ASSERT_EQ(camsim.Start(), 0);
    std::vector<int> sids, avs;
    for (const std::string& uid : config.uids) {
        int sid = IOTC_Get_SessionID();
        ASSERT_EQ(IOTC_Connect_ByUID_Parallel(uid.c_str(), sid), 0);
        int av = avClientStart2(sid, "admin", "531642", 5000, nullptr, 0, nullptr);
        ASSERT_GE(av, 0);
        ASSERT_EQ(avSendIOCtrl(av, 0x01FF, nullptr, 0), 0);
        sids.push_back(sid);
        avs.push_back(av);
    }
    std::vector<char> buf(48000);
    for (int av : avs) {
        int frames = 0;
        EXPECT_TRUE(WaitUntil(
            [&] {
                if (avRecvFrameData2(av, buf.data(), 48000, nullptr, nullptr, nullptr, 0, nullptr, nullptr) >= 0)
                    ++frames;
                return frames >= 10;
            },
            10000));
    }
    for (size_t i = 0; i < sids.size(); ++i) {
        avClientStop(avs[i]);
        IOTC_Session_Close(sids[i]);
    }
}
