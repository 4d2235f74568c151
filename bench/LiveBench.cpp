// Four live panes of the real main window against four simulated cameras:
// pictures drawn per pictures sent, delay from the camera to the draw, CPU per
// pane and peak memory, at 640x360 25 fps and at 1280x720 30 fps, with
// `ffmpeg -threads 1` decoding and converting the same streams as the
// reference.
//
// How it measures:
// - The cameras run as child processes (this program again, in --camera mode,
//   one CamSim per UID), so this process's CPU time is Vantor's alone and each
//   camera reports how many video frames it sent for its UID.
// - Each pane thread draws into a probe (a RenderTarget set with
//   SetRenderWindow before going live) that counts the pictures, notes the
//   time and hands every picture on to the real pane unchanged. The camera
//   paints its wall-clock time into every picture just before encoding it;
//   the probe reads that text back from the drawn pixels, so each draw is
//   paired with the picture's own time without touching the media path. The
//   delay therefore includes the camera's encoding; the encoding time of the
//   same encoder on the same picture is printed beside it.
// - The reference streams are made by the same encoder and test picture in a
//   child process; ffmpeg's user + system time comes from wait4.
#include "app/CVantorApp.h"
#include "app/CVantorDlg.h"
#include "app/DeviceStore.h"
#include "app/MessageBox.h"
#include "tests/support/TestNet.h"
#include "tools/camsim/BitmapFont.h"
#include "tools/camsim/CamSim.h"
#include "tools/camsim/TestPicture.h"
#include "tools/camsim/VideoEncoder.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTimer>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int kReferenceSeconds = 10;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Milliseconds since local midnight, as the camera's clock text counts them.
double LocalMsOfDay() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm tm{};
    localtime_r(&ts.tv_sec, &tm);
    return ((tm.tm_hour * 60.0 + tm.tm_min) * 60.0 + tm.tm_sec) * 1000.0 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size()));
    return values[std::min(rank, values.size() - 1)];
}

// Peak resident memory since the last reset, in MiB (VmHWM).
double PeakRssMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atof(line.c_str() + 6) / 1024.0;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void ResetPeakRss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

std::string SelfPath() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "LiveBench";
    path[n] = '\0';
    return path;
}

pid_t Spawn(const std::vector<std::string>& args, bool searchPath, bool quiet) {
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (quiet)
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int r = searchPath ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ)
                       : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return r == 0 ? pid : -1;
}

// Waits for the child; its CPU seconds (user + system) in cpu. Returns the exit status or -1.
int WaitChild(pid_t pid, double* cpu = nullptr) {
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid)
        return -1;
    if (cpu)
        *cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the event loop for ms milliseconds.
