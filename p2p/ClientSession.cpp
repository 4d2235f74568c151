#include "p2p/ClientSession.h"

#include "p2p/P2PErrors.h"

#include <chrono>
#include <cstring>

using namespace p2p;

ClientSession::~ClientSession() {
    Shutdown();
}

std::unique_ptr<Connection> ClientSession::Cancel() {
    std::unique_ptr<Connection> connection_;
    std::function<void()> cancelDial_;
    {
        std::lock_guard<std::mutex> lock(mutex);
        connection_ = std::move(connection);
        cancelDial_ = cancelDial;
        cancelled = true;
    }
    NotifyAll();
    if (cancelDial_)
        cancelDial_();
    if (connection_)
        connection_->Close(P2P_ERR_LOCAL_CLOSE);
    return connection_;
}

void ClientSession::Shutdown() {
    if (std::unique_ptr<Connection> connection_ = Cancel())
        connection_->Join();
}

void ClientSession::Disconnect() {
    std::unique_ptr<Connection> connection_;
    std::unique_ptr<p2p::StreamBridge> bridge_;
    {
        std::lock_guard<std::mutex> lock(mutex);
        connection_ = std::move(connection);
        bridge_ = std::move(bridge);
    }
    if (connection_) {
        connection_->Close(P2P_ERR_LOCAL_CLOSE);
        connection_->Join();
    }
    bridge_.reset(); // after the connection, so that its goodbye goes out
}

bool ClientSession::BeginConnect(const std::string& uid_) {
    if (cancelled || state == Connecting || state == Connected)
        return false;
    state = Connecting;
    uid = uid_;
    remote.clear();
    path.clear();
    endReason = 0;
    peerReason = 0;
    stagedHello.reset();
    helloResult.reset();
    avStartResult.reset();
    staleStartAcks = 0;
    avActive = false;
    stopAcked = false;
    audioWanted = false;
    secured = false;
    seenFingerprint.clear();
    expectedFingerprint.clear();
    DropFrames();
    return true;
}

bool ClientSession::Accepts(uint16_t type) const {
    return type == MSG_HELLO_ACK || type == MSG_AV_START_ACK || type == MSG_AV_STOP_ACK || type == MSG_VIDEO ||
           type == MSG_AUDIO;
}

int ClientSession::OnSecured(const std::string& fingerprint) {
    std::function<int(const std::string&, std::string&)> check;
    {
        std::lock_guard<std::mutex> lock(mutex);
        check = checkIdentity;
    }
    std::string expected;
    int result = check ? check(fingerprint, expected) : 0; // reads and writes a file: not under the lock
    std::lock_guard<std::mutex> lock(mutex);
    secured = true;
    seenFingerprint = fingerprint;
    expectedFingerprint = expected;
    return result;
}

int ClientSession::OnMessage(uint16_t type, const uint8_t* payload, size_t length) {
    std::lock_guard<std::mutex> lock(mutex);
    switch (type) {
    case MSG_HELLO_ACK: {
        int32_t result;
        if (!DecodeResult(payload, length, result) || stagedHello || helloResult)
            return P2P_ERR_PROTOCOL;
        stagedHello = result;
        break;
    }
    case MSG_AV_START_ACK: {
        int32_t result;
        if (!DecodeResult(payload, length, result))
            return P2P_ERR_PROTOCOL;
        if (staleStartAcks > 0)
            --staleStartAcks; // the late answer to a start that was given up and stopped
        else
            avStartResult = result;
        break;
    }
    case MSG_AV_STOP_ACK:
        stopAcked = true;
        break;
    case MSG_VIDEO:
    case MSG_AUDIO:
        if (!avActive)
            return 0; // frames still in flight after a stop
        Queue(type == MSG_VIDEO, payload, length);
        break;
    default:
        return P2P_ERR_PROTOCOL; // nothing else may come from a device
    }
    return 0;
}

void ClientSession::OnReadDone() {
    bool news[2];
    {
        std::lock_guard<std::mutex> lock(mutex);
        helloResult = helloResult ? helloResult : stagedHello;
        news[0] = frameNews[0];
        news[1] = frameNews[1];
        frameNews[0] = frameNews[1] = false;
    }
    cv.notify_all();
    for (int kind : {0, 1})
        if (news[kind])
            frameCv[kind].notify_all();
}

void ClientSession::NotifyAll() {
    cv.notify_all();
    frameCv[0].notify_all();
    frameCv[1].notify_all();
}

