#include "upload/CUploadHandleThread.h"

#include "upload/AdbOutput.h"
#include "upload/ConsoleRunner.h"
#include "upload/HomeFolder.h"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char* const kTool = "adb";
const char* const kPhotos = "Tavoren_photos";
const char* const kVideos = "Tavoren_videos";
// Longest "rm -f ..." line for the device shell: older devices take 4096
// bytes for the whole request.
constexpr size_t kMostShellLine = 2048;

std::vector<std::string> DeviceCommand(const std::string& serial, std::initializer_list<std::string> args) {
    std::vector<std::string> argv{kTool, "-s", serial};
    argv.insert(argv.end(), args);
    return argv;
}

struct Captured {
    bool started = false;
    bool failed = false; // timed out or cancelled
    int exitCode = -1;
    std::string output;
};

Captured Capture(ConsoleRunner& runner, const std::vector<std::string>& argv, uint32_t timeoutMs) {
    Captured captured;
    runner.SetTimeout(timeoutMs);
    if (!runner.Start(argv))
        return captured;
    runner.Finish();
    captured.started = true;
    captured.failed = runner.TimedOut() || runner.Cancelled();
    captured.exitCode = runner.ExitCode();
    captured.output = runner.Output();
    return captured;
}

// One word for the device shell, which re-parses what adb joins with blanks.
std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Length of the valid UTF-8 sequence at `at`; 0 when none starts there.
size_t Utf8Length(const std::string& text, size_t at) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    uint32_t code = 0;
    uint32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (byte(at + i) & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

// The name of the only entry of `folder` when that entry is a folder; "" otherwise.
std::string LoneFolder(const std::string& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    if (ec || it == end)
        return {};
    const fs::directory_entry only = *it;
    it.increment(ec);
    std::error_code typeError;
    if (ec || it != end || !only.is_directory(typeError) || only.is_symlink(typeError))
        return {};
    return only.path().filename().string();
}

// The outcome of one copy, before its files are placed.
int PullResult(const Captured& pull, bool stalled, bool nothingListed) {
    if (!pull.started)
        return UPLOAD_TOOL_MISSING;
    if (stalled || pull.failed)
        return UPLOAD_DEVICE_NOT_FOUND;
    const AdbOutput::Pull report = AdbOutput::ParsePull(pull.output);
    if (report.localError || pull.exitCode == 128 + SIGXFSZ)
        return UPLOAD_FOLDER_FAILED;
    // A device folder that does not exist holds nothing to copy.
    if (report.remoteMissing && !report.otherError && nothingListed)
        return UPLOAD_DONE;
    if (pull.exitCode > 0 || report.otherError || report.remoteMissing || report.skipped > 0)
        return UPLOAD_DEVICE_NOT_FOUND;
    return UPLOAD_DONE;
}

// Watches one copy from a thread of its own: reports its progress once a
// second (when the number of files is known) and ends the copy when no new
// bytes have arrived in the local folder for the stall time.
class PullWatcher {
public:
    using Report = std::function<void(const UploadProgress&)>;

    PullWatcher(ConsoleRunner& runner, std::string folder, UploadProgress base, uint32_t stallMs, Report report)
        : m_runner(runner), m_folder(std::move(folder)), m_base(base), m_stallMs(stallMs), m_report(std::move(report)) {
    }
    ~PullWatcher() { Stop(); }
    PullWatcher(const PullWatcher&) = delete;
    PullWatcher& operator=(const PullWatcher&) = delete;

    bool Start() {
        try {
            m_thread = std::thread(&PullWatcher::Run, this);
            return true;
        } catch (const std::system_error&) {
            return false;
        }
    }

    // Ends the watch after one last progress notice.
    void Stop() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_stop = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    bool Stalled() const { return m_stalled; }

private:
    void Run() {
        using Clock = std::chrono::steady_clock;
        const auto stall = std::chrono::milliseconds(m_stallMs);
        const auto tick = std::chrono::milliseconds(std::clamp<uint32_t>(m_stallMs / 4, 10, 1000));
        HomeFolder::Measure last = HomeFolder::Measured(m_folder);
        Clock::time_point gained = Clock::now();
        Clock::time_point noticed = Clock::now();
        std::unique_lock<std::mutex> guard(m_lock);
        for (;;) {
            m_changed.wait_for(guard, tick, [this] { return m_stop; });
            const bool stopping = m_stop;
            guard.unlock();
            const HomeFolder::Measure now = HomeFolder::Measured(m_folder);
            const Clock::time_point time = Clock::now();
            if (!(now == last)) {
                last = now;
                gained = time;
            } else if (!stopping && !m_stalled && time - gained >= stall) {
                m_stalled = true;
                m_runner.Cancel();
            }
            if (m_base.total > 0 && (stopping || time - noticed >= 1s)) {
                noticed = time;
                // Without the tool's per-file lines: the files that have
                // arrived, less the one being written while the copy runs.
                const int arrows = AdbOutput::ParsePull(m_runner.Output()).arrows;
                const uint64_t arrived = stopping || now.files == 0 ? now.files : now.files - 1;
                UploadProgress progress = m_base;
                const uint64_t done = arrows > 0 ? static_cast<uint64_t>(arrows) : arrived;
                progress.done = static_cast<int>(std::min<uint64_t>(done, static_cast<uint64_t>(m_base.total)));
                m_report(progress);
            }
            guard.lock();
            if (stopping)
                return;
        }
    }

    ConsoleRunner& m_runner;
    const std::string m_folder;
    const UploadProgress m_base;
    const uint32_t m_stallMs;
    const Report m_report;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_stop = false;
    std::atomic<bool> m_stalled{false};
    std::thread m_thread;
};

} // namespace

