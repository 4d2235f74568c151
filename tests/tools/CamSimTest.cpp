// The simulated camera seen through the transport: H.264 that decodes, IDRs
// with SPS and PPS at least every 2 s, access units within the frame cap, the
// tone as ADTS AAC, the beep marker, stamps on one clock, media files as
// sources, talk-back checked record by record; and vantor-camsim with
// vantor-p2pcheck run as programs.
#include "tools/camsim/CamSim.h"
#include "p2p/P2PApi.h"
#include "p2p/P2PErrors.h"
#include "p2p/Protocol.h"
#include "tests/support/CameraStarter.h"
#include "tests/support/TestBroker.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestNet.h"
#include "tests/support/TestStreams.h"
#include "tests/support/TransportFixture.h"
#include "tools/camsim/AacEncoder.h"
#include "tools/camsim/TalkbackWriter.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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

class CamSimTest : public TransportFixture {
protected:
    // Runs a camera that `change` configures and takes what it sends until
    // there are `pictures` video frames and `sounds` audio frames.
    static void Watch(const std::function<void(CamSimConfig&)>& change, size_t pictures, size_t sounds,
                      std::vector<Frame>& video, std::vector<Frame>& audio) {
        std::string uid = testnet::UniqueUid("CAM");
        auto camsim = testnet::StartCamera({uid}, change);
        ASSERT_NE(camsim, nullptr);
        int sid = IOTC_Get_SessionID();
        ASSERT_EQ(IOTC_Connect_ByUID_Parallel(uid.c_str(), sid), 0);
        int av = avClientStart2(sid, "admin", "531642", 5000, nullptr, 0, nullptr);
        ASSERT_GE(av, 0);
        ASSERT_EQ(avSendIOCtrl(av, 0x01FF, nullptr, 0), 0);
        ASSERT_EQ(avSendIOCtrl(av, 0x0300, nullptr, 0), 0);
        std::vector<char> buf(p2p::kMaxFrameSize);
        char info[16];
        auto take = [&](std::vector<Frame>& frames, int n) {
            frames.push_back({std::vector<uint8_t>(buf.begin(), buf.begin() + n),
                              p2p::DecodeFrameInfo(reinterpret_cast<uint8_t*>(info))});
        };
        EXPECT_TRUE(WaitUntil(
            [&] {
                int n;
                while ((n = avRecvFrameData2(av, buf.data(), static_cast<int>(buf.size()), nullptr, nullptr, info, 16,
                                             nullptr, nullptr)) >= 0)
                    take(video, n);
                EXPECT_EQ(n, P2P_ERR_NO_DATA); // not P2P_ERR_BUFFER_TOO_SMALL: frames fit the transport's largest
                while ((n = avRecvAudioData(av, buf.data(), 1024, info, 16, nullptr)) >= 0)
                    take(audio, n);
                return video.size() >= pictures && audio.size() >= sounds;
            },
            30000));
        EXPECT_EQ(camsim->GetOversizedFrames(), 0);
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
};

} // namespace

TEST_F(CamSimTest, TestPictureAndToneWithTheBeepMarker) {
    std::vector<Frame> video, audio;
    Watch({}, 75, 24, video, audio); // 3 s
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
    EXPECT_EQ(width, 320);
    EXPECT_EQ(height, 240);
    // AAC at 8000 Hz: a frame every 128 ms, each one ADTS frame of its own length.
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

// Key frames of their real size by default (a camera's are larger than the
// 48000 bytes the simulator once capped them at); a cap that is set holds.
TEST_F(CamSimTest, KeyFramesHaveTheirRealSizeUnlessACapIsSet) {
    for (size_t cap : {size_t{0}, size_t{48000}}) {
        std::vector<Frame> video, audio;
        Watch(
            [cap](CamSimConfig& c) {
                c.width = 1920;
                c.height = 1080;
                c.maxFrameBytes = cap ? cap : c.maxFrameBytes;
            },
            10, 0, video, audio);
        size_t largest = 0;
        for (const Frame& f : video)
            largest = std::max(largest, f.data.size());
        EXPECT_TRUE(cap ? largest <= cap : largest > 48000) << largest;
        int width = 0, height = 0;
        EXPECT_GT(Decode(video, width, height), 0);
        EXPECT_EQ(std::pair(width, height), std::pair(1920, 1080));
    }
}

TEST_F(CamSimTest, MediaFilesAreSentInRealTimeAndLoop) {
    // H.264 files (passed through, one with B-frames) and an MPEG-4 part 2 file (re-encoded), 1 s each.
    TempDir dir;
    for (std::string codec : {"libx264", "libx264 -profile:v main -bf 2", "mpeg4"}) {
        SCOPED_TRACE(codec);
        const std::string path = (dir.path() / (codec == "mpeg4" ? "clip.avi" : "clip.mp4")).string();
        ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i testsrc=size=320x240:rate=20 -t 1 -c:v " + codec +
                               " -g 10 -pix_fmt yuv420p '" + path + "'")
                                  .c_str()),
                  0);
        std::vector<Frame> video, audio;
        // More than the file holds: it loops, at its own rate.
        Watch(
            [&](CamSimConfig& c) {
                c.source = path;
                c.fps = 20;
            },
            30, 0, video, audio);
        CheckVideo(video, 20);
        int width = 0, height = 0;
        EXPECT_GT(Decode(video, width, height), 25);
        EXPECT_EQ(width, 320);
    }
}

