#include "tools/camsim/CamSim.h"

#include "p2p/P2PErrors.h"
#include "tools/camsim/AacEncoder.h"
#include "tools/camsim/SoundReader.h"
#include "tools/camsim/SourceReader.h"
#include "tools/camsim/TestPicture.h"
#include "tools/camsim/VideoEncoder.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>

using Clock = std::chrono::steady_clock;

namespace {

std::string WallClock() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000);
    return text;
}

// A UID as a safe piece of a file name.
std::string FileSafe(const std::string& text) {
    std::string out;
    for (char c : text) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        out += ok ? c : '_';
    }
    return out;
}

int64_t MicrosSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

} // namespace

CamSim::CamSim(CamSimConfig config) : m_config(std::move(config)), m_device(*this) {}

CamSim::~CamSim() {
    Stop();
}

void CamSim::Log(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_logMutex);
    if (m_config.log) {
        m_config.log(line);
    } else {
        std::cout << "camsim: " << line << std::endl;
    }
}

int CamSim::Start() {
    if (!m_stop.load())
        return 0;
    if (m_config.uids.empty()) {
        Log("no UID to serve");
        return -1;
    }
    if (!CheckSize(m_config.width, m_config.height))
        return -1;
    if (m_config.resizeAfterSeconds > 0 &&
        (!m_config.source.empty() || !CheckSize(m_config.resizeWidth, m_config.resizeHeight))) {
        Log("--resize-after needs the test picture and a valid size");
        return -1;
    }
    if (m_config.fps < 1 || m_config.fps > 60) {
        Log("fps must be 1 to 60");
        return -1;
    }
    if (m_config.maxFrameBytes < 1024 || m_config.maxFrameBytes > p2p::kMaxFrameSize) {
        Log("the frame cap must be 1024 to " + std::to_string(p2p::kMaxFrameSize) + " bytes");
        return -1;
    }
    std::error_code ec;
    std::filesystem::create_directories(m_config.talkbackDir, ec);
    for (const std::string& uid : m_config.uids) {
        if (m_device.AddUid(uid, m_config.account, m_config.password) != 0) {
            Log("invalid UID \"" + uid + "\" (1 to 64 printable characters, no spaces)");
            return -1;
        }
    }
    if ((!m_config.sourceFormat.empty() || !m_config.soundSource.empty()) && m_config.uids.size() > 1) {
        Log("a live input serves one UID");
        return -1;
    }
    // Open the inputs once here so that a bad one fails at start.
    if (!m_config.source.empty()) {
        SourceReader probe;
        if (probe.Open(m_config.source, m_config.sourceFormat, m_config.width, m_config.height, m_config.fps,
                       m_config.maxFrameBytes) != 0) {
            Log(probe.GetError());
            return -1;
        }
    }
    if (!m_config.soundSource.empty()) {
        SoundReader probe;
        if (probe.Open(m_config.soundSource, m_config.soundFormat) != 0) {
            Log(probe.GetError());
            return -1;
        }
    }
    if (!m_config.identityFile.empty()) {
        std::string error;
        std::shared_ptr<TlsLayer::Identity> identity = TlsLayer::Identity::LoadOrCreate(m_config.identityFile, error);
        if (!identity) {
            Log("cannot use the identity: " + error);
            return -1;
        }
        m_device.SetIdentity(std::move(identity));
    }
    int r = m_device.Start(m_config.settings);
    if (r != 0) {
        Log(std::string("cannot start the device: ") + P2PResultName(r));
        return -1;
    }
    Log("identity: " + m_device.Fingerprint());
    for (const std::string& uid : m_config.uids)
        Log("serving UID " + uid + " on search port " + std::to_string(m_device.GetSearchPort()) + ", session port " +
            std::to_string(m_device.GetTcpPort()));
    if (m_config.settings.broker.IsSet()) {
        constexpr int kPresenceWaitMs = 5000;
        bool online = m_device.WaitBrokerConnected(kPresenceWaitMs);
        const P2PEndpoint& broker = m_config.settings.broker;
        for (const std::string& uid : m_config.uids)
            Log("UID " + uid + " registered with the broker " + broker.Text() +
                ", presence: " + (online ? "online" : "offline (the broker does not answer yet; retrying)"));
    }
    m_stop.store(false);
    for (size_t i = 0; i < m_config.uids.size(); ++i)
        m_threads.emplace_back(&CamSim::Stream, this, i);
    m_threads.emplace_back(&CamSim::Housekeeping, this);
    return 0;
}

