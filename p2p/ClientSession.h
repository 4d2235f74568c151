#pragma once

#include "p2p/Connection.h"
#include "p2p/Protocol.h"
#include "p2p/StreamBridge.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The client's side of one session: the connection, the answers the API
// calls wait for, and the frames received and not yet taken. All fields are
// guarded by `mutex`; waiters sleep on `cv`, which every change wakes, except
// that a frame wakes only the reader of its kind (`frameCv`). The
// handler calls run on the process's I/O loop and never wait: they take the
// lock only for short work (OnSecured reads and writes the small pinning
// file, outside the lock).
class ClientSession : public Connection::Handler {
public:
    enum State { Idle, Connecting, Connected, Ended };

    struct Frame {
        std::vector<uint8_t> data;
        uint8_t info[p2p::kFrameInfoSize];
    };

    // Frames waiting beyond these are dropped (the next take reports a lost
    // frame): at most this many per queue, and this many bytes of frame
    // storage in all (queued frames and spare buffers, by capacity), so a
    // device can never make the client hold more. An audio frame larger than
    // kMaxAudioFrameBytes is refused the same way. Audio is kept only once the
    // application has asked for it (IOCTRL 768, or a take or wait for audio).
    static constexpr size_t kMaxVideoFrames = 64;
    static constexpr size_t kMaxAudioFrames = 256;
    static constexpr size_t kMaxBufferedBytes = 4 * 1024 * 1024;
    static constexpr size_t kMaxAudioFrameBytes = 1024;
    static constexpr size_t kMaxSpares = 8;
    static constexpr size_t kSpareSlack = 4096;

    explicit ClientSession(int id) : id(id) {}
    ~ClientSession() override;

    int OnMessage(uint16_t type, const uint8_t* payload, size_t length) override;
    bool Accepts(uint16_t type) const override;
    // Asks checkIdentity (when set) whether the device's key is the one
    // pinned for the UID, and keeps both fingerprints.
    int OnSecured(const std::string& fingerprint) override;
    // Waiters are woken once per read, so that an answer that came together
    // with the session's end is only seen with that end.
    void OnReadDone() override;
    void OnClosed(int reason, int peerReason) override;

    // Marks the session cancelled, so that a call waiting on it gives up at
    // once, and asks its connection to close; the connection is returned for
    // the caller to join. Call without the lock.
    std::unique_ptr<Connection> Cancel();
    // Cancel, and wait until the connection has ended.
    void Shutdown();
    // Closes the connection and waits for it, without cancelling the session:
    // a failed connect leaves the id ready for another try.
    void Disconnect();
    // Readies an idle or ended session for a connect; false while one is
    // under way or connected. The lock must be held.
    bool BeginConnect(const std::string& uid);
    // Takes the next frame of a queue into the caller's buffer; see avRecvFrameData2.
    int Take(bool video, char* buf, int bufSize, int* actualSize, int* expectedSize, char* info, int infoSize,
             int* infoActual, unsigned int* frameIndex);
    // Empties both queues and the spares (lock held).
    void DropFrames();
    // The code a take answers when the queue is empty (lock held).
    int EmptyCode() const;
    // Waits at most timeoutMs until a take of the queue would answer anything
    // but "no data"; P2P_OK then, else P2P_ERR_NO_DATA.
    int WaitFrame(bool video, int timeoutMs);

    // Wakes every waiter: after a change of state, a cancel or a stop.
    void NotifyAll();

    const int id;
    std::mutex mutex;
    std::condition_variable cv;
    // WaitFrame's, [1] video and [0] audio: woken once per read that brought
    // frames of the kind (a reader wakes for its own frames only), and by NotifyAll.
    std::condition_variable frameCv[2];
    bool frameNews[2] = {false, false};        // a frame of the kind came since the last wake
    std::unique_ptr<p2p::StreamBridge> bridge; // carries `connection` over a broker path's stream
    std::unique_ptr<Connection> connection;
    State state = Idle;
    int endReason = 0;
    int peerReason = 0;     // what the device's close message said
    bool cancelled = false; // closed or de-initialised while a call waited
    std::string uid;
    std::string remote;
    std::string path;                 // "lan", "direct" or "relay": how the connection reached the device
    std::function<void()> cancelDial; // ends a broker dial under way; Cancel calls it
    // Compares the device's fingerprint with the pinned one (set before the
    // connection starts): 0, or the code that refuses the device, with the
    // pinned fingerprint in `expected`.
    std::function<int(const std::string& seen, std::string& expected)> checkIdentity;
    std::string seenFingerprint;     // what the device showed in the last handshake
    std::string expectedFingerprint; // what was pinned for the UID then
    bool secured = false;            // the last connect got through the handshake

    // The device's answer to HELLO: staged as it is parsed and published
    // once the read that brought it is done (or the session ends), so that a
    // waiter woken by an earlier read never sees it without a close that
    // came in the same read.
    std::optional<int32_t> stagedHello;
    std::optional<int32_t> helloResult;
    std::optional<int32_t> avStartResult;
    int staleStartAcks = 0; // answers still due to channel starts that timed out
    bool avActive = false;
    bool avCancelled = false;
    bool stopAcked = false;

    std::deque<Frame> video;
    std::deque<Frame> audio;
    bool videoLost = false;
    bool audioLost = false;
    uint64_t videoArrived = 0; // frames that came in on the open channel (kept or dropped)
    uint64_t audioArrived = 0;
    size_t heldBytes = 0; // capacity of the queued frames and of the spares
    bool audioWanted = false;

private:
    bool Readable(bool video) const;
    void Queue(bool video, const uint8_t* payload, size_t length);
    std::vector<uint8_t> TakeSpare(size_t bytes);
    void FreeSpares();

    std::vector<std::vector<uint8_t>> m_spare; // recycled frame storage
};