// A live input, read the way a V4L2 camera and an ALSA microphone are: the
// picture re-encoded as it comes, the input's sound (not the tone) as AAC on
// the same clock.
TEST_F(CamSimTest, LiveInputsAreSentAsTheyCome) {
    std::vector<Frame> video, audio;
    Watch(
        [](CamSimConfig& c) {
            c.source = "testsrc2=size=320x240:rate=20";
            c.sourceFormat = "lavfi";
            c.fps = 20;
            c.soundSource = "sine=frequency=600:sample_rate=44100";
            c.soundFormat = "lavfi";
        },
        40, 16, video, audio);
    CheckVideo(video, 20);
    int width = 0, height = 0;
    EXPECT_GT(Decode(video, width, height), 30);
    EXPECT_EQ(width, 320);
    // 600 Hz: 1200 zero crossings a second, resampled to 8000 Hz.
    int crossings = 0, samples = 0;
    float last = 0;
    Decode(
        audio, width, height,
        [&](const AVFrame* f) {
            for (int i = 0; i < f->nb_samples; ++i, ++samples) {
                const float x = reinterpret_cast<const float*>(f->data[0])[i];
                crossings += (x < 0) != (last < 0);
                last = x;
            }
        },
        AV_CODEC_ID_AAC);
    EXPECT_NEAR(crossings * 8000.0 / samples, 1200, 60);
    // Taken in real time, not as fast as the input can make it.
    EXPECT_NEAR(audio.back().info.timestamp / 1e6, video.back().info.timestamp / 1e6, 0.6);
}

TEST_F(CamSimTest, BadConfigurationIsRefused) {
    const std::function<void(CamSimConfig&)> changes[] = {
        [](CamSimConfig& c) { c.width = 3840; },
        [](CamSimConfig& c) { c.height = 241; },
        [](CamSimConfig& c) { c.fps = 0; },
        [](CamSimConfig& c) { c.resizeAfterSeconds = 1; }, // no size to switch to
        [](CamSimConfig& c) { c.uids = {"has space"}; },
        [](CamSimConfig& c) { c.uids.clear(); },
        [](CamSimConfig& c) { c.source = "/nonexistent/missing.mp4"; },
        [](CamSimConfig& c) { c.soundSource = "/nonexistent"; },
        [](CamSimConfig& c) {
            c.uids.push_back("SECOND");
            c.soundSource = "sine";
            c.soundFormat = "lavfi";
        },
    };
    for (size_t i = 0; i < std::size(changes); ++i)
        EXPECT_EQ(testnet::StartCamera({testnet::UniqueUid("BAD")}, changes[i]), nullptr) << i;
}

