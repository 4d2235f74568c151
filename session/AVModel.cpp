#include "session/AVModel.h"

#include "p2p/P2PApi.h"
#include "p2p/P2PErrors.h"
#include "platform/NamedMutex.h"
#include "platform/ThreadName.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>

namespace {

constexpr unsigned int IOCTRL_SESSION_INIT = 0x00FF;
constexpr unsigned int IOCTRL_START_VIDEO = 0x01FF;
constexpr unsigned int IOCTRL_START_AUDIO = 0x0300;
constexpr unsigned int IOCTRL_SPEAKER_START = 0x0350;
constexpr unsigned int IOCTRL_SPEAKER_STOP = 0x0351;
constexpr unsigned int IOCTRL_SPEAKER_DATA = 0x0352;

constexpr int kNoData = -20012;
constexpr int kIncompleteFrame = -20013;
constexpr int kFrameLost = -20014;
constexpr int kSessionClosed = -20015;
constexpr int kRemoteTimeout = -20016;
constexpr int kInvalidSession = -14;
constexpr int kInvalidArgument = -20000;
constexpr int kNoPermission = -20023;

// Created during start-up, before any model exists, and never closed.
NamedMutex& InitLock() {
    static NamedMutex lock("IOTCInitLock");
    return lock;
}
[[maybe_unused]] NamedMutex& g_initLockAtStartup = InitLock();

uint32_t TimestampOf(const char info[16]) {
    const auto* p = reinterpret_cast<const uint8_t*>(info);
    return static_cast<uint32_t>(p[12]) | (static_cast<uint32_t>(p[13]) << 8) | (static_cast<uint32_t>(p[14]) << 16) |
           (static_cast<uint32_t>(p[15]) << 24);
}

// What the short-lived stop thread shares with Close. The thread owns a copy
// of the channel index and a reference to this, nothing of the model: when it
// outlives Close's wait it is detached and may finish after the model is gone.
struct StopSignal {
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
};

// True when the frame's first slice is an IDR slice: decoding can start there.
bool IsKeyFrame(const char* data, int length) {
    const auto* p = reinterpret_cast<const uint8_t*>(data);
    for (int i = 0; i + 3 < length; ++i) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1)
            continue;
        const int type = p[i + 3] & 0x1F;
        if (type >= 1 && type <= 5)
            return type == 5;
        i += 2;
    }
    return false;
}

// False when the frame was dropped (the queue is full).
bool QueueFrame(FrameBufferList* queue, const char* data, int length, const char info[16]) {
    if (queue == nullptr || static_cast<uint32_t>(length) > queue->GetBufferSize())
        return false;
    FrameBuffer* buf = queue->AcquireFree();
    if (buf == nullptr)
        return false;
    buf->SetTimestamp(TimestampOf(info));
    buf->SetLength(static_cast<uint32_t>(length));
    std::memcpy(buf->GetData(), data, static_cast<size_t>(length));
    // The decoder reads the buffer in place and may read a little past the end.
    const uint32_t padding = std::min(AVModel::kFramePadding, queue->GetBufferSize() - static_cast<uint32_t>(length));
    std::memset(buf->GetData() + length, 0, padding);
    queue->MarkReady(buf);
    return true;
}

} // namespace

int32_t AVModel::sdkUsers = 0;

AVModel::AVModel() {
    sdkReady = AcquireSdk() == 0;
}

AVModel::~AVModel() {
    if (audioThread.joinable()) {
        audioStop.store(1);
        audioThread.join();
    }
    audioQueue.reset();
    if (videoThread.joinable()) {
        videoStop.store(1);
        videoThread.join();
    }
    videoQueue.reset();
    Close();
    if (sdkReady)
        ReleaseSdk();
}

int AVModel::AcquireSdk() {
    std::lock_guard<NamedMutex> lock(InitLock());
    sdkUsers += 1;
    if (sdkUsers > 1)
        return 0;
    int r = IOTC_Initialize2(0);
    if (r == P2P_ERR_ALREADY_INITIALISED) {
        avDeInitialize();
        IOTC_DeInitialize();
        r = IOTC_Initialize2(0);
    }
    if (r != 0) {
        sdkUsers -= 1;
        return -1;
    }
    if (avInitialize(8) < 0) {
        IOTC_DeInitialize();
        sdkUsers -= 1;
        return -1;
    }
    return 0;
}

void AVModel::ReleaseSdk() {
    std::lock_guard<NamedMutex> lock(InitLock());
    sdkUsers -= 1;
    if (sdkUsers <= 0) {
        avDeInitialize();
        IOTC_DeInitialize();
    }
}

