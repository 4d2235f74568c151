#include "p2p/IceStream.h"

#include "p2p/IceLoop.h"
#include "p2p/P2PErrors.h"

#include <nice/agent.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <netdb.h>

namespace p2p {

namespace {

constexpr guint kComponent = 1;
// Received bytes the owner has not read: at kPauseBytes the stream stops
// taking more from libnice, whose pseudo-TCP then closes its window to the
// peer; below kResumeBytes it takes again. A peer that sends while nobody
// reads is held back instead of filling memory.
constexpr size_t kPauseBytes = 1 << 20;
constexpr size_t kResumeBytes = 256 << 10;

// libnice wants the servers' addresses, not their names.
bool Resolve(const std::string& host, std::string& address) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    char text[NI_MAXHOST];
    bool ok = getnameinfo(found->ai_addr, found->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0;
    freeaddrinfo(found);
    if (ok)
        address = text;
    return ok;
}

} // namespace

struct IceStream::Engine {
    Options options;
    std::shared_ptr<IceLoop> loop; // runs the agent; shared by every stream of the process
    NiceAgent* agent = nullptr;
    guint stream = 0;
    bool streamRemoved = false;      // on the loop's thread only
    bool retired = false;            // the owner let go; on the loop's thread only
    std::shared_ptr<Engine> closing; // holds the engine from the owner's goodbye until the agent closed

    std::mutex callbackMutex; // guards the handlers and the count below
    std::condition_variable callbacksDone;
    CandidateHandler onCandidate;
    Callback callback;
    int callbacksRunning = 0;

    mutable std::mutex mutex; // guards everything below
    State state = State::Connecting;
    std::string path;
    std::string remote;
    std::vector<uint8_t> in; // received, not yet read, from inHead on
    size_t inHead = 0;
    bool receivePaused = false; // libnice's receive callback is detached

    ~Engine() {
        if (agent != nullptr)
            g_object_unref(agent);
    }

