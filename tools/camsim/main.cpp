// vantor-camsim: a simulated camera device on the peer-to-peer transport.
#include "tools/camsim/CamSim.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <pthread.h>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

namespace {

void Usage() {
    std::cout << "usage: vantor-camsim --uid UID [--uid UID ...] [options]\n"
                 "  --account NAME        account that may open the channel (default admin)\n"
                 "  --password TEXT       its password (default 531642)\n"
                 "  --size WxH            picture size, up to 1920x1080 (default 640x360)\n"
                 "  --fps N               frames per second, 1 to 60 (default 25)\n"
                 "  --source FILE         send this video file (looping) instead of the test picture; H.264\n"
                 "                        is sent as it is (B-frames too), other codecs are re-encoded\n"
                 "  --source-format FMT   read --source live with this input format: a camera with\n"
                 "                        --source /dev/video0 --source-format v4l2 (asked for --size\n"
                 "                        and --fps), or e.g. lavfi's testsrc2\n"
                 "  --sound INPUT         live sound instead of the tone, e.g. --sound default (or hw:1)\n"
                 "  --sound-format FMT    its input format (default alsa; pulse, lavfi ...)\n"
                 "                        A live input serves one UID.\n"
                 "  --talkback-dir DIR    where talk-back is saved (default .)\n"
                 "  --max-frame-bytes N   largest picture sent, in bytes (default and most 1048576, the\n"
                 "                        transport's largest frame); larger ones are dropped\n"
                 "Time stamps: microseconds on one stream clock per UID; a picture carries its\n"
                 "presentation time, an audio frame the time of its first sample; the log gives\n"
                 "each stream clock's origin on the monotonic clock. The tone beeps\n"
                 "at 1000 Hz for the first 100 ms of every second; meanwhile each test picture (and\n"
                 "each re-encoded source picture) shows a solid white 64x64 square in its top-right\n"
                 "corner, which is black otherwise.\n"
                 "fault switches:\n"
                 "  --resize-after N WxH  N seconds after video first starts, switch the test picture\n"
                 "                        to WxH (new SPS and PPS)\n"
                 "  --close-after N       close each session N seconds after it opened\n"
                 "  --vanish-after N      stop answering each session N seconds after it opened\n"
                 "  --no-stop-ack         never acknowledge a client's stop\n"
                 "  --refuse-password     refuse every account and password\n"
                 "  --identity FILE       the device's Ed25519 key (PEM), made there when FILE does not exist\n"
                 "                        (default $XDG_STATE_HOME/vantor/camsim-identity.pem, or\n"
                 "                        ~/.local/state/vantor/...; in memory when neither can be used)\n"
                 "The transport's search hosts and port come from VANTOR_P2P_PORT, VANTOR_P2P_BIND, ...\n";
}

bool ParseInt(const char* text, int low, int high, int& out) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high)
        return false;
    out = static_cast<int>(value);
    return true;
}

// A per-user place, so that the camera keeps its key from run to run; empty
// (a key in memory) when there is no such place.
std::string DefaultIdentityFile() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::filesystem::path dir;
    if (state != nullptr && *state == '/')
        dir = std::filesystem::path(state) / "vantor";
    else if (home != nullptr && *home == '/')
        dir = std::filesystem::path(home) / ".local/state/vantor";
    else
        return {};
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return std::filesystem::is_directory(dir, ec) ? (dir / "camsim-identity.pem").string() : std::string();
}

} // namespace

int main(int argc, char** argv) {
    CamSimConfig config;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::cerr << "vantor-camsim: " << arg << " needs a value\n";
                std::exit(2);
            }
            return argv[++i];
        };
        auto number = [&](int low, int high) {
            const char* text = value();
            int n = 0;
            if (!ParseInt(text, low, high, n)) {
                std::cerr << "vantor-camsim: bad value for " << arg << ": " << text << "\n";
                std::exit(2);
            }
            return n;
        };
        if (arg == "--uid") {
            config.uids.push_back(value());
        } else if (arg == "--account") {
            config.account = value();
        } else if (arg == "--password") {
            config.password = value();
        } else if (arg == "--size") {
            const char* text = value();
            if (std::sscanf(text, "%dx%d", &config.width, &config.height) != 2) {
                std::cerr << "vantor-camsim: bad size " << text << " (WxH)\n";
                return 2;
            }
        } else if (arg == "--fps") {
            config.fps = number(1, 60);
        } else if (arg == "--source") {
            config.source = value();
        } else if (arg == "--source-format") {
            config.sourceFormat = value();
        } else if (arg == "--sound") {
            config.soundSource = value();
        } else if (arg == "--sound-format") {
            config.soundFormat = value();
        } else if (arg == "--max-frame-bytes") {
            config.maxFrameBytes = static_cast<size_t>(number(1024, static_cast<int>(p2p::kMaxFrameSize)));
        } else if (arg == "--talkback-dir") {
            config.talkbackDir = value();
        } else if (arg == "--resize-after") {
            config.resizeAfterSeconds = number(1, 86400);
            const char* text = value();
            if (std::sscanf(text, "%dx%d", &config.resizeWidth, &config.resizeHeight) != 2) {
                std::cerr << "vantor-camsim: bad size " << text << " (WxH)\n";
                return 2;
            }
        } else if (arg == "--close-after") {
            config.closeAfterSeconds = number(1, 86400);
        } else if (arg == "--vanish-after") {
            config.vanishAfterSeconds = number(1, 86400);
        } else if (arg == "--no-stop-ack") {
            config.noStopAck = true;
        } else if (arg == "--refuse-password") {
            config.refusePassword = true;
        } else if (arg == "--identity") {
            config.identityFile = value();
        } else if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else {
            std::cerr << "vantor-camsim: unknown option " << arg << "\n";
            Usage();
            return 2;
        }
    }
    if (config.uids.empty()) {
        std::cerr << "vantor-camsim: give at least one --uid\n";
        Usage();
        return 2;
    }

    if (config.identityFile.empty())
        config.identityFile = DefaultIdentityFile();

    // Block the stop signals in every thread; the main thread waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    av_log_set_level(AV_LOG_ERROR);
    CamSim camsim(config);
    if (camsim.Start() != 0)
        return 1;
    int received = 0;
    sigwait(&signals, &received);
    std::cout << "camsim: " << (received == SIGINT ? "SIGINT" : "SIGTERM") << ", stopping" << std::endl;
    camsim.Stop();
    std::cout << "camsim: stopped" << std::endl;
    return 0;
}