int AVModel::Connect(const char* uid, const std::string& password) {
    if (!sdkReady)
        return -1;
    sessionId = IOTC_Get_SessionID();
    if (sessionId < 0) {
        // The transport stays up: the other panes may be using it.
        sessionId = -1;
        return -1;
    }
    if (!HoldSession(sessionId)) {
        Close();
        return -1;
    }
    int r = IOTC_Connect_ByUID_Parallel(uid, sessionId);
    m_seenIdentity.clear();
    m_pinnedIdentity.clear();
    if (r == P2P_ERR_IDENTITY_MISMATCH) {
        char seen[64] = "", pinned[64] = "";
        IOTC_Session_Identity(sessionId, seen, sizeof seen, pinned, sizeof pinned);
        m_seenIdentity = seen;
        m_pinnedIdentity = pinned;
    }
    if (r < 0) {
        Close();
        return r;
    }
    P2PSessionInfo info;
    IOTC_Session_Check(sessionId, &info);
    int resend = 0;
    avIndex.store(
        avClientStart2(sessionId, "admin", password.empty() ? "531642" : password.c_str(), 5000, nullptr, 0, &resend));
    if (avIndex.load() < 0) {
        int error = avIndex.load();
        Close();
        avIndex.store(error);
        return error;
    }
    if (!FinishConnect()) { // cancelled right after the device answered
        Close();
        return -1;
    }
    const char zero[2] = {0, 0};
    avSendIOCtrl(avIndex.load(), IOCTRL_SESSION_INIT, zero, 2);
    return 0;
}

bool AVModel::HoldSession(int32_t id) {
    std::lock_guard<std::mutex> lock(m_cancelMutex);
    m_heldSession = id;
    return !m_connectCancelled;
}

// The session is open: from now on a cancel closes nothing (shutting down a
// live pane stops it in order, so that its recording is finalised).
bool AVModel::FinishConnect() {
    std::lock_guard<std::mutex> lock(m_cancelMutex);
    m_heldSession = -1;
    return !m_connectCancelled;
}

void AVModel::CancelConnect() {
    std::lock_guard<std::mutex> lock(m_cancelMutex);
    m_connectCancelled = true;
    // Session ids are not reused soon, so the owner's own close later finds
    // nothing to close rather than another pane's session.
    if (m_heldSession >= 0)
        IOTC_Session_Close(m_heldSession);
}

void AVModel::AllowConnect() {
    std::lock_guard<std::mutex> lock(m_cancelMutex);
    m_connectCancelled = false;
}

int AVModel::Close() {
    if (!sdkReady)
        return -1;
    int index = avIndex.load();
    if (index >= 0) {
        auto signal = std::make_shared<StopSignal>();
        try {
            std::thread stopper([index, signal] {
                avClientStop(index);
                {
                    std::lock_guard<std::mutex> lock(signal->mutex);
                    signal->finished = true;
                }
                signal->cv.notify_all();
            });
            bool finished;
            {
                std::unique_lock<std::mutex> lock(signal->mutex);
                finished =
                    signal->cv.wait_for(lock, std::chrono::milliseconds(kStopWaitMs), [&] { return signal->finished; });
            }
            if (finished)
                stopper.join();
            else
                stopper.detach(); // ends once the session below is closed
        } catch (const std::system_error&) {
            // No thread: close the session without telling the device first.
        }
        avIndex.store(-1);
    }
    if (sessionId >= 0) {
        {
            std::lock_guard<std::mutex> lock(m_cancelMutex);
            m_heldSession = -1;
        }
        IOTC_Session_Close(sessionId);
        sessionId = -1;
    }
    return 0;
}

int AVModel::CreateVideoQueue() {
    videoQueue.reset();
    videoQueue = std::make_unique<FrameBufferList>(kVideoBuffers, kVideoBufferSize, false);
    return 0;
}

int AVModel::CreateAudioQueue() {
    audioQueue.reset();
    audioQueue = std::make_unique<FrameBufferList>(kAudioBuffers, kAudioBufferSize);
    return 0;
}

int AVModel::FreeVideoQueue() {
    videoQueue.reset();
    return 0;
}

int AVModel::FreeAudioQueue() {
    audioQueue.reset();
    return 0;
}

int AVModel::StartVideo() {
    return StartReceiver(true);
}
int AVModel::StartAudio() {
    return StartReceiver(false);
}