bool CamSim::CheckSize(int width, int height) {
    if (width < 64 || height < 64 || width > 1920 || height > 1080 || width % 2 != 0 || height % 2 != 0) {
        Log("size must be even, from 64x64 up to 1920x1080");
        return false;
    }
    return true;
}

void CamSim::Stop() {
    if (m_stop.exchange(true))
        return;
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
    m_device.Stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.clear();
}

std::vector<std::string> CamSim::GetTalkbackFiles() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_talkbackFiles;
}

void CamSim::OnSessionOpened(int session, const std::string& uid, const std::string& peer) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        SessionState& state = m_sessions[session];
        state.uid = uid;
        state.opened = Clock::now();
    }
    Log("session " + std::to_string(session) + " opened for UID " + uid + " from " + peer +
        ", path: " + m_device.SessionPath(session));
}

bool CamSim::OnAvStart(int session, const std::string& account, const std::string&, bool matches) {
    bool accept = matches && !m_config.refusePassword;
    Log("session " + std::to_string(session) + " channel " + (accept ? "accepted" : "refused") + " for account \"" +
        account + "\"");
    return accept;
}

void CamSim::StartTalkback(int session, SessionState& state) {
    int n = ++m_talkbackCount[state.uid];
    std::filesystem::path path;
    do {
        path = std::filesystem::path(m_config.talkbackDir) /
               ("talkback-" + FileSafe(state.uid) + "-" + std::to_string(n) + ".aac");
    } while (std::filesystem::exists(path) && (n = ++m_talkbackCount[state.uid]) > 0);
    state.talkback = std::make_unique<TalkbackWriter>();
    if (!state.talkback->Open(path.string())) {
        Log("session " + std::to_string(session) + " cannot write " + path.string());
        state.talkback.reset();
        return;
    }
    if (m_talkbackFiles.size() == kKeptTalkbackNames) // a camera that runs for months keeps the newest
        m_talkbackFiles.erase(m_talkbackFiles.begin());
    m_talkbackFiles.push_back(path.string());
    Log("session " + std::to_string(session) + " talk-back started: " + path.string());
}

void CamSim::OnIOCtrl(int session, uint32_t type, const uint8_t* payload, size_t length) {
    std::string name = "session " + std::to_string(session);
    std::vector<std::string> faults;
    std::string line;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_sessions.find(session);
        if (it == m_sessions.end())
            return;
        SessionState& state = it->second;
        switch (type) {
        case 0x00FF:
            line = name + " IOCTRL 255 (" + std::to_string(length) + " bytes)";
            break;
        case 0x01FF:
            state.video = true;
            state.needKey = true;
            line = name + " video started";
            break;
        case 0x0300:
            state.audio = true;
            line = name + " audio started";
            break;
        case 0x0350:
            StartTalkback(session, state);
            break;
        case 0x0352:
            if (!state.talkback) {
                faults.push_back("talk-back data without a talk-back start");
            } else {
                int before = state.talkback->GetRecords();
                state.talkback->AddBatch(payload, length, faults);
                m_talkbackRecords += state.talkback->GetRecords() - before;
            }
            break;
        case 0x0351:
            if (state.talkback) {
                line = name + " talk-back stopped: " + std::to_string(state.talkback->GetRecords()) + " records in " +
                       state.talkback->GetPath();
                state.talkback.reset();
            } else {
                line = name + " talk-back stop without a start";
            }
            break;
        default:
            line = name + " IOCTRL " + std::to_string(type) + " ignored (" + std::to_string(length) + " bytes)";
            break;
        }
    }
    if (!line.empty())
        Log(line);
    m_talkbackFaults += static_cast<int>(faults.size());
    for (const std::string& fault : faults)
        Log(name + " talk-back fault: " + fault);
}

