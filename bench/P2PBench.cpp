// Frames per second and delivery latency through the peer-to-peer transport
// on loopback, for 1 and 4 sessions, with the frame sizes of the simulated
// camera's 1280x720 H.264 at 30 fps (an IDR of 64000 bytes every 30 frames,
// 11000 bytes otherwise, 2.8 Mbit/s). Then the CPU time per pane of each
// side, the device side in a process of its own, for 4 sessions paced at
// 30 fps, without TLS and with it.
// Prints figures; run by hand: build-x/bench/P2PBench
#include "p2p/Device.h"
#include "p2p/P2PApi.h"
#include "p2p/P2PErrors.h"
#include "p2p/P2PSettings.h"
#include "p2p/P2PTestHooks.h"
#include "session/AVModel.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

size_t FrameSize(uint32_t n) {
    return n % 30 == 0 ? 64000 : 11000;
}

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

class Camera : public DeviceListener {
public:
    explicit Camera(const std::string& uid) : uid(uid), device(*this) {
        device.AddUid(uid, "admin", "531642");
        device.Start(P2PSettings::Current());
    }
    void OnIOCtrl(int id, uint32_t type, const uint8_t*, size_t) override {
        if (type == 0x01FF)
            session = id;
    }
    // Sends frame n with the send time in its first 8 bytes; false while the queue is full.
    bool Send(uint32_t n) {
        std::vector<uint8_t>& data = buffer;
        data.assign(FrameSize(n), 0x33);
        int64_t now = NowNs();
        std::memcpy(data.data(), &now, sizeof now);
        p2p::FrameInfo info;
        info.codec = p2p::kCodecH264;
        info.frameNumber = n;
        info.timestamp = n * 33333;
        return device.SendVideo(session.load(), info, data.data(), data.size()) == 0;
    }
    std::string uid;
    Device device;
    std::atomic<int> session{-1};
    std::vector<uint8_t> buffer;
};

struct Client {
    int sid = -1;
    int av = -1;
};

Client Connect(const std::string& uid) {
    Client c;
    c.sid = IOTC_Get_SessionID();
    if (IOTC_Connect_ByUID_Parallel(uid.c_str(), c.sid) != 0)
        return c;
    c.av = avClientStart2(c.sid, "admin", "531642", 5000, nullptr, 0, nullptr);
    avSendIOCtrl(c.av, 0x01FF, nullptr, 0);
    return c;
}

struct Result {
    long frames = 0;
    long bytes = 0;
    long lost = 0;
    std::vector<double> latencyMs;
};

// Receives until `total` frames (or lost ones) are accounted for or the deadline.
void Receive(const Client& c, long total, int idleSleepUs, Result& r, Clock::time_point deadline) {
    std::vector<char> buf(p2p::kMaxFrameSize);
    while (r.frames + r.lost < total && Clock::now() < deadline) {
        int n = avRecvFrameData2(c.av, buf.data(), static_cast<int>(buf.size()), nullptr, nullptr, nullptr, 0, nullptr,
                                 nullptr);
        if (n >= 0) {
            int64_t sent;
            std::memcpy(&sent, buf.data(), sizeof sent);
            r.latencyMs.push_back(double(NowNs() - sent) / 1e6);
            ++r.frames;
            r.bytes += n;
        } else if (n == P2P_ERR_FRAME_LOST) {
            ++r.lost;
        } else if (n == P2P_ERR_NO_DATA) {
            if (idleSleepUs > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(idleSleepUs));
            else
                std::this_thread::yield();
        } else {
            return;
        }
    }
}

void PrintLatency(const char* what, std::vector<double> v) {
    if (v.empty()) {
        std::printf("  %s: no frames\n", what);
        return;
    }
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    std::printf("  %s: median %.3f ms, p99 %.3f ms, max %.3f ms (%zu frames)\n", what, at(0.5), at(0.99), v.back(),
                v.size());
}