// Makes `runner` the worker's current runner for as long as it lives, so that
// Cancel() reaches it.
class ActiveRunner {
public:
    ActiveRunner(CUploadHandleThread& owner, ConsoleRunner& runner) : m_owner(owner) {
        std::lock_guard<std::mutex> guard(m_owner.m_runnerLock);
        m_owner.m_current = &runner;
        if (m_owner.m_cancelled)
            runner.Cancel();
    }
    ~ActiveRunner() {
        std::lock_guard<std::mutex> guard(m_owner.m_runnerLock);
        m_owner.m_current = nullptr;
    }
    ActiveRunner(const ActiveRunner&) = delete;
    ActiveRunner& operator=(const ActiveRunner&) = delete;

private:
    CUploadHandleThread& m_owner;
};

CUploadHandleThread::CUploadHandleThread() {
    const char* prefixes[10] = {"KT", "RV", "PW", "J", "", "", "", "", "", ""};
    for (int i = 0; i < 10; ++i)
        NamePrefixes[i] = prefixes[i];
    OnMessage(UM_UPLOAD_JOB, [this](uintptr_t wParam, intptr_t lParam) { OnUploadJob(wParam, lParam); });
}

CUploadHandleThread::~CUploadHandleThread() {
    Cancel();
    Quit();
}

void CUploadHandleThread::SetNotifySink(UploadNotifySink* sink) {
    std::lock_guard<std::mutex> guard(m_sinkLock);
    m_sink = sink;
}

void CUploadHandleThread::Cancel() {
    m_cancelled = true;
    std::lock_guard<std::mutex> guard(m_runnerLock);
    if (m_current)
        m_current->Cancel();
}

void CUploadHandleThread::Post(uintptr_t wParam, UploadJob* job) {
    std::lock_guard<std::mutex> guard(m_sinkLock);
    if (m_sink)
        m_sink->PostNotify(wParam, job);
}

void CUploadHandleThread::Send(uintptr_t wParam, UploadJob* job) {
    std::lock_guard<std::mutex> guard(m_sinkLock);
    if (m_sink)
        m_sink->SendNotify(wParam, job);
}

void CUploadHandleThread::PostProgress(const UploadProgress& progress) {
    std::lock_guard<std::mutex> guard(m_sinkLock);
    if (m_sink)
        m_sink->PostProgress(progress);
}

void CUploadHandleThread::OnUploadJob(uintptr_t wParam, intptr_t lParam) {
    if (wParam == JOB_QUIT) {
        PostQuitMessage();
        return;
    }
    auto* job = reinterpret_cast<UploadJob*>(lParam);
    if (!job)
        return;
    switch (wParam) {
    case JobListDevices:
        RunListDevices(*job);
        break;
    case JobUpload:
        RunUpload(*job);
        break;
    case JobDelete:
        RunDelete(*job);
        break;
    default:
        break;
    }
}