bool CamSim::OnAvStop(int session) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_sessions.find(session);
        if (it != m_sessions.end()) {
            it->second.video = false;
            it->second.audio = false;
        }
    }
    Log("session " + std::to_string(session) + " channel stop" +
        (m_config.noStopAck ? " (not acknowledged: fault switch)" : ""));
    return !m_config.noStopAck;
}

void CamSim::OnSessionClosed(int session, int reason) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions.erase(session);
    }
    std::string why = reason == P2P_ERR_SESSION_CLOSED ? "by the client" : P2PResultName(reason);
    Log("session " + std::to_string(session) + " closed: " + why);
}

std::vector<int> CamSim::Targets(const std::string& uid, bool video, bool& needKey) {
    std::vector<int> targets;
    needKey = false;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& [id, state] : m_sessions) {
        if (state.uid != uid || state.faulted || !(video ? state.video : state.audio))
            continue;
        targets.push_back(id);
        needKey = needKey || (video && state.needKey);
    }
    return targets;
}

void CamSim::Housekeeping() {
    while (!m_stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (m_config.closeAfterSeconds <= 0 && m_config.vanishAfterSeconds <= 0)
            continue;
        std::vector<std::pair<int, bool>> due; // session, vanish
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto& [id, state] : m_sessions) {
                auto age = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - state.opened).count();
                if (state.faulted)
                    continue;
                if (m_config.closeAfterSeconds > 0 && age >= m_config.closeAfterSeconds * 1000) {
                    state.faulted = true;
                    due.emplace_back(id, false);
                } else if (m_config.vanishAfterSeconds > 0 && age >= m_config.vanishAfterSeconds * 1000) {
                    state.faulted = true;
                    due.emplace_back(id, true);
                }
            }
        }
        for (auto [id, vanish] : due) {
            Log("session " + std::to_string(id) + (vanish ? " vanishes" : " closed by the device") + " (fault switch)");
            if (vanish)
                m_device.FreezeSession(id);
            else
                m_device.CloseSession(id);
        }
    }
}