// Talk-back records: sequence number, L, the ADTS header for L, the AAC frame.
TEST(TalkbackWriter, FindsEveryFaultAndResynchronises) {
    auto add = [](std::vector<uint8_t>& batch, uint32_t sequence, uint32_t aacBytes) {
        for (uint32_t value : {sequence, aacBytes + 7})
            for (int i = 0; i < 4; ++i)
                batch.push_back(static_cast<uint8_t>(value >> (8 * i)));
        uint8_t header[7];
        TalkbackWriter::ExpectedHeader(aacBytes + 7, header);
        batch.insert(batch.end(), header, header + 7);
        batch.insert(batch.end(), aacBytes, 0x21);
    };
    TalkbackWriter writer; // not opened: checks only
    std::vector<std::string> faults;
    std::vector<uint8_t> good, bad, next;
    for (uint32_t sequence = 1; sequence <= 4; ++sequence)
        add(good, sequence, 100 + sequence);
    EXPECT_EQ(writer.AddBatch(good.data(), good.size(), faults), 0);
    add(bad, 7, 50); // a sequence gap
    add(bad, 8, 60);
    bad[bad.size() - 61] ^= 0xFF; // the last header byte of record 8 wrong
    bad.push_back(0x42);          // a truncated tail
    EXPECT_EQ(writer.AddBatch(bad.data(), bad.size(), faults), 3);
    add(next, 9, 70);
    EXPECT_EQ(writer.AddBatch(next.data(), next.size(), faults), 0);
    EXPECT_EQ(writer.GetRecords(), 7);
    EXPECT_EQ(faults.size(), 3u);
}