    // Calls the owner's callback, or its candidate handler with `candidate`,
    // counted, so that the owner's goodbye can wait for a call in progress.
    void Call(const std::string* candidate) {
        Callback current;
        CandidateHandler handler;
        {
            std::lock_guard<std::mutex> lock(callbackMutex);
            if (candidate != nullptr)
                handler = onCandidate;
            else
                current = callback;
            if (!current && !handler)
                return;
            ++callbacksRunning;
        }
        if (candidate != nullptr)
            handler(*candidate);
        else
            current();
        {
            std::lock_guard<std::mutex> lock(callbackMutex);
            --callbacksRunning;
        }
        callbacksDone.notify_all();
    }
    void Notify() { Call(nullptr); }
    // The owner lets go: no handler is called after this returns (off the
    // loop's thread it waits for a call in progress), and the agent is closed
    // on the loop, giving its TURN allocations back; the engine is freed
    // there once that finished.
    static void Retire(std::shared_ptr<Engine> e) {
        {
            std::unique_lock<std::mutex> lock(e->callbackMutex);
            e->callback = nullptr;
            e->onCandidate = nullptr;
            if (!e->loop->InLoop())
                e->callbacksDone.wait(lock, [&] { return e->callbacksRunning == 0; });
        }
        if (e->agent == nullptr)
            return;
        IceLoop* loop = e->loop.get();
        loop->Post([e] {
            // Nothing of the agent reaches the engine once it is closing.
            g_signal_handlers_disconnect_by_data(e->agent, e.get());
            e->retired = true;
            if (!e->streamRemoved)
                nice_agent_attach_recv(e->agent, e->stream, kComponent, e->loop->Context(), nullptr, nullptr);
            e->closing = e;
            nice_agent_close_async(e->agent, &Engine::OnClosed, e.get());
        });
    }
    static void OnClosed(GObject*, GAsyncResult*, gpointer self) {
        std::shared_ptr<Engine> last = std::move(static_cast<Engine*>(self)->closing);
    }
    void SetState(State next) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (state == next || state == State::Closed || state == State::Failed)
                return;
            state = next;
        }
        Notify();
    }

    // On the loop's thread. libnice hands pseudo-TCP's buffered bytes over
    // as soon as the callback is attached again.
    void AttachReceive(bool on) {
        nice_agent_attach_recv(agent, stream, kComponent, loop->Context(), on ? &Engine::OnReceive : nullptr,
                               on ? this : nullptr);
    }
    // From Read: takes from libnice again once the owner has caught up.
    void ResumeReceiveIfDrained(std::shared_ptr<Engine> self) {
        if (!receivePaused || in.size() - inHead > kResumeBytes)
            return;
        receivePaused = false;
        loop->Post([self] {
            if (!self->streamRemoved && !self->retired)
                self->AttachReceive(true);
        });
    }
    static void OnReceive(NiceAgent*, guint, guint, guint length, gchar* data, gpointer self) {
        auto* e = static_cast<Engine*>(self);
        bool pause = false;
        {
            std::lock_guard<std::mutex> lock(e->mutex);
            if (e->inHead > 0 && e->inHead * 2 >= e->in.size()) {
                e->in.erase(e->in.begin(), e->in.begin() + static_cast<ptrdiff_t>(e->inHead));
                e->inHead = 0;
            }
            e->in.insert(e->in.end(), data, data + length);
            pause = e->in.size() - e->inHead >= kPauseBytes && !e->receivePaused;
            e->receivePaused = e->receivePaused || pause;
        }
        if (pause) // libnice keeps the rest in pseudo-TCP's buffer
            e->AttachReceive(false);
        e->Notify();
    }
    // Connected once the reliable transport on the pair is open (libnice
    // says so with its first "writable"), not when ICE found the pair.
    static void OnStateChanged(NiceAgent*, guint, guint, guint niceState, gpointer self) {
        if (niceState == NICE_COMPONENT_STATE_FAILED)
            static_cast<Engine*>(self)->SetState(State::Failed);
    }
    static void OnSelectedPair(NiceAgent*, guint, guint, NiceCandidate* local, NiceCandidate* remote, gpointer self) {
        auto* e = static_cast<Engine*>(self);
        bool relayed = local->type == NICE_CANDIDATE_TYPE_RELAYED || remote->type == NICE_CANDIDATE_TYPE_RELAYED;
        char address[NICE_ADDRESS_STRING_LEN];
        nice_address_to_string(&remote->addr, address);
        const bool v6 = nice_address_ip_version(&remote->addr) == 6;
        std::string text = (v6 ? "[" + std::string(address) + "]" : std::string(address)) + ":" +
                           std::to_string(nice_address_get_port(&remote->addr));
        std::lock_guard<std::mutex> lock(e->mutex);
        e->path = relayed ? "relay" : "direct";
        e->remote = text;
    }
    static void OnWritable(NiceAgent*, guint, guint, gpointer self) {
        auto* e = static_cast<Engine*>(self);
        bool opened = false;
        {
            std::lock_guard<std::mutex> lock(e->mutex);
            opened = e->state == State::Connecting;
        }
        if (opened)
            e->SetState(State::Connected);
        else
            e->Notify();
    }
    static void OnCandidate(NiceAgent* agent, NiceCandidate* candidate, gpointer self) {
        auto* e = static_cast<Engine*>(self);
        gchar* sdp = nice_agent_generate_local_candidate_sdp(agent, candidate);
        if (sdp == nullptr)
            return;
        std::string line = sdp;
        g_free(sdp);
        if (line.rfind("a=", 0) == 0)
            line.erase(0, 2);
        e->Call(&line);
    }
    static void OnGatheringDone(NiceAgent*, guint, gpointer self) {
        const std::string end;
        static_cast<Engine*>(self)->Call(&end);
    }

    int StartAgent(const std::string& stunAddress, const std::string& turnAddress);
    std::string Credential(bool pwd) const {
        gchar* ufrag = nullptr;
        gchar* password = nullptr;
        std::string out;
        if (agent != nullptr && nice_agent_get_local_credentials(agent, stream, &ufrag, &password))
            out = pwd ? password : ufrag;
        g_free(ufrag);
        g_free(password);
        return out;
    }
};

