// Two fake devices upload at once, each with 1000 small photos and 5 large
// videos, through two row workers as the batch upload dialog runs them.
// Prints the wall time of the uploads against the fake tool's own copying
// time (what our runner, progress watcher and moves add), for the tool that
// prints one "->" line per file and for the silent one (Debian's adb into a
// pipe), where the watcher counts arrived files instead.
#include "CUploadHandleThread.h"
#include "FakeAdbFixture.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

namespace fs = std::filesystem;

namespace {

class TimingSink : public UploadNotifySink {
public:
    void PostNotify(uintptr_t, UploadJob*) override {}
    void SendNotify(uintptr_t, UploadJob* job) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_finished[job->row] = std::chrono::steady_clock::now();
        m_results[job->row] = job->result;
        ++m_count;
        m_changed.notify_all();
    }
    void PostProgress(const UploadProgress&) override {
        std::lock_guard<std::mutex> guard(m_lock);
        ++m_progress;
    }
    void WaitFor(int count) {
        std::unique_lock<std::mutex> guard(m_lock);
        m_changed.wait(guard, [&] { return m_count >= count; });
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_count = 0;
    int m_progress = 0;
    std::chrono::steady_clock::time_point m_finished[2];
    int m_results[2] = {-1, -1};
};

// The fake tool's copying time, for one device or (empty serial) for all.
double SumCopySeconds(const FakeAdbFixture& adb, const std::string& serial = "") {
    std::istringstream in(adb.Read("copy_seconds"));
    double sum = 0;
    std::string who;
    for (double s; in >> who >> s;)
        if (serial.empty() || who == serial)
            sum += s;
    return sum;
}

void RunOnce(const char* style, int smallFiles, int largeFiles, size_t largeSize) {
    FakeAdbFixture adb;
    for (const char* serial : {"S1", "S2"}) {
        adb.AddDevice(serial, serial);
        adb.AddFiles(serial, "Tavoren_photos", smallFiles, 4096);
        adb.AddFiles(serial, "Tavoren_videos", largeFiles, largeSize, "v");
        adb.Write(std::string("dev/") + serial + "/pull_style", style);
    }
    // The tool's own copy time, alone and one device after the other.
    const auto soloStart = std::chrono::steady_clock::now();
    for (const char* serial : {"S1", "S2"})
        for (const char* folder : {"Tavoren_photos", "Tavoren_videos"}) {
            std::string cmd =
                std::string("adb -s ") + serial + " pull /sdcard/" + folder + "/ solo_" + serial + " > /dev/null 2>&1";
            fs::create_directories(adb.work() + "/solo_" + serial);
            if (std::system(cmd.c_str()) != 0)
                std::fprintf(stderr, "solo pull failed\n");
        }
    const double soloWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - soloStart).count();
    const double soloCopy = SumCopySeconds(adb);
    fs::remove_all(adb.work() + "/solo_S1");
    fs::remove_all(adb.work() + "/solo_S2");
    adb.Write("copy_seconds", "");

    TimingSink sink;
    CUploadHandleThread workers[2];
    UploadJob jobs[2];
    for (int i = 0; i < 2; ++i) {
        workers[i].SetNotifySink(&sink);
        workers[i].CreateThread();
        jobs[i].type = JobUpload;
        jobs[i].row = i;
        jobs[i].serial = i == 0 ? "S1" : "S2";
        jobs[i].name = "WEAR_" + jobs[i].serial;
    }
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 2; ++i)
        workers[i].PostThreadMessage(UM_UPLOAD_JOB, JobUpload, reinterpret_cast<intptr_t>(&jobs[i]));
    sink.WaitFor(2);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (auto& worker : workers)
        worker.Quit();

    std::printf("%-7s %d small + %d x %zu MB per device, 2 devices at once:\n", style, smallFiles, largeFiles,
                largeSize >> 20);
    std::printf("  tool alone, the four pulls one after another: %.2f s wall, %.2f s copying\n", soloWall, soloCopy);
    std::printf("  our upload of both devices at once:           %.2f s wall (results %d %d, %d progress notices)\n",
                wall, sink.m_results[0], sink.m_results[1], sink.m_progress);
    for (int i = 0; i < 2; ++i) {
        const double job = std::chrono::duration<double>(sink.m_finished[i] - start).count();
        const double tool = SumCopySeconds(adb, jobs[i].serial);
        std::printf("  device %s: job %.2f s, the tool's copying in it %.2f s, ours %.2f s, ratio %.2f\n",
                    jobs[i].serial.c_str(), job, tool, job - tool, job / tool);
    }
    std::printf("  both at once against the tool alone one after another: ratio %.2f\n\n", wall / soloWall);
}

} // namespace

int main() {
    FakeAdbFixture::InstallOnPath();
    RunOnce("arrow", 1000, 5, 64u << 20);
    RunOnce("silent", 1000, 5, 64u << 20);
    return 0;
}