int AVModel::StartReceiver(bool video) {
    int index = avIndex.load();
    if (index < 0)
        return -1;
    if (avSendIOCtrl(index, video ? IOCTRL_START_VIDEO : IOCTRL_START_AUDIO, nullptr, 0) != 0)
        return -1;
    // A loop that ended by itself still holds its handle: collect it first.
    StopReceiver(video);
    std::atomic<uint8_t>& stop = video ? videoStop : audioStop;
    std::atomic<bool>& running = video ? m_videoLoopRunning : m_audioLoopRunning;
    stop.store(0);
    running.store(true);
    try {
        if (video)
            videoThread = std::thread(&AVModel::VideoLoop, this);
        else
            audioThread = std::thread(&AVModel::AudioLoop, this);
    } catch (const std::system_error&) {
        stop.store(1);
        running.store(false);
        return -1;
    }
    return 0;
}

int AVModel::StopVideo() {
    StopReceiver(true);
    return 0;
}

int AVModel::StopAudio() {
    StopReceiver(false);
    return 0;
}

void AVModel::StopReceiver(bool video) {
    std::thread& thread = video ? videoThread : audioThread;
    if (!thread.joinable())
        return;
    (video ? videoStop : audioStop).store(1);
    thread.join();
}

void AVModel::VideoLoop() {
    NameThisThread("vantor-vrecv");
    // Not cleared: only the pages the largest frame so far touched become resident.
    auto frame = std::make_unique_for_overwrite<char[]>(kLargestVideoFrame);
    char* buf = frame.get();
    char info[16] = {};
    // After a lost frame the frames that refer to it would decode (and be
    // recorded) broken: they are skipped up to the next key frame, or for
    // kKeyFrameWaitMs with a camera that sends none.
    bool waitKey = false;
    auto lostAt = std::chrono::steady_clock::now();
    auto lose = [&] {
        if (!waitKey)
            lostAt = std::chrono::steady_clock::now();
        waitKey = true;
    };
    while (videoStop.load() != 1) {
        int actualSize = 0, expectedSize = 0, infoSize = 0;
        unsigned int frameIndex = 0;
        int n = avRecvFrameData2(avIndex.load(), buf, static_cast<int>(kLargestVideoFrame), &actualSize, &expectedSize,
                                 info, sizeof info, &infoSize, &frameIndex);
        if (n == kNoData) {
            // Sleeps until a frame for this channel is in, 300 ms at most.
            avWaitFrameData(avIndex.load(), kNoDataWaitMs);
            continue;
        }
        if (n == kFrameLost || n == kIncompleteFrame) {
            lose();
            continue;
        }
        if (n == kSessionClosed || n == kRemoteTimeout || n == kInvalidSession)
            break;
        if (n < 0)
            continue;
        m_videoFrames.fetch_add(1);
        if (waitKey && !IsKeyFrame(buf, n) &&
            std::chrono::steady_clock::now() - lostAt < std::chrono::milliseconds(kKeyFrameWaitMs))
            continue;
        waitKey = false;
        if (!QueueFrame(videoQueue.get(), buf, n, info))
            lose();
    }
    m_videoLoopRunning.store(false);
}

void AVModel::AudioLoop() {
    NameThisThread("vantor-arecv");
    char buf[kAudioBufferSize];
    char info[16] = {};
    while (audioStop.load() != 1) {
        unsigned int frameIndex = 0;
        int n = avRecvAudioData(avIndex.load(), buf, sizeof buf, info, sizeof info, &frameIndex);
        if (n == kNoData) {
            avWaitAudioData(avIndex.load(), kNoDataWaitMs);
            continue;
        }
        if (n == kFrameLost)
            continue;
        if (n == kSessionClosed || n == kRemoteTimeout || n == kInvalidSession || n == kInvalidArgument ||
            n == kNoPermission)
            break;
        if (n < 0)
            continue;
        QueueFrame(audioQueue.get(), buf, n, info);
    }
    m_audioLoopRunning.store(false);
}

int AVModel::StartSpeaker() {
    int index = avIndex.load();
    if (index < 0)
        return -1;
    return avSendIOCtrl(index, IOCTRL_SPEAKER_START, nullptr, 0) == 0 ? 0 : -1;
}

int AVModel::SendSpeakerData(const void* data, int length) {
    int index = avIndex.load();
    if (index < 0)
        return -1;
    return avSendIOCtrl(index, IOCTRL_SPEAKER_DATA, static_cast<const char*>(data), length) == 0 ? 0 : -1;
}

int AVModel::StopSpeaker() {
    int index = avIndex.load();
    if (index < 0)
        return -1;
    return avSendIOCtrl(index, IOCTRL_SPEAKER_STOP, nullptr, 0) == 0 ? 0 : -1;
}