// vantor-camsim as a person runs it: its log is `logPath`; SIGTERM ends it.
class CamSimProgram {
public:
    // `prefix`: a command the camera runs under (e.g. in a network namespace).
    CamSimProgram(const std::string& uid, const TempDir& dir, std::vector<std::string> prefix = {})
        : logPath((dir.path() / "camsim.log").string()) {
        std::vector<std::string> args = std::move(prefix);
        for (const std::string& a :
             {std::string(VANTOR_BINARY_DIR) + "/tools/camsim/vantor-camsim", std::string("--uid"), uid,
              std::string("--size"), std::string("320x240"), std::string("--talkback-dir"), dir.path().string()})
            args.push_back(a);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~CamSimProgram() { Stop(); }
    // True when it ended cleanly on SIGTERM.
    bool Stop() {
        if (pid <= 0)
            return false;
        int status = -1;
        kill(pid, SIGTERM);
        bool exited = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 10000);
        if (!exited) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        pid = -1;
        return exited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::string Log() const {
        std::ifstream log(logPath);
        return std::string(std::istreambuf_iterator<char>(log), {});
    }

    const std::string logPath;
    pid_t pid = -1;
};

// Two network namespaces joined by a veth pair: a camera and a desk on one
// LAN, where no search host lists the camera. IPv4 with broadcast, or IPv6
// alone (the links' own link-local addresses and fd13::1, fd13::2). Removed
// with everything in it.
class TwoHostLan {
public:
    explicit TwoHostLan(bool ipv6Only = false) : m_ipv6Only(ipv6Only) {
        const std::string cam = "vcam" + m_tag, desk = "vdesk" + m_tag;
        auto address = [&](const std::string& ns, const std::string& link, int host) {
            return " && ip -n " + ns +
                   (ipv6Only ? " addr add fd13::" + std::to_string(host) + "/64 nodad dev " + link
                             : " addr add 10.213.0." + std::to_string(host) + "/24 broadcast + dev " + link);
        };
        int status = -1;
        TestStreams::Run("ip netns add " + cam + " && ip netns add " + desk + " && ip link add vc" + m_tag +
                             " type veth peer name vd" + m_tag + " && ip link set vc" + m_tag + " netns " + cam +
                             " && ip link set vd" + m_tag + " netns " + desk + address(cam, "vc" + m_tag, 1) +
                             address(desk, "vd" + m_tag, 2) + " && ip -n " + cam + " link set vc" + m_tag +
                             " up && ip -n " + desk + " link set vd" + m_tag + " up && ip -n " + cam +
                             " link set lo up && ip -n " + desk + " link set lo up 2>&1",
                         &status);
        m_ok = status == 0;
    }
    ~TwoHostLan() {
        TestStreams::Run("ip netns del vcam" + m_tag + " 2>/dev/null; ip netns del vdesk" + m_tag + " 2>/dev/null");
    }
    bool Ok() const { return m_ok; }
    // Command prefixes: the camera listens on every address; the desk
    // searches only its own loopback, so only the broadcast (or the IPv6
    // multicast) can find it.
    std::vector<std::string> Camera() const {
        return {"ip",           "netns", "exec",
                "vcam" + m_tag, "env",   m_ipv6Only ? "VANTOR_P2P_BIND=::" : "VANTOR_P2P_BIND=0.0.0.0"};
    }
    std::string Desk() const {
        return "ip netns exec vdesk" + m_tag + " env VANTOR_P2P_HOSTS=" + (m_ipv6Only ? "::1" : "127.0.0.1");
    }
    std::string DeskLink() const { return "vd" + m_tag; }

private:
    std::string m_tag = std::to_string(getpid());
    bool m_ipv6Only = false;
    bool m_ok = false;
};

// Runs vantor-p2pcheck (with `env` before it) until it succeeds or 15 s pass.
std::string CheckUntilFrames(const std::string& env, const std::string& uid, int& status) {
    const std::string check = env + " " + VANTOR_BINARY_DIR + "/tools/p2pcheck/vantor-p2pcheck --seconds 2 --uid ";
    std::string text;
    WaitUntil(
        [&] {
            text = TestStreams::Run(check + uid, &status); // searches until the camera is up
            return status == 0;
        },
        15000);
    return text;
}

// Both programs find this process's ports in the environment; the check
// says how it reached the camera.
TEST_F(CamSimTest, ProgramsServeAndCheckAUid) {
    TempDir dir;
    const std::string uid = testnet::UniqueUid("CHILD");
    CamSimProgram camsim(uid, dir);
    int status = -1;
    std::string text = CheckUntilFrames("", uid, status);
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("connected to " + uid + " at 127.0.0.1:"), std::string::npos) << text; // and it counted frames
    EXPECT_NE(text.find("path: lan\n"), std::string::npos) << text;
    EXPECT_NE(text.find("connect_ms: "), std::string::npos) << text;
    // The same camera over IPv6 loopback, listed by address and by a name that resolves to ::1 alone.
    if (geteuid() == 0 && access("/proc/sys/net/ipv6", F_OK) == 0) {
        const std::string hosts = (dir.path() / "hosts").string();
        std::ofstream(hosts) << "::1 v6-loopback.test\n";
        for (const std::string& env : {std::string("env VANTOR_P2P_HOSTS=[::1]"),
                                       "unshare --mount sh -c 'mount --bind " + hosts +
                                           " /etc/hosts && exec \"$@\"' sh env VANTOR_P2P_HOSTS=v6-loopback.test"}) {
            text = CheckUntilFrames(env, uid, status);
            EXPECT_EQ(status, 0) << text;
            EXPECT_NE(text.find("connected to " + uid + " at [::1]:"), std::string::npos) << text;
        }
    } else {
        std::printf("skipped the IPv6 checks: %s\n", geteuid() != 0 ? "not root" : "no IPv6 in this kernel");
    }
    text = TestStreams::Run(std::string(VANTOR_BINARY_DIR) + "/tools/p2pcheck/vantor-p2pcheck --seconds 2 --uid " +
                                testnet::UniqueUid("NONE") + " 2>&1",
                            &status);
    EXPECT_NE(status, 0);
    EXPECT_NE(text.find("no device holds the UID"), std::string::npos) << text;

    EXPECT_TRUE(camsim.Stop());
    text = camsim.Log();
    for (const std::string& line :
         {"serving UID " + uid, std::string("path: lan"), std::string("video started"), std::string("camsim: stopped")})
        EXPECT_NE(text.find(line), std::string::npos) << text;
}

// Where IPv6 is off, a camera on loopback starts all the same and serves IPv4.
TEST_F(CamSimTest, ProgramsServeIpv4WhereIpv6IsOff) {
    if (geteuid() != 0)
        GTEST_SKIP() << "network namespaces need root";
    struct Namespace {
        std::string name = "vno6" + std::to_string(getpid());
        ~Namespace() { TestStreams::Run("ip netns del " + name + " 2>/dev/null"); }
    } ns;
    int status = -1;
    TestStreams::Run("ip netns add " + ns.name + " && ip -n " + ns.name + " link set lo up && ip netns exec " +
                         ns.name + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.lo.disable_ipv6=1",
                     &status);
    ASSERT_EQ(status, 0) << "cannot build the namespace (ip, sysctl)";
    TempDir dir;
    const std::string uid = testnet::UniqueUid("NO6");
    CamSimProgram camsim(uid, dir, {"ip", "netns", "exec", ns.name});
    std::string text = CheckUntilFrames("ip netns exec " + ns.name, uid, status);
    EXPECT_EQ(status, 0) << text << camsim.Log();
    EXPECT_NE(text.find("at 127.0.0.1:"), std::string::npos) << text;
    EXPECT_TRUE(camsim.Stop());
}

