// Two fake devices, each with 1000 small photos and 5 large videos, uploaded
// by the row workers as the batch upload dialog runs them: listing, copy,
// placing without overwriting, hashing and syncing every file, the manifest. Prints the
// wall time of each upload against the tool's own time for the same commands
// (run the same way, through a ConsoleRunner, into fresh folders), for the
// tool that prints one "->" line per file and for the silent one (Debian's
// adb into a pipe), one device alone and both at once. Last, the delete
// checked on the device (every file hashed there before it goes) against
// the tool's plain rm of the same files. The silent tool runs once more with
// each device's copy paced at 40 MB/s, what a phone on USB 2.0 gives.
// `UploadBench ROUNDS` (default 5).
#include "tests/upload/FakeAdbFixture.h"
#include "upload/CUploadHandleThread.h"
#include "upload/ConsoleRunner.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kSerials[2] = {"S1", "S2"};
int kRounds = 5;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Processor time of this process (all its threads) and of its ended children.
struct Cpu {
    double self = 0;
    double tool = 0;
    static Cpu Now() {
        auto seconds = [](int who) {
            rusage usage{};
            getrusage(who, &usage);
            auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
            return s(usage.ru_utime) + s(usage.ru_stime);
        };
        return {seconds(RUSAGE_SELF), seconds(RUSAGE_CHILDREN)};
    }
    Cpu operator-(const Cpu& o) const { return {self - o.self, tool - o.tool}; }
    Cpu operator+(const Cpu& o) const { return {self + o.self, tool + o.tool}; }
};

class TimingSink : public UploadNotifySink {
public:
    void PostNotify(uintptr_t, UploadJob*) override {}
    void SendNotify(uintptr_t, UploadJob* job) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_finished[job->row] = Clock::now();
        m_results[job->row] = job->result;
        ++m_count;
        m_changed.notify_all();
    }
    void PostProgress(const UploadProgress&) override {}
    void WaitFor(int count) {
        std::unique_lock<std::mutex> guard(m_lock);
        m_changed.wait(guard, [&] { return m_count >= count; });
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_count = 0;
    Clock::time_point m_finished[2];
    int m_results[2] = {-1, -1};
};

struct ToolTime {
    double all = 1e9;   // the listings and the copies
    double pulls = 1e9; // the copies alone
};

// The tool alone, running the worker's commands for both folders (listing
// and copy) into fresh folders, without our progress, placing and checks.
ToolTime ToolAlone(const FakeAdbFixture& adb, const char* serial) {
    ToolTime time{0, 0};
    ConsoleRunner runner;
    auto run = [&](const std::vector<std::string>& argv) {
        const auto start = Clock::now();
        if (runner.Start(argv))
            runner.Finish();
        return Seconds(start);
    };
    for (const char* folder : {"Tavoren_photos", "Tavoren_videos"}) {
        const std::string remote = std::string("/sdcard/") + folder;
        const std::string dest = adb.work() + "/solo_" + serial + "_" + folder;
        time.all += run({"adb", "-s", serial, "shell", "ls", "-laR", remote});
        const double pull = run({"adb", "-s", serial, "pull", remote + "/", dest});
        time.all += pull;
        time.pulls += pull;
    }
    return time;
}

void RemoveCopies(const FakeAdbFixture& adb) {
    for (const auto& entry : fs::directory_iterator(adb.work()))
        if (entry.path().filename().string().rfind("solo_", 0) == 0)
            fs::remove_all(entry.path());
}

// Our uploads of the given devices at once; fills each one's time.
void Upload(const FakeAdbFixture& adb, const std::vector<int>& devices, double seconds[2]) {
    TimingSink sink;
    CUploadHandleThread workers[2];
    UploadJob jobs[2];
    const auto start = Clock::now();
    for (int i : devices) {
        workers[i].SetNotifySink(&sink);
        workers[i].CreateThread();
        jobs[i].type = JobUpload;
        jobs[i].row = i;
        jobs[i].serial = kSerials[i];
        jobs[i].name = std::string("WEAR_") + kSerials[i];
        workers[i].PostThreadMessage(UM_UPLOAD_JOB, JobUpload, reinterpret_cast<intptr_t>(&jobs[i]));
    }
    sink.WaitFor(static_cast<int>(devices.size()));
    for (int i : devices) {
        seconds[i] = std::chrono::duration<double>(sink.m_finished[i] - start).count();
        if (sink.m_results[i] != 0 || jobs[i].files.size() != 1005)
            std::printf("  device %s: result %d, %zu files verified\n", kSerials[i], sink.m_results[i],
                        jobs[i].files.size());
        workers[i].Quit();
        fs::remove_all(adb.work() + "/WEAR_" + kSerials[i]);
    }
}