IceStream::IceStream(Options options, CandidateHandler onCandidate) : m_engine(std::make_shared<Engine>()) {
    m_engine->options = std::move(options);
    m_engine->onCandidate = std::move(onCandidate);
}

IceStream::~IceStream() {
    if (m_engine->loop)
        Engine::Retire(m_engine); // a copy: a callback in progress may still read m_engine
}

int IceStream::Start() {
    Engine& e = *m_engine;
    if (e.agent != nullptr)
        return P2P_ERR_BAD_ARGUMENT;
    std::string stunAddress, turnAddress;
    if ((e.options.stun.IsSet() && !Resolve(e.options.stun.host, stunAddress)) ||
        (e.options.turn.IsSet() && !Resolve(e.options.turn.host, turnAddress)))
        return P2P_ERR_BAD_ARGUMENT;
    e.loop = IceLoop::Shared();
    if (!e.loop)
        return P2P_ERR_NO_RESOURCES;
    // Built on the loop's thread, so that its callbacks there see the whole agent.
    return e.loop->Call([&] { return e.StartAgent(stunAddress, turnAddress); });
}

int IceStream::Engine::StartAgent(const std::string& stunAddress, const std::string& turnAddress) {
    Engine& e = *this;
    e.agent =
        nice_agent_new_full(e.loop->Context(), NICE_COMPATIBILITY_RFC5245,
                            static_cast<NiceAgentOption>(NICE_AGENT_OPTION_RELIABLE | NICE_AGENT_OPTION_ICE_TRICKLE));
    if (e.agent == nullptr)
        return P2P_ERR_NETWORK;
    // No ICE-TCP host candidates: libnice reaches a TURN server over TCP
    // from its UDP host candidates anyway, and with a TCP candidate it falls
    // back to regular nomination, which waits for every unreachable host
    // pair to time out (seconds behind two NATs) before using a working one.
    g_object_set(e.agent, "controlling-mode", e.options.controlling ? TRUE : FALSE, "ice-tcp", FALSE, "force-relay",
                 e.options.relayOnly ? TRUE : FALSE, nullptr);
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(e.agent), "upnp") != nullptr)
        g_object_set(e.agent, "upnp", FALSE, nullptr);
    if (e.options.stun.IsSet())
        g_object_set(e.agent, "stun-server", stunAddress.c_str(), "stun-server-port", guint(e.options.stun.port),
                     nullptr);
    for (const std::string& text : e.options.localAddresses) {
        NiceAddress address;
        nice_address_init(&address);
        if (!nice_address_set_from_string(&address, text.c_str()) || !nice_agent_add_local_address(e.agent, &address))
            return P2P_ERR_BAD_ARGUMENT;
    }
    e.stream = nice_agent_add_stream(e.agent, 1);
    if (e.stream == 0)
        return P2P_ERR_NETWORK;
    if (e.options.turn.IsSet())
        for (NiceRelayType type : {NICE_RELAY_TYPE_TURN_UDP, NICE_RELAY_TYPE_TURN_TCP})
            if ((type == NICE_RELAY_TYPE_TURN_UDP ? e.options.turnOverUdp : e.options.turnOverTcp))
                nice_agent_set_relay_info(e.agent, e.stream, kComponent, turnAddress.c_str(), e.options.turn.port,
                                          e.options.turnUser.c_str(), e.options.turnPassword.c_str(), type);
    g_signal_connect(e.agent, "component-state-changed", G_CALLBACK(Engine::OnStateChanged), &e);
    g_signal_connect(e.agent, "new-selected-pair-full", G_CALLBACK(Engine::OnSelectedPair), &e);
    g_signal_connect(e.agent, "reliable-transport-writable", G_CALLBACK(Engine::OnWritable), &e);
    g_signal_connect(e.agent, "new-candidate-full", G_CALLBACK(Engine::OnCandidate), &e);
    g_signal_connect(e.agent, "candidate-gathering-done", G_CALLBACK(Engine::OnGatheringDone), &e);
    e.AttachReceive(true);
    return nice_agent_gather_candidates(e.agent, e.stream) ? P2P_OK : P2P_ERR_NETWORK;
}