// A camera on the LAN that no search host lists is found by broadcast.
TEST_F(CamSimTest, ProgramsMeetAcrossALanByBroadcast) {
    if (geteuid() != 0)
        GTEST_SKIP() << "network namespaces need root";
    TwoHostLan lan;
    ASSERT_TRUE(lan.Ok()) << "cannot build the namespaces (ip, veth)";
    TempDir dir;
    const std::string uid = testnet::UniqueUid("LAN");
    CamSimProgram camsim(uid, dir, lan.Camera());
    int status = -1;
    std::string text = CheckUntilFrames(lan.Desk(), uid, status);
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("at 10.213.0.1"), std::string::npos) << text;
    EXPECT_NE(text.find("path: lan\n"), std::string::npos) << text;
    EXPECT_TRUE(camsim.Stop());
}

// A camera on a LAN with IPv6 alone is found by the all-nodes multicast and
// reached at its link-local address on the desk's link.
TEST_F(CamSimTest, ProgramsMeetAcrossAnIpv6LanByMulticast) {
    if (geteuid() != 0 || access("/proc/sys/net/ipv6", F_OK) != 0)
        GTEST_SKIP() << (geteuid() != 0 ? "network namespaces need root" : "this kernel has no IPv6");
    TwoHostLan lan(true);
    ASSERT_TRUE(lan.Ok()) << "cannot build the namespaces (ip, veth)";
    TempDir dir;
    const std::string uid = testnet::UniqueUid("LAN6");
    CamSimProgram camsim(uid, dir, lan.Camera());
    int status = -1;
    std::string text = CheckUntilFrames(lan.Desk(), uid, status);
    EXPECT_EQ(status, 0) << text;
    // At the source of the answer: link-local on the desk's link, or the
    // ULA address while the link-local ones are still tentative.
    const bool linkLocal =
        text.find("at [fe80::") != std::string::npos && text.find("%" + lan.DeskLink() + "]:") != std::string::npos;
    EXPECT_TRUE(linkLocal || text.find("at [fd13::1]:") != std::string::npos) << text;
    EXPECT_TRUE(camsim.Stop());
    EXPECT_NE(camsim.Log().find(" from ["), std::string::npos) << camsim.Log(); // an IPv6 peer
}

// With a broker in the environment the camera registers there, and a check
// whose search finds nothing reaches it through the broker.
TEST_F(CamSimTest, ProgramsMeetThroughTheBroker) {
    TempDir dir;
    const std::string uid = testnet::UniqueUid("BROKER");
    TestBroker broker({{uid, "pw"}, {"desk-01", "pw"}});
    ASSERT_TRUE(broker.Start());
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(broker.port());
    setenv("VANTOR_P2P_BROKER", url.c_str(), 1);
    setenv("VANTOR_P2P_BROKER_USER", uid.c_str(), 1);
    setenv("VANTOR_P2P_BROKER_PASSWORD", "pw", 1);
    CamSimProgram camsim(uid, dir);
    unsetenv("VANTOR_P2P_BROKER_USER");
    EXPECT_TRUE(WaitUntil([&] { return camsim.Log().find("presence: online") != std::string::npos; }, 10000))
        << camsim.Log();
    int status = -1;
    std::string text = CheckUntilFrames("VANTOR_P2P_BROKER_USER=desk-01 VANTOR_P2P_HOSTS=127.0.0.2", uid, status);
    unsetenv("VANTOR_P2P_BROKER");
    unsetenv("VANTOR_P2P_BROKER_PASSWORD");
    EXPECT_EQ(status, 0) << text;
    EXPECT_NE(text.find("path: direct\n"), std::string::npos) << text;
    EXPECT_TRUE(camsim.Stop());
    EXPECT_NE(camsim.Log().find("path: direct"), std::string::npos) << camsim.Log();
}