void ClientSession::Queue(bool isVideo, const uint8_t* payload, size_t length) {
    std::deque<Frame>& queue = isVideo ? video : audio;
    ++(isVideo ? videoArrived : audioArrived);
    if (!isVideo && !audioWanted)
        return;                        // nobody will take it
    frameNews[isVideo ? 1 : 0] = true; // queued or lost, a take now answers
    const size_t bytes = length - kFrameInfoSize;
    if (heldBytes + bytes > kMaxBufferedBytes)
        FreeSpares();
    const bool full = queue.size() >= (isVideo ? kMaxVideoFrames : kMaxAudioFrames) ||
                      heldBytes + bytes > kMaxBufferedBytes || (!isVideo && bytes > kMaxAudioFrameBytes);
    if (full) {
        (isVideo ? videoLost : audioLost) = true;
        return;
    }
    Frame frame;
    frame.data = TakeSpare(bytes);
    heldBytes -= frame.data.capacity();
    std::memcpy(frame.info, payload, kFrameInfoSize);
    frame.data.assign(payload + kFrameInfoSize, payload + length);
    heldBytes += frame.data.capacity();
    queue.push_back(std::move(frame));
}

std::vector<uint8_t> ClientSession::TakeSpare(size_t bytes) {
    // A spare much larger than the frame would hold its capacity for nothing.
    for (auto it = m_spare.begin(); it != m_spare.end(); ++it) {
        if (it->capacity() >= bytes && it->capacity() <= 2 * bytes + kSpareSlack) {
            std::vector<uint8_t> spare = std::move(*it);
            m_spare.erase(it);
            return spare;
        }
    }
    return {};
}

void ClientSession::FreeSpares() {
    for (const std::vector<uint8_t>& spare : m_spare)
        heldBytes -= spare.capacity();
    m_spare.clear();
}

void ClientSession::DropFrames() {
    video.clear();
    audio.clear();
    m_spare.clear();
    heldBytes = 0;
    videoLost = audioLost = false;
}

void ClientSession::OnClosed(int reason, int peerReason_) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        state = Ended;
        helloResult = helloResult ? helloResult : stagedHello;
        endReason = reason;
        peerReason = peerReason_;
    }
    NotifyAll();
}

int ClientSession::EmptyCode() const {
    if (state == Ended)
        return endReason == P2P_ERR_REMOTE_TIMEOUT ? P2P_ERR_REMOTE_TIMEOUT : P2P_ERR_SESSION_CLOSED;
    if (state != Connected || !avActive)
        return P2P_ERR_INVALID_SESSION;
    return P2P_ERR_NO_DATA;
}

bool ClientSession::Readable(bool isVideo) const {
    return (isVideo ? videoLost : audioLost) || !(isVideo ? video : audio).empty() || EmptyCode() != P2P_ERR_NO_DATA ||
           cancelled;
}

int ClientSession::WaitFrame(bool isVideo, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex);
    audioWanted = audioWanted || !isVideo;
    bool ready = frameCv[isVideo ? 1 : 0].wait_for(lock, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                                                   [&] { return Readable(isVideo); });
    return ready ? P2P_OK : P2P_ERR_NO_DATA;
}

int ClientSession::Take(bool isVideo, char* buf, int bufSize, int* actualSize, int* expectedSize, char* info,
                        int infoSize, int* infoActual, unsigned int* frameIndex) {
    std::lock_guard<std::mutex> lock(mutex);
    audioWanted = audioWanted || !isVideo;
    bool& lost = isVideo ? videoLost : audioLost;
    std::deque<Frame>& queue = isVideo ? video : audio;
    if (lost) {
        lost = false;
        return P2P_ERR_FRAME_LOST;
    }
    if (queue.empty())
        return EmptyCode();
    Frame frame = std::move(queue.front());
    queue.pop_front();
    int size = static_cast<int>(frame.data.size());
    if (expectedSize != nullptr)
        *expectedSize = size;
    FrameInfo decoded = DecodeFrameInfo(frame.info);
    if (frameIndex != nullptr)
        *frameIndex = decoded.frameNumber;
    int result;
    if (size > bufSize) {
        if (actualSize != nullptr)
            *actualSize = 0;
        result = P2P_ERR_BUFFER_TOO_SMALL;
    } else {
        std::memcpy(buf, frame.data.data(), frame.data.size());
        if (actualSize != nullptr)
            *actualSize = size;
        if (info != nullptr && infoSize > 0) {
            int n = infoSize < static_cast<int>(kFrameInfoSize) ? infoSize : static_cast<int>(kFrameInfoSize);
            std::memcpy(info, frame.info, static_cast<size_t>(n));
            if (infoActual != nullptr)
                *infoActual = n;
        }
        result = size;
    }
    if (m_spare.size() < kMaxSpares) {
        frame.data.clear();
        m_spare.push_back(std::move(frame.data)); // its capacity stays counted in heldBytes
    } else {
        heldBytes -= frame.data.capacity();
    }
    return result;
}
