#include "p2p/BrokerDialer.h"

#include "p2p/P2PErrors.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace p2p {

// What the callbacks of the stream and of the call share while the dial
// runs; cut when it ends, as the stream outlives the call. No lock here is
// held while calling into the stream, whose signals may come back at once.
struct BrokerDialer::Link {
    std::mutex mutex; // guards call, remoteReady, early, earlyDone
    SignalingCall* call = nullptr;
    // The device's trickled candidates wait until its answer's credentials are set.
    bool remoteReady = false;
    std::vector<std::string> early;
    bool earlyDone = false;

    std::mutex wakeMutex; // with `changed`: the stream's state moved, or a cancel
    std::condition_variable changed;
    std::atomic<bool> cancelled{false};
};

namespace {

IceStream::Options StreamOptions(const P2PSettings& s) {
    IceStream::Options o;
    o.controlling = true;
    o.stun = s.stun;
    o.turn = s.turn;
    o.turnUser = s.turnUser;
    o.turnPassword = s.turnPassword;
    return o;
}

} // namespace

BrokerDialer::BrokerDialer(const P2PSettings& settings) : m_settings(settings), m_link(std::make_shared<Link>()) {}

BrokerDialer::~BrokerDialer() = default;

void BrokerDialer::Cancel() {
    m_link->cancelled.store(true);
    {
        std::lock_guard<std::mutex> lock(m_link->mutex);
        if (m_link->call != nullptr)
            m_link->call->Cancel();
    }
    std::lock_guard<std::mutex> lock(m_link->wakeMutex);
    m_link->changed.notify_all();
}

int BrokerDialer::Dial(const std::string& uid, int answerTimeoutMs, int connectTimeoutMs,
                       std::unique_ptr<IceStream>& out) {
    auto answerBy = std::chrono::steady_clock::now() + std::chrono::milliseconds(answerTimeoutMs);
    std::shared_ptr<Link> link = m_link;
    auto stream = std::make_unique<IceStream>(StreamOptions(m_settings), [link](const std::string& candidate) {
        std::lock_guard<std::mutex> lock(link->mutex);
        if (link->call != nullptr && candidate.empty())
            link->call->SendDone();
        else if (link->call != nullptr)
            link->call->SendCandidate(candidate);
    });
    stream->SetCallback([link] {
        std::lock_guard<std::mutex> lock(link->wakeMutex);
        link->changed.notify_all();
    });
    IceStream* ice = stream.get();
    SignalingCall call(m_settings, uid, [ice, link](const std::string& candidate) {
        {
            std::lock_guard<std::mutex> lock(link->mutex);
            if (!link->remoteReady) {
                if (candidate.empty())
                    link->earlyDone = true;
                else
                    link->early.push_back(candidate);
                return;
            }
        }
        if (candidate.empty())
            ice->RemoteCandidatesDone();
        else
            ice->AddRemoteCandidate(candidate);
    });
    {
        std::lock_guard<std::mutex> lock(link->mutex);
        link->call = &call;
        if (link->cancelled.load())
            call.Cancel(); // cancelled before the call was there to hear it
    }
    int r = stream->Start();
    SignalMessage offer;
    offer.ufrag = stream->LocalUfrag();
    offer.pwd = stream->LocalPwd();
    SignalMessage answer;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(answerBy - std::chrono::steady_clock::now());
    if (r == P2P_OK)
        r = call.Call(offer, static_cast<int>(left.count()), answer);
    m_outcome = call.Result();
    if (r == P2P_OK)
        r = Connect(*stream, answer, *link,
                    std::chrono::steady_clock::now() + std::chrono::milliseconds(connectTimeoutMs));
    {
        std::lock_guard<std::mutex> lock(link->mutex);
        link->call = nullptr;
    }
    if (r == P2P_OK) {
        stream->SetCallback({});
        out = std::move(stream);
    }
    return r;
}

int BrokerDialer::Connect(IceStream& stream, const SignalMessage& answer, Link& link,
                          std::chrono::steady_clock::time_point deadline) {
    if (!stream.SetRemoteCredentials(answer.ufrag, answer.pwd))
        return P2P_ERR_CONNECT_FAILED;
    std::vector<std::string> candidates = answer.candidates;
    bool done = false;
    {
        std::lock_guard<std::mutex> lock(link.mutex);
        candidates.insert(candidates.end(), link.early.begin(), link.early.end());
        done = link.earlyDone;
        link.remoteReady = true;
    }
    for (const std::string& candidate : candidates)
        stream.AddRemoteCandidate(candidate);
    if (done)
        stream.RemoteCandidatesDone();
    std::unique_lock<std::mutex> lock(link.wakeMutex);
    link.changed.wait_until(
        lock, deadline, [&] { return link.cancelled.load() || stream.GetState() != ByteStream::State::Connecting; });
    if (link.cancelled.load())
        return P2P_ERR_CANCELLED;
    return stream.GetState() == ByteStream::State::Connected ? P2P_OK : P2P_ERR_CONNECT_FAILED;
}

} // namespace p2p