// A thread that has `camera` send `count` frames at 30 fps from `start`.
std::thread SendAt30Fps(Camera& camera, long count, Clock::time_point start) {
    return std::thread([&camera, count, start] {
        for (uint32_t n = 0; n < count; ++n) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(33333 * n));
            camera.Send(n);
        }
    });
}

// One client for each of the first `sessions` cameras, once each camera holds its session.
std::vector<Client> ConnectAll(int sessions, std::vector<std::unique_ptr<Camera>>& cameras) {
    std::vector<Client> clients;
    for (int i = 0; i < sessions; ++i)
        clients.push_back(Connect(cameras[i]->uid));
    for (int i = 0; i < sessions; ++i)
        while (cameras[i]->session.load() < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return clients;
}

// As fast as the receiver takes them: the sender keeps at most 32 frames in
// flight per session, so nothing is dropped and the figure is the pipeline's rate.
void Throughput(int sessions, std::vector<std::unique_ptr<Camera>>& cameras) {
    const long perSession = 20000;
    std::vector<Client> clients = ConnectAll(sessions, cameras);
    std::vector<Result> results(sessions);
    std::vector<std::atomic<long>> taken(sessions);
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(60);
    std::vector<std::thread> threads;
    for (int i = 0; i < sessions; ++i) {
        threads.emplace_back([&, i] {
            for (uint32_t n = 0; n < perSession && Clock::now() < deadline;) {
                if (long(n) - taken[i].load() < 32 && cameras[i]->Send(n))
                    ++n;
                else
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
        threads.emplace_back([&, i] {
            std::vector<char> buf(p2p::kMaxFrameSize);
            Result& r = results[i];
            while (r.frames < perSession && Clock::now() < deadline) {
                int n = avRecvFrameData2(clients[i].av, buf.data(), static_cast<int>(buf.size()), nullptr, nullptr,
                                         nullptr, 0, nullptr, nullptr);
                if (n >= 0) {
                    ++r.frames;
                    r.bytes += n;
                    taken[i].store(r.frames);
                } else if (n == P2P_ERR_FRAME_LOST) {
                    ++r.lost;
                } else if (n == P2P_ERR_NO_DATA) {
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                } else {
                    return;
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    long frames = 0, bytes = 0, lost = 0;
    for (auto& r : results) {
        frames += r.frames;
        bytes += r.bytes;
        lost += r.lost;
    }
    std::printf("throughput, %d session(s), as fast as taken: %.0f frames/s in all (%.0f per session), %.1f MB/s, "
                "%ld losses\n",
                sessions, frames / seconds, frames / seconds / sessions, bytes / seconds / 1e6, lost);
    for (auto& c : clients) {
        avClientStop(c.av);
        IOTC_Session_Close(c.sid);
    }
    for (auto& cam : cameras)
        cam->session = -1;
}

void PacedLatency(int sessions, std::vector<std::unique_ptr<Camera>>& cameras) {
    const long perSession = 150; // 5 s at 30 fps
    std::vector<Client> clients = ConnectAll(sessions, cameras);
    std::vector<Result> results(sessions);
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(30);
    std::vector<std::thread> threads;
    for (int i = 0; i < sessions; ++i) {
        threads.push_back(SendAt30Fps(*cameras[i], perSession, start));
        threads.emplace_back([&, i] { Receive(clients[i], perSession, 500, results[i], deadline); });
    }
    for (auto& t : threads)
        t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    long frames = 0;
    std::vector<double> all;
    for (auto& r : results) {
        frames += r.frames;
        all.insert(all.end(), r.latencyMs.begin(), r.latencyMs.end());
    }
    std::printf("paced 30 fps, %d session(s): %.1f frames/s per session delivered\n", sessions,
                frames / seconds / sessions);
    PrintLatency("send to avRecvFrameData2 (receiver polls every 0.5 ms)", all);
    for (auto& c : clients) {
        avClientStop(c.av);
        IOTC_Session_Close(c.sid);
    }
    for (auto& cam : cameras)
        cam->session = -1;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

constexpr long kCpuFrames = 300; // 10 s at 30 fps

// --devices PORT PREFIX TLS: the device side of the CPU measure, in a process
// of its own so that each side's CPU time is its own. Four cameras, each of
// which sends kCpuFrames paced frames once a client asked for them; prints
// "ready" once they serve, then "cpu SECONDS" for the sending, and ends.
int DeviceSide(char** argv) {
    P2PSettings settings = P2PSettings::Current();
    settings.port = static_cast<uint16_t>(std::atoi(argv[2]));
    settings.sessionTimeoutMs = 10000;
    P2PSettings::Set(settings);
    p2p::test::DisableTls(std::strcmp(argv[4], "1") != 0);
    std::vector<std::unique_ptr<Camera>> cameras;
    for (int i = 0; i < 4; ++i)
        cameras.push_back(std::make_unique<Camera>(std::string(argv[3]) + std::to_string(i)));
    std::printf("ready\n");
    std::fflush(stdout);
    for (auto& camera : cameras)
        while (camera->session.load() < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double cpuStart = CpuSeconds();
    const auto start = Clock::now();
    std::vector<std::thread> senders;
    for (auto& camera : cameras)
        senders.push_back(SendAt30Fps(*camera, kCpuFrames, start));
    for (auto& t : senders)
        t.join();
    std::printf("cpu %.6f %.6f\n", CpuSeconds() - cpuStart,
                std::chrono::duration<double>(Clock::now() - start).count());
    std::fflush(stdout);
    // The last frames are still on their way: the desk says when it has them.
    char done;
    while (read(STDIN_FILENO, &done, 1) < 0 && errno == EINTR) {
    }
    return 0;
}

struct SideCpu {
    double desk = 0;   // % of a core per pane
    double device = 0; // % of a core per pane
};

// One line of the device side's output.
std::string ReadLine(FILE* in) {
    char line[128] = {};
    return std::fgets(line, sizeof line, in) ? std::string(line) : std::string();
}

// The share of one core that each of 4 panes paced at 30 fps costs on either side.
SideCpu CpuPerPane(bool tls) {
    p2p::test::DisableTls(!tls);
    const std::string prefix = "CPU-" + std::to_string(getpid()) + (tls ? "-tls-" : "-plain-");
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0)
        return {};
    const std::string port = std::to_string(P2PSettings::Current().port);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(in[0], STDIN_FILENO);
        execl("/proc/self/exe", "P2PBench", "--devices", port.c_str(), prefix.c_str(), tls ? "1" : "0", nullptr);
        _exit(127);
    }
    close(out[1]);
    close(in[0]);
    FILE* fromDevices = fdopen(out[0], "r");
    SideCpu result;
    if (pid > 0 && fromDevices && ReadLine(fromDevices).rfind("ready", 0) == 0) {
        std::vector<Client> clients;
        for (int i = 0; i < 4; ++i)
            clients.push_back(Connect(prefix + std::to_string(i)));
        const double cpuStart = CpuSeconds();
        const auto start = Clock::now();
        std::vector<std::thread> threads;
        for (auto& client : clients)
            // As a pane's receive loop does: wait for the next frame, then take it.
            threads.emplace_back([&client, start] {
                std::vector<char> buf(p2p::kMaxFrameSize);
                long frames = 0;
                while (frames < kCpuFrames && Clock::now() < start + std::chrono::seconds(20)) {
                    avWaitFrameData(client.av, 300);
                    if (avRecvFrameData2(client.av, buf.data(), static_cast<int>(buf.size()), nullptr, nullptr, nullptr,
                                         0, nullptr, nullptr) >= 0)
                        ++frames;
                }
            });
        for (auto& t : threads)
            t.join();
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        result.desk = 100.0 * (CpuSeconds() - cpuStart) / wall / 4;
        double deviceCpu = 0, deviceWall = 0;
        if (std::sscanf(ReadLine(fromDevices).c_str(), "cpu %lf %lf", &deviceCpu, &deviceWall) == 2 && deviceWall > 0)
            result.device = 100.0 * deviceCpu / deviceWall / 4;
        for (auto& c : clients) {
            avClientStop(c.av);
            IOTC_Session_Close(c.sid);
        }
    }
    close(in[1]); // the device side ends
    if (fromDevices)
        std::fclose(fromDevices);
    else
        close(out[0]);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    p2p::test::DisableTls(false);
    return result;
}

// Latency up to AVModel's video queue, whose receive loop sleeps 300 ms
// whenever the transport has nothing ready.
void ModelLatency(Camera& camera) {
    AVModel model;
    if (model.Connect(camera.uid.c_str()) != 0) {
        std::printf("AVModel: connect failed\n");
        return;
    }
    model.CreateVideoQueue();
    model.StartVideo();
    while (camera.session.load() < 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<double> latency;
    auto start = Clock::now();
    std::thread sender([&] {
        for (uint32_t n = 0; n < 150; ++n) {
            std::this_thread::sleep_until(start + std::chrono::microseconds(33333 * n));
            camera.Send(n);
        }
    });
    auto deadline = start + std::chrono::seconds(8);
    while (latency.size() < 150 && Clock::now() < deadline) {
        FrameBuffer* buf = model.videoQueue->TakeReady();
        if (buf == nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        int64_t sent;
        std::memcpy(&sent, buf->GetData(), sizeof sent);
        latency.push_back(double(NowNs() - sent) / 1e6);
        model.videoQueue->Recycle(buf);
    }
    sender.join();
    std::printf("AVModel, 1 session, paced 30 fps:\n");
    PrintLatency("send to videoQueue (its loop sleeps 300 ms when idle)", latency);
    model.StopVideo();
    model.FreeVideoQueue();
    model.Close();
    camera.session = -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "--devices") == 0)
        return DeviceSide(argv);
    std::mt19937 engine{std::random_device{}()};
    P2PSettings settings;
    settings.port = static_cast<uint16_t>(20000 + (engine() % 2500) * 16);
    settings.sessionTimeoutMs = 10000;
    P2PSettings::Set(settings);
    std::vector<std::unique_ptr<Camera>> cameras;
    for (int i = 0; i < 4; ++i)
        cameras.push_back(std::make_unique<Camera>("BENCH-" + std::to_string(getpid()) + "-" + std::to_string(i)));

    IOTC_Initialize2(0);
    avInitialize(8);
    std::printf("P2PBench: 1280x720 30 fps frame sizes (64000-byte IDR every 30 frames, 11000 bytes otherwise)\n");
    for (int sessions : {1, 4})
        Throughput(sessions, cameras);
    for (int sessions : {1, 4})
        PacedLatency(sessions, cameras);
    // Alternated, three of each, the least of each kept: the first runs pay for
    // warming up, and a busy machine only ever adds.
    SideCpu plain{1e9, 1e9}, tls{1e9, 1e9};
    for (int round = 0; round < 3; ++round)
        for (bool withTls : {false, true}) {
            const SideCpu measured = CpuPerPane(withTls);
            SideCpu& best = withTls ? tls : plain;
            best.desk = std::min(best.desk, measured.desk);
            best.device = std::min(best.device, measured.device);
        }
    std::printf("CPU per pane, 4 panes paced at 30 fps for 10 s, least of 3, in %% of a core: desk side %.3f without "
                "TLS, %.3f with TLS 1.3 "
                "(%+.3f); device side %.3f without, %.3f with (%+.3f)\n",
                plain.desk, tls.desk, tls.desk - plain.desk, plain.device, tls.device, tls.device - plain.device);
    avDeInitialize();
    IOTC_DeInitialize();
    ModelLatency(*cameras[0]);
    return 0;
}
