// vantor-p2pcheck: connects to a device by UID over the peer-to-peer transport
// and reports the video and audio frames that arrive.
#include "p2p/KnownDevices.h"
#include "p2p/P2PApi.h"
#include "p2p/P2PErrors.h"
#include "p2p/P2PSettings.h"
#include "p2p/Protocol.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const char kUsage[] = "usage: vantor-p2pcheck --uid UID [--seconds N] [--account A] [--password P] [--verbose]\n"
                      "                       [--expect-identity SHA256:...] [--origin-us US]\n"
                      "  --expect-identity FP  refuse any other device key (then: \"identity mismatch\", exit 3)\n"
                      "  --origin-us US  the camera's stream clock origin on this host's monotonic clock (camsim\n"
                      "                  logs it): each picture's delay is then its arrival time less its stamp\n";

// The pictures that arrived, of those the camera took from the first that
// arrived on (numbers count every picture taken), and their delays.
struct PictureCount {
    static constexpr double kDueUs = 300000;
    bool any = false;
    uint32_t first = 0;
    uint32_t last = 0;
    uint32_t firstStamp = 0;
    uint32_t lastStamp = 0;
    long received = 0;
    std::vector<double> delaysMs;

    void Add(uint32_t number, uint32_t stamp) {
        if (!any) {
            first = number;
            firstStamp = stamp;
        }
        any = true;
        last = number;
        lastStamp = stamp;
        ++received;
    }
    // From the first number to the last that arrived; with the stream clock
    // known (`elapsedUs` at the end), to the last the camera had taken 0.3 s
    // before then, so pictures held up longer than that count as missing.
    long Expected(int64_t elapsedUs) const {
        if (!any)
            return 0;
        long expected = static_cast<long>(last - first) + 1;
        if (elapsedUs < 0 || last == first)
            return expected;
        double periodUs = static_cast<double>(lastStamp - firstStamp) / (last - first);
        double behindUs =
            static_cast<double>(static_cast<int32_t>(static_cast<uint32_t>(elapsedUs) - lastStamp)) - kDueUs;
        if (periodUs > 0 && behindUs > periodUs)
            expected += static_cast<long>(behindUs / periodUs);
        return expected;
    }
    double DelayP95() {
        if (delaysMs.empty())
            return 0;
        std::sort(delaysMs.begin(), delaysMs.end());
        return delaysMs[static_cast<size_t>(0.95 * static_cast<double>(delaysMs.size() - 1))];
    }
};

// Microseconds on the monotonic clock (steady_clock), as camsim logs its origin.
int64_t MonotonicUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int Fail(const char* what, int code) {
    std::printf("p2pcheck: %s failed: %d (%s)\n", what, code, P2PResultName(code));
    return 1;
}

// A known-devices file that pins the UID to the expected key for this run
// only, so that the transport refuses any other key before the session.
class ExpectedIdentity {
public:
    bool Pin(const std::string& uid, const std::string& fingerprint) {
        char name[] = "/tmp/vantor-p2pcheck-XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0)
            return false;
        m_path = name;
        const std::string line = uid + " " + fingerprint + "\n";
        bool ok = write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        close(fd);
        return ok && IOTC_Set_Known_Devices_File(m_path.c_str()) == 0;
    }
    ~ExpectedIdentity() {
        if (!m_path.empty())
            unlink(m_path.c_str());
    }

private:
    std::string m_path;
};

} // namespace