void CUploadHandleThread::RunListDevices(UploadJob& job) {
    ConsoleRunner runner;
    ActiveRunner active(*this, runner);
    const Captured listing = Capture(runner, {kTool, "devices"}, m_timeoutMs);
    // No server could be reached (a non-zero exit, "cannot connect to
    // daemon"), or the tool is missing or hung.
    if (!listing.started || listing.failed || listing.exitCode > 0 || AdbOutput::HasToolError(listing.output)) {
        job.result = UPLOAD_LIST_FAILED;
        Post(JobListDevices, &job);
        return;
    }
    std::vector<std::string> serials;
    for (const AdbOutput::Device& device : AdbOutput::ParseDevices(listing.output)) {
        if (device.state == "device")
            serials.push_back(device.serial);
        else if (AdbOutput::IsWaitingState(device.state))
            ++job.waiting;
    }
    if (job.serials)
        *job.serials = serials;
    if (serials.empty()) {
        job.result = UPLOAD_NO_DEVICE;
        Post(JobListDevices, &job);
        return;
    }
    job.result = UPLOAD_DONE;
    for (const std::string& serial : serials) {
        const Captured read =
            Capture(runner, DeviceCommand(serial, {"shell", "cat", "/data/misc/bluetooth/bt_name"}), m_timeoutMs);
        if (!read.started)
            job.result = UPLOAD_TOOL_MISSING;
        std::string name;
        if (read.started && !read.failed && read.exitCode <= 0)
            name = AdbOutput::ParseName(read.output, NamePrefixes);
        // One name per serial: a device whose name cannot be read goes by its serial number.
        if (job.names)
            job.names->push_back(name.empty() ? serial : name);
    }
    if (job.result == UPLOAD_TOOL_MISSING)
        Send(JobListDevices, &job);
    else
        Post(JobListDevices, &job);
}

void CUploadHandleThread::RunUpload(UploadJob& job) {
    ConsoleRunner runner;
    ActiveRunner active(*this, runner);
    std::error_code ec;
    const fs::path current = fs::current_path(ec);
    const std::string deviceFolder = (current / SafeFolderName(job.name)).string();
    job.files.clear();
    int result = UPLOAD_FOLDER_FAILED;
    if (!ec && EnsureDirectory(deviceFolder) == 0) {
        job.kind = 0;
        result = PullFolder(job, runner, deviceFolder, kPhotos);
        if (result == UPLOAD_DONE) {
            job.kind = 1;
            result = PullFolder(job, runner, deviceFolder, kVideos);
        }
        // Only when empty: another device of the same name may be using it.
        fs::remove(deviceFolder + "/tmp", ec);
    }
    job.result = result;
    Send(JobUpload, &job);
}

int CUploadHandleThread::PullFolder(UploadJob& job, ConsoleRunner& runner, const std::string& deviceFolder,
                                    const std::string& folder) {
    const std::string remote = "/sdcard/" + folder;
    // A temporary folder of this device's own; whatever an interrupted run
    // left in it is not trusted.
    const std::string work = deviceFolder + "/tmp/" + SafeFolderName(job.serial);
    std::error_code ec;
    fs::remove_all(work, ec);
    auto discard = [&] { fs::remove_all(work, ec); };
    if (ec || EnsureDirectory(deviceFolder + "/tmp") != 0 || EnsureDirectory(work) != 0)
        return UPLOAD_FOLDER_FAILED;
    // The copy goes to a folder that does not exist yet, which every version
    // of the tool fills with the device folder's contents.
    const std::string copied = work + "/" + folder;

    const Captured listing =
        Capture(runner, DeviceCommand(job.serial, {"shell", "ls", "-l", remote + "/*"}), m_timeoutMs);
    const bool listed = listing.started && !listing.failed && !AdbOutput::HasToolError(listing.output);
    int count = 0;
    for (const std::string& line : AdbOutput::SplitText(listing.output, "\r\n"))
        count += line[0] == '-' ? 1 : 0;
    job.total = count;

    PullWatcher watcher(runner, copied, UploadProgress{job.row, job.kind, 0, count}, m_stallMs,
                        [this](const UploadProgress& progress) { PostProgress(progress); });
    job.stop = watcher.Start() ? 0 : 1;
    const Captured pull = Capture(runner, DeviceCommand(job.serial, {"pull", remote + "/", copied}), 0);
    watcher.Stop();
    job.stop = 1;

    // A cancelled, ended or failed copy leaves nothing behind, not even the
    // half-written file of a killed tool.
    const int result = PullResult(pull, watcher.Stalled(), listed && count == 0);
    const std::string target = deviceFolder + "/" + folder;
    const std::string lone = LoneFolder(copied);
    std::map<std::string, std::string> placed;
    if (result != UPLOAD_DONE || EnsureDirectory(target) != 0 || !HomeFolder::MoveIn(copied, target, placed)) {
        discard();
        return result != UPLOAD_DONE ? result : UPLOAD_FOLDER_FAILED;
    }
    discard();
    if (!listed)
        return UPLOAD_DEVICE_NOT_FOUND;

    // Home means: every file the device listed lies here with the size it
    // reported. A file line that could not be read leaves the copy unproven.
    const std::vector<AdbOutput::File> files = AdbOutput::ParseListing(listing.output, remote, lone);
    bool complete = files.size() == static_cast<size_t>(count);
    for (const AdbOutput::File& file : files) {
        auto it = placed.find(file.path);
        std::error_code sizeError;
        if (it != placed.end() && fs::file_size(it->second, sizeError) == file.size && !sizeError)
            job.files.push_back({remote + "/" + file.path, file.size, it->second});
        else
            complete = false;
    }
    return complete ? UPLOAD_DONE : UPLOAD_DEVICE_NOT_FOUND;
}