void Pump(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool WaitFor(const std::function<bool()>& done, int timeoutMs) {
    const double deadline = Now() + timeoutMs / 1000.0;
    while (!done()) {
        if (Now() > deadline)
            return false;
        Pump(20);
    }
    return true;
}

// Reads the camera's clock text "YYYY-MM-DD HH:MM:SS.mmm" (the third line of
// its test picture) from a drawn picture: each font pixel is sampled at its
// centre and each character matched to the nearest digit glyph.
class ClockReader {
public:
    // The camera's picture size: a drawn picture has the pane's size.
    ClockReader(int cameraWidth, int cameraHeight)
        : m_cameraWidth(cameraWidth), m_cameraHeight(cameraHeight), m_scale(std::max(1, cameraHeight / 120)) {}

    // Milliseconds since midnight, or -1 when a digit is not clear.
    double Read(const uint32_t* pixels, int width, int height) const {
        static const int positions[] = {11, 12, 14, 15, 17, 18, 20, 21, 22};
        int digits[9];
        const double fx = static_cast<double>(width) / m_cameraWidth, fy = static_cast<double>(height) / m_cameraHeight;
        for (int i = 0; i < 9; ++i) {
            digits[i] = Digit(pixels, width, height, positions[i], fx, fy);
            if (digits[i] < 0)
                return -1;
        }
        int hours = digits[0] * 10 + digits[1], minutes = digits[2] * 10 + digits[3];
        int seconds = digits[4] * 10 + digits[5], ms = digits[6] * 100 + digits[7] * 10 + digits[8];
        if (hours > 23 || minutes > 59 || seconds > 60)
            return -1;
        return ((hours * 60.0 + minutes) * 60.0 + seconds) * 1000.0 + ms;
    }

private:
    int Digit(const uint32_t* pixels, int width, int height, int index, double fx, double fy) const {
        const int s = m_scale;
        const int lineHeight = (BitmapFont::kGlyphHeight + 3) * s;
        const int left = 3 * s + index * (BitmapFont::kGlyphWidth + 1) * s;
        const int top = 3 * s + 2 * lineHeight;
        uint8_t rows[BitmapFont::kGlyphHeight] = {};
        for (int r = 0; r < BitmapFont::kGlyphHeight; ++r) {
            for (int c = 0; c < BitmapFont::kGlyphWidth; ++c) {
                int x = static_cast<int>((left + c * s + s / 2.0) * fx);
                int y = static_cast<int>((top + r * s + s / 2.0) * fy);
                if (x >= width || y >= height)
                    return -1;
                uint32_t p = pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
                int luma = (299 * ((p >> 16) & 0xff) + 587 * ((p >> 8) & 0xff) + 114 * (p & 0xff)) / 1000;
                if (luma > 128)
                    rows[r] |= static_cast<uint8_t>(1u << (BitmapFont::kGlyphWidth - 1 - c));
            }
        }
        int best = -1, bestDistance = 99;
        for (int d = 0; d < 10; ++d) {
            const uint8_t* glyph = BitmapFont::Glyph(static_cast<char>('0' + d));
            int distance = 0;
            for (int r = 0; r < BitmapFont::kGlyphHeight; ++r)
                distance += __builtin_popcount(static_cast<unsigned>((glyph[r] ^ rows[r]) & 0x1f));
            if (distance < bestDistance) {
                bestDistance = distance;
                best = d;
            }
        }
        return bestDistance <= 2 ? best : -1;
    }

    int m_cameraWidth;
    int m_cameraHeight;
    int m_scale;
};

// Sits between a pane thread's renderer and its pane: counts, times and
// passes every picture on unchanged.
class PaneProbe : public RenderTarget {
public:
    PaneProbe(VideoPane* pane, int cameraWidth, int cameraHeight)
        : m_pane(pane), m_reader(cameraWidth, cameraHeight), m_cameraWidth(cameraWidth), m_cameraHeight(cameraHeight) {}

    bool DrawPicture(const uint32_t* pixels, int width, int height) override {
        const double drawn = LocalMsOfDay();
        m_draws.fetch_add(1);
        if (m_measuring.load()) {
            double painted = m_reader.Read(pixels, width, height);
            const bool marked = Marked(pixels, width, height);
            std::lock_guard<std::mutex> lock(m_mutex);
            if (marked && !m_wasMarked)
                m_squareOnsets.push_back(Now());
            m_wasMarked = marked;
            if (painted < 0) {
                ++m_unreadable;
            } else {
                double delay = std::fmod(drawn - painted + 86400000.0 + 43200000.0, 86400000.0) - 43200000.0;
                m_delays.push_back(delay);
            }
        }
        return m_pane->DrawPicture(pixels, width, height);
    }
    void ClearPicture() override { m_pane->ClearPicture(); }
    void GetDrawSize(int& width, int& height) const override { m_pane->GetDrawSize(width, height); }

    int Draws() const { return m_draws.load(); }
    void SetMeasuring(bool on) { m_measuring.store(on); }
    std::vector<double> Delays() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_delays;
    }
    int Unreadable() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_unreadable;
    }
    // When pictures with the camera's beep marker began to be drawn (steady clock, s).
    std::vector<double> SquareOnsets() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_squareOnsets;
    }