std::string IceStream::LocalUfrag() const {
    return m_engine->Credential(false);
}

std::string IceStream::LocalPwd() const {
    return m_engine->Credential(true);
}

bool IceStream::SetRemoteCredentials(const std::string& ufrag, const std::string& pwd) {
    Engine& e = *m_engine;
    return e.agent != nullptr && nice_agent_set_remote_credentials(e.agent, e.stream, ufrag.c_str(), pwd.c_str());
}

bool IceStream::AddRemoteCandidate(const std::string& candidate) {
    Engine& e = *m_engine;
    if (e.agent == nullptr)
        return false;
    std::string sdp = "a=" + candidate;
    NiceCandidate* parsed = nice_agent_parse_remote_candidate_sdp(e.agent, e.stream, sdp.c_str());
    if (parsed == nullptr)
        return false;
    bool ok = parsed->component_id == kComponent;
    if (ok) {
        GSList list{parsed, nullptr};
        ok = nice_agent_set_remote_candidates(e.agent, e.stream, kComponent, &list) >= 0;
    }
    nice_candidate_free(parsed);
    return ok;
}

void IceStream::RemoteCandidatesDone() {
    if (m_engine->agent != nullptr)
        nice_agent_peer_candidate_gathering_done(m_engine->agent, m_engine->stream);
}

std::string IceStream::Path() const {
    std::lock_guard<std::mutex> lock(m_engine->mutex);
    return m_engine->state == State::Connected ? m_engine->path : std::string();
}

std::string IceStream::RemoteAddress() const {
    std::lock_guard<std::mutex> lock(m_engine->mutex);
    return m_engine->state == State::Connected ? m_engine->remote : std::string();
}

IceStream::State IceStream::GetState() const {
    std::lock_guard<std::mutex> lock(m_engine->mutex);
    return m_engine->state;
}

ptrdiff_t IceStream::Read(uint8_t* data, size_t size) {
    Engine& e = *m_engine;
    std::lock_guard<std::mutex> lock(e.mutex);
    size_t waiting = e.in.size() - e.inHead;
    if (waiting == 0)
        return e.state == State::Closed || e.state == State::Failed ? -1 : 0;
    size_t n = std::min(size, waiting);
    std::copy_n(e.in.begin() + static_cast<ptrdiff_t>(e.inHead), n, data);
    e.inHead += n;
    if (e.inHead == e.in.size()) {
        e.in.clear();
        e.inHead = 0;
    }
    e.ResumeReceiveIfDrained(m_engine);
    return static_cast<ptrdiff_t>(n);
}

ptrdiff_t IceStream::Write(const uint8_t* data, size_t size) {
    Engine& e = *m_engine;
    if (GetState() != State::Connected)
        return -1;
    guint length = static_cast<guint>(std::min<size_t>(size, 1 << 20));
    gint sent = nice_agent_send(e.agent, e.stream, kComponent, length, reinterpret_cast<const gchar*>(data));
    return sent < 0 ? 0 : sent;
}

void IceStream::Close() {
    Engine& e = *m_engine;
    {
        std::lock_guard<std::mutex> lock(e.mutex);
        if (e.state == State::Closed)
            return;
        e.state = State::Closed;
    }
    // libnice's sources for a stream run on the loop's thread: a stream
    // removed from another thread can be freed under one of them.
    if (e.agent != nullptr)
        e.loop->Post([engine = m_engine] {
            nice_agent_remove_stream(engine->agent, engine->stream);
            engine->streamRemoved = true;
        });
    e.Notify();
}

void IceStream::SetCallback(Callback callback) {
    std::lock_guard<std::mutex> lock(m_engine->callbackMutex);
    m_engine->callback = std::move(callback);
}

} // namespace p2p