// A live input that fails (a camera unplugged) is opened again every 2 s
// while the device keeps its sessions.
void CamSim::Stream(size_t index) {
    const bool live = !m_config.sourceFormat.empty() || !m_config.soundSource.empty();
    for (;;) {
        StreamLoop(index);
        if (!live)
            return;
        for (int waited = 0; waited < 40 && !m_stop.load(); ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (m_stop.load())
            return;
        Log("UID " + m_config.uids[index] + ": opening the live input again");
    }
}

void CamSim::StreamLoop(size_t index) {
    const std::string uid = m_config.uids[index];
    auto encoder = std::make_unique<VideoEncoder>();
    SourceReader source;
    AacEncoder aac;
    SoundReader sound;
    bool useSource = !m_config.source.empty();
    const bool useSound = !m_config.soundSource.empty();
    int opened = useSource ? source.Open(m_config.source, m_config.sourceFormat, m_config.width, m_config.height,
                                         m_config.fps, m_config.maxFrameBytes)
                           : encoder->Open(m_config.width, m_config.height, m_config.fps, m_config.maxFrameBytes);
    if (opened != 0) {
        Log("UID " + uid + ": " + (useSource ? source.GetError() : encoder->GetError()));
        return;
    }
    if (useSound && sound.Open(m_config.soundSource, m_config.soundFormat) != 0) {
        Log("UID " + uid + ": " + sound.GetError());
        return;
    }
    if (aac.Open() != 0) {
        Log("UID " + uid + ": " + aac.GetError());
        return;
    }

    // The stream clock: test picture n is taken at n / fps seconds. Its
    // origin on the system's monotonic clock is logged, so a receiver on
    // this host (any network namespace shares that clock) can tell each
    // picture's delay from its stamp.
    const Clock::time_point start = Clock::now();
    Log("UID " + uid + ": stream clock origin " +
        std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(start.time_since_epoch()).count()) +
        " us (monotonic)");
    auto gridUs = [&](int64_t n) { return n * 1000000 / m_config.fps; };
    int64_t gridFrame = 0;
    Clock::time_point nextVideo = start;
    Clock::time_point nextAudio = start;
    Clock::time_point videoSince{};
    bool videoStarted = false;
    bool resized = false;
    uint32_t videoNumber = 0;
    uint32_t audioNumber = 0;
    std::vector<uint8_t> unit;
    std::vector<std::vector<uint8_t>> audioFrames;
    std::vector<int64_t> audioStarts;
    int64_t sourceUs = 0;
    int64_t sourceSendUs = 0;
    bool sourcePending = false;
    bool sourceKey = false;
    std::vector<float> captured; // live sound not yet encoded
    size_t capturedSamples = 0;  // live sound taken in, encoded or not

    while (!m_stop.load()) {
        Clock::time_point now = Clock::now();
        if (now >= nextVideo) {
            bool needKey = false;
            std::vector<int> targets = Targets(uid, true, needKey);
            bool key = false;
            bool have = false;
            int64_t stampUs = 0;
            if (useSource) {
                // Real time: send the unit whose decode time has come.
                if (!sourcePending) {
                    const int next = source.Next(needKey, !useSound, unit, sourceKey, sourceUs, sourceSendUs);
                    if (next < 0) {
                        Log("UID " + uid + ": " + source.GetError());
                        return;
                    }
                    sourcePending = next == 0;
                }
                if (sourcePending && MicrosSince(start) >= sourceSendUs) {
                    have = true;
                    key = sourceKey;
                    stampUs = sourceUs;
                    sourcePending = false;
                }
                nextVideo = now + std::chrono::milliseconds(2);
            } else {
                if (!targets.empty()) {
                    if (!videoStarted) {
                        videoStarted = true;
                        videoSince = now;
                    }
                    if (!resized && m_config.resizeAfterSeconds > 0 &&
                        now - videoSince >= std::chrono::seconds(m_config.resizeAfterSeconds)) {
                        resized = true;
                        encoder = std::make_unique<VideoEncoder>();
                        if (encoder->Open(m_config.resizeWidth, m_config.resizeHeight, m_config.fps,
                                          m_config.maxFrameBytes) != 0) {
                            Log("UID " + uid + ": " + encoder->GetError());
                            return;
                        }
                        Log("UID " + uid + ": picture size now " + std::to_string(m_config.resizeWidth) + "x" +
                            std::to_string(m_config.resizeHeight) + " (fault switch)");
                    }
                    stampUs = gridUs(gridFrame);
                    TestPicture::Paint(encoder->Picture(), uid, videoNumber, WallClock());
                    TestPicture::PaintBeepMarker(encoder->Picture(), AacEncoder::IsBeepTime(stampUs));
                    if (encoder->Encode(needKey, unit, key) != 0) {
                        Log("UID " + uid + ": the encoder failed");
                        return;
                    }
                    have = !unit.empty();
                    if (unit.empty())
                        ++m_oversized;
                }
                ++gridFrame;
                nextVideo = start + std::chrono::microseconds(gridUs(gridFrame));
                if (now - nextVideo > std::chrono::seconds(1)) {
                    // Fell far behind: skip pictures rather than burst.
                    gridFrame = MicrosSince(start) * int64_t{m_config.fps} / 1000000 + 1;
                    nextVideo = start + std::chrono::microseconds(gridUs(gridFrame));
                }
            }
            if (have) {
                p2p::FrameInfo info;
                info.codec = p2p::kCodecH264;
                info.flags = key ? p2p::kFrameFlagKey : 0;
                info.frameNumber = videoNumber;
                info.timestamp = static_cast<uint32_t>(stampUs);
                for (int session : targets) {
                    bool waitKey;
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        auto it = m_sessions.find(session);
                        if (it == m_sessions.end())
                            continue;
                        if (key)
                            it->second.needKey = false;
                        waitKey = it->second.needKey;
                    }
                    if (waitKey)
                        continue;
                    if (m_device.SendVideo(session, info, unit.data(), unit.size()) == 0) {
                        ++m_videoSent;
                    } else {
                        // A refused frame: what follows refers to it, so that
                        // viewer gets nothing until the next key frame.
                        std::lock_guard<std::mutex> lock(m_mutex);
                        auto it = m_sessions.find(session);
                        if (it != m_sessions.end())
                            it->second.needKey = true;
                    }
                }
            }
            if (have || !useSource)
                ++videoNumber;
        }
        if (now >= nextAudio) {
            // The sound is made, not heard: the encoder is fed ahead of the
            // stream clock, so that each frame goes out when its first sample
            // is due, as quick as the picture, and not the encoder's two frames
            // later. Frames before the start of the stream are not sent.
            const int64_t nowUs = MicrosSince(start);
            if (useSound) {
                // Live sound: sample n was taken n / 8000 s after the stream started.
                const size_t due = static_cast<size_t>(nowUs * AacEncoder::kSampleRate / 1000000);
                const size_t before = captured.size();
                if (sound.Read(captured, due > capturedSamples ? due - capturedSamples : 0) != 0) {
                    Log("UID " + uid + ": " + sound.GetError());
                    return;
                }
                capturedSamples += captured.size() - before;
                size_t used = 0;
                for (; captured.size() - used >= AacEncoder::kFrameSamples; used += AacEncoder::kFrameSamples) {
                    if (aac.EncodeNext(audioFrames, &audioStarts, captured.data() + used) != 0) {
                        Log("UID " + uid + ": the AAC encoder failed");
                        return;
                    }
                }
                captured.erase(captured.begin(), captured.begin() + static_cast<std::ptrdiff_t>(used));
            }
            while (!useSound &&
                   (audioFrames.empty() || audioStarts.back() * 1000000 / AacEncoder::kSampleRate <= nowUs)) {
                if (aac.EncodeNext(audioFrames, &audioStarts) != 0) {
                    Log("UID " + uid + ": the AAC encoder failed");
                    return;
                }
            }
            bool unused;
            std::vector<int> targets = Targets(uid, false, unused);
            size_t sent = 0;
            for (; sent < audioFrames.size(); ++sent) {
                const int64_t firstUs = audioStarts[sent] * 1000000 / AacEncoder::kSampleRate;
                if (firstUs > nowUs)
                    break;
                if (firstUs < 0)
                    continue;
                p2p::FrameInfo info;
                info.codec = p2p::kCodecAac;
                info.frameNumber = audioNumber++;
                info.timestamp = static_cast<uint32_t>(firstUs);
                for (int session : targets) {
                    if (m_device.SendAudio(session, info, audioFrames[sent].data(), audioFrames[sent].size()) == 0)
                        ++m_audioSent;
                }
            }
            audioFrames.erase(audioFrames.begin(), audioFrames.begin() + static_cast<std::ptrdiff_t>(sent));
            audioStarts.erase(audioStarts.begin(), audioStarts.begin() + static_cast<std::ptrdiff_t>(sent));
            nextAudio =
                audioStarts.empty() || useSound
                    ? now + std::chrono::milliseconds(10)
                    : start + std::chrono::microseconds(audioStarts.front() * 1000000 / AacEncoder::kSampleRate);
        }
        Clock::time_point wake = std::min(nextVideo, nextAudio);
        Clock::time_point limit = Clock::now() + std::chrono::milliseconds(50);
        std::this_thread::sleep_until(std::min(wake, limit));
    }
}