private:
    // The white 64 x 64 square in the camera's top-right corner, sampled at
    // three points inside it (the drawn picture may be smaller). It is black
    // between beeps; a picture shows it once all three points are bright and
    // colourless. Near the square's edges the encoder's first picture of it is
    // a little grey or tinted, so asking for full white there would take the
    // beep's second or third picture for its first and make the sound seem
    // one or two picture intervals ahead.
    bool Marked(const uint32_t* pixels, int width, int height) const {
        const double fx = static_cast<double>(width) / m_cameraWidth, fy = static_cast<double>(height) / m_cameraHeight;
        const int points[3][2] = {{m_cameraWidth - 32, 32}, {m_cameraWidth - 48, 16}, {m_cameraWidth - 16, 48}};
        for (const auto& point : points) {
            const int x = static_cast<int>(point[0] * fx), y = static_cast<int>(point[1] * fy);
            if (x < 0 || x >= width || y < 0 || y >= height)
                return false;
            const uint32_t p = pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
            const int r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
            if (std::min({r, g, b}) < 128 || std::max({r, g, b}) - std::min({r, g, b}) > 48)
                return false;
        }
        return true;
    }

    VideoPane* m_pane;
    ClockReader m_reader;
    std::atomic<int> m_draws{0};
    std::atomic<bool> m_measuring{false};
    std::mutex m_mutex;
    std::vector<double> m_delays;
    int m_unreadable = 0;
    int m_cameraWidth;
    int m_cameraHeight;
    bool m_wasMarked = true; // an onset needs an unmarked picture before it
    std::vector<double> m_squareOnsets;
};

// Follows the files of SDL's disk audio driver while they grow: the driver
// writes each period of sound when it is due to be heard, so the time a byte
// arrives in the file is the time it leaves the speaker.
class SpeakerWatch {
public:
    explicit SpeakerWatch(std::vector<std::string> files) : m_files(std::move(files)), m_growth(m_files.size()) {
        m_thread = std::thread([this] { Run(); });
    }
    ~SpeakerWatch() { Stop(); }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    // CPU seconds the watch itself used: not Vantor's, so taken off its figure.
    double CpuSeconds() const { return m_cpuSeconds.load(); }

