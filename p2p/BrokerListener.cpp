#include "p2p/BrokerListener.h"

#include "p2p/P2PErrors.h"

namespace p2p {

struct BrokerListener::Outbox {
    std::mutex mutex;
    BrokerListener* owner = nullptr;
};

BrokerListener::BrokerListener(const P2PSettings& settings, std::vector<std::string> uids, StreamHandler onStream)
    : m_settings(settings), m_onStream(std::move(onStream)), m_outbox(std::make_shared<Outbox>()) {
    m_outbox->owner = this;
    m_signaling = std::make_unique<SignalingDevice>(
        settings, std::move(uids), [this](const std::string& uid, const SignalMessage& m) { OnSignal(uid, m); });
}

BrokerListener::~BrokerListener() {
    {
        std::lock_guard<std::mutex> lock(m_outbox->mutex);
        m_outbox->owner = nullptr;
    }
    m_signaling.reset();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_changed.notify_all();
    }
    if (m_worker.joinable())
        m_worker.join();
}

int BrokerListener::Start() {
    int r = m_signaling->Start();
    if (r == P2P_OK && !m_worker.joinable())
        m_worker = std::thread([this] { Run(); });
    return r;
}

void BrokerListener::OnSignal(const std::string& uid, const SignalMessage& message) {
    if (message.type == SignalMessage::Offer) {
        Answer(uid, message);
        return;
    }
    std::shared_ptr<IceStream> stream;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_attempts.find(message.client);
        if (it == m_attempts.end() || it->second.uid != uid)
            return;
        stream = it->second.stream;
    }
    if (message.type == SignalMessage::Done)
        stream->RemoteCandidatesDone();
    for (const std::string& candidate : message.candidates)
        stream->AddRemoteCandidate(candidate);
}

void BrokerListener::Answer(const std::string& uid, const SignalMessage& offer) {
    SignalMessage reply;
    reply.client = offer.client;
    IceStream::Options options;
    options.stun = m_settings.stun;
    options.turn = m_settings.turn;
    options.turnUser = m_settings.turnUser;
    options.turnPassword = m_settings.turnPassword;
    std::weak_ptr<Outbox> outbox = m_outbox;
    auto stream = std::make_shared<IceStream>(options, [outbox, client = offer.client](const std::string& c) {
        if (auto box = outbox.lock()) {
            std::lock_guard<std::mutex> lock(box->mutex);
            if (box->owner != nullptr)
                box->owner->OnLocalCandidate(client, c);
        }
    });
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        bool busy = m_attempts.size() >= kMaxAttempts;
        if (busy || m_attempts.count(offer.client) != 0) {
            if (busy) {
                reply.type = SignalMessage::Reject;
                reply.code = P2P_ERR_DEVICE_BUSY;
                m_signaling->Send(uid, reply);
            }
            return;
        }
        stream->SetCallback([this] {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_changed.notify_all();
        });
        Attempt& attempt = m_attempts[offer.client];
        attempt.uid = uid;
        attempt.stream = stream;
        attempt.started = std::chrono::steady_clock::now();
    }
    // No lock while calling into the stream: its signals may come back at once.
    bool ok = stream->Start() == P2P_OK && stream->SetRemoteCredentials(offer.ufrag, offer.pwd);
    for (const std::string& candidate : offer.candidates)
        ok = ok && stream->AddRemoteCandidate(candidate);
    reply.ufrag = stream->LocalUfrag();
    reply.pwd = stream->LocalPwd();

    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_attempts.find(offer.client);
    if (it == m_attempts.end())
        return;
    if (!ok) {
        reply.type = SignalMessage::Reject;
        reply.code = P2P_ERR_CONNECT_FAILED;
        m_signaling->Send(uid, reply);
        it->second.failed = true; // the worker drops it
        m_changed.notify_all();
        return;
    }
    reply.type = SignalMessage::Answer;
    reply.candidates = it->second.early;
    if (reply.candidates.size() > kMaxSignalCandidates)
        reply.candidates.resize(kMaxSignalCandidates);
    m_signaling->Send(uid, reply);
    if (it->second.earlyDone) {
        reply = SignalMessage{};
        reply.type = SignalMessage::Done;
        reply.client = offer.client;
        m_signaling->Send(uid, reply);
    }
    it->second.answered = true;
}

void BrokerListener::OnLocalCandidate(const std::string& client, const std::string& candidate) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_attempts.find(client);
    if (it == m_attempts.end())
        return;
    Attempt& a = it->second;
    if (!a.answered) {
        if (candidate.empty())
            a.earlyDone = true;
        else
            a.early.push_back(candidate);
        return;
    }
    SignalMessage m;
    m.client = client;
    m.type = candidate.empty() ? SignalMessage::Done : SignalMessage::Candidate;
    if (!candidate.empty())
        m.candidates = {candidate};
    m_signaling->Send(a.uid, m);
}

void BrokerListener::Run() {
    const auto patience = std::chrono::milliseconds(m_settings.searchTimeoutMs + 10000);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        m_changed.wait_for(lock, std::chrono::milliseconds(500));
        std::vector<Attempt> ready, dropped;
        auto now = std::chrono::steady_clock::now();
        for (auto it = m_attempts.begin(); it != m_attempts.end();) {
            ByteStream::State state = it->second.stream->GetState();
            bool connected = state == ByteStream::State::Connected && it->second.answered;
            bool stale = it->second.failed || state == ByteStream::State::Failed ||
                         state == ByteStream::State::Closed || now - it->second.started > patience;
            if (!connected && !stale) {
                ++it;
                continue;
            }
            (connected ? ready : dropped).push_back(std::move(it->second));
            it = m_attempts.erase(it);
        }
        lock.unlock();
        for (Attempt& a : ready) {
            a.stream->SetCallback({});
            if (m_onStream)
                m_onStream(a.uid, a.stream);
        }
        ready.clear();
        dropped.clear(); // their streams end here, outside the lock
        lock.lock();
    }
}

} // namespace p2p
