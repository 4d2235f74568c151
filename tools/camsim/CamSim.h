#pragma once

#include "p2p/Device.h"
#include "p2p/P2PSettings.h"
#include "p2p/Protocol.h"
#include "tools/camsim/TalkbackWriter.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct CamSimConfig {
    std::vector<std::string> uids;
    std::string account = "admin";
    std::string password = "531642";
    int width = 640;
    int height = 360;
    int fps = 25;
    std::string source;               // a media file to send instead of the test picture, or a live input:
    std::string sourceFormat;         // its input format when live ("v4l2" for "/dev/video0")
    std::string soundSource;          // live sound instead of the tone ("hw:1", "default")
    std::string soundFormat = "alsa"; // its input format
    // Largest access unit sent; larger ones are dropped (and the encoder's
    // rate lowered). The default is the transport's largest frame.
    size_t maxFrameBytes = p2p::kMaxFrameSize;
    std::string talkbackDir = ".";
    // Fault switches.
    int resizeAfterSeconds = 0; // > 0: switch the test picture to resizeWidth x resizeHeight this long
    int resizeWidth = 0;        // after video first started (new SPS and PPS, like a camera
    int resizeHeight = 0;       // that changes its resolution)
    int closeAfterSeconds = 0;  // > 0: close each session this long after it opened
    int vanishAfterSeconds = 0; // > 0: go silent on each session this long after it opened
    bool noStopAck = false;     // never acknowledge a client's channel stop
    bool refusePassword = false;
    // The PEM file of the device's Ed25519 key, made there when missing;
    // empty: a key held in memory for this run only.
    std::string identityFile;
    P2PSettings settings = P2PSettings::Current();
    // One line per session event; default: standard output.
    std::function<void(const std::string&)> log;
};

// The simulated camera: serves each UID on the device side of the transport,
// with a live H.264 test picture (or a looping file) and an AAC tone, starts
// video on IOCTRL 511 and audio on 768 for each session, and saves the
// talk-back a client sends (848 start, 850 data, 849 stop) as ADTS files.
//
// Frames are stamped on one stream clock per UID, in microseconds: a picture
// with its presentation time (test pictures on an exact grid of 1/fps), an
// audio frame with the time of its first sample. While the tone's beep
// sounds (the first 100 ms of every second) the test picture shows a white
// square in its top-right corner (TestPicture::PaintBeepMarker).
class CamSim : public DeviceListener {
public:
    explicit CamSim(CamSimConfig config);
    ~CamSim() override;
    CamSim(const CamSim&) = delete;
    CamSim& operator=(const CamSim&) = delete;

    // Checks the configuration, opens the encoders and starts serving. 0, or
    // -1 with the reason logged.
    int Start();
    void Stop();

    Device& GetDevice() { return m_device; }
    int GetTalkbackRecords() const { return m_talkbackRecords.load(); }
    int GetTalkbackFaults() const { return m_talkbackFaults.load(); }
    int GetVideoFramesSent() const { return m_videoSent.load(); }
    int GetAudioFramesSent() const { return m_audioSent.load(); }
    int GetOversizedFrames() const { return m_oversized.load(); }
    std::vector<std::string> GetTalkbackFiles(); // the newest ones written

    void OnSessionOpened(int session, const std::string& uid, const std::string& peer) override;
    bool OnAvStart(int session, const std::string& account, const std::string& password, bool matches) override;
    void OnIOCtrl(int session, uint32_t type, const uint8_t* payload, size_t length) override;
    bool OnAvStop(int session) override;
    void OnSessionClosed(int session, int reason) override;

private:
    struct SessionState {
        std::string uid;
        std::chrono::steady_clock::time_point opened;
        bool video = false;
        bool audio = false;
        bool needKey = true;
        bool faulted = false;
        std::unique_ptr<TalkbackWriter> talkback;
    };

    void Log(const std::string& line);
    void Stream(size_t index);
    void StreamLoop(size_t index);
    void Housekeeping();
    std::vector<int> Targets(const std::string& uid, bool video, bool& needKey);
    void StartTalkback(int session, SessionState& state);
    bool CheckSize(int width, int height);

    CamSimConfig m_config;
    Device m_device;
    std::mutex m_logMutex;
    std::mutex m_mutex; // guards the sessions and the talk-back counters per UID
    std::map<int, SessionState> m_sessions;
    std::map<std::string, int> m_talkbackCount;
    static constexpr size_t kKeptTalkbackNames = 64;
    std::vector<std::string> m_talkbackFiles; // the newest kKeptTalkbackNames
    std::vector<std::thread> m_threads;
    std::atomic<bool> m_stop{true};
    std::atomic<int> m_talkbackRecords{0};
    std::atomic<int> m_talkbackFaults{0};
    std::atomic<int> m_videoSent{0};
    std::atomic<int> m_audioSent{0};
    std::atomic<int> m_oversized{0};
};