    // When the beeps (the camera's 1000 Hz tone, louder than its 440 Hz one)
    // began to be heard from file i (steady clock, s).
    std::vector<double> BeepOnsets(size_t i) const {
        std::vector<double> onsets;
        std::string bytes;
        {
            std::ifstream raw(m_files[i], std::ios::binary);
            bytes.assign((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
        }
        const size_t samples = bytes.size() / 2;
        size_t quiet = 0;
        for (size_t n = 0; n + 8 <= samples; n += 8) {
            int peak = 0;
            for (size_t k = n; k < n + 8; ++k) {
                int16_t v;
                std::memcpy(&v, bytes.data() + 2 * k, 2);
                peak = std::max(peak, std::abs(static_cast<int>(v)));
            }
            if (peak > 11000) {
                if (quiet >= 2400) {
                    const double t = HeardAt(i, 2 * n);
                    if (t > 0)
                        onsets.push_back(t);
                }
                quiet = 0;
            } else {
                quiet += 8;
            }
        }
        return onsets;
    }

private:
    struct Growth {
        double time;
        uint64_t size;
    };

    void Run() {
        while (!m_stop) {
            timespec cpu{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
            m_cpuSeconds = static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
            const double now = Now();
            for (size_t i = 0; i < m_files.size(); ++i) {
                std::error_code ec;
                const uint64_t size = std::filesystem::file_size(m_files[i], ec);
                if (!ec && (m_growth[i].empty() || size > m_growth[i].back().size))
                    m_growth[i].push_back({now, size});
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // When byte `offset` of file i was heard. The file grows in steps of the
    // C library's buffer, while the driver writes 16 bytes per millisecond:
    // the last byte of a step was written when the step showed, each earlier
    // one a sixteenth of a millisecond before the next.
    double HeardAt(size_t i, uint64_t offset) const {
        for (const Growth& step : m_growth[i])
            if (step.size > offset)
                return step.time - static_cast<double>(step.size - offset) / 16000.0;
        return -1;
    }

    std::vector<std::string> m_files;
    std::vector<std::vector<Growth>> m_growth; // written by the thread until Stop
    std::atomic<bool> m_stop{false};
    std::atomic<double> m_cpuSeconds{0};
    std::thread m_thread;
};

// Sound-behind-picture offsets (ms) of one pane: each beep heard paired with
// the nearest onset of its marked pictures.
std::vector<double> SoundOffsets(const std::vector<double>& beeps, const std::vector<double>& squares) {
    std::vector<double> offsets;
    for (double beep : beeps) {
        double best = 1e9;
        for (double square : squares)
            if (std::abs(beep - square) < std::abs(best))
                best = beep - square;
        if (std::abs(best) < 0.5)
            offsets.push_back(best * 1000);
    }
    return offsets;
}

// --camera UID W H FPS REPORT: one simulated camera until SIGTERM; writes
// REPORT.ready once serving, the video frames sent so far to REPORT.mark<n>
// on the n-th SIGUSR1, and "<video frames sent> <oversized>" to REPORT at the end.
int CameraMain(char** argv) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    av_log_set_level(AV_LOG_ERROR);

    CamSimConfig config;
    config.uids = {argv[2]};
    config.width = std::atoi(argv[3]);
    config.height = std::atoi(argv[4]);
    config.fps = std::atoi(argv[5]);
    const std::string report = argv[6];
    config.talkbackDir = std::filesystem::path(report).parent_path().string();
    config.log = [](const std::string&) {};
    CamSim camera(config);
    if (camera.Start() != 0)
        return 1;
    std::ofstream(report + ".ready") << "1\n";
    int received = 0;
    for (int mark = 1; sigwait(&stopSignals, &received) == 0 && received == SIGUSR1; ++mark) {
        const std::string path = report + ".mark" + std::to_string(mark);
        std::ofstream(path + ".part") << camera.GetVideoFramesSent() << "\n";
        std::filesystem::rename(path + ".part", path);
    }
    camera.Stop();
    std::ofstream(report) << camera.GetVideoFramesSent() << " " << camera.GetOversizedFrames() << "\n";
    return 0;
}

// --make-stream UID W H FPS FRAMES PATH: the camera's stream for UID as an
// Annex B file; "<units> <encode p50 ms> <encode p95 ms>" to PATH.txt.
int MakeStreamMain(char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    const std::string uid = argv[2];
    const int width = std::atoi(argv[3]), height = std::atoi(argv[4]), fps = std::atoi(argv[5]);
    const int frames = std::atoi(argv[6]);
    const std::string path = argv[7];
    VideoEncoder encoder;
    if (encoder.Open(width, height, fps, CamSimConfig{}.maxFrameBytes) != 0) {
        std::fprintf(stderr, "encoder: %s\n", encoder.GetError().c_str());
        return 1;
    }
    std::ofstream out(path, std::ios::binary);
    std::vector<uint8_t> unit;
    std::vector<double> encodeMs;
    int units = 0;
    for (int i = 0; i < frames; ++i) {
        char clock[48];
        std::snprintf(clock, sizeof clock, "2026-01-01 12:00:%02d.%03d", (i / fps) % 60, (i % fps) * 1000 / fps % 1000);
        TestPicture::Paint(encoder.Picture(), uid, static_cast<uint32_t>(i), clock);
        bool key = false;
        const double start = Now();
        if (encoder.Encode(i == 0, unit, key) != 0)
            return 1;
        encodeMs.push_back((Now() - start) * 1000);
        if (!unit.empty()) {
            out.write(reinterpret_cast<const char*>(unit.data()), static_cast<std::streamsize>(unit.size()));
            ++units;
        }
    }
    std::ofstream(path + ".txt") << units << " " << Percentile(encodeMs, 50) << " " << Percentile(encodeMs, 95) << "\n";
    return out ? 0 : 1;
}

struct Phase {
    int width;
    int height;
    int fps;
    int panes;
};

struct PaneFigures {
    int drawn = 0;
    int sent = -1;
    int windowDraws = 0;
    int windowSent = -1;
    double p50 = -1;
    double p95 = -1;
    int unreadable = 0;
};

bool RunPhase(const Phase& phase, int seconds, const std::string& screenshot, const std::filesystem::path& dir) {
    const int kPanes = phase.panes;
    std::printf("\n== %dx%d %d fps: %d pane%s live for %d s ==\n", phase.width, phase.height, phase.fps, kPanes,
                kPanes == 1 ? "" : "s", seconds);
    std::fflush(stdout);
    const std::string self = SelfPath();
    const std::string size = std::to_string(phase.width) + "x" + std::to_string(phase.height);

    // Four cameras, one child process each.
    std::vector<std::string> uids;
    std::vector<std::string> reports;
    std::vector<pid_t> cameras;
    for (int i = 0; i < kPanes; ++i) {
        uids.push_back(testnet::UniqueUid("BENCH" + std::to_string(i)));
        reports.push_back((dir / ("camera-" + size + "-" + std::to_string(i) + ".txt")).string());
        cameras.push_back(Spawn({self, "--camera", uids.back(), std::to_string(phase.width),
                                 std::to_string(phase.height), std::to_string(phase.fps), reports.back()},
                                false, false));
    }
    auto stopCameras = [&](std::vector<double>& cpu) {
        cpu.assign(kPanes, -1);
        for (int i = 0; i < kPanes; ++i) {
            if (cameras[static_cast<size_t>(i)] <= 0)
                continue;
            kill(cameras[static_cast<size_t>(i)], SIGTERM);
            WaitChild(cameras[static_cast<size_t>(i)], &cpu[static_cast<size_t>(i)]);
        }
    };
    // Asks every camera for its count of frames sent so far (mark n); -1 where none came.
    auto markCameras = [&](int n) {
        std::vector<int> sent(kPanes, -1);
        for (pid_t camera : cameras)
            if (camera > 0)
                kill(camera, SIGUSR1);
        for (int i = 0; i < kPanes; ++i) {
            const std::string path = reports[static_cast<size_t>(i)] + ".mark" + std::to_string(n);
            const double deadline = Now() + 2;
            while (!std::filesystem::exists(path) && Now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            std::ifstream(path) >> sent[static_cast<size_t>(i)];
        }
        return sent;
    };
    std::vector<double> cameraCpu;
    bool ready = WaitFor(
        [&] {
            for (const std::string& r : reports)
                if (!std::filesystem::exists(r + ".ready"))
                    return false;
            return true;
        },
        15000);
    if (!ready) {
        std::printf("the cameras did not start\n");
        stopCameras(cameraCpu);
        return false;
    }

    std::filesystem::remove(dir / "LiveData.mdb");
    {
        DeviceStore store("LiveData.mdb");
        if (store.Load(CVantorDlg::PANE_COUNT, [](int, int, const std::string&) {}) != 0) {
            std::printf("cannot prepare LiveData.mdb\n");
            stopCameras(cameraCpu);
            return false;
        }
        for (int i = 0; i < kPanes; ++i)
            store.Assign(i, uids[static_cast<size_t>(i)]);
    }

    std::vector<PaneFigures> figures(kPanes);
    double windowSeconds = 0, cpuSeconds = 0, peakMiB = 0;
    bool ok = true;
    std::vector<std::unique_ptr<PaneProbe>> probes;
    std::vector<std::string> speakers;
    for (int i = 0; i < kPanes; ++i)
        speakers.push_back((dir / ("speaker-" + size + "-" + std::to_string(i) + ".raw")).string());
    SpeakerWatch speakerWatch(speakers);
    std::vector<std::vector<double>> offsets(static_cast<size_t>(kPanes));
    {
        CVantorDlg dlg;
        dlg.show();
        Pump(100);
        for (int i = 0; i < kPanes; ++i) {
            probes.push_back(std::make_unique<PaneProbe>(dlg.Pane(i), phase.width, phase.height));
            dlg.PaneThread(i).SetRenderWindow(probes.back().get());
        }
        // One speaker file per pane: SDL's disk driver reads the name when the
        // pane's player opens its device, so the panes go live one by one.
        for (int row = 0; row < kPanes; ++row) {
            setenv("SDL_DISKAUDIOFILE", speakers[static_cast<size_t>(row)].c_str(), 1);
            dlg.OnNMDblclkDeviceList(row);
            WaitFor([&] { return std::filesystem::exists(speakers[static_cast<size_t>(row)]); }, 10000);
        }
        ok = WaitFor(
            [&] {
                for (int i = 0; i < kPanes; ++i)
                    if (dlg.PaneThread(i).GetLiveState() != PANE_RUNNING ||
                        probes[static_cast<size_t>(i)]->Draws() == 0)
                        return false;
                return true;
            },
            20000);
        if (!ok) {
            std::printf("not all four panes went live\n");
        } else {
            Pump(1000); // past the start
            if (!screenshot.empty()) {
                std::filesystem::create_directories(std::filesystem::path(screenshot).parent_path());
                bool saved = dlg.grab().save(QString::fromStdString(screenshot));
                std::printf("screenshot: %s%s\n", screenshot.c_str(), saved ? "" : " (could not be saved)");
            }
            std::vector<int> drawsBefore;
            for (auto& probe : probes) {
                drawsBefore.push_back(probe->Draws());
                probe->SetMeasuring(true);
            }
            const std::vector<int> sentBefore = markCameras(1);
            ResetPeakRss();
            const double wall0 = Now(), cpu0 = ProcessCpuSeconds() - speakerWatch.CpuSeconds();
            Pump(seconds * 1000);
            cpuSeconds = ProcessCpuSeconds() - speakerWatch.CpuSeconds() - cpu0;
            windowSeconds = Now() - wall0;
            peakMiB = PeakRssMiB();
            const std::vector<int> sentAfter = markCameras(2);
            for (int i = 0; i < kPanes; ++i) {
                PaneProbe& probe = *probes[static_cast<size_t>(i)];
                probe.SetMeasuring(false);
                PaneFigures& f = figures[static_cast<size_t>(i)];
                f.windowDraws = probe.Draws() - drawsBefore[static_cast<size_t>(i)];
                if (sentBefore[static_cast<size_t>(i)] >= 0 && sentAfter[static_cast<size_t>(i)] >= 0)
                    f.windowSent = sentAfter[static_cast<size_t>(i)] - sentBefore[static_cast<size_t>(i)];
                std::vector<double> delays = probe.Delays();
                f.p50 = Percentile(delays, 50);
                f.p95 = Percentile(delays, 95);
                f.unreadable = probe.Unreadable();
            }
            speakerWatch.Stop();
            for (int i = 0; i < kPanes; ++i)
                offsets[static_cast<size_t>(i)] = SoundOffsets(speakerWatch.BeepOnsets(static_cast<size_t>(i)),
                                                               probes[static_cast<size_t>(i)]->SquareOnsets());
        }
        for (int row = 0; row < kPanes; ++row)
            if (dlg.PaneThread(row).GetLiveState() == PANE_RUNNING)
                dlg.OnNMDblclkDeviceList(row);
        WaitFor(
            [&] {
                for (int i = 0; i < kPanes; ++i)
                    if (dlg.PaneThread(i).GetLiveState() != PANE_STOPPED)
                        return false;
                return true;
            },
            15000);
        for (int i = 0; i < kPanes; ++i)
            figures[static_cast<size_t>(i)].drawn = probes[static_cast<size_t>(i)]->Draws();
    } // the window closes; its pane threads are gone before the probes
    stopCameras(cameraCpu);
    for (const QString& text : MessageBox::TakeRecorded())
        std::printf("message box: %s\n", text.toStdString().c_str());
    for (int i = 0; i < kPanes; ++i) {
        std::ifstream in(reports[static_cast<size_t>(i)]);
        int oversized = 0;
        in >> figures[static_cast<size_t>(i)].sent >> oversized;
        if (oversized > 0)
            std::printf("camera %d: %d pictures too large to send\n", i, oversized);
    }
    if (!ok)
        return false;

    // The reference: the same streams (same encoder and test picture) decoded
    // and converted by the ffmpeg tool, one thread.
    const int frames = phase.fps * kReferenceSeconds;
    std::vector<double> ffmpegPerVideoSecond;
    std::vector<double> encodeP50, encodeP95;
    for (int i = 0; i < kPanes; ++i) {
        const std::string stream = (dir / ("stream-" + size + "-" + std::to_string(i) + ".h264")).string();
        pid_t maker = Spawn({self, "--make-stream", uids[static_cast<size_t>(i)], std::to_string(phase.width),
                             std::to_string(phase.height), std::to_string(phase.fps), std::to_string(frames), stream},
                            false, false);
        if (maker <= 0 || WaitChild(maker) != 0) {
            std::printf("cannot make the reference stream %d\n", i);
            continue;
        }
        int units = 0;
        double e50 = 0, e95 = 0;
        std::ifstream(stream + ".txt") >> units >> e50 >> e95;
        encodeP50.push_back(e50);
        encodeP95.push_back(e95);
        double cpu = 0;
        pid_t ffmpeg = Spawn(
            {"ffmpeg", "-nostdin", "-v", "error", "-threads", "1", "-i", stream, "-pix_fmt", "bgra", "-f", "null", "-"},
            true, true);
        if (ffmpeg <= 0 || WaitChild(ffmpeg, &cpu) != 0) {
            std::printf("ffmpeg failed on stream %d\n", i);
            continue;
        }
        ffmpegPerVideoSecond.push_back(cpu / (static_cast<double>(units) / phase.fps));
        std::filesystem::remove(stream);
    }

    const double perPane = cpuSeconds / kPanes / windowSeconds; // CPU seconds per second of video
    std::printf("%-5s %16s %7s %16s %7s %9s %10s %10s %7s\n", "pane", "window drawn/sent", "ratio", "session d/s",
                "ratio", "drawn/s", "delay p50", "delay p95", "unread");
    for (int i = 0; i < kPanes; ++i) {
        const PaneFigures& f = figures[static_cast<size_t>(i)];
        char window[32], session[32];
        std::snprintf(window, sizeof window, "%d/%d", f.windowDraws, f.windowSent);
        std::snprintf(session, sizeof session, "%d/%d", f.drawn, f.sent);
        std::printf("%-5d %16s %6.1f%% %16s %6.1f%% %9.2f %8.1fms %8.1fms %7d\n", i, window,
                    f.windowSent > 0 ? 100.0 * f.windowDraws / f.windowSent : 0.0, session,
                    f.sent > 0 ? 100.0 * f.drawn / f.sent : 0.0, f.windowDraws / windowSeconds, f.p50, f.p95,
                    f.unreadable);
    }
    std::printf("(window: over the measured seconds; session: from going live to the stop, which loses the "
                "pictures still on their way; unread: drawn pictures whose clock text could not be read)\n");
    double soundAhead = 0, soundBehind = 0, worstMedian = 0;
    bool offsetsMissing = false;
    for (int i = 0; i < kPanes; ++i) {
        const std::vector<double>& o = offsets[static_cast<size_t>(i)];
        if (o.empty()) {
            std::printf("pane %d: sound behind picture: no beep paired with its marked picture\n", i);
            offsetsMissing = true;
            continue;
        }
        const double low = *std::min_element(o.begin(), o.end()), high = *std::max_element(o.begin(), o.end());
        std::printf("pane %d: sound behind picture (beep heard - marked picture drawn) over %zu beeps: min %.0f ms, "
                    "median %.0f ms, max %.0f ms\n",
                    i, o.size(), low, Percentile(o, 50), high);
        soundAhead = std::max(soundAhead, -low);
        soundBehind = std::max(soundBehind, high);
        const double median = Percentile(o, 50);
        if (std::abs(median) > std::abs(worstMedian))
            worstMedian = median;
    }
    double load[3] = {};
    if (getloadavg(load, 3) == 3)
        std::printf("machine load average (1, 5, 15 min): %.2f %.2f %.2f\n", load[0], load[1], load[2]);
    std::vector<double> allCamera;
    for (double c : cameraCpu)
        allCamera.push_back(c);
    double cameraTotal = 0;
    for (double c : allCamera)
        cameraTotal += std::max(0.0, c);
    std::printf("Vantor process: %.2f CPU s in %.1f s = %.1f%% of one core; per pane %.1f%% (%.3f CPU s per second "
                "of video)\n",
                cpuSeconds, windowSeconds, 100.0 * cpuSeconds / windowSeconds, 100.0 * perPane, perPane);
    std::printf("peak memory (VmHWM over the window): %.1f MiB\n", peakMiB);
    std::printf("cameras (child processes, not counted above): %.2f CPU s in all, over their whole life\n",
                cameraTotal);
    if (!encodeP50.empty())
        std::printf("camera encoding per picture (inside the delay above): p50 %.1f ms, p95 %.1f ms\n",
                    Percentile(encodeP50, 50), Percentile(encodeP95, 50));
    double cpuRatio = -1;
    if (!ffmpegPerVideoSecond.empty()) {
        double sum = 0;
        for (double v : ffmpegPerVideoSecond)
            sum += v;
        const double reference = sum / static_cast<double>(ffmpegPerVideoSecond.size());
        std::printf("reference ffmpeg -threads 1 ... -pix_fmt bgra -f null - (%d s streams):", kReferenceSeconds);
        for (double v : ffmpegPerVideoSecond)
            std::printf(" %.3f", v);
        std::printf(" CPU s per second of video; mean %.3f (%.1f%% of one core)\n", reference, 100.0 * reference);
        std::printf("Vantor per pane / ffmpeg: %.2f\n", perPane / reference);
        cpuRatio = perPane / reference;
    }
    double worstShare = 100, worstP95 = 0;
    for (const PaneFigures& f : figures) {
        worstShare = std::min(worstShare, f.windowSent > 0 ? 100.0 * f.windowDraws / f.windowSent : 0.0);
        worstP95 = std::max(worstP95, f.p95);
    }
    std::printf("SUMMARY %dx%d@%d x%d: pictures drawn (worst pane) %.1f%% [goal >= 99.5%%], camera-to-draw p95 "
                "(worst pane) %.0f ms [goal <= 150], CPU per pane / ffmpeg %.2f [goal <= 1.00], sound at most "
                "%.0f ms ahead [goal <= 45] and %.0f ms behind [goal <= 125] its picture, pane median %.0f ms "
                "[goal within 30]%s\n",
                phase.width, phase.height, phase.fps, kPanes, worstShare, worstP95, cpuRatio, soundAhead, soundBehind,
                worstMedian, offsetsMissing ? " (some panes unpaired)" : "");
    std::fflush(stdout);
    return true;
}

void Usage() {
    std::printf("usage: LiveBench [--seconds N] [--screenshot FILE.png] [--only 360|720|1080]\n"
                "  panes of the main window live from simulated cameras for N seconds (default 60):\n"
                "  four at 640x360 25 fps, four at 1280x720 30 fps, one at 1920x1080 30 fps\n");
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 7 && std::strcmp(argv[1], "--camera") == 0)
        return CameraMain(argv);
    if (argc == 8 && std::strcmp(argv[1], "--make-stream") == 0)
        return MakeStreamMain(argv);

    int seconds = 60;
    std::string screenshot;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atoi(argv[++i]);
        } else if (arg == "--screenshot" && i + 1 < argc) {
            screenshot = std::filesystem::absolute(argv[++i]).string();
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            Usage();
            return arg == "--help" || arg == "-h" ? 0 : 2;
        }
    }
    if (seconds < 1) {
        std::printf("--seconds must be at least 1\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("SDL_AUDIODRIVER", "disk", 1); // the speaker's timing, for sound against picture
    std::signal(SIGPIPE, SIG_IGN);
    av_log_set_level(AV_LOG_ERROR);

    CVantorApp::LimitMemoryArenas(); // as the program does
    QApplication app(argc, argv);
    MessageBox::SetRecording(true);
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path())) {
        std::printf("cannot make a work folder\n");
        return 1;
    }
    const int port = testnet::UseIsolatedPorts(3000, 1500);
    std::printf("LiveBench: real main window (QT_QPA_PLATFORM=%s, SDL_AUDIODRIVER=%s), cameras as child processes "
                "on loopback search port %d, %u cores\n",
                std::getenv("QT_QPA_PLATFORM"), std::getenv("SDL_AUDIODRIVER"), port,
                std::thread::hardware_concurrency());
    std::printf("delay = draw time - the clock the camera painted into the picture before encoding it\n");

    const Phase phases[] = {{640, 360, 25, 4}, {1280, 720, 30, 4}, {1920, 1080, 30, 1}};
    bool all = true;
    for (const Phase& phase : phases) {
        if (!only.empty() && only != std::to_string(phase.height))
            continue;
        all =
            RunPhase(phase, seconds, phase.height == 360 ? screenshot : std::string(), dir.path().toStdString()) && all;
    }
    return all ? 0 : 1;
}