int main(int argc, char** argv) {
    std::string uid;
    std::string account = "admin";
    std::string password = "531642";
    int seconds = 5;
    bool verbose = false;
    int64_t originUs = -1;
    std::string expectIdentity;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--uid" && i + 1 < argc) {
            uid = argv[++i];
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (arg == "--account" && i + 1 < argc) {
            account = argv[++i];
        } else if (arg == "--password" && i + 1 < argc) {
            password = argv[++i];
        } else if (arg == "--origin-us" && i + 1 < argc) {
            char* end = nullptr;
            originUs = std::strtoll(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || originUs < 0) {
                std::printf("vantor-p2pcheck: bad value for --origin-us: %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--expect-identity" && i + 1 < argc) {
            expectIdentity = argv[++i];
        } else if (arg == "--verbose" || arg == "-v") {
            verbose = true;
        } else {
            std::printf("%s", kUsage);
            return 2;
        }
    }
    if (uid.empty() || seconds <= 0 || (!expectIdentity.empty() && !KnownDevices::IsFingerprint(expectIdentity))) {
        std::printf("%s", kUsage);
        return 2;
    }

    if (!P2PSettings::CheckAtStart("vantor-p2pcheck"))
        return 2;

    ExpectedIdentity expected;
    if (!expectIdentity.empty() && !expected.Pin(uid, expectIdentity)) {
        std::printf("p2pcheck: cannot write a temporary file\n");
        return 1;
    }
    int r = IOTC_Initialize2(0);
    if (r != 0)
        return Fail("IOTC_Initialize2", r);
    avInitialize(8);
    int sid = IOTC_Get_SessionID();
    if (sid < 0)
        return Fail("IOTC_Get_SessionID", sid);
    auto started = std::chrono::steady_clock::now();
    r = IOTC_Connect_ByUID_Parallel(uid.c_str(), sid);
    char seen[64] = "";
    if (IOTC_Session_Identity(sid, seen, sizeof seen, nullptr, 0) == 0)
        std::printf("identity: %s\n", seen);
    if (r == P2P_ERR_IDENTITY_MISMATCH) {
        std::printf("identity mismatch\n");
        IOTC_Session_Close(sid);
        IOTC_DeInitialize();
        return 3;
    }
    if (r < 0) {
        IOTC_Session_Close(sid);
        IOTC_DeInitialize();
        return Fail("connect", r);
    }
    P2PSessionInfo info{};
    IOTC_Session_Check(sid, &info);
    int avIndex = avClientStart2(sid, account.c_str(), password.c_str(), 5000, nullptr, 0, nullptr);
    if (avIndex < 0) {
        IOTC_Session_Close(sid);
        IOTC_DeInitialize();
        return Fail("avClientStart2", avIndex);
    }
    auto connectedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    char path[16] = "";
    IOTC_Session_Path(sid, path, sizeof path);
    std::printf("p2pcheck: connected to %s at %s in %lld ms, channel %d\n", uid.c_str(), info.remote,
                static_cast<long long>(connectedMs), avIndex);
    // For scripts: how the session reached the device, and the time from the call to the open channel.
    std::printf("path: %s\nconnect_ms: %lld\n", path, static_cast<long long>(connectedMs));
    const char zero[2] = {0, 0};
    avSendIOCtrl(avIndex, 0x00FF, zero, 2);
    avSendIOCtrl(avIndex, 0x01FF, nullptr, 0);
    avSendIOCtrl(avIndex, 0x0300, nullptr, 0);

    std::vector<char> video(p2p::kMaxFrameSize), audio(1024);
    PictureCount pictures;
    char block[16];
    long videoFrames = 0, audioFrames = 0, keyFrames = 0, videoBytes = 0;
    uint32_t firstVideoTs = 0, lastVideoTs = 0, firstAudioTs = 0, lastAudioTs = 0;
    int ended = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    auto nextReport = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (std::chrono::steady_clock::now() < deadline && ended == 0) {
        bool idle = true;
        int actual = 0, expected = 0, infoSize = 0;
        unsigned int frameIndex = 0;
        int n = avRecvFrameData2(avIndex, video.data(), static_cast<int>(video.size()), &actual, &expected, block, 16,
                                 &infoSize, &frameIndex);
        if (n >= 0) {
            idle = false;
            p2p::FrameInfo fi = p2p::DecodeFrameInfo(reinterpret_cast<uint8_t*>(block));
            if (videoFrames == 0)
                firstVideoTs = fi.timestamp;
            lastVideoTs = fi.timestamp;
            ++videoFrames;
            videoBytes += n;
            pictures.Add(fi.frameNumber, fi.timestamp);
            if (originUs >= 0) // the stamp wraps at 2^32 us: the difference is taken in that width
                pictures.delaysMs.push_back(
                    static_cast<int32_t>(static_cast<uint32_t>(MonotonicUs() - originUs) - fi.timestamp) / 1000.0);
            keyFrames += (fi.flags & p2p::kFrameFlagKey) ? 1 : 0;
            if (verbose)
                std::printf("video #%u %d bytes ts %u%s\n", frameIndex, n, fi.timestamp,
                            (fi.flags & p2p::kFrameFlagKey) ? " key" : "");
        } else if (n == P2P_ERR_SESSION_CLOSED || n == P2P_ERR_REMOTE_TIMEOUT || n == P2P_ERR_INVALID_SESSION) {
            ended = n;
        } else if (n != P2P_ERR_NO_DATA) {
            std::printf("p2pcheck: video receive: %d (%s)\n", n, P2PResultName(n));
        }
        n = avRecvAudioData(avIndex, audio.data(), static_cast<int>(audio.size()), block, 16, &frameIndex);
        if (n >= 0) {
            idle = false;
            p2p::FrameInfo fi = p2p::DecodeFrameInfo(reinterpret_cast<uint8_t*>(block));
            if (audioFrames == 0)
                firstAudioTs = fi.timestamp;
            lastAudioTs = fi.timestamp;
            ++audioFrames;
            if (verbose)
                std::printf("audio #%u %d bytes ts %u\n", frameIndex, n, fi.timestamp);
        }
        if (std::chrono::steady_clock::now() >= nextReport) {
            std::printf(
                "p2pcheck: video %ld frames (%ld key, %ld bytes), ts %u..%u us; audio %ld frames, ts %u..%u us\n",
                videoFrames, keyFrames, videoBytes, firstVideoTs, lastVideoTs, audioFrames, firstAudioTs, lastAudioTs);
            nextReport += std::chrono::seconds(1);
        }
        if (idle)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (ended != 0)
        std::printf("p2pcheck: the session ended: %d (%s)\n", ended, P2PResultName(ended));
    std::printf("p2pcheck: total video %ld frames (%ld key), audio %ld frames\n", videoFrames, keyFrames, audioFrames);
    std::printf("pictures: %ld of %ld\n", pictures.received,
                pictures.Expected(originUs >= 0 ? MonotonicUs() - originUs : -1));
    if (originUs >= 0)
        std::printf("delay_p95_ms: %.1f\n", pictures.DelayP95());
    avClientStop(avIndex);
    IOTC_Session_Close(sid);
    avDeInitialize();
    IOTC_DeInitialize();
    // A session that ended with an error fails the check, whatever came before.
    return (ended == 0 && (videoFrames > 0 || audioFrames > 0)) ? 0 : 1;
}