void CUploadHandleThread::RunDelete(UploadJob& job) {
    ConsoleRunner runner;
    ActiveRunner active(*this, runner);
    // Only files still home as the upload left them (same size) go.
    std::vector<std::string> paths;
    bool moved = false;
    for (const HomeFile& file : job.files) {
        std::error_code ec;
        if (fs::file_size(file.localPath, ec) == file.size && !ec)
            paths.push_back(file.devicePath);
        else
            moved = true;
    }
    int result = DeleteFiles(runner, job.serial, paths);
    job.result = result == UPLOAD_DONE && moved ? UPLOAD_DELETE_FAILED : result;
    Send(JobDelete, &job);
}

int CUploadHandleThread::DeleteFiles(ConsoleRunner& runner, const std::string& serial,
                                     const std::vector<std::string>& paths) {
    int result = UPLOAD_DONE;
    size_t next = 0;
    while (next < paths.size()) {
        std::vector<std::string> argv = DeviceCommand(serial, {"shell", "rm", "-f"});
        const size_t words = argv.size();
        size_t line = 5; // "rm -f"
        while (next < paths.size()) {
            std::string word = ShellQuote(paths[next]);
            if (argv.size() > words && line + 1 + word.size() > kMostShellLine)
                break;
            line += 1 + word.size();
            argv.push_back(std::move(word));
            ++next;
        }
        const Captured rm = Capture(runner, argv, m_timeoutMs);
        if (!rm.started)
            return UPLOAD_TOOL_MISSING;
        if (rm.failed || AdbOutput::IsDeviceNotFound(rm.output) || AdbOutput::HasToolError(rm.output))
            return UPLOAD_DEVICE_NOT_FOUND;
        // The shell may echo the "exit" lines written to its input; anything
        // else it says is a complaint.
        for (const std::string& text : AdbOutput::SplitText(rm.output, "\r\n"))
            if (text != "exit" && !AdbOutput::IsToolMessage(text))
                result = UPLOAD_DELETE_FAILED;
        if (rm.exitCode > 0)
            result = UPLOAD_DELETE_FAILED;
    }
    return result;
}

std::string CUploadHandleThread::SafeFolderName(const std::string& name) {
    const size_t limit = 200; // well inside the file system's limit on one name
    std::string safe;
    size_t at = 0;
    while (at < name.size()) {
        const auto byte = static_cast<unsigned char>(name[at]);
        size_t length = Utf8Length(name, at);
        std::string unit;
        if (length == 0 || byte == '%') {
            char escape[4];
            std::snprintf(escape, sizeof(escape), "%%%02X", byte);
            unit = escape;
            length = 1;
        } else if (byte == '/' || byte == '\\' || byte < 0x20 || byte == 0x7f) {
            unit = "_";
        } else {
            unit = name.substr(at, length);
        }
        // Cut only between whole characters and escapes.
        if (safe.size() + unit.size() > limit)
            break;
        safe += unit;
        at += length;
    }
    for (size_t dots = safe.find(".."); dots != std::string::npos; dots = safe.find("..", dots)) {
        safe[dots] = '_';
        safe[dots + 1] = '_';
    }
    if (safe.empty() || safe == ".")
        safe.assign(1, '_');
    return safe;
}