// `usbRate`: MB/s that each device copies at, as over its USB link; 0 for
// as fast as the page cache takes it.
void RunOnce(const char* style, int usbRate = 0) {
    FakeAdbFixture adb;
    for (const char* serial : kSerials) {
        adb.AddDevice(serial, serial);
        adb.AddFiles(serial, "Tavoren_photos", 1000, 4096);
        adb.AddFiles(serial, "Tavoren_videos", 5, 64u << 20, "v");
        adb.Write(std::string("dev/") + serial + "/pull_style", style);
        if (usbRate > 0)
            adb.Write(std::string("dev/") + serial + "/pull_rate", std::to_string(usbRate));
    }
    const std::string link = usbRate > 0 ? ", at " + std::to_string(usbRate) + " MB/s each" : "";
    std::printf("%-7s 1000 x 4 KB + 5 x 64 MB per device%s (best of %d):\n", style, link.c_str(), kRounds);
    ToolTime tool[2];
    double ours[2] = {1e9, 1e9};
    std::vector<double> paired[2]; // our time over the tool's, round by round
    Cpu toolCpu, oursCpu;
    for (int round = 0; round < kRounds; ++round) {
        for (int i : {0, 1}) {
            Cpu before = Cpu::Now();
            const ToolTime time = ToolAlone(adb, kSerials[i]);
            RemoveCopies(adb);
            tool[i] = {std::min(tool[i].all, time.all), std::min(tool[i].pulls, time.pulls)};
            Cpu middle = Cpu::Now();
            double seconds[2] = {};
            Upload(adb, {i}, seconds);
            ours[i] = std::min(ours[i], seconds[i]);
            paired[i].push_back(seconds[i] / time.all);
            const Cpu after = Cpu::Now();
            toolCpu = toolCpu + (middle - before);
            oursCpu = oursCpu + (after - middle);
        }
    }
    for (int i : {0, 1}) {
        std::sort(paired[i].begin(), paired[i].end());
        std::printf("  device %s alone: tool %.2f s (its copies %.2f s), our upload %.2f s: ratio %.3f (%.3f to the "
                    "copies; median of the rounds %.3f)\n",
                    kSerials[i], tool[i].all, tool[i].pulls, ours[i], ours[i] / tool[i].all, ours[i] / tool[i].pulls,
                    paired[i][paired[i].size() / 2]);
    }
    std::printf("  processor time, all rounds: the tool's processes %.2f s / %.2f s, this process %.2f s / %.2f s "
                "(tool alone / our uploads)\n",
                toolCpu.tool, oursCpu.tool, toolCpu.self, oursCpu.self);

    double toolBoth = 1e9, oursBoth = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = Clock::now();
        std::thread other([&] { ToolAlone(adb, kSerials[1]); });
        ToolAlone(adb, kSerials[0]);
        other.join();
        toolBoth = std::min(toolBoth, Seconds(start));
        RemoveCopies(adb);
        double seconds[2] = {};
        Upload(adb, {0, 1}, seconds);
        oursBoth = std::min(oursBoth, std::max(seconds[0], seconds[1]));
    }
    std::printf("  both at once:    tool %.2f s, our uploads %.2f s, ratio %.3f\n\n", toolBoth, oursBoth,
                oursBoth / toolBoth);
}

// One upload of S1 kept home, then its delete checked on the device, against
// a plain rm of the same files on S2.
void DeleteOnce() {
    FakeAdbFixture adb;
    uint64_t bytes = 0;
    for (const char* serial : kSerials) {
        adb.AddDevice(serial, serial);
        adb.AddFiles(serial, "Tavoren_photos", 1000, 4096);
        adb.AddFiles(serial, "Tavoren_videos", 5, 64u << 20, "v");
    }
    TimingSink sink;
    CUploadHandleThread worker;
    worker.SetNotifySink(&sink);
    worker.CreateThread();
    UploadJob upload;
    upload.type = JobUpload;
    upload.serial = kSerials[0];
    upload.name = "WEAR_S1";
    worker.PostThreadMessage(UM_UPLOAD_JOB, JobUpload, reinterpret_cast<intptr_t>(&upload));
    sink.WaitFor(1);
    for (const HomeFile& file : upload.files)
        bytes += file.size;
    UploadJob remove;
    remove.type = JobDelete;
    remove.serial = kSerials[0];
    remove.files = upload.files;
    const auto start = Clock::now();
    worker.PostThreadMessage(UM_UPLOAD_JOB, JobDelete, reinterpret_cast<intptr_t>(&remove));
    sink.WaitFor(2);
    const double checked = Seconds(start);
    worker.Quit();

    ConsoleRunner runner;
    const auto plain = Clock::now();
    if (runner.Start(
            {"adb", "-s", kSerials[1], "shell", "rm", "-f", "/sdcard/Tavoren_photos/*", "/sdcard/Tavoren_videos/*"}))
        runner.Finish();
    const double rm = Seconds(plain);
    std::printf("delete of %zu files (%.0f MB), result %d: checked on the device %.2f s (%.0f MB/s hashed), "
                "the tool's plain rm %.2f s\n",
                upload.files.size(), static_cast<double>(bytes) / 1e6, remove.result, checked,
                static_cast<double>(bytes) / 1e6 / checked, rm);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        kRounds = std::max(1, std::atoi(argv[1]));
    FakeAdbFixture::InstallOnPath();
    RunOnce("arrow");
    RunOnce("silent");
    RunOnce("silent", 40); // a phone on USB 2.0
    DeleteOnce();
    return 0;
}
